#include "xml/document_io.h"

#include <algorithm>
#include <functional>
#include <sstream>

#include "platform/atomic_file.h"

namespace vornel::xml {

namespace {

constexpr size_t kSrcTextWindow = 1024;
constexpr size_t kSourceShown = 256;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t CountChars(std::string_view s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return !IsContinuation(c); }));
}

bool IsNameStartByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':' || u >= 0x80;
}

// Fills the position fields for a failure at byte `offset` of `text`.
void Locate(std::string_view text, size_t offset, ParseReport& report) {
    offset = std::min(offset, text.size());
    const size_t lastBreak = offset == 0 ? std::string_view::npos : text.rfind('\n', offset - 1);
    const size_t lineStart = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    size_t lineEnd = text.find('\n', offset);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    if (lineEnd > lineStart && text[lineEnd - 1] == '\r') --lineEnd;

    report.filepos = static_cast<int64_t>(CountChars(text.substr(0, offset)));
    report.line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n');
    report.linepos = 1 + static_cast<int64_t>(CountChars(text.substr(lineStart, offset - lineStart)));

    // Keep the logged line bounded, around the failure, on character boundaries.
    size_t from = lineStart;
    if (offset > lineStart + kSrcTextWindow / 2) from = offset - kSrcTextWindow / 2;
    size_t to = std::min(lineEnd, from + kSrcTextWindow);
    if (to < from) to = from;
    while (from < to && IsContinuation(text[from])) ++from;
    while (to > from && to < text.size() && IsContinuation(text[to])) --to;
    report.srcText = std::string(text.substr(from, to - from));
}

std::string ReasonFor(const pugi::xml_parse_result& result, std::string_view text) {
    const auto at = static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0));
    switch (result.status) {
        case pugi::status_unrecognized_tag:
        case pugi::status_bad_start_element:
        case pugi::status_bad_end_element:
            if (at < text.size() && !IsNameStartByte(text[at]) && text[at] != '!' && text[at] != '?' &&
                text[at] != '/')
                return "A name was started with an invalid character.";
            break;
        case pugi::status_no_document_element:
            return "XML document must have a top level element.";
        case pugi::status_end_element_mismatch:
            return "End tag does not match the start tag, or an element is not closed.";
        case pugi::status_out_of_memory:
            return "Not enough memory to load the document.";
        default:
            break;
    }
    return result.description();
}

void AppendAttributeValue(std::string& out, std::string_view value) {
    for (char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
}

// Indentation grows with depth; past this a document is written without it, so a deeply
// nested one does not swell quadratically.
constexpr int kMaxIndentedDepth = 32;
// What a node of a driver document takes once written, a little over, to size the output
// once: pages reserved but never written cost nothing.
constexpr size_t kBytesPerNodeGuess = 40;

// One pass over the document inside pugixml: whether a node lies deeper than the limit
// (the children of the document at depth 1), and how many nodes come before it.
struct ShapeWalker final : pugi::xml_tree_walker {
    size_t nodes = 0;
    bool deep = false;
    bool for_each(pugi::xml_node&) override {
        ++nodes;
        deep = depth() + 1 > kMaxIndentedDepth;
        return !deep;
    }
};

int CountRoots(const pugi::xml_document& doc) {
    int roots = 0;
    for (pugi::xml_node child : doc.children())
        if (child.type() == pugi::node_element) ++roots;
    return roots;
}

}  // namespace

