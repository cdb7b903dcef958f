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

// What the heap writes behind a block it hands out (the next block's header), at most.
constexpr uintptr_t kChunkTail = 64;

uintptr_t HugePageAbove(uintptr_t at) { return (at + kHugePage - 1) & ~(kHugePage - 1); }

// Where the heap places its next object.
// Freed, a block this large goes back to the free top at once; a small one would be kept
// aside for reuse, and the next new object would lie behind it.
constexpr size_t kSmallProbe = 4096;
uintptr_t NextObject() {
    // volatile: only the address is kept, which the compiler cannot tell from a use after free
    void* volatile probe = std::malloc(kSmallProbe);
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

// The main heap's skipped space, kept for the process's life. volatile: the compiler drops
// a malloc whose block is never used, and the heap's next objects would then fill it.
void* volatile g_skipped = nullptr;

// A thread's skipped space, given back when the thread ends.
struct Skipped {
    void* block = nullptr;
    ~Skipped() { std::free(block); }
};
#endif
}  // namespace

bool TuneHeapForScan() {
#ifdef VORNEL_TUNE_GLIBC_HEAP
    if (g_tuned.exchange(true)) return false;
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
    constexpr size_t kProbe = size_t{1} << 20;
    void* volatile probe = std::malloc(kProbe);
    auto* const after = static_cast<char*>(sbrk(0));
    // Grown, the heap gave the block from the start of its free top: where its next new
    // objects go. The heap wrote only the block's two ends (its own size and where the free
    // top begins behind it), so past its end everything can still take huge pages. A huge
    // page starting before that end would already hold a 4 KiB page and never be taken:
    // about every second run, depending on where the heap happens to start.
    const auto top = reinterpret_cast<uintptr_t>(probe);
    std::free(probe);
    if (before == reinterpret_cast<char*>(-1) || after == reinterpret_cast<char*>(-1) || after <= before) return false;
    const auto from = HugePageAbove(top + kProbe + kChunkTail);
    const auto to = reinterpret_cast<uintptr_t>(after) & ~(kHugePage - 1);
    if (to <= from) return false;
    // Fails harmlessly where the kernel has no transparent huge pages.
    const bool advised = madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE) == 0;
    g_skipped = SkipToHugePage(top, from);
    return advised && g_skipped;
#else
    return false;
#endif
}

bool TuneThreadHeap() {
#ifdef VORNEL_TUNE_GLIBC_HEAP
    if (!g_tuned.load()) return false;
    // A second thread allocates from an arena of its own, which grows a page at a time
    // (a system call and a fault for each). One large block makes it grow once; freed, it
    // stays in the arena (the trim threshold is far above it) for the thread's objects.
    constexpr size_t kBlock = size_t{24} << 20;  // below the mmap threshold set above
    // The advice goes on before anything there is written: a huge page is only taken for a
    // range that has no 4 KiB page yet. The arena's reserved space lies beyond its end.
    // First: its destructor's registration takes a small block, which would otherwise
    // land between the place measured below and the huge page.
    thread_local Skipped skipped;
    const uintptr_t next = NextObject();
    const uintptr_t from = HugePageAbove(next + kSmallProbe + kChunkTail);  // past the probe's end too
    const bool advised = next && madvise(reinterpret_cast<void*>(from), kBlock, MADV_HUGEPAGE) == 0;
    if (!skipped.block) skipped.block = SkipToHugePage(next, from);
    void* const block = std::malloc(kBlock);
    if (!block) return false;
    std::free(block);
    return advised;
#else
    return false;
#endif
}

}  // namespace vornel::platform
