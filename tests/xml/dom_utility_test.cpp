#include "xml/dom_utility.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "test_support.h"
#include "xml/document_io.h"

namespace vornel {
namespace {

using test::TempDir;

TEST(DomUtility, AddElementChecksNameAndParent) {
    pugi::xml_document doc;
    cCDOMUtility dom;
    pugi::xml_node root;
    ASSERT_TRUE(dom.AddElement(doc, doc, "root", {}, &root, {}, false));  // under the document itself
    ASSERT_TRUE(root);
    root.append_attribute("id") = "1";

    pugi::xml_node out;
    EXPECT_FALSE(dom.AddElement(doc, root.attribute("id"), "x", {}, &out, {}, false));
    EXPECT_EQ(dom.ErrorNumber(), -1);
    EXPECT_EQ(dom.domError(), 3);
    EXPECT_EQ(dom.ErrorDescription(), "Invalid parent node type.");
    EXPECT_EQ(dom.ErrorSource(), "cCDOMUtility.AddElement");

    EXPECT_FALSE(dom.AddElement(doc, root, "1x", {}, &out, {}, false));
    EXPECT_EQ(dom.domError(), 5);
    EXPECT_EQ(dom.ErrorDescription(), "Invalid element type");
    EXPECT_FALSE(root.first_child());

    // A second top-level element would make the file unreadable.
    EXPECT_FALSE(dom.AddElement(doc, doc, "other", {}, &out, {}, false));
    EXPECT_EQ(dom.domError(), 99);

    ASSERT_TRUE(dom.AddElement(doc, root, "v", "a&b", &out, {}, false));
    EXPECT_STREQ(out.text().get(), "a&#38;b");
    EXPECT_EQ(dom.ErrorNumber(), 0);
}

TEST(DomUtility, AddElementReusesAndUpdates) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r><Slot/><Device><Name>old</Name><Other>keep</Other>"
                                "<XMLVLX><XMLIdx>k&amp;#39;1</XMLIdx></XMLVLX></Device></r>"));
    cCDOMUtility dom;
    pugi::xml_node out;
    // Append mode: an empty element of that name under the root is handed back untouched.
    ASSERT_TRUE(dom.AddElement(doc, doc.child("r"), "Slot", "text", &out, {}, false));
    EXPECT_EQ(out, doc.child("r").child("Slot"));
    EXPECT_FALSE(out.first_child());

    // Update mode: the field of the record with that key takes the new text.
    ASSERT_TRUE(dom.AddElement(doc, doc.child("r"), "Name", "new'", &out, "k'1", true));
    EXPECT_FALSE(out);
    EXPECT_STREQ(doc.child("r").child("Device").child_value("Name"), "new&#39;");
    ASSERT_TRUE(dom.AddElement(doc, doc.child("r"), "Other", "", &out, "k'1", true));
    EXPECT_STREQ(out.child_value(), "keep");
}

TEST(DomUtility, ValidateElementTypeAndUnknownErrorNames) {
    EXPECT_TRUE(cCDOMUtility::ValidateElementType("a:b"));
    EXPECT_TRUE(cCDOMUtility::ValidateElementType("Device"));
    for (const char* bad : {"1a", "", ":", "a b", "a/><b", "a>", "a='1'", "-x"})
        EXPECT_FALSE(cCDOMUtility::ValidateElementType(bad)) << bad;
    EXPECT_FALSE(cCDOMUtility::ValidateElementType(std::string("a\0b", 3)));
    EXPECT_EQ(cCDOMUtility::DOMErrorToString(-1), "UKNOWN");
}