unsigned LoadOptions() {
    return (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_declaration | pugi::parse_comments |
           pugi::parse_pi | pugi::parse_doctype | pugi::parse_ws_pcdata_single;
}

std::string ParseReport::Format(std::string_view source) const {
    std::string shown(source.substr(0, kSourceShown));
    if (source.size() > kSourceShown) {
        while (!shown.empty() && IsContinuation(shown.back())) shown.pop_back();
        if (!shown.empty()) shown.pop_back();
        shown += "...";
    }
    std::ostringstream s;
    s << shown << "\r\n"
      << reason << "\r\n"
      << "filepos=" << filepos << "\r\n"
      << "line=" << line << "\r\n"
      << "linepos=" << linepos << "\r\n"
      << "srcText=" << srcText << "\r\n\r\n";
    return s.str();
}

bool LoadXmlText(pugi::xml_document& doc, std::string_view text, ParseReport& report) {
    report = ParseReport{};
    doc.reset();
    const pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), LoadOptions());
    if (!result) {
        report.errorCode = static_cast<int32_t>(result.status);
        report.reason = ReasonFor(result, text);
        Locate(text, static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0)), report);
        doc.reset();
        return false;
    }
    int roots = 0;
    for (pugi::xml_node child : doc.children()) {
        if (child.type() != pugi::node_element || ++roots < 2) continue;
        report.errorCode = static_cast<int32_t>(pugi::status_append_invalid_root);
        report.reason = "Only one top level element is allowed in an XML document.";
        // pugixml gives the offset of the name; the report points at its "<".
        ptrdiff_t at = child.offset_debug();
        if (at > 0 && static_cast<size_t>(at) <= text.size() && text[static_cast<size_t>(at) - 1] == '<') --at;
        Locate(text, at < 0 ? 0 : static_cast<size_t>(at), report);
        doc.reset();
        return false;
    }
    return true;
}

bool LoadXmlFile(pugi::xml_document& doc, const std::filesystem::path& file, ParseReport& report) {
    std::string bytes;
    std::string why;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        report = ParseReport{};
        doc.reset();
        report.errorCode = static_cast<int32_t>(pugi::status_file_not_found);
        report.reason = std::filesystem::exists(file, ec) ? "The path is not a file."
                                                          : "The system cannot locate the object specified.";
        return false;
    }
    // pugixml reads into a buffer it parses in place, which saves a copy of a large file;
    // only a failure reads the bytes again to say where it lies.
    report = ParseReport{};
    const pugi::xml_parse_result result = doc.load_file(file.c_str(), LoadOptions());
    if (result && CountRoots(doc) == 1) return true;
    if (!platform::ReadWholeFile(file, bytes, &why)) {
        report = ParseReport{};
        doc.reset();
        report.errorCode = static_cast<int32_t>(pugi::status_io_error);
        report.reason = "The file could not be read: " + why;
        return false;
    }
    return LoadXmlText(doc, bytes, report);
}

namespace {

// Prints the document in its saved form, handing the bytes to `put` in order.
void PrintDocument(const pugi::xml_document& doc, const ShapeWalker& shape,
                   const std::function<void(std::string_view)>& put) {
    struct Writer final : pugi::xml_writer {
        const std::function<void(std::string_view)>& put;
        explicit Writer(const std::function<void(std::string_view)>& p) : put(p) {}
        void write(const void* data, size_t size) override { put({static_cast<const char*>(data), size}); }
    } writer(put);
    const unsigned format = shape.deep ? pugi::format_raw : pugi::format_indent;
    for (pugi::xml_node child : doc.children()) {
        if (child.type() == pugi::node_declaration) {
            std::string decl = "<?xml";
            for (pugi::xml_attribute a : child.attributes()) {
                decl += ' ';
                decl += a.name();
                decl += "='";
                AppendAttributeValue(decl, a.value());
                decl += '\'';
            }
            decl += "?>\n";
            put(decl);
            continue;
        }
        child.print(writer, "\t", format | pugi::format_no_declaration, pugi::encoding_utf8);
        if (format == pugi::format_raw) put("\n");
    }
}

}  // namespace

std::string SerializeDocument(const pugi::xml_document& doc) {
    ShapeWalker shape;
    pugi::xml_node(doc).traverse(shape);
    std::string out;
    out.reserve(shape.nodes * kBytesPerNodeGuess);
    PrintDocument(doc, shape, [&](std::string_view piece) { out.append(piece); });
    return out;
}

bool SaveDocument(const pugi::xml_document& doc, const std::filesystem::path& file, std::string* why) {
    if (file.empty()) {
        if (why) *why = "no file name";
        return false;
    }
    ShapeWalker shape;
    pugi::xml_node(doc).traverse(shape);
    // Straight into the file: a large document needs no copy of itself in memory.
    return platform::WriteFileAtomicallyFrom(
        file, [&](const platform::ByteSink& sink) { PrintDocument(doc, shape, sink); }, 0600, why);
}

}  // namespace vornel::xml
