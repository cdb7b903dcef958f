// UTF-16LE to UTF-8, which every text the registry gives passes through, Windows-1252 to
// UTF-8, which every INF value takes, and the ASCII upper-casing of registry paths.
#include "support/text.h"

#include <gtest/gtest.h>

namespace vornel::text {
namespace {

std::string Units(std::initializer_list<char16_t> units) {
    std::string bytes;
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

TEST(Utf16LeToUtf8, EveryLengthOfSequenceAndEveryFlaw) {
    // One to four bytes, mixed with ASCII runs.
    for (const char* s : {"", "PCI\\VEN_8086&DEV_1234", "caf\xC3\xA9", "\xE2\x82\xAC 12", "\xD0\x96\xD0\xB6",
                          "x\xF0\x9F\x98\x80y\xF0\x9F\x98\x80", "\xEF\xBF\xBF"})
        EXPECT_EQ(Utf16LeToUtf8(Utf8ToUtf16Le(s)), s) << s;
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(Utf16LeToUtf8(Units({u'a', 0xD83D})), "a" + replacement);          // high surrogate at the end
    EXPECT_EQ(Utf16LeToUtf8(Units({0xD83D, u'b'})), replacement + "b");          // not followed by a low one
    EXPECT_EQ(Utf16LeToUtf8(Units({0xDE00, 0xD83D})), replacement + replacement);  // low before high
    EXPECT_EQ(Utf16LeToUtf8(Units({u'a', 0}) + "\x41"), std::string("a\0", 2));  // an odd last byte is dropped
    // The worst case for room: nothing but three-byte characters.
    EXPECT_EQ(Utf16LeToUtf8(Units({0x20AC, 0x20AC, 0x20AC})), "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");
    // One other character in every place of a long ASCII run (ASCII is taken eight units
    // at a time): a Latin-1 one, one whose low byte alone is ASCII, and a three-byte one.
    for (const char* other : {"\xC3\xA9", "\xC4\x80", "\xE2\x82\xAC"})
        for (size_t at = 0; at < 19; ++at) {
            const std::string s = std::string(at, 'a') + other + std::string(18 - at, 'b');
            EXPECT_EQ(Utf16LeToUtf8(Utf8ToUtf16Le(s)), s) << at;
        }
}

TEST(Cp1252ToUtf8, AsciiRunsWithCodePageBytesAnywhere) {
    EXPECT_EQ(Cp1252ToUtf8(""), "");
    EXPECT_EQ(Cp1252ToUtf8("DriverVer=07/01/2001"), "DriverVer=07/01/2001");
    // Euro sign, e acute and y diaeresis first, inside runs, next to each other and last.
    EXPECT_EQ(Cp1252ToUtf8("\x80" "abc\xE9" "d\xFF\x80"), "\xE2\x82\xAC" "abc\xC3\xA9" "d\xC3\xBF\xE2\x82\xAC");
    EXPECT_EQ(Cp1252ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(UpperAscii, EightBytesAtATimeAsOneByOne) {
    // Every byte value, in every lane of the eight-byte words and in the tail.
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    for (size_t shift = 0; shift < 9; ++shift) {
        const std::string in = std::string(shift, 'q') + all;
        std::string expected = in;
        for (char& c : expected) c = ToUpperAscii(c);
        EXPECT_EQ(UpperAscii(in), expected) << shift;
    }
}

}  // namespace
}  // namespace vornel::text
