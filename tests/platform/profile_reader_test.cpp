#include "platform/profile_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/profile_file.h"
#include "platform/profile_manual_section.h"
#include "support/last_error.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class ProfileReaderTest : public ::testing::Test {
protected:
    fs::path Ini(std::string_view bytes, const std::string& name = "t.inf") {
        return dir_.Write(name, bytes);
    }
    std::string Value(const fs::path& f, const char* section, const char* key,
                      const char* def = "dflt") {
        return reader_.GetString(section, key, def, f);
    }

    test::TempDir dir_;
    ProfileReader reader_;
};

TEST_F(ProfileReaderTest, LinesHeadersCommentsAndKeysParseAsWindowsReadsThem) {
    const fs::path f = Ini(
        "k0=before any header\r\n"
        "[ s1 ]\r\n"
        " \t\v\x1A a = 1 \x1A\r\n"
        "lf=2\n"
        "cr=3\r"
        "; k=comment\r\n"
        "  ;k2=indented comment\r\n"
        "#hash=4\r\n"
        "inline=value ; note\r\n"
        "eq=a=b\r\n"
        "just a line\r\n"
        "[s2]k=lost\r\n"
        "[s3\r\n"
        "k=in s3\r\n"
        "[]\r\n"
        "k=in empty\r\n"
        "[last]\r\n"
        "k=no final newline");
    EXPECT_EQ(Value(f, "s1", "a"), "1");
    EXPECT_EQ(Value(f, "s1", "lf"), "2");
    EXPECT_EQ(Value(f, "s1", "cr"), "3");
    EXPECT_EQ(Value(f, "s1", "k"), "dflt");
    EXPECT_EQ(Value(f, "s1", ";k"), "dflt");
    EXPECT_EQ(Value(f, "s1", "k2"), "dflt");
    EXPECT_EQ(Value(f, "s1", "#hash"), "4");
    EXPECT_EQ(Value(f, "s1", "inline"), "value ; note");
    EXPECT_EQ(Value(f, "s1", "eq"), "a=b");
    EXPECT_EQ(Value(f, "s1", "just a line"), "dflt");
    EXPECT_EQ(Value(f, "s2", "k"), "dflt");
    EXPECT_EQ(Value(f, "s3", "k"), "in s3");
    EXPECT_EQ(Value(f, "", "k"), "in empty");
    EXPECT_EQ(Value(f, "last", "k"), "no final newline");
    EXPECT_EQ(Value(f, "", "k0"), "dflt");
    EXPECT_EQ(reader_.GetSectionNames(f), "s1\0s2\0s3\0\0last\0"s);
    EXPECT_EQ(reader_.GetSection("s1", f),
              "a=1\0lf=2\0cr=3\0#hash=4\0inline=value ; note\0eq=a=b\0just a line\0"s);
}

TEST_F(ProfileReaderTest, LookupsIgnoreCaseAndSpacesAndTheFirstSectionAndKeyWin) {
    const fs::path f = Ini(
        "[Strings]\r\nName=first\r\nNAME=second\r\n"
        "[strings]\r\nOther=hidden\r\n"
        "[Quotes]\r\nq1=  \"  v  \"  \r\nq2='single'\r\nq3=\"mixed'\r\nq4=\"\r\nq5=\"\"\r\n"
        "q6=\"a\" b \"c\"\r\nempty=\r\n\xC9t\xE9=\xE0\r\n");
    EXPECT_EQ(Value(f, "  STRINGS ", "  name  "), "first");
    EXPECT_EQ(Value(f, "\tStrings", "Name"), "dflt");
    EXPECT_EQ(Value(f, "Strings", "Other"), "dflt");
    EXPECT_EQ(Value(f, "quotes", "\xE9T\xC9"), "\xE0");  // Windows-1252 letters fold too
    EXPECT_EQ(reader_.GetSectionNames(f), "Strings\0strings\0Quotes\0"s);
    EXPECT_EQ(Value(f, "Quotes", "q1"), "  v  ");
    EXPECT_EQ(Value(f, "Quotes", "q2"), "single");
    EXPECT_EQ(Value(f, "Quotes", "q3"), "\"mixed'");
    EXPECT_EQ(Value(f, "Quotes", "q4"), "\"");
    EXPECT_EQ(Value(f, "Quotes", "q5"), "");
    EXPECT_EQ(Value(f, "Quotes", "q6"), "a\" b \"c");
    EXPECT_EQ(Value(f, "Quotes", "empty"), "");
    EXPECT_EQ(reader_.SectionLines("Quotes", f)[0], "q1=\"  v  \"");
    // Defaults: missing key, section and file; trailing spaces of the default go.
    EXPECT_EQ(Value(f, "Quotes", "none", "  d  "), "  d");
    EXPECT_EQ(Value(f, "None", "q1", "d"), "d");
    SetLastErrorCode(0);
    EXPECT_EQ(Value(dir_.path() / "missing.inf", "Quotes", "q1", "d"), "d");
    EXPECT_EQ(GetLastErrorCode(), win::kFileNotFound);
    EXPECT_EQ(reader_.GetSection("Quotes", dir_.path() / "missing.inf"), "");
}

