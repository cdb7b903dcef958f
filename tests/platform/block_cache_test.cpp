#include "platform/block_cache.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vornel::platform {
namespace {

// Calls through a pointer, so that the compiler cannot pair or drop them.
void* (*volatile newOf)(std::size_t) = [](std::size_t n) { return ::operator new(n); };
void (*volatile deleteOf)(void*) = [](void* p) { ::operator delete(p); };
void (*volatile deleteSized)(void*, std::size_t) = [](void* p, std::size_t n) { ::operator delete(p, n); };

TEST(BlockCache, BlocksOfEverySizeAreAlignedWhollyUsableAndReusedWithinTheirClass) {
    std::vector<std::pair<unsigned char*, std::size_t>> blocks;
    for (std::size_t n = 0; n <= 1100; n += (n < 64 ? 1 : 7)) {
        auto* p = static_cast<unsigned char*>(newOf(n));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u) << n;
        ASSERT_GE(malloc_usable_size(p), n);
        std::memset(p, static_cast<int>(n & 0xFF), n);
        blocks.emplace_back(p, n);
    }
    for (const auto& [p, n] : blocks) {
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(p[i], static_cast<unsigned char>(n & 0xFF)) << n;
        if (n % 2) deleteSized(p, n);
        else deleteOf(p);
    }
    if (!BlockCacheEnabled()) GTEST_SKIP() << "a sanitizer build: operator new is the library's";
    // The last block freed of a class is the next one handed out for any size of that class.
    void* a = newOf(40);
    deleteOf(a);
    EXPECT_EQ(newOf(33), a);
    deleteSized(a, 33);
    EXPECT_EQ(newOf(48), a);
    deleteOf(a);
    // Another class does not take it.
    void* b = newOf(64);
    EXPECT_NE(b, a);
    deleteOf(b);
}

TEST(BlockCache, AThreadsBlocksGoBackWhenItEnds) {
    if (!BlockCacheEnabled()) GTEST_SKIP() << "a sanitizer build: operator new is the library's";
    const std::size_t before = mallinfo2().uordblks;
    // Blocks made here and freed there, and blocks made and freed there: all are kept by
    // the thread that freed them, until it ends.
    std::vector<void*> made(3000);
    for (std::size_t i = 0; i < made.size(); ++i) made[i] = newOf(16 + (i % 32) * 16);
    std::thread([&] {
        for (void* p : made) deleteOf(p);
        {
            std::vector<std::unique_ptr<std::string>> own;
            for (int i = 0; i < 5000; ++i)
                own.push_back(std::make_unique<std::string>(static_cast<std::size_t>(i % 400), 'x'));
        }
        EXPECT_GT(mallinfo2().uordblks, before + 100 * 1024);  // kept while it runs
    }).join();
    EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
}

}  // namespace
}  // namespace vornel::platform