TEST(DomUtility, OtherNodeKinds) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<!DOCTYPE r><r/>", pugi::parse_full));
    cCDOMUtility dom;
    pugi::xml_node r = doc.child("r");

    EXPECT_FALSE(dom.AddCDATA(doc, r, "x]]>y"));
    EXPECT_EQ(dom.domError(), 5);
    EXPECT_EQ(dom.ErrorDescription(), "Invalid character string: ']]>' ");
    EXPECT_FALSE(dom.AddCDATA(doc, doc, "x"));
    EXPECT_EQ(dom.domError(), 3);
    EXPECT_TRUE(dom.AddCDATA(doc, r, "<raw>"));

    EXPECT_TRUE(dom.AddAttribute(doc, r, "id", "1"));
    EXPECT_FALSE(dom.AddAttribute(doc, r, "id", "2"));
    EXPECT_EQ(dom.ErrorNumber(), 0);
    EXPECT_STREQ(r.attribute("id").value(), "1");

    EXPECT_TRUE(dom.AddComment(doc, r, "note"));
    EXPECT_FALSE(dom.AddComment(doc, r, "a--b"));
    EXPECT_FALSE(dom.AddComment(doc, r.attribute("id"), "x"));
    EXPECT_EQ(dom.domError(), 3);

    EXPECT_TRUE(dom.AddEntityReference(doc, r, "amp"));
    EXPECT_TRUE(dom.AddEntityReference(doc, r.attribute("id"), "#233"));
    EXPECT_STREQ(r.attribute("id").value(), "1\xC3\xA9");
    EXPECT_FALSE(dom.AddEntityReference(doc, r, "custom"));
    EXPECT_EQ(dom.domError(), 99);

    EXPECT_FALSE(dom.AddEntity(doc, r, "e"));
    EXPECT_EQ(dom.domError(), 3);
    pugi::xml_node doctype = doc.first_child();
    ASSERT_EQ(doctype.type(), pugi::node_doctype);
    EXPECT_TRUE(dom.AddEntity(doc, doctype, "e"));
    EXPECT_NE(std::string(doctype.value()).find("<!ENTITY e \"\">"), std::string::npos);

    // Everything added still makes a document that loads again.
    pugi::xml_document again;
    xml::ParseReport report;
    EXPECT_TRUE(xml::LoadXmlText(again, xml::SerializeDocument(doc), report)) << report.reason;
}

TEST(DomUtility, AddElementXML) {
    pugi::xml_document doc;
    pugi::xml_node r = doc.append_child("r");
    cCDOMUtility dom;
    pugi::xml_node out;
    ASSERT_TRUE(dom.AddElementXML(doc, r, "<item a='1' b='x&amp;y'>text</item>", &out));
    EXPECT_STREQ(out.name(), "item");
    EXPECT_STREQ(out.child_value(), "text");
    EXPECT_STREQ(out.attribute("b").value(), "x&y");

    EXPECT_FALSE(dom.AddElementXML(doc, r, "<1a/>", &out));
    EXPECT_EQ(dom.domError(), 5);
    EXPECT_EQ(dom.ErrorDescription(), "Invalid element XML: A name was started with an invalid character.");
    EXPECT_FALSE(dom.AddElementXML(doc, r, "<a>", &out));
    EXPECT_EQ(dom.domError(), 99);

    EXPECT_FALSE(dom.AddElementXML(doc, r, "<dup x='1' x='2'/>", &out));
    EXPECT_EQ(dom.ErrorDescription(), "Error adding attribute.");
    EXPECT_FALSE(r.child("dup"));
}

TEST(DomUtility, NodeHelpers) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r><Device><InfInstallFiles>f</InfInstallFiles><NumDeviceInstances>2</NumDeviceInstances>"
                                "<XMLVLX><XMLIdx>k</XMLIdx></XMLVLX></Device><t>x</t></r>"));
    cCDOMUtility dom;
    const pugi::xml_node device = doc.child("r").child("Device");
    EXPECT_TRUE(dom.IsNodeHaveChildElements(device));
    EXPECT_FALSE(dom.IsNodeHaveChildElements(doc.child("r").child("t")));
    EXPECT_TRUE(dom.IsNodeExist(doc, "/r/Device/XMLVLX/XMLIdx[. = 'k']"));
    EXPECT_FALSE(dom.IsNodeExist(doc, "/r/Device[. = 'k'"));
    EXPECT_EQ(dom.domError(), 99);

    pugi::xml_node found;
    ASSERT_TRUE(dom.ReturnNumDeviceInstancesNode(ChildNodes(device), found));
    EXPECT_STREQ(found.child_value(), "2");
    NodeList list = ChildNodes(device.child("XMLVLX"));
    ASSERT_TRUE(dom.ReturnInstallFilesNode(list, found));
    EXPECT_STREQ(found.child_value(), "f");
    EXPECT_EQ(list.size(), 3u);

    EXPECT_TRUE(dom.RemoveNode(device));
    EXPECT_FALSE(doc.child("r").child("Device"));
    EXPECT_FALSE(dom.RemoveNode(pugi::xml_node()));
    EXPECT_EQ(dom.domError(), 99);
}

