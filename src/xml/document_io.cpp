#include "xml/document_io.h"

#include <algorithm>
#include <functional>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/heap_tuning.h"

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

using Put = std::function<void(std::string_view)>;

struct PutWriter final : pugi::xml_writer {
    const Put& put;
    explicit PutWriter(const Put& p) : put(p) {}
    void write(const void* data, size_t size) override { put({static_cast<const char*>(data), size}); }
};

struct StringWriter final : pugi::xml_writer {
    std::string& out;
    explicit StringWriter(std::string& o) : out(o) {}
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// A root of this many elements and nothing else is printed in two halves at once.
constexpr size_t kHalvesFrom = 256;

// Prints `root` as pugixml does, its second half of children on a thread of its own into
// memory while this thread hands the first to `put` (a scan's document is thousands of
// records, and printing them is most of the save), then the elements of `tail`, already
// printed, as its last children (to `lasting` when there is one: the tail outlives the
// print). False, having printed nothing, for a root that holds anything but elements, or
// too few of them and no tail. secondSize: about what the second half takes printed,
// reserved at once.
bool PrintRoot(pugi::xml_node root, unsigned format, const Put& put, size_t secondSize,
               const std::vector<std::string_view>& tail, const platform::LastingSink* lasting) {
    std::vector<pugi::xml_node> kids;
    for (pugi::xml_node kid : root.children()) {
        if (kid.type() != pugi::node_element) return false;
        kids.push_back(kid);
    }
    if (kids.size() < kHalvesFrom && tail.empty()) return false;
    // The tail is printed indented.
    if (!tail.empty() && (format & pugi::format_raw)) return false;
    // The root's own tags as pugixml writes them: a copy of it with one empty child.
    pugi::xml_document shell;
    pugi::xml_node copy = shell.append_child(root.name());
    for (pugi::xml_attribute a : root.attributes()) copy.append_copy(a);
    copy.append_child("x");
    std::string tags;
    StringWriter tagWriter(tags);
    copy.print(tagWriter, "\t", format, pugi::encoding_utf8);
    const std::string child = (format & pugi::format_raw) ? "<x />" : "\t<x />\n";
    const size_t at = tags.rfind(child);
    if (at == std::string::npos) return false;

    const size_t half = kids.size() < kHalvesFrom ? kids.size() : kids.size() / 2;
    std::string second;
    std::exception_ptr failed;
    std::thread printer;
    if (half < kids.size()) {
        try {
            printer = std::thread([&] {
                try {
                    // A new thread's heap is new memory: set up as the scan's threads are, and
                    // the half reserved at once, it costs a few huge pages rather than hundreds
                    // of 4 KiB faults while the string doubles.
                    platform::TuneThreadHeap();
                    second.reserve(secondSize);
                    StringWriter w(second);
                    for (size_t i = half; i < kids.size(); ++i) kids[i].print(w, "\t", format, pugi::encoding_utf8, 1);
                } catch (...) {
                    failed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            if (tail.empty()) return false;  // no thread to be had: printed in one pass
            StringWriter w(second);
            for (size_t i = half; i < kids.size(); ++i) kids[i].print(w, "\t", format, pugi::encoding_utf8, 1);
        }
    }
    // Joined however this thread leaves (a sink that throws): the printer reads `kids`.
    struct Join {
        std::thread& t;
        ~Join() {
            if (t.joinable()) t.join();
        }
    } join{printer};
    put(std::string_view(tags).substr(0, at));
    PutWriter direct(put);
    for (size_t i = 0; i < half; ++i) kids[i].print(direct, "\t", format, pugi::encoding_utf8, 1);
    if (printer.joinable()) printer.join();
    if (failed) std::rethrow_exception(failed);
    put(second);
    if (lasting) {
        (*lasting)(tail);
    } else {
        for (std::string_view element : tail) put(element);
    }
    put(std::string_view(tags).substr(at + child.size()));
    return true;
}

// Prints the document in its saved form, handing the bytes to `put` in order (the tail's
// to `lasting` when there is one).
void PrintDocument(const pugi::xml_document& doc, const DocumentShape& shape, const Put& put,
                   const std::vector<std::string_view>& tail, const platform::LastingSink* lasting = nullptr) {
    PutWriter writer(put);
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
        const bool element = child.type() == pugi::node_element;
        if (!element ||
            !PrintRoot(child, format | pugi::format_no_declaration, put, shape.nodes * kBytesPerNodeGuess / 2, tail,
                       lasting)) {
            // Records that cannot go where they belong are not silently left out.
            if (element && !tail.empty()) throw std::runtime_error("the records cannot be printed into this root");
            child.print(writer, "\t", format | pugi::format_no_declaration, pugi::encoding_utf8);
        }
        if (format == pugi::format_raw) put("\n");
    }
}

}  // namespace

DocumentShape MeasureDocument(const pugi::xml_document& doc) {
    ShapeWalker walker;
    pugi::xml_node(doc).traverse(walker);
    return {walker.nodes, walker.deep};
}

std::string SerializeDocument(const pugi::xml_document& doc) {
    const DocumentShape shape = MeasureDocument(doc);
    std::string out;
    out.reserve(shape.nodes * kBytesPerNodeGuess);
    PrintDocument(doc, shape, [&](std::string_view piece) { out.append(piece); }, {});
    return out;
}

bool SaveDocument(const pugi::xml_document& doc, const std::filesystem::path& file, std::string* why,
                  const DocumentShape* known, const std::vector<std::string_view>& rootTail) {
    if (file.empty()) {
        if (why) *why = "no file name";
        return false;
    }
    const DocumentShape shape = known ? *known : MeasureDocument(doc);
    // Straight into the file: a large document needs no copy of itself in memory.
    return platform::WriteFileAtomicallyFrom(
        file,
        [&](const platform::ByteSink& sink, const platform::LastingSink& lasting) {
            PrintDocument(doc, shape, sink, rootTail, &lasting);
        },
        0600, why);
}

bool PrintAroundRootTail(const pugi::xml_document& doc, const DocumentShape& shape, std::string& before,
                         std::string& after) {
    before.clear();
    after.clear();
    std::string* out = &before;
    bool placed = false;
    // One stand-in element marks where the tail goes.
    const platform::LastingSink lasting = [&](const std::vector<std::string_view>&) {
        placed = true;
        out = &after;
    };
    try {
        PrintDocument(doc, shape, [&](std::string_view piece) { out->append(piece); }, {"<x />"}, &lasting);
    } catch (const std::exception&) {
        return false;  // the root takes no tail
    }
    return placed;
}

}  // namespace vornel::xml