TEST_F(ProfileReaderTest, EncodingsUtf16IsConvertedAndUtf8BomSpoilsTheFirstLine) {
    const std::string utf8 = "[Strings]\r\nName=Caf\xC3\xA9 \xE6\x97\xA5\r\n\xE6\x97\xA5=x\r\n";
    const fs::path u16 = Ini("\xFF\xFE" + text::Utf8ToUtf16Le(utf8), "u16.inf");
    EXPECT_EQ(Value(u16, "Strings", "Name"), "Caf\xE9 ?");
    EXPECT_EQ(Value(u16, "Strings", "?"), "x");
    const fs::path ansi = Ini("[S]\r\nk=\xE9\r\n", "ansi.inf");
    EXPECT_EQ(Value(ansi, "S", "k"), "\xE9");
    const fs::path bom = Ini("\xEF\xBB\xBF[Version]\r\nk=1\r\n[Next]\r\nk=2\r\n", "bom.inf");
    EXPECT_EQ(Value(bom, "Version", "k"), "dflt");
    EXPECT_EQ(Value(bom, "Next", "k"), "2");
}

TEST(ProfileFileUtf16, ConvertsTheSameWhereverTheOddCharacterFalls) {
    // ASCII runs are converted eight characters at a time: every offset against those
    // blocks, for a character the code page has, one it lacks, a surrogate pair and the end.
    const std::pair<std::string, std::string> odd[] = {
        {"\xC3\xA9", "\xE9"}, {"\xE2\x82\xAC", "\x80"}, {"\xD0\x96", "?"}, {"\xF0\x9F\x98\x80", "?"}};
    for (const auto& [utf8, ansi] : odd)
        for (size_t pad = 0; pad < 20; ++pad) {
            const std::string before(pad, 'a'), after(pad % 9 + 3, 'z');
            const std::string stored = "\xFF\xFE" + text::Utf8ToUtf16Le(before + utf8 + after);
            EXPECT_EQ(ProfileFile(stored).Text(), before + ansi + after) << pad;
            // An odd last byte is dropped.
            EXPECT_EQ(ProfileFile(stored + "x").Text(), before + ansi + after) << pad;
        }
}

TEST_F(ProfileReaderTest, BuffersCutAndReturnAsWindowsDoes) {
    const fs::path f = Ini("[s]\r\na=1\r\nb=\r\nc\r\n[t]\r\nlong=abcdef\r\n[empty]\r\n");
    char buf[64];

    // The count leaves out the final NUL only: 9 for these 10 characters.
    EXPECT_EQ(reader_.GetPrivateProfileSectionA("s", buf, sizeof buf, f), 9u);
    EXPECT_EQ(std::string(buf, 10), "a=1\0b=\0c\0\0"s);
    EXPECT_EQ(reader_.GetPrivateProfileSectionA("empty", buf, sizeof buf, f), 0u);
    EXPECT_EQ(reader_.GetPrivateProfileSectionA("none", buf, sizeof buf, f), 0u);
    EXPECT_EQ(buf[0], '\0');

    // Value: size-1 characters and a NUL; size 0 leaves the buffer alone.
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(reader_.GetPrivateProfileStringA("t", "long", "", buf, 4, f), 3u);
    EXPECT_EQ(std::string(buf, 5), "abc\0X"s);
    EXPECT_EQ(reader_.GetPrivateProfileStringA("t", "long", "", buf, 0, f), 0u);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(reader_.GetPrivateProfileStringA("t", "none", "default", buf, 5, f), 4u);
    EXPECT_EQ(std::string(buf), "defa");
    EXPECT_EQ(reader_.GetString("t", "long", "", f, 4), "abc");

    // Lists: a cut list ends in two NULs and returns size-2; so does an exact fit.
    struct Case {
        uint32_t size;
        uint32_t ret;
        std::string bytes;
    };
    for (const Case& c : {Case{6, 4, "a=1\0\0\0"s}, Case{7, 5, "a=1\0b\0\0"s},
                          Case{10, 8, "a=1\0b=\0c\0\0"s}, Case{11, 9, "a=1\0b=\0c\0\0"s},
                          Case{12, 9, "a=1\0b=\0c\0\0"s}}) {
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(reader_.GetPrivateProfileSectionA("s", buf, c.size, f), c.ret) << c.size;
        EXPECT_EQ(std::string(buf, c.bytes.size()), c.bytes) << c.size;
        EXPECT_EQ(reader_.GetSection("s", f, c.size), c.bytes.substr(0, c.ret)) << c.size;
    }
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(reader_.GetPrivateProfileSectionNamesA(buf, 5, f), 3u);
    EXPECT_EQ(std::string(buf, 5), "s\0t\0\0"s);
    // A null section lists the sections, a null key the keys of the section.
    EXPECT_EQ(reader_.GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, f), 10u);
    EXPECT_EQ(reader_.GetPrivateProfileStringA("s", nullptr, "", buf, sizeof buf, f), 4u);
    EXPECT_EQ(std::string(buf, 5), "a\0b\0\0"s);
}

