#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"

namespace vornel::platform {
namespace {

namespace fs = std::filesystem;

// Descriptors of this process that still hold a file named `leaf` that is gone.
int HeldDeleted(const std::string& leaf) {
    int held = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        const std::string target = fs::read_symlink(entry.path(), linkError).string();
        if (!linkError && target.find(leaf) != std::string::npos && target.find("(deleted)") != std::string::npos)
            ++held;
    }
    return held;
}

TEST(AtomicFile, ReplacedLargeFilesAreReleased) {
    test::TempDir dir;
    const fs::path target = dir.path() / "document.xml";
    std::string bytes(1024 * 1024, 'a');
    for (char round = 'a'; round < 'a' + 12; ++round) {
        bytes.assign(bytes.size(), round);
        std::string why;
        ASSERT_TRUE(WriteFileAtomically(target, bytes, 0600, &why)) << why;
    }
    std::string back;
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    // The replaced files are let go off the writer's thread: each of them, soon.
    int held = HeldDeleted("document.xml");
    for (int i = 0; i < 500 && held > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        held = HeldDeleted("document.xml");
    }
    EXPECT_EQ(held, 0);
}

TEST(AtomicFile, APipeInThePlaceOfTheTargetIsReplacedWithoutBeingOpened) {
    test::TempDir dir;
    const fs::path target = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0);
    // Opened for reading, a pipe with no writer would block this call for good.
    std::string why;
    ASSERT_TRUE(WriteFileAtomically(target, "text", 0644, &why)) << why;
    EXPECT_TRUE(fs::is_regular_file(target));
    std::string back;
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, "text");
}

// Lasting pieces go out as they stand, many to a call: in order among the copied ones,
// past the system's limit of pieces to a call, empty ones and ones larger than the buffer.
TEST(AtomicFile, LastingPiecesFollowTheCopiedOnesInOrder) {
    test::TempDir dir;
    const fs::path target = dir.path() / "document.xml";
    std::vector<std::string> texts;
    for (int i = 0; i < 2500; ++i) texts.push_back(i % 500 == 7 ? std::string() : std::to_string(i) + ";");
    texts.push_back(std::string(200 * 1024, 'y'));
    std::vector<std::string_view> pieces(texts.begin(), texts.end());
    std::string expected = "head:";
    for (const auto& t : texts) expected += t;
    expected += "middle:";
    for (const auto& t : texts) expected += t;
    expected += ":tail";
    std::string why;
    ASSERT_TRUE(WriteFileAtomicallyFrom(
        target,
        [&](const ByteSink& sink, const LastingSink& lasting) {
            sink("head:");
            lasting(pieces);
            sink("middle:");
            lasting(pieces);
            lasting({});
            sink(":tail");
        },
        0600, &why))
        << why;
    std::string back;
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, expected);
}

// What reads a whole file (a .reg export, a document, a settings file) takes regular files
// only: a FIFO there is refused at once rather than waited on, as a folder is.
TEST(AtomicFile, WholeFilesAreReadToTheirEndAndOnlyRegularOnes) {
    test::TempDir dir;
    std::string back, why;
    const std::string bytes(300 * 1024 + 7, 'r');
    ASSERT_TRUE(ReadWholeFile(dir.Write("export.reg", bytes), back, &why)) << why;
    EXPECT_EQ(back, bytes);
    ASSERT_TRUE(ReadWholeFile(dir.Write("empty.reg", ""), back, &why)) << why;
    EXPECT_EQ(back, "");
    const fs::path fifo = dir.path() / "pipe.reg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ReadWholeFile(fifo, back, &why));
    EXPECT_NE(why.find("is not a regular file"), std::string::npos) << why;
    EXPECT_FALSE(ReadWholeFile(dir.path(), back, &why));
    EXPECT_NE(why.find("is not a regular file"), std::string::npos) << why;
    EXPECT_FALSE(ReadWholeFile(dir.path() / "none.reg", back, &why));
    EXPECT_NE(why.find("cannot open"), std::string::npos) << why;
}

// Written over a long time, cut back and written again: the target changes at the commit
// alone, and a file dropped instead leaves nothing behind.
TEST(AtomicFile, AReplacementFileTakesTheTargetsPlaceOnlyWhenCommitted) {
    test::TempDir dir;
    const fs::path target = dir.path() / "document.xml";
    ASSERT_TRUE(WriteFileAtomically(target, "old", 0644));
    auto entries = [&] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++n;
        return n;
    };
    {
        ReplacementFile dropped;
        ASSERT_TRUE(dropped.Open(target, 0600));
        dropped.Append(std::string(3 << 20, 'd'));
    }
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(HeldDeleted("document.xml"), 0);

    ReplacementFile file;
    std::string why;
    ASSERT_TRUE(file.Open(target, 0600, &why)) << why;
    const std::string big(3 << 20, 'b');  // past the steps handed to the device as it goes
    file.Append(std::vector<std::string_view>{"head;", big, "", "one;"});
    const uint64_t kept = file.Size();
    file.Append("two;three;");
    file.CutBack(kept);
    file.CutBack(kept + 100);  // beyond the end: nothing to cut
    file.Append(std::vector<std::string_view>{"2;", "3;"});
    EXPECT_EQ(file.Size(), kept + 4);
    std::string back;
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, "old");
    ASSERT_TRUE(file.Commit(&why)) << why;
    EXPECT_FALSE(file.IsOpen());
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, "head;" + big + "one;2;3;");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(entries(), 1u);
    EXPECT_FALSE(file.Commit(&why));  // once only
    EXPECT_FALSE(why.empty());
}

TEST(AtomicFile, AProducerThatFailsLeavesTheTargetAndNoTemporaryFile) {
    test::TempDir dir;
    const fs::path target = dir.path() / "document.xml";
    ASSERT_TRUE(WriteFileAtomically(target, "old", 0600));
    std::string why;
    EXPECT_FALSE(WriteFileAtomicallyFrom(
        target,
        [](const ByteSink& sink) {
            sink(std::string(200 * 1024, 'x'));
            throw std::runtime_error("printer failed");
        },
        0600, &why));
    EXPECT_NE(why.find("printer failed"), std::string::npos) << why;
    std::string back;
    ASSERT_TRUE(ReadWholeFile(target, back));
    EXPECT_EQ(back, "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(HeldDeleted("document.xml"), 0);
}

}  // namespace
}  // namespace vornel::platform
