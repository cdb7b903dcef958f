// operator new and delete with a small cache per thread of the small blocks freed there.
//
// A scan makes and drops a few hundred thousand small strings and nodes, most of them in
// bursts: a device's record and its lists are built, then all of it goes at once. The C
// library keeps only a handful of freed blocks of each size per thread, so a burst of
// frees spills into its shared bins and a burst of allocations takes the slow way back
// out. Here up to kPerClass blocks of each 16-byte size class up to 512 bytes wait for
// the thread's next request of that class; everything else, and every block once the
// cache is full, goes to malloc and free as before.
//
// Left out under the sanitizers: a block handed out again from here would be neither a
// use after free to AddressSanitizer nor a new allocation to ThreadSanitizer.
#include "platform/block_cache.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORNEL_NO_BLOCK_CACHE 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORNEL_NO_BLOCK_CACHE 1
#endif

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vornel::platform {

#if defined(VORNEL_NO_BLOCK_CACHE)

bool BlockCacheEnabled() { return false; }

#else

bool BlockCacheEnabled() { return true; }

namespace {

constexpr std::size_t kGranule = 16;  // malloc's alignment and size step
constexpr std::size_t kClasses = 32;  // blocks of up to 512 bytes
constexpr std::uint32_t kPerClass = 256;  // at most about 2 MiB kept by a thread

struct FreeBlock {
    FreeBlock* next;
};

// Zero-initialised and trivially destructible: reaching it costs no guard.
struct Cache {
    FreeBlock* head[kClasses];
    std::uint32_t count[kClasses];
    bool registered;  // the thread's Closer will empty it
    bool closed;      // the thread is ending: blocks go straight back to free
};
thread_local Cache cache;

struct Closer {
    ~Closer() {
        for (std::size_t c = 0; c < kClasses; ++c) {
            while (FreeBlock* b = cache.head[c]) {
                cache.head[c] = b->next;
                std::free(b);
            }
            cache.count[c] = 0;
        }
        cache.closed = true;
    }
};
thread_local Closer closer;

// Registers the Closer of this thread: its destructor runs when the thread ends.
[[gnu::noinline]] void Register() {
    cache.registered = true;
    static_cast<void>(&closer);
}

void* FromMalloc(std::size_t bytes) {
    for (;;) {
        if (void* p = std::malloc(bytes)) return p;
        const std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

// The class of a request: blocks of class c are malloc'ed with c * kGranule bytes.
std::size_t ClassOf(std::size_t bytes) { return bytes == 0 ? 1 : (bytes + kGranule - 1) / kGranule; }

void* Allocate(std::size_t bytes) {
    const std::size_t c = ClassOf(bytes);
    if (c > kClasses) return FromMalloc(bytes);
    if (FreeBlock* b = cache.head[c - 1]) {
        cache.head[c - 1] = b->next;
        --cache.count[c - 1];
        return b;
    }
    return FromMalloc(c * kGranule);
}

// `c`: a class whose size the block holds at least.
void Release(void* p, std::size_t c) {
    Cache& k = cache;
    if (c - 1 < kClasses && k.count[c - 1] < kPerClass && !k.closed) {
        if (!k.registered) Register();
        auto* b = static_cast<FreeBlock*>(p);
        b->next = k.head[c - 1];
        k.head[c - 1] = b;
        ++k.count[c - 1];
        return;
    }
    std::free(p);
}

}  // namespace

#endif

}  // namespace vornel::platform

#if !defined(VORNEL_NO_BLOCK_CACHE)

void* operator new(std::size_t bytes) { return vornel::platform::Allocate(bytes); }

void operator delete(void* p) noexcept {
    if (!p) return;
    // Any block: what malloc says it holds, in whole classes (a block of class c was asked
    // for with c * 16 bytes and holds at least that).
    vornel::platform::Release(p, malloc_usable_size(p) / 16);
}

void operator delete(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    // Allocated by operator new with these bytes: a block of their class.
    vornel::platform::Release(p, vornel::platform::ClassOf(bytes));
}

#endif