TEST_F(ProfileReaderTest, InfValuesLoseTrailingCommentsOutsideQuotes) {
    const fs::path f = Ini(
        "[Version]\r\n"
        "DriverVer = 07/01/2001,5.1.2535.0 ; built by x\r\n"
        "CatalogFile=\"odd;name.cat\" ; signed\r\n"
        "Signature=\"$Windows NT$\"\r\n"
        "LayoutFile=;nothing\r\n");
    EXPECT_EQ(reader_.GetString("Version", "DriverVer", "", f), "07/01/2001,5.1.2535.0 ; built by x");
    EXPECT_EQ(reader_.GetInfString("Version", "DriverVer", "", f), "07/01/2001,5.1.2535.0");
    EXPECT_EQ(reader_.GetInfString("Version", "DriverVer", "", f, 11), "07/01/2001");
    EXPECT_EQ(reader_.GetInfString("Version", "CatalogFile", "", f), "odd;name.cat");
    EXPECT_EQ(reader_.GetInfString("Version", "Signature", "", f), "$Windows NT$");
    EXPECT_EQ(reader_.GetInfString("Version", "LayoutFile", "0", f), "");
    EXPECT_EQ(reader_.GetInfString("Version", "Missing", "0", f), "0");
}

TEST_F(ProfileReaderTest, EachFileIsParsedOncePerScanAndAgainWhenItChanges) {
    const fs::path f = Ini("[s]\r\nk=old\r\n");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Value(f, "s", "k"), "old");
    reader_.GetSection("s", f);
    reader_.GetSectionNames(f);
    EXPECT_EQ(reader_.ParseCount(), 1u);

    Ini("[s]\r\nk=new value\r\n");
    EXPECT_EQ(Value(f, "s", "k"), "old");  // within a scan the file is read once
    reader_.StartScan();
    EXPECT_EQ(Value(f, "s", "k"), "new value");
    EXPECT_EQ(reader_.ParseCount(), 2u);
    reader_.StartScan();
    EXPECT_EQ(Value(f, "s", "k"), "new value");
    EXPECT_EQ(reader_.ParseCount(), 2u);

    EXPECT_EQ(reader_.Open(dir_.path()).status, ProfileStatus::Unreadable);
    EXPECT_EQ(reader_.Open(dir_.path() / "none").status, ProfileStatus::Missing);
    // A FIFO with no writer is refused at once, not waited on.
    const fs::path fifo = dir_.path() / "pipe.inf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(reader_.Open(fifo).status, ProfileStatus::Unreadable);

    // Files are opened by name in folders the reader keeps open: files of the same name
    // in more folders than it keeps, read in turn, are each their own.
    ProfileReader small(0);  // no cache: every call reads its file again
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 7; ++i) {
            const fs::path inf = dir_.path() / ("d" + std::to_string(i)) / "same.inf";
            if (round == 0) dir_.Write(("d" + std::to_string(i)) + "/same.inf", "[s]\r\nk=" + std::to_string(i) + "\r\n");
            EXPECT_EQ(small.GetString("s", "k", "", inf), std::to_string(i)) << i;
        }
    EXPECT_EQ(small.Open(dir_.path() / "d9" / "same.inf").status, ProfileStatus::Missing);
}

TEST(ProfileManualSection, ReadsTextUpToTheNextBracketKeepingCommentsAndBlanks) {
    const ProfileFile f(
        "[Install.Files]\r\n  a.sys,,,2\r\n; old.sys\r\n\r\nb.dll\r\n\r\n"
        "[Install]\r\nCopyFiles=Install.Files\r\nDesc=\"x [y]\"\r\nz=1\r\n"
        "[Tail]");
    std::string out;
    size_t count = 0;
    EXPECT_EQ(ReadSectionManually(f, "install.files", out, count), ManualSectionStatus::Ok);
    EXPECT_EQ(out, "  a.sys,,,2\0; old.sys\0\0b.dll\0\0"s);
    EXPECT_EQ(count, out.size() - 2);
    // The header of exactly that name; the body stops at any '['.
    EXPECT_EQ(ReadSectionManually(f, "Install", out, count), ManualSectionStatus::Ok);
    EXPECT_EQ(out, "CopyFiles=Install.Files\0Desc=\"x \0\0"s);
    EXPECT_EQ(ReadSectionManually(f, "Tail", out, count), ManualSectionStatus::Ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ReadSectionManually(f, "Inst", out, count), ManualSectionStatus::NoSection);
    EXPECT_EQ(ReadSectionManually(ProfileFile(""), "x", out, count),
              ManualSectionStatus::EmptyText);
}

}  // namespace
}  // namespace vornel::platform
