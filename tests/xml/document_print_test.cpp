// A large document is printed in two halves at once; the bytes must be pugixml's own, in
// the indented form and in the raw form of very deep documents.
#include <gtest/gtest.h>

#include <string>

#include "xml/document_io.h"

namespace vornel::xml {
namespace {

struct StringWriter final : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// The document as pugixml prints it in one pass, after the declaration as it is saved.
std::string OnePass(const pugi::xml_document& doc, unsigned format) {
    StringWriter w;
    doc.document_element().print(w, "\t", format | pugi::format_no_declaration, pugi::encoding_utf8);
    return "<?xml version='1.0'?>\n" + w.out + ((format & pugi::format_raw) ? "\n" : "");
}

// A root with `records` children of the driver document's shape, some of them odd.
void Fill(pugi::xml_document& doc, int records, int depth = 0) {
    doc.append_child(pugi::node_declaration).append_attribute("version") = "1.0";
    pugi::xml_node root = doc.append_child("ROOT");
    root.append_attribute("name") = "a \"quoted\" & <odd> value";
    for (int i = 0; i < records; ++i) {
        pugi::xml_node device = root.append_child("Device");
        device.append_child("Text").text() = ("value " + std::to_string(i) + " & <more>").c_str();
        device.append_child("Empty");
        if (i % 7 == 0) device.append_attribute("n") = i;
        pugi::xml_node inner = device.append_child("XMLVLX");
        for (int d = 0; d < depth; ++d) inner = inner.append_child("deeper");
        inner.text() = "leaf";
    }
}

TEST(DocumentPrint, ManyRecordsPrintAsPugixmlPrintsThem) {
    for (int records : {1, 255, 256, 257, 1001}) {
        pugi::xml_document doc;
        Fill(doc, records);
        EXPECT_EQ(SerializeDocument(doc), OnePass(doc, pugi::format_indent)) << records;
    }
    // Deeper than the indented form goes: raw, in halves as well.
    pugi::xml_document deep;
    Fill(deep, 300, 40);
    EXPECT_EQ(SerializeDocument(deep), OnePass(deep, pugi::format_raw));
}

TEST(DocumentPrint, ARootWithTextOrCommentsAmongItsRecordsPrintsWhole) {
    pugi::xml_document doc;
    Fill(doc, 600);
    doc.document_element().insert_child_before(pugi::node_comment, doc.document_element().first_child())
        .set_value("a comment");
    doc.document_element().append_child(pugi::node_pcdata).set_value("text");
    EXPECT_EQ(SerializeDocument(doc), OnePass(doc, pugi::format_indent));
}

}  // namespace
}  // namespace vornel::xml
