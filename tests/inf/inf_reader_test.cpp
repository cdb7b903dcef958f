#include "inf/inf_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/error_log.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::inf {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class InfReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Logger::Instance().DefaultFolder();
        Logger::Instance().SetDefaultFolder(log_.path());
    }
    void TearDown() override { Logger::Instance().SetDefaultFolder(saved_); }

    std::string Scrape(int method, const fs::path& inf, const std::string& section = "",
                       bool nt = true) {
        InfReader reader(profile_, InfOsFlags{nt});
        return reader.p_ScrapeInfDoTheRealWork(method, inf, section);
    }
    std::string Log() const { return test::ReadFile(log_.path() / "vn_log.txt"); }
    size_t LogRecords() const { return text::Split(Log(), "Module: ").size() - 1; }

    test::TempDir dir_, log_;
    fs::path saved_;
    platform::ProfileReader profile_;
};

TEST_F(InfReaderTest, InstallSectionOnNtUsesTheDecoratedSectionAndItsCoInstallers) {
    InfReader reader(profile_);
    const InfScrape s =
        reader.Scrape(kParseInstallSection, test::TestData("inf/netcard.inf"), "TNet.Install");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.section, "TNet.Install.NTx86");
    EXPECT_EQ(s.coInstallers, "TNet.Install.NTx86.CoInstallers");
    // "@" entry first, then its section; the second CopyFiles line; the co-installer pass;
    // then the catalog (its comment cut) and the layout files.
    EXPECT_EQ(s.files,
              "tnetmini.sys|tnet5.sys|tnetsvc.exe|tnetui.dll|tnet.chm|tnetco.dll|tnet.cat|"
              "layout.inf|layout2.inf");
    EXPECT_TRUE(s.methodFound);
    EXPECT_EQ(LogRecords(), 0u);
}

TEST_F(InfReaderTest, NtDecorationIsSkippedForNtNamesAndOnWindows9x) {
    const fs::path inf = test::TestData("inf/netcard.inf");
    EXPECT_EQ(Scrape(kParseInstallSection, inf, "tnet.install.nt"),
              "tnetnt.sys|tnet.cat|layout.inf|layout2.inf");
    InfReader win9x(profile_, InfOsFlags{false});
    const InfScrape s = win9x.Scrape(kParseInstallSection, inf, "TNet.Install");
    EXPECT_EQ(s.section, "TNet.Install");
    EXPECT_EQ(s.coInstallers, "");
    EXPECT_EQ(s.files, "tnet9x.vxd|tnet.cat|layout.inf|layout2.inf");
}

TEST_F(InfReaderTest, SourceDisksFilesAndWholeFileMethods) {
    const fs::path media = test::TestData("inf/media.inf");
    InfReader reader(profile_);
    const InfScrape first = reader.Scrape(kParseInstallSection, media, "Audio.Install");
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.section, "Audio.Install.NT");
    EXPECT_EQ(first.files, "");
    // A name that is part of one already listed is still a file of its own.
    EXPECT_EQ(Scrape(kParseSourceDisksFiles, media), "usbaudio.sys|audio.sys|AudioCtl.dll");
    EXPECT_EQ(Scrape(kParseSourceDisksFiles, test::TestData("inf/netcard.inf")),
              "tnet5.sys|tnetmini.sys|tnetco.dll|tnet.chm|tnet.cat|layout.inf|layout2.inf");

    // Every directive, whatever its blanks; numeric names read no section; each "@"
    // entry is a file; the Include with blanks and a comment is found too.
    const fs::path scanner = test::TestData("inf/scanner.inf");
    EXPECT_EQ(Scrape(kParseWholeFile, scanner),
              "scanusd.dll|scanmon.ex_|scanui.dll|scanhelp.hlp|sti.inf");
    EXPECT_EQ(Scrape(kParseWholeFile, test::TestData("inf/netcard.inf")),
              "tnet9x.vxd|tnetnt.sys|tnet5.sys|TNETMINI.SYS|tnetsvc.exe|tnetui.dll|tnet.chm|"
              "tnetco.dll|tnet.cat|layout.inf|layout2.inf");
    const fs::path numeric = dir_.Write(
        "numeric.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Inst]\r\nCopyFiles=12\r\n"
                       "[12]\r\nx.sys\r\n");
    EXPECT_EQ(Scrape(kParseWholeFile, numeric), "");

    // The section reader's answer for a section of one one-character line is two
    // characters, which count as no section at all: its "." names nothing.
    const fs::path tiny = dir_.Write(
        "tiny.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Inst]\r\nCopyFiles=One,Two,Three\r\n"
                    "[One]\r\n.\r\n[Two]\r\nab.sys\r\n[Three]\r\nc.sys = 1\r\n");
    EXPECT_EQ(Scrape(kParseInstallSection, tiny, "Inst"), "ab.sys|c.sys");
}

