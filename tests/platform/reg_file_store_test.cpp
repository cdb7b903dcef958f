#include <gtest/gtest.h>

#include "platform/reg_file_store.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::platform {
namespace {

std::string Utf16File(const std::string& utf8) { return "\xFF\xFE" + text::Utf8ToUtf16Le(utf8); }

struct Loaded {
    std::unique_ptr<RegFileStore> store;
    std::string error;
    std::vector<std::string> warnings;
};

Loaded Import(const std::string& bytes) {
    Loaded l;
    l.store = std::make_unique<RegFileStore>();
    if (!l.store->Import(bytes, "t.reg", &l.error, &l.warnings)) l.store.reset();
    return l;
}

RegValue Value(const RegFileStore& s, std::string_view key, std::string_view name) {
    RegValue v;
    v.type = 999;
    s.FindValue(s.Walk(s.Root(), key), name, v);
    return v;
}

std::string U16(const std::string& s) { return text::Utf8ToUtf16Le(s); }

TEST(RegFileImport, HeaderDecidesEncodingAndIsRequiredExactly) {
    // UTF-16LE with BOM: the 5.00 form; text keeps every character.
    auto l = Import(Utf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"n\"=\"Ж€\"\r\n"));
    ASSERT_TRUE(l.store) << l.error;
    EXPECT_EQ(Value(*l.store, "HKEY_LOCAL_MACHINE\\K", "n").data, U16("Ж€") + std::string(2, '\0'));
    // Without a BOM the bytes are ANSI: 0x80 is the euro sign.
    l = Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"n\"=\"\x80\"\n");
    ASSERT_TRUE(l.store) << l.error;
    EXPECT_EQ(Value(*l.store, "HKEY_LOCAL_MACHINE\\K", "n").data, U16("€") + std::string(2, '\0'));

    for (const std::string bad : {"REGEDIT5\r\n", " REGEDIT4\r\n", "Windows Registry Editor Version 5.0\r\n", ""}) {
        l = Import(bad + "[HKEY_LOCAL_MACHINE\\K]\r\n");
        EXPECT_FALSE(l.store) << bad;
        EXPECT_NE(l.error.find("t.reg"), std::string::npos);
    }
    // UTF-16 without its BOM is recognised and named.
    l = Import(text::Utf8ToUtf16Le("Windows Registry Editor Version 5.00\r\n"));
    ASSERT_FALSE(l.store);
    EXPECT_NE(l.error.find("byte-order mark"), std::string::npos) << l.error;
}

TEST(RegFileImport, KeysRootsDeletionAndIgnoredLines) {
    auto l = Import(
        "REGEDIT4\r\n"
        "[hkey_local_machine\\A\\B\\C]\r\n"
        "\"x\"=\"1\"\r\n"
        "[HKLM\\Short]\r\n"          // abbreviations are not root names
        "\"lost\"=\"1\"\r\n"
        "# not a comment but ignored all the same\r\n"
        "; comment\r\n"
        "  [HKEY_LOCAL_MACHINE\\D]\r\n"
        "[-HKEY_LOCAL_MACHINE\\A\\B]\r\n"
        "[HKEY_CURRENT_USER\\E]\r\n");
    ASSERT_TRUE(l.store);
    const auto& s = *l.store;
    EXPECT_TRUE(s.Walk(s.Root(), "HKEY_LOCAL_MACHINE\\A"));
    EXPECT_FALSE(s.Walk(s.Root(), "HKEY_LOCAL_MACHINE\\A\\B"));
    EXPECT_TRUE(s.Walk(s.Root(), "HKEY_LOCAL_MACHINE\\D"));
    EXPECT_TRUE(s.Walk(s.Root(), "hkey_current_user\\e"));
    EXPECT_FALSE(s.Walk(s.Root(), "HKLM"));
    std::vector<std::string> roots;
    s.SubKeyNames(s.Root(), roots);
    EXPECT_EQ(roots, (std::vector<std::string>{"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"}));
    ASSERT_EQ(l.warnings.size(), 2u);  // the bad root and the value under it
    EXPECT_NE(l.warnings[0].find("t.reg:4"), std::string::npos) << l.warnings[0];
    EXPECT_NE(l.warnings[1].find("t.reg:5"), std::string::npos) << l.warnings[1];
}

