#include <gtest/gtest.h>

#include "support/error_log.h"
#include "support/last_error.h"
#include "support/vlx_error.h"
#include "test_support.h"

namespace vornel {
namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Logger::Instance().DefaultFolder();
        Logger::Instance().SetDefaultFolder(dir_.path());
        SetLastErrorCode(0);
    }
    void TearDown() override { Logger::Instance().SetDefaultFolder(saved_); }
    std::string Log() const { return test::ReadFile(dir_.path() / "vn_log.txt"); }

    test::TempDir dir_;
    std::filesystem::path saved_;
};

// The header: VER line, a date-time line of the program's form, an empty line.
void ExpectHeader(const std::string& log, std::string* rest) {
    ASSERT_EQ(log.rfind("VER=0.0.44\r\n", 0), 0u) << log;
    const size_t dateEnd = log.find("\r\n", 12);
    const std::string date = log.substr(12, dateEnd - 12);
    ASSERT_EQ(date.size(), 19u) << date;  // MM/DD/YYYY hh:mm:ss
    EXPECT_EQ(date[2], '/');
    EXPECT_EQ(date[5], '/');
    EXPECT_EQ(date[13], ':');
    ASSERT_EQ(log.substr(dateEnd, 4), "\r\n\r\n");
    *rest = log.substr(dateEnd + 4);
}

TEST_F(LogTest, FirstRecordGetsHeaderAndSecondDoesNot) {
    ReportError("mDrivers", "mP_AddRecordStats", 5, "Invalid procedure call or argument");
    ReportError("cReg", "cP_GetRegValue", static_cast<int32_t>(0x800415EB), "VLX_XML|HEAD", "extra");
    std::string rest;
    ExpectHeader(Log(), &rest);
    EXPECT_EQ(rest,
              "Module: mDrivers\r\n"
              "Routine: mP_AddRecordStats\r\n"
              "Err.Number: 5\r\n"
              "Err.Description: Invalid procedure call or argument\r\n"
              "Err.LastDllError: 0\r\n"
              "Err.LastDllErrorMessage: The operation completed successfully.\r\n\r\n"
              "sExtendedMess$: \r\n"
              "sAdditionalErrMessage$: \r\n"
              "\r\n"
              "Module: cReg\r\n"
              "Routine: cP_GetRegValue\r\n"
              "Err.Number: -2147215893\r\n"
              "Err.Description: VLX_XML\r\n"
              "HEAD\r\n"
              "Err.LastDllError: 0\r\n"
              "Err.LastDllErrorMessage: The operation completed successfully.\r\n\r\n"
              "sExtendedMess$: \r\n"
              "sAdditionalErrMessage$: extra\r\n"
              "\r\n");
}

TEST_F(LogTest, GuardReportsTheFailureAndReturnsTheFailureValue) {
    SetLastErrorCode(0xFFFFFFFFu);  // unknown code: no text, printed signed
    const int r = Guarded("mVLX", "mP_Thing", -1, []() -> int {
        throw VlxError(kVlxErrorBase + 0x15EB, "VLX_XML_HEAD_CREATE_FAILED");
    });
    EXPECT_EQ(r, -1);
    EXPECT_FALSE(GuardedRun("mVLX", "mP_Other", [] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(GuardedRun("mVLX", "mP_Fine", [] {}));
    const std::string log = Log();
    EXPECT_NE(log.find("Routine: mP_Thing\r\nErr.Number: -2147215893\r\n"
                       "Err.Description: VLX_XML_HEAD_CREATE_FAILED\r\n"
                       "Err.LastDllError: -1\r\nErr.LastDllErrorMessage: \r\nsExtendedMess$: \r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Routine: mP_Other\r\nErr.Number: 5\r\n"), std::string::npos);
    EXPECT_EQ(log.find("mP_Fine"), std::string::npos);
}

TEST_F(LogTest, StartAfreshReplacesTheFileAndNamedFilesAreUsedAsGiven) {
    Logger::Instance().WriteLog("one");
    Logger::Instance().WriteLog("two|three", true);
    std::string rest;
    ExpectHeader(Log(), &rest);
    EXPECT_EQ(rest, "two\r\nthree\r\n\r\n");

    const auto other = dir_.path() / "OSInfo.txt";
    Logger::Instance().WriteLog("a=1", false, other.string());
    ExpectHeader(test::ReadFile(other), &rest);
    EXPECT_EQ(rest, "a=1\r\n\r\n");
}

TEST_F(LogTest, UnwritableFolderLosesTheRecordQuietly) {
    Logger::Instance().SetDefaultFolder(dir_.path() / "missing" / "deeper");
    EXPECT_NO_THROW(ReportError("m", "r", 1, "x"));
    Logger::Instance().SetDefaultFolder({});
    EXPECT_NO_THROW(Logger::Instance().WriteLog("x"));
}

TEST(LoggerHelpers, FileExistsTakesPatternsAndSizes) {
    test::TempDir d;
    d.Write("a.inf", "x");
    std::filesystem::create_directory(d.path() / "sub");
    EXPECT_TRUE(Logger::FileExists((d.path() / "a.inf").string()));
    EXPECT_TRUE(Logger::FileExists((d.path() / "*.inf").string()));
    EXPECT_FALSE(Logger::FileExists((d.path() / "*.sys").string()));
    EXPECT_FALSE(Logger::FileExists((d.path() / "b.inf").string()));
    EXPECT_FALSE(Logger::FileExists((d.path() / "sub").string()));
}

TEST(LoggerHelpers, NormalizeTrailingSeparator) {
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("", "\\", true), "");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("C:\\x", "\\", true), "C:\\x\\");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("C:\\x\\", "\\", true), "C:\\x\\");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("C:\\x\\\\\\", "\\", false), "C:\\x");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("\\\\a\\", "\\", false, true), "a");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("a", "\\", true, true), "\\a\\");
    EXPECT_EQ(Logger::NormalizeTrailingSeparator("\\\\", "\\", false), "");
}

TEST(ErrorTexts, TablesAnswerKnownCodesAndDefaultOthers) {
    EXPECT_EQ(ShellExecuteErrorText(26), "An unknown error occurred.");
    EXPECT_EQ(ShellExecuteErrorText(5), "The operating system denied access to the specified file. ");
    EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(SystemErrorText(259), "No more data is available.\r\n");
    EXPECT_EQ(SystemErrorText(12029), "A connection with the server could not be established\r\n");
    EXPECT_EQ(SystemErrorText(99999), "");
}

}  // namespace
}  // namespace vornel
