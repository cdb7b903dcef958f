#include "xml/xml_escape.h"

#include <gtest/gtest.h>

#include <string>

#include "support/text.h"
#include "xml/dom_utility.h"

namespace vornel::xml {
namespace {

TEST(XmlEscape, EncodesTheCharactersTheDocumentCannotCarry) {
    EXPECT_EQ(EncodeText("a&b"), "a&#38;b");
    EXPECT_EQ(EncodeText("\"q\" 'a', x"), "&#34;q&#34; &#39;a&#39;&#44; x");
    EXPECT_EQ(EncodeText(std::string("n\0l\x01\x1f\x7f", 6)), "n&#0;l&#1;&#31;&#127;");
    // Kept as they are: TAB, LF, CR, blank and the punctuation the document reads plainly.
    EXPECT_EQ(EncodeText("\t\n\r !#$%()*+-./:;<=>?@[]{}|~"), "\t\n\r !#$%()*+-./:;<=>?@[]{}|~");
    // Windows-1252 characters by their code-page number, others by code point.
    EXPECT_EQ(EncodeText("é"), "&#233;");
    EXPECT_EQ(EncodeText("€™"), "&#128;&#153;");
    EXPECT_EQ(EncodeText("网Д"), "&#32593;&#1044;");
    EXPECT_EQ(EncodeText("\xF0\x9F\x98\x80"), "&#128512;");
    EXPECT_EQ(EncodeText(""), "");
    // Broken UTF-8: each byte that starts no valid sequence is one U+FFFD, and the ASCII
    // after it is read again.
    EXPECT_EQ(EncodeText("\xFF"), "&#65533;");
    EXPECT_EQ(EncodeText("a\xC3"), "a&#65533;");
    EXPECT_EQ(EncodeText("\xE2\x82x"), "&#65533;&#65533;x");
    EXPECT_EQ(EncodeText("\xC0\x80"), "&#65533;&#65533;");
    EXPECT_EQ(EncodeText("x\xED\xA0\x80y"), "x&#65533;&#65533;&#65533;y");
    EXPECT_EQ(EncodeText("\xC2\x81\xC2\x80"), "&#129;&#x80;");
}

TEST(XmlEscape, TheViewFormEncodesAlikeAndCopiesNothingPlain) {
    const std::string samples[] = {
        "", "plain text 1.0", "\xC3\xA9&\xC3\xA9,", "PCI\\VEN_1234&DEV_10&SUBSYS_1", "tail,", "\xFFx\xC3",
        std::string("a\0b", 3), "head \xE2\x82\xAC mid \xF0\x9F\x98\x80 end",
    };
    std::string scratch = "left over";
    for (const std::string& s : samples) {
        const std::string_view view = EncodedText(s, scratch);
        EXPECT_EQ(view, EncodeText(s)) << s;
        if (view == s) {
            EXPECT_EQ(view.data(), s.data()) << s;
        }
    }
}

TEST(XmlEscape, LongValuesFindEveryCharacterToEncodeWhereverItFalls) {
    // Long values are passed over sixteen bytes at a time: each byte value at every offset
    // against those blocks, within plain text.
    const std::string kept = "\t\n\r !#$%()*+-./";
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        std::string expected(1, c);
        if (b >= 128) expected = "&#65533;";  // a lone byte past ASCII is no character
        else if (b == 127 || (b < 48 && kept.find(c) == std::string::npos))
            expected = "&#" + std::to_string(b) + ";";
        for (size_t at = 0; at < 34; ++at) {
            const std::string before(at, 'x'), after(40 - at, 'y');
            std::string scratch;
            EXPECT_EQ(EncodedText(before + c + after, scratch), before + expected + after) << b << " at " << at;
        }
    }
}

TEST(XmlEscape, DecodeRestoresAnyText) {
    const std::string samples[] = {
        "plain",
        "Caf\xC3\xA9 \"Net\" Adapter, v2 & co's",
        std::string("ctl\0\x01\x7f\t\r\n", 9),
        "\xE7\xBD\x91 \xD0\x94\xD0\xBA \xF0\x9F\x98\x80 \xE2\x82\xAC",
        // Text that already looks like references must come back as written.
        "&#233; &#38; &#39;&amp;&#x41;&#",
        // A C1 control shares its number with a code-page character.
        "\xC2\x80\xC2\x81\xC2\x9F",
    };
    for (const std::string& s : samples) EXPECT_EQ(DecodeText(EncodeText(s)), s) << s;
}

TEST(XmlEscape, DecodeLeavesForeignOrBrokenReferencesAlone) {
    EXPECT_EQ(DecodeText("&#65;&#32;&#9;"), "&#65;&#32;&#9;");
    EXPECT_EQ(DecodeText("&#38"), "&#38");
    EXPECT_EQ(DecodeText("&#;&#x;&#99999999999;"), "&#;&#x;&#99999999999;");
    EXPECT_EQ(DecodeText("&#xD800;"), "&#xD800;");
    EXPECT_EQ(DecodeText("&#233;&#128;&#44;"), "\xC3\xA9\xE2\x82\xAC,");
}

TEST(XmlEscape, NameModeMakesAValidElementName) {
    EXPECT_EQ(SanitizeElementName("MY PC"), "MY_PC");
    EXPECT_EQ(SanitizeElementName("-x"), "x");
    EXPECT_EQ(SanitizeElementName("1st PC"), "st_PC");
    EXPECT_EQ(SanitizeElementName("pc#1 (office)"), "pc1_office");
    EXPECT_EQ(SanitizeElementName("Caf\xC3\xA9"), "Caf");
    EXPECT_EQ(SanitizeElementName(""), "");

    // Generated names: "#" alone and a lone digit left over get the upper-case fallback,
    // digits only a temporary file name; each must be a name the DOM accepts.
    for (const char* in : {"#", "12 34", "\xE7\xBD\x91\xE7\xBB\x9C"}) {
        const std::string name = SanitizeElementName(in);
        EXPECT_EQ(name.size(), 8u) << in;
        EXPECT_EQ(name, text::UpperAscii(name)) << in;
        EXPECT_TRUE(cCDOMUtility::ValidateElementType(name)) << in;
    }
    for (const char* in : {"12345", " -3.5 ", "1,000", "&H1F"}) {
        const std::string name = SanitizeElementName(in);
        EXPECT_TRUE(text::EndsWith(name, ".tmp")) << in << " -> " << name;
        EXPECT_TRUE(cCDOMUtility::ValidateElementType(name)) << name;
    }
}

TEST(XmlEscape, NumericTextFollowsTheUsualNumberForms) {
    for (const char* yes : {"0", "-1", "+2.5", "1e3", "1,234", " 7 ", "&HFF", "&O17", ".5"})
        EXPECT_TRUE(IsNumericText(yes)) << yes;
    for (const char* no : {"", "-", "1e", "12 34", "1.2.3", "&H", "&HG", "abc", "1a"})
        EXPECT_FALSE(IsNumericText(no)) << no;
}

}  // namespace
}  // namespace vornel::xml