TEST_F(InfReaderTest, WholeFileFindsEachDirectiveWhereverItFalls) {
    // The word is searched sixteen bytes at a time: every offset against those blocks. A
    // directive counts only before a comment, and a comment's directive only as its own line.
    for (size_t pad = 0; pad < 24; ++pad) {
        const fs::path inf = dir_.Write(
            "pad.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Inst]\r\nAddReg=" + std::string(pad, 'r') +
                           "\r\n COPYFILES = A.Files ; CopyFiles=B.Files\r" + std::string(pad, ' ') +
                           "x=1 ; copyfiles=C.Files\nCopyFiles=@z.sys, D.Files\r\n"
                           "[A.Files]\r\na.sys\r\n[B.Files]\r\nb.sys\r\n[C.Files]\r\nc.sys\r\n"
                           "[D.Files]\r\nd.sys\r\n[Last]\r\ncopyfiles=@e.sys");
        EXPECT_EQ(Scrape(kParseWholeFile, inf), "a.sys|d.sys|z.sys|e.sys") << pad;
    }
}

TEST_F(InfReaderTest, CommonTailReadsCatalogsLayoutsAndEveryInclude) {
    const fs::path three = dir_.Write(
        "three.inf",
        "[Version]\r\nCatalogFile=a.c\r\nCatalogFile.NT=\"b.cat\" ; quoted\r\n"
        "LayoutFile=ab\r\n[Install]\r\n; Include=commented.inf\r\n"
        "Include = ks.inf, wdmaudio.inf ; streaming\r\nNeeds=KS.Registration\r\n"
        "Include=last.inf");
    EXPECT_EQ(Scrape(kParseSourceDisksFiles, three),
              "a.c|b.cat|commented.inf|ks.inf|wdmaudio.inf|last.inf");
    const fs::path two = dir_.Write("two.inf", "[Version]\r\nCatalogFile=ab\r\n");
    EXPECT_EQ(Scrape(kParseSourceDisksFiles, two), "");
}

TEST_F(InfReaderTest, IsInfSectionIsASubstringTest) {
    const fs::path inf = test::TestData("inf/netcard.inf");
    InfReader reader(profile_);
    EXPECT_TRUE(reader.mP_IsInfSection("tnet.install.ntx8", inf));
    EXPECT_TRUE(reader.mP_IsInfSection("SourceDisks", inf));
    EXPECT_FALSE(reader.mP_IsInfSection("Install.NTamd64", inf));
    EXPECT_FALSE(reader.mP_IsInfSection("Version", dir_.path() / "none.inf"));
}

// An INF of 32000 bytes or more on Windows 9x: sections come from the text itself.
TEST_F(InfReaderTest, Windows9xReadsLargeFilesWithTheManualParse) {
    std::string body =
        "[Version]\r\nSignature=\"$CHICAGO$\"\r\n\r\n[Big.Install]\r\n"
        "CopyFiles=Big.Files, Big.Missing\r\n\r\n[Big.Files]\r\n"
        "  big.vxd,,,2\r\n; old.vxd,,,2\r\n\tbig.dll = 1\r\nbig.hlp\r\n\r\n[Strings]\r\n";
    while (body.size() < InfReader::kManualParseFrom) body += "Desc=\"A long description\"\r\n";
    const fs::path inf = dir_.Write("big.inf", body);

    InfReader win9x(profile_, InfOsFlags{false});
    EXPECT_EQ(win9x.p_ScrapeInfDoTheRealWork(kParseInstallSection, inf, "Big.Install"),
              "big.vxd|big.dll|big.hlp");
    // The missing section is the one failure logged, as the section reader's own.
    EXPECT_EQ(LogRecords(), 1u);
    EXPECT_NE(Log().find("Routine: mP_GetPrivateProfileSection"), std::string::npos);
    EXPECT_NE(Log().find("Err.Number: -2147215882"), std::string::npos);  // 0x800415F6
    std::string text;
    EXPECT_EQ(win9x.mP_GetPrivateProfileSection(inf, "Big.Files", text), 48);
    EXPECT_EQ(text, "  big.vxd,,,2\0; old.vxd,,,2\0\tbig.dll = 1\0big.hlp\0\0"s);
    // The NT family reads the same names through the profile functions.
    EXPECT_EQ(Scrape(kParseInstallSection, inf, "Big.Install"), "big.vxd|big.dll|big.hlp");
}

