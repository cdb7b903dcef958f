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
    std::free(probe);
    if (before == reinterpret_cast<char*>(-1) || after == reinterpret_cast<char*>(-1) || after <= before) return;
    const auto from = (reinterpret_cast<uintptr_t>(before) + kHugePage - 1) & ~(kHugePage - 1);
    const auto to = reinterpret_cast<uintptr_t>(after) & ~(kHugePage - 1);
    // Fails harmlessly where the kernel has no transparent huge pages.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
}

void TuneThreadHeap() {
#ifdef VORNEL_TUNE_GLIBC_HEAP
    if (!g_tuned.load()) return;
    // A second thread allocates from an arena of its own, which grows a page at a time
    // (a system call and a fault for each). One large block makes it grow once; freed, it
    // stays in the arena (the trim threshold is far above it) for the thread's objects.
    constexpr size_t kBlock = size_t{24} << 20;  // below the mmap threshold set above
    void* const block = std::malloc(kBlock);
    if (!block) return;
    const auto from = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    const auto to = (reinterpret_cast<uintptr_t>(block) + kBlock) & ~(kHugePage - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    std::free(block);
#endif
}

}  // namespace vornel::platform