TEST(RegFileImport, NamesEscapesAndSpellings) {
    auto l = Import(
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"First\"=\"a\"\r\n"
        "\"q\\\"uote\\\\\"=\"c:\\\\x \\\"y\\\"\"\r\n"
        "@=\"default\"\r\n"
        "\"FIRST\"=\"b\"\r\n"
        "\"gone\"=\"1\"\r\n"
        "\"gone\"=-\r\n"
        "[HKEY_LOCAL_MACHINE\\k]\r\n"
        "\"later\"=dword:1\r\n");
    ASSERT_TRUE(l.store);
    std::vector<RegValue> vals;
    l.store->Values(l.store->Walk(l.store->Root(), "HKEY_LOCAL_MACHINE\\K"), vals);
    ASSERT_EQ(vals.size(), 4u);
    EXPECT_EQ(vals[0].name, "First");  // the first spelling stays, the later data wins
    EXPECT_EQ(vals[0].data, U16("b") + std::string(2, '\0'));
    EXPECT_EQ(vals[1].name, "q\"uote\\");
    EXPECT_EQ(vals[1].data, U16("c:\\x \"y\"") + std::string(2, '\0'));
    EXPECT_EQ(vals[2].name, "");
    EXPECT_EQ(vals[3].name, "later");  // [..\k] reopened the same key
    std::vector<std::string> keys;
    l.store->SubKeyNames(l.store->Walk(l.store->Root(), "HKEY_LOCAL_MACHINE"), keys);
    EXPECT_EQ(keys, std::vector<std::string>{"K"});
}

TEST(RegFileImport, MalformedValueLinesAreSkippedAndTheRestImports) {
    auto l = Import(
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"a\"=\"ok\" ; trailing comment\r\n"
        "\"b\"=\"text\" junk\r\n"
        "\"c\"=\"unterminated\r\n"
        "\"d\"=dword:123456789\r\n"
        "\"e\"=dword:0x10\r\n"
        "\"f\"=dword:1\r\n"
        "\"g\"=dword:\r\n"
        "\"h\"=hex:1,2,zz\r\n"
        "\"i\"=hex:123\r\n"
        "\"j\"=nonsense\r\n"
        "\"k\"\r\n"
        "\"l\"=dword:FFFFFFFF\r\n");
    ASSERT_TRUE(l.store);
    std::vector<RegValue> vals;
    l.store->Values(l.store->Walk(l.store->Root(), "HKEY_LOCAL_MACHINE\\K"), vals);
    ASSERT_EQ(vals.size(), 3u);
    EXPECT_EQ(vals[0].name, "a");
    EXPECT_EQ(vals[1].name, "f");
    EXPECT_EQ(vals[1].data, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(vals[2].data, "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(l.warnings.size(), 9u);
}

TEST(RegFileImport, HexFormsContinuationsAndStringEncodings) {
    const std::string body =
        "[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"bin\"=hex:01,2,\\\r\n"
        "\r\n"
        "  ; a comment between continued lines\r\n"
        "  ff\r\n"
        "\"none\"=hex(0):\r\n"
        "\"q\"=hex(b):01,00,00,00,00,00,00,80\r\n";
    auto l = Import("Windows Registry Editor Version 5.00\r\n" + body +
                    "\"exp\"=hex(2):25,00,41,00,25,00\r\n"        // no final NUL: one is added
                    "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n");
    // REGEDIT4 needs a BOM-less file, so build it apart.
    ASSERT_TRUE(l.store) << l.error;
    const auto& s = *l.store;
    const std::string k = "HKEY_LOCAL_MACHINE\\K";
    EXPECT_EQ(Value(s, k, "bin").type, kRegBinary);
    EXPECT_EQ(Value(s, k, "bin").data, std::string("\x01\x02\xFF"));
    EXPECT_EQ(Value(s, k, "none").type, kRegNone);
    EXPECT_EQ(Value(s, k, "none").data, "");
    EXPECT_EQ(Value(s, k, "q").type, kRegQword);
    EXPECT_EQ(Value(s, k, "exp").type, kRegExpandSz);
    EXPECT_EQ(Value(s, k, "exp").data, U16("%A%") + std::string(2, '\0'));
    EXPECT_EQ(Value(s, k, "multi").data, U16("a") + std::string(2, '\0') + U16("b") + std::string(4, '\0'));

    auto l4 = Import("REGEDIT4\r\n" + body + "\"exp\"=hex(2):25,41,25,00\r\n\"multi\"=hex(7):61,00,e9,00,00\r\n");
    ASSERT_TRUE(l4.store);
    EXPECT_EQ(Value(*l4.store, k, "bin").data, std::string("\x01\x02\xFF"));
    EXPECT_EQ(Value(*l4.store, k, "exp").data, U16("%A%") + std::string(2, '\0'));
    EXPECT_EQ(Value(*l4.store, k, "multi").data, U16("a") + std::string(2, '\0') + U16("é") + std::string(4, '\0'));
}

TEST(RegFileStoreOrder, SubkeysSortUpperCasedValuesKeepFirstWrite) {
    auto l = Import("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K\\b]\r\n[HKEY_LOCAL_MACHINE\\K\\_x]\r\n"
                    "[HKEY_LOCAL_MACHINE\\K\\A]\r\n[HKEY_LOCAL_MACHINE\\K\\Z]\r\n"
                    "[HKEY_LOCAL_MACHINE\\K]\r\n\"z\"=\"1\"\r\n\"a\"=\"2\"\r\n\"Z\"=\"3\"\r\n");
    ASSERT_TRUE(l.store);
    std::vector<std::string> keys;
    l.store->SubKeyNames(l.store->Walk(l.store->Root(), "HKEY_LOCAL_MACHINE\\K"), keys);
    // '_' (0x5F) sorts after upper-case letters but before lower-case ones would.
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "b", "Z", "_x"}));
    std::vector<RegValue> vals;
    l.store->Values(l.store->Walk(l.store->Root(), "HKEY_LOCAL_MACHINE\\K"), vals);
    ASSERT_EQ(vals.size(), 2u);
    EXPECT_EQ(vals[0].name, "z");
    EXPECT_EQ(vals[0].data, U16("3") + std::string(2, '\0'));
}