TEST_F(InfReaderTest, Utf16AndLfOnlyFilesReadLikeAnsiCrLfFiles) {
    const std::string scanner = test::ReadFile(test::TestData("inf/scanner.inf"));
    const fs::path u16 = dir_.Write(
        "u16.inf", "\xFF\xFE" + text::Utf8ToUtf16Le(text::Cp1252ToUtf8(scanner)));
    const fs::path lf = dir_.Write("lf.inf", text::ReplaceAll(scanner, "\r\n", "\n"));
    const std::string expected = "scanusd.dll|scanmon.ex_|scanui.dll|scanhelp.hlp|sti.inf";
    EXPECT_EQ(Scrape(kParseWholeFile, u16), expected);
    EXPECT_EQ(Scrape(kParseWholeFile, lf), expected);
    EXPECT_EQ(Scrape(kParseInstallSection, u16, "Scan.Dev"), "sti.inf");
}

TEST_F(InfReaderTest, UnusableFilesGiveAnEmptyListAndOneLogRecord) {
    const fs::path readOnly = dir_.Write("ro.inf", "[Version]\r\nCatalogFile=ro.cat\r\n");
    ::chmod(readOnly.c_str(), 0444);
    const fs::path enormous = dir_.Write("enormous.inf", "[Version]\r\nCatalogFile=x.cat\r\n");
    fs::resize_file(enormous, platform::ProfileReader::kMaxFileBytes + 1);  // sparse
    const fs::path cases[] = {dir_.path() / "missing.inf", dir_.Write("empty.inf", ""),
                              dir_.Write("binary.inf", "MZ\x90\0\3\0\0\0[Version]\r\n"s),
                              enormous, dir_.path()};
    size_t records = 0;
    for (const fs::path& inf : cases) {
        for (int method = 1; method <= 3; ++method) {
            EXPECT_EQ(Scrape(method, inf, "Install"), "") << inf;
            EXPECT_EQ(LogRecords(), ++records) << inf;
        }
    }
    EXPECT_NE(Log().find("Routine: p_ScrapeInfDoTheRealWork"), std::string::npos);
    EXPECT_NE(Log().find("Module: mTQZUtili"), std::string::npos);
    EXPECT_NE(Log().find("Err.Number: -2147215883"), std::string::npos);  // 0x800415F5
    // Nothing is written: a read-only INF is read and keeps its mode.
    EXPECT_EQ(Scrape(kParseSourceDisksFiles, readOnly), "ro.cat");
    EXPECT_EQ(fs::status(readOnly).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(InfReaderTest, AMegabyteLineIsReadInOnePass) {
    const std::string big = std::string(1u << 20, 'a') + ".sys";
    std::string line = "CopyFiles=@first.sys";
    std::string singles;
    for (int i = 0; line.size() < (1u << 20); ++i) {
        line += ",Big.Files,@f" + std::to_string(i) + ".sys";
        singles += "|f" + std::to_string(i) + ".sys";
    }
    std::string include = "Include=x.inf";
    while (include.size() < (1u << 20)) include += ",Include=x.inf";
    const fs::path inf = dir_.Write("huge.inf", "[Version]\r\n[Inst]\r\n" + line + "\r\n" +
                                                    include + "\r\n[Big.Files]\r\n" + big);
    const std::string tail = "|x.inf|Include=x.inf";
    EXPECT_EQ(Scrape(kParseInstallSection, inf, "Inst"), "first.sys|" + big + singles + tail);
    EXPECT_EQ(Scrape(kParseWholeFile, inf), big + "|first.sys" + singles + tail);
}

}  // namespace
}  // namespace vornel::inf
