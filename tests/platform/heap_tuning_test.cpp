#include "platform/heap_tuning.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace vornel::platform {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr size_t kLarge = size_t{3} << 20;  // beyond every free block of a fresh heap
constexpr const char* kChildVariable = "VORNEL_HEAP_TUNING_CHILD";

// Where the heap put the block it handed out: its header lies just before it.
uintptr_t BlockStart(const void* p) { return reinterpret_cast<uintptr_t>(p) - 2 * sizeof(size_t); }

std::string ThpMode() {
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    std::getline(in, line);
    return line;
}

uint64_t ThpFallbacks() {
    std::ifstream in("/proc/vmstat");
    std::string name;
    uint64_t value = 0;
    while (in >> name >> value)
        if (name == "thp_fault_fallback") return value;
    return 0;
}

// How many 4 KiB pages of the huge page at `at` are in memory.
int PresentPages(uintptr_t at) {
    const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    uint64_t entries[kHugePage / 4096];
    const ssize_t n = ::pread(fd, entries, sizeof entries, static_cast<off_t>(at / 4096 * sizeof(uint64_t)));
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof entries)) return -1;
    int present = 0;
    for (uint64_t e : entries) present += (e >> 63) & 1;
    return present;
}

// Run in a fresh process: what the tuning promises, as an exit code (0 holds, 77 cannot
// be judged here).
int CheckFreshProcess() {
    const uint64_t fallbacks = ThpFallbacks();
    if (!TuneHeapForScan()) return 77;
    // The heap's next new object opens a huge page, which nothing before the advice
    // touched: taken whole, all of it is in memory at once.
    void* const main = std::malloc(kLarge);
    const uintptr_t start = BlockStart(main);
    if (start % kHugePage != 0) return 1;
    const bool thp = ThpMode().find("[never]") == std::string::npos;
    if (thp && PresentPages(start) != static_cast<int>(kHugePage / 4096) && ThpFallbacks() == fallbacks) return 2;
    int threadResult = 0;
    std::thread([&] {
        if (!TuneThreadHeap()) return;
        void* const own = std::malloc(kLarge);
        if (BlockStart(own) % kHugePage != 0) threadResult = 3;
        std::free(own);
    }).join();
    std::free(main);
    return threadResult;
}

// The tuning acts once per process, on the heap as a process starts: it is checked in a
// new run of this test program.
TEST(HeapTuning, NewObjectsOpenAnUntouchedHugePage) {
    if (std::getenv(kChildVariable)) {
        ::_exit(CheckFreshProcess());
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv(kChildVariable, "1", 1);
        const std::string filter = "--gtest_filter=HeapTuning.NewObjectsOpenAnUntouchedHugePage";
        const char* argv[] = {"/proc/self/exe", filter.c_str(), nullptr};
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    if (code == 77) GTEST_SKIP() << "no heap tuning in this build or on this system";
    EXPECT_NE(code, 1) << "the main heap's next object does not start a huge page";
    EXPECT_NE(code, 2) << "the main heap's first huge page was touched before it was advised";
    EXPECT_NE(code, 3) << "a thread's next object does not start a huge page";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace vornel::platform