TEST(RegFileExport, WritesWhatRegeditWritesAndRoundTrips) {
    RegFileStore s;
    const KeyId k = s.CreatePath("HKEY_LOCAL_MACHINE\\SYSTEM\\Dev");
    s.CreatePath("HKEY_LOCAL_MACHINE\\SYSTEM\\Dev\\Child");
    s.SetValue(k, {"", kRegSz, U16("dflt") + std::string(2, '\0')});
    s.SetValue(k, {"Path\\\"q\"", kRegSz, U16("C:\\W") + std::string(2, '\0')});
    s.SetValue(k, {"n", kRegDword, std::string("\x2A\0\0\0", 4)});
    s.SetValue(k, {"big", kRegBinary, std::string(40, '\xAB')});
    s.SetValue(k, {"crlf", kRegSz, U16("a\r\nb") + std::string(2, '\0')});  // cannot go in quotes
    s.SetValue(k, {"m", kRegMultiSz, U16("x") + std::string(2, '\0') + std::string(2, '\0')});

    const std::string text4 = s.Export({}, RegFileStore::Format::kRegedit4);
    const std::string expectedHead =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Dev]\r\n"
        "@=\"dflt\"\r\n"
        "\"Path\\\\\\\"q\\\"\"=\"C:\\\\W\"\r\n"
        "\"n\"=dword:0000002a\r\n"
        "\"big\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
        "  ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab\r\n";
    EXPECT_EQ(text4.substr(0, expectedHead.size()), expectedHead);
    for (const auto& line : text::Split(text4, "\r\n")) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_NE(text4.find("\"m\"=hex(7):78,00,00\r\n"), std::string::npos) << text4;  // ANSI in REGEDIT4
    EXPECT_NE(text4.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\Dev\\Child]\r\n\r\n"), std::string::npos);

    for (auto fmt : {RegFileStore::Format::kRegedit4, RegFileStore::Format::kRegedit5}) {
        const std::string out = s.Export({}, fmt);
        auto back = Import(out);
        ASSERT_TRUE(back.store) << back.error;
        EXPECT_TRUE(back.warnings.empty());
        EXPECT_EQ(back.store->Export({}, fmt), out);  // a second trip changes nothing
        std::vector<RegValue> a, b;
        s.Values(k, a);
        back.store->Values(back.store->Walk(back.store->Root(), "HKEY_LOCAL_MACHINE\\SYSTEM\\Dev"), b);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].name, b[i].name);
            EXPECT_EQ(a[i].type, b[i].type);
            EXPECT_EQ(a[i].data, b[i].data) << a[i].name;
        }
    }
    // A subtree export starts at its key.
    const std::string sub = s.Export("HKEY_LOCAL_MACHINE\\SYSTEM\\Dev\\Child", RegFileStore::Format::kRegedit4);
    EXPECT_EQ(sub, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Dev\\Child]\r\n\r\n");
}

TEST(RegFileStoreLoad, MissingFileAndSaveAreReported) {
    test::TempDir d;
    std::string error;
    EXPECT_FALSE(RegFileStore::Load(d.path() / "none.reg", &error));
    EXPECT_NE(error.find("none.reg"), std::string::npos);
    RegFileStore s;
    s.CreatePath("HKEY_CURRENT_USER\\X");
    ASSERT_TRUE(s.Save(d.path() / "x.reg", RegFileStore::Format::kRegedit5, 0600, &error)) << error;
    auto back = RegFileStore::Load(d.path() / "x.reg", &error);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->Walk(back->Root(), "HKEY_CURRENT_USER\\X"));
    EXPECT_FALSE(s.Save(d.path() / "no" / "x.reg", RegFileStore::Format::kRegedit5, 0600, &error));
}

}  // namespace
}  // namespace vornel::platform
