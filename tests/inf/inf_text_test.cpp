#include "inf/inf_text.h"

#include <gtest/gtest.h>

namespace vornel::inf {
namespace {

TEST(InfText, CleanFileNameTakesTheNamePartOfASectionLine) {
    struct Case {
        const char* line;
        int method;
        const char* name;
    };
    const Case cases[] = {
        {"tnet5.sys,,,2", 1, "tnet5.sys"},
        {"tnet5.sys , , , 0x00000010", 1, "tnet5.sys"},
        {"; tnet5.sys,,,2", 1, ""},
        {"  ;old.sys = 1,,", 2, ""},
        {"tnetui.dll ; user interface", 1, "tnetui.dll"},
        {"tnetcfg,,,2", 1, ""},
        {"tnet.readme.txt", 1, ""},
        {"tnetsvc.exe\told.bak", 1, "tnetsvc.exe"},
        {"\t  indented.sys,,,2", 1, "indented.sys"},
        {"usbaudio.sys   = 1,\\x86,", 2, "usbaudio.sys"},
        {"new.dll=old.dl_", 1, "new.dll"},
        {"ScanMon.exe=@scanmon.ex_", 3, "scanmon.ex_"},
        {"ScanMon.exe=", 3, ""},
        {"", 2, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(p_CleanFileName(c.line, c.method), c.name) << c.line;
}

TEST(InfText, CopyFilesLinesAndCounting) {
    EXPECT_TRUE(mP_IsCopyFilesLine("CopyFiles=a.files"));
    EXPECT_TRUE(mP_IsCopyFilesLine("  copyFILES = @x.sys ; note"));
    EXPECT_TRUE(mP_IsCopyFilesLine("Foo.CopyFiles = x"));
    EXPECT_FALSE(mP_IsCopyFilesLine("; CopyFiles = x"));
    EXPECT_FALSE(mP_IsCopyFilesLine("[Foo.CopyFiles]"));
    EXPECT_FALSE(mP_IsCopyFilesLine("AddReg = x"));
    EXPECT_EQ(mP_NumCharsInString("a.b.c", "."), 2u);
    EXPECT_EQ(mP_NumCharsInString("aaaa", "aa"), 2u);
    EXPECT_EQ(mP_NumCharsInString("abc", ""), 0u);
}

TEST(InfText, AppendToListKeepsTheFirstSpellingOfAName) {
    EXPECT_EQ(mP_AppendToList("", "a", "|", true, 1), "a");
    EXPECT_EQ(mP_AppendToList("b", "", "|", true, 1), "b");
    EXPECT_EQ(mP_AppendToList("A.SYS", "a.sys|b.sys", "|", true, 1), "a.sys|b.sys");
    EXPECT_EQ(mP_AppendToList("A.SYS", "a.sys", "|", true, 0), "a.sys|A.SYS");
    EXPECT_EQ(mP_AppendToList("a.sys", "a.sys", "|", false, 1), "a.sys|a.sys");
    EXPECT_EQ(mP_AppendToList("c", "a|", "|", true, 1), "a|c");
    EXPECT_EQ(mP_AppendToList("audio.sys", "usbaudio.sys", "|", true, 1),
              "usbaudio.sys|audio.sys");
    EXPECT_EQ(mP_AppendToList("\xC3\x89T\xC3\x89.SYS", "\xC3\xA9t\xC3\xA9.sys", "|", true, 1),
              "\xC3\xA9t\xC3\xA9.sys");

    // The linear-time list agrees with repeated appends, separators inside items included.
    const char* items[] = {"a.sys", "B.dll", "A.SYS", "x|y", "Y", "", "b.DLL", "z|", "q",
                           "\xC3\xA9t\xC3\xA9.sys", "\xC3\x89T\xC3\x89.SYS", "c.sys", "C.SYS"};
    FileList list;
    std::string expected;
    for (const char* item : items) {
        list.Add(item);
        expected = mP_AppendToList(item, expected, "|", true, 1);
        EXPECT_EQ(list.Text(), expected) << item;
    }
    FileList ansi("|", true);
    ansi.Add("\xE9t\xE9.sys");
    ansi.Add("\xC9T\xC9.SYS");
    EXPECT_EQ(ansi.Text(), "\xE9t\xE9.sys");
}

TEST(InfText, NamesFoldTheSameWhereverTheirFirstLetterBeyondAsciiFalls) {
    // ASCII is told eight bytes at a time: a letter beyond it at every offset of a long
    // name, and a byte that is no UTF-8, which folds as ASCII does.
    for (size_t at = 0; at < 20; ++at) {
        const std::string before(at, 'a'), after(19 - at, 'b');
        EXPECT_EQ(FoldNameCase(before + "\xC3\xA9" + after),
                  std::string(at, 'A') + "\xC3\x89" + std::string(19 - at, 'B')) << at;
        EXPECT_EQ(FoldNameCase(before + "\xE9" + after), std::string(at, 'A') + "\xE9" + std::string(19 - at, 'B'))
            << at;
    }
}

}  // namespace
}  // namespace vornel::inf
