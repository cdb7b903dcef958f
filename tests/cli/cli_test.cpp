// The vornel command as a user runs it: exit statuses and the one-line reasons for bad
// input. Runs the built binary.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::test {
namespace {

struct CmdResult {
    int status = -1;
    std::string out, err;
};

// Runs vornel with the arguments (each quoted) and collects its output.
CmdResult Vornel(const std::vector<std::string>& args, const TempDir& dir) {
    std::string cmd = "XDG_CONFIG_HOME='" + dir.path().string() + "/cfg' XDG_RUNTIME_DIR='" + dir.path().string() +
                      "/run' '" VORNEL_BINARY_DIR "/src/cli/vornel'";
    for (const auto& a : args) cmd += " '" + text::ReplaceAll(a, "'", "'\\''") + "'";
    const auto errFile = dir.path() / "stderr.txt";
    cmd += " 2>'" + errFile.string() + "'";
    CmdResult r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.err = ReadFile(errFile);
    return r;
}

const char* kReg =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName]\r\n\"ComputerName\"=\"CLIPC\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\ACPI\\PNP0A03\\0]\r\n\"DeviceDesc\"=\"PCI bus\"\r\n";

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { reg_ = dir_.Write("sys.reg", kReg); }
    std::filesystem::path Hive() {
        std::string error;
        auto store = platform::RegFileStore::Load(reg_, &error);
        EXPECT_TRUE(store) << error;
        const auto file = dir_.path() / "SYSTEM";
        EXPECT_TRUE(platform::WriteHive(*store, store->Walk(store->Root(), "HKEY_LOCAL_MACHINE\\SYSTEM"), file, &error))
            << error;
        return file;
    }
    TempDir dir_;
    std::filesystem::path reg_;
};

TEST_F(CliTest, VersionAndHelp) {
    CmdResult r = Vornel({"--version"}, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("0.0.44"), std::string::npos);
    r = Vornel({"--no-such-option"}, dir_);
    EXPECT_EQ(r.status, 2);
}

TEST_F(CliTest, RegDumpAndGetReadEveryKindOfSourceAlike) {
    const CmdResult fromReg = Vornel({"reg", "dump", "--reg", reg_.string(), "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"}, dir_);
    ASSERT_EQ(fromReg.status, 0) << fromReg.err;
    EXPECT_NE(fromReg.out.find("\"DeviceDesc\"=\"PCI bus\""), std::string::npos) << fromReg.out;
    const CmdResult fromHive =
        Vornel({"reg", "dump", "--hive", "SYSTEM=" + Hive().string(), "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"}, dir_);
    ASSERT_EQ(fromHive.status, 0) << fromHive.err;
    EXPECT_EQ(fromHive.out, fromReg.out);
    const CmdResult get = Vornel({"reg", "get", "--reg", reg_.string(),
                            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                            "ComputerName"}, dir_);
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, "ComputerName\tREG_SZ\tCLIPC\n");
    // A dump written to a file is a real export that reads back.
    const auto exported = dir_.path() / "export.reg";
    ASSERT_EQ(Vornel({"reg", "dump", "--hive", "SYSTEM=" + Hive().string(), "-o", exported.string()}, dir_).status, 0);
    EXPECT_EQ(ReadFile(exported).substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(Vornel({"reg", "get", "--reg", exported.string(),
                      "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"}, dir_).out,
              "ComputerName\tREG_SZ\tCLIPC\n");
    const CmdResult info = Vornel({"info", "--reg", reg_.string()}, dir_);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("sComputerName=CLIPC\n"), std::string::npos);
}

TEST_F(CliTest, BadInputGivesOneLineAndStatusTwo) {
    const std::string hive = Hive().string();
    const std::string bytes = ReadFile(hive);
    struct Case {
        std::string name, arg;
    };
    std::vector<Case> cases;
    std::string corrupt = bytes;
    for (size_t at = 4096 + 32; at < corrupt.size(); at += 61) corrupt[at] = static_cast<char>(corrupt[at] ^ 0x5A);
    cases.push_back({"corrupt", "--hive=SYSTEM=" + dir_.Write("corrupt.hive", corrupt).string()});
    cases.push_back({"truncated", "--hive=SYSTEM=" + dir_.Write("short.hive", bytes.substr(0, bytes.size() / 2)).string()});
    cases.push_back({"not a hive", "--hive=SYSTEM=" + dir_.Write("text.hive", "hello, world\n").string()});
    cases.push_back({"garbage lines", "--reg=" + dir_.Write("garbage.reg", std::string(kReg) + "\"bad\"=dword:xyz\r\n").string()});
    cases.push_back({"UTF-16 without BOM", "--reg=" + dir_.Write("nobom.reg", text::Utf8ToUtf16Le(kReg)).string()});
    cases.push_back({"missing file", "--reg=" + (dir_.path() / "none.reg").string()});
    for (const auto& c : cases) {
        const CmdResult r = Vornel({"reg", "dump", c.arg}, dir_);
        EXPECT_EQ(r.status, 2) << c.name << ": " << r.err;
        EXPECT_FALSE(r.err.empty()) << c.name;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.name << ": " << r.err;  // exactly one line
    }
    EXPECT_EQ(Vornel({"reg", "dump"}, dir_).status, 2);
    EXPECT_EQ(Vornel({"info"}, dir_).status, 2);
}

}  // namespace
}  // namespace vornel::test