TEST(DomUtility, ParseReportLocatesTheFault) {
    pugi::xml_document doc;
    cCDOMUtility dom;
    std::string report;
    const std::string text = "<r>\n  <a>\xC3\xA9t\xC3\xA9</a>\n  <b><1c/></b>\n</r>";
    EXPECT_FALSE(dom.ValidateFreeThreadedDOMDocument(doc, text, report, true));
    EXPECT_FALSE(doc.first_child());
    EXPECT_NE(report.find("\r\nA name was started with an invalid character.\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\r\nfilepos=23\r\nline=3\r\nlinepos=7\r\nsrcText=  <b><1c/></b>\r\n\r\n"),
              std::string::npos)
        << report;

    EXPECT_FALSE(dom.ValidateFreeThreadedDOMDocument(doc, "<a/><b/>", report, true));
    EXPECT_NE(report.find("Only one top level element"), std::string::npos);
    EXPECT_NE(report.find("linepos=5"), std::string::npos) << report;

    TempDir dir;
    const std::string missing = (dir.path() / "none.xml").string();
    EXPECT_FALSE(dom.ValidateFreeThreadedDOMDocument(doc, missing, report, false));
    EXPECT_EQ(report.rfind(missing + "\r\n", 0), 0u);
    EXPECT_NE(report.find("line=0\r\n"), std::string::npos);
    EXPECT_NE(dom.ErrorNumber(), 0);

    // A huge one-line document keeps its report short.
    const std::string longText = "<r>" + std::string(100000, 'x') + "<1/></r>";
    EXPECT_FALSE(dom.ValidateFreeThreadedDOMDocument(doc, longText, report, true));
    EXPECT_LT(report.size(), 2000u);
}

TEST(DomUtility, EntitiesAreNeverExpandedOrFetched) {
    TempDir dir;
    const auto secret = dir.Write("secret.txt", "TOP-SECRET");
    std::string bomb = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        bomb += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><r>&l9;</r>";
    const std::string external = "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret.string() +
                                 "\">]><r>&x;</r>";
    const std::string externalDtd = "<!DOCTYPE r SYSTEM \"file://" + secret.string() + "\"><r>ok</r>";

    cCDOMUtility dom;
    std::string report;
    for (const std::string& text : {bomb, external, externalDtd}) {
        pugi::xml_document doc;
        ASSERT_TRUE(dom.ValidateFreeThreadedDOMDocument(doc, text, report, true)) << report;
        const std::string value = StringValue(doc.child("r"));
        EXPECT_LT(value.size(), 10u) << value;
        EXPECT_EQ(value.find("TOP-SECRET"), std::string::npos);
    }
}

TEST(DomUtility, DeepNestingAndOddInputDoNotCrash) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    deep += "x";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    pugi::xml_document doc;
    cCDOMUtility dom;
    std::string report;
    ASSERT_TRUE(dom.ValidateFreeThreadedDOMDocument(doc, deep, report, true));
    EXPECT_EQ(StringValue(doc), "x");
    // Written without indentation, so the text stays the size of the input.
    EXPECT_LT(xml::SerializeDocument(doc).size(), deep.size() + 100);
    // Indentation stops past 32 levels, a text counting as a level of its own.
    for (const auto& [levels, text, indented] : {std::tuple{32, "", true}, {31, "x", true}, {33, "", false},
                                                 {32, "x", false}}) {
        std::string nested = std::string(text);
        for (int i = 0; i < levels; ++i) nested = "<a>" + nested + "</a>";
        ASSERT_TRUE(dom.ValidateFreeThreadedDOMDocument(doc, nested, report, true));
        EXPECT_EQ(xml::SerializeDocument(doc).find('\t') != std::string::npos, indented) << levels << text;
    }

    for (const std::string& bad : {std::string(), std::string("\0\0\0", 3), std::string("\xFF\xFE<\0"),
                                   std::string("<r a='1>"), std::string("<r><![CDATA[x</r>")})
        EXPECT_FALSE(dom.ValidateFreeThreadedDOMDocument(doc, bad, report, true));
}

}  // namespace
}  // namespace vornel
