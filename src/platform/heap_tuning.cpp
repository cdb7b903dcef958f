#include "platform/heap_tuning.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define VORNEL_OWN_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VORNEL_OWN_ALLOCATOR 1
#endif

// Sanitizers bring an allocator of their own, which these settings do not reach.
#if defined(__GLIBC__) && !defined(VORNEL_OWN_ALLOCATOR)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#define VORNEL_TUNE_GLIBC_HEAP 1
#endif

namespace vornel::platform {

namespace {
#ifdef VORNEL_TUNE_GLIBC_HEAP
constexpr size_t kHugePage = size_t{2} << 20;
std::atomic<bool> g_tuned{false};

uintptr_t HugePageAbove(uintptr_t at) { return (at + kHugePage - 1) & ~(kHugePage - 1); }

// Where the heap places its next object.
uintptr_t NextObject() {
    void* const probe = std::malloc(64);
    const auto at = reinterpret_cast<uintptr_t>(probe);
    std::free(probe);
    return at;
}

// The huge page the heap's next objects would fall in already holds its first objects
// (an arena's header, the start-up's allocations) in 4 KiB pages and can no longer be
// taken whole: the objects placed there would cost a fault every 4 KiB, hundreds before
// the first huge page. A block up to the next huge-page boundary takes that space instead.
// Only its first bytes are ever written, so it costs no memory.
void* SkipToHugePage(uintptr_t next, uintptr_t boundary) {
    return next && boundary > next ? std::malloc(boundary - next) : nullptr;
}

// A thread's skipped space, given back when the thread ends.
struct Skipped {
    void* block = nullptr;
    ~Skipped() { std::free(block); }
};
#endif
}  // namespace

void TuneHeapForScan() {
#ifdef VORNEL_TUNE_GLIBC_HEAP
    if (g_tuned.exchange(true)) return;
    // The heap grows by this much at a time, so that one advice covers what a large scan
    // uses; only the pages touched take memory.
    constexpr size_t kStep = size_t{128} << 20;
    mallopt(M_TOP_PAD, static_cast<int>(kStep));
    // Memory freed at the top is kept for the next allocation rather than returned and
    // faulted in again.
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kStep));
    // Large buffers (INF texts, the serialised document) come from the same heap instead
    // of fresh mappings of their own.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);

    auto* const before = static_cast<char*>(sbrk(0));
    // An allocation larger than the initial heap's free top makes it grow now, by kStep.
    // (volatile: the compiler may otherwise drop a malloc whose block is never used)
    void* volatile probe = std::malloc(size_t{1} << 20);
    auto* const after = static_cast<char*>(sbrk(0));
    // Grown, the heap gave the block from the start of its free top: where its next new
    // objects go. Only that start was written, so all after it can still take huge pages.
    const auto top = reinterpret_cast<uintptr_t>(probe);
    std::free(probe);
    if (before == reinterpret_cast<char*>(-1) || after == reinterpret_cast<char*>(-1) || after <= before) return;
    const auto from = HugePageAbove(top);
    const auto to = reinterpret_cast<uintptr_t>(after) & ~(kHugePage - 1);
    // Fails harmlessly where the kernel has no transparent huge pages.
    if (to > from) {
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
        static void* const skipped = SkipToHugePage(top, from);  // kept for the process's life
        (void)skipped;
    }
#endif
}

void TuneThreadHeap() {
#ifdef VORNEL_TUNE_GLIBC_HEAP
    if (!g_tuned.load()) return;
    // A second thread allocates from an arena of its own, which grows a page at a time
    // (a system call and a fault for each). One large block makes it grow once; freed, it
    // stays in the arena (the trim threshold is far above it) for the thread's objects.
    constexpr size_t kBlock = size_t{24} << 20;  // below the mmap threshold set above
    // The advice goes on before anything there is written: a huge page is only taken for a
    // range that has no 4 KiB page yet. The arena's reserved space lies beyond its end.
    const uintptr_t next = NextObject();
    const uintptr_t from = HugePageAbove(next);
    if (next) madvise(reinterpret_cast<void*>(from), kBlock, MADV_HUGEPAGE);
    thread_local Skipped skipped;
    if (!skipped.block) skipped.block = SkipToHugePage(next, from);
    void* const block = std::malloc(kBlock);
    if (!block) return;
    std::free(block);
#endif
}

}  // namespace vornel::platform
