#pragma once
// Reading XML into a pugixml document with a parse report, and writing it back.
#include <pugixml.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::xml {

// Why a load failed and where. Positions are counted in characters: filepos from 0,
// line and linepos from 1; all three are 0 when the failure has no position (a missing
// file). srcText is the line holding the failure (a window of it when very long).
struct ParseReport {
    int32_t errorCode = 0;  // 0 when the document loaded
    std::string reason;
    int64_t filepos = 0;
    int64_t line = 0;
    int64_t linepos = 0;
    std::string srcText;

    // The report as the log and the callers show it, led by the source (a path or the XML
    // text, shortened when long).
    std::string Format(std::string_view source) const;
};

// Parse options for every load: comments, processing instructions, the declaration and
// the document type are kept; line ends inside values are kept as written (no CR LF
// folding), and a value made only of blanks is kept. External entities are never
// fetched and entity declarations never expanded.
unsigned LoadOptions();

// Parses XML text. On failure the document is left empty. A text with more than one top
// level element is refused, as the DOM does.
bool LoadXmlText(pugi::xml_document& doc, std::string_view text, ParseReport& report);
bool LoadXmlFile(pugi::xml_document& doc, const std::filesystem::path& file, ParseReport& report);

// The document as the DOM serialises it: the XML declaration with single quotes, one node
// per line, children indented by a tab, LF line ends, no byte-order mark.
std::string SerializeDocument(const pugi::xml_document& doc);

// What saving a document needs to know of it before printing: whether it is nested too
// deep to indent, and about how many nodes it holds (to size the output once).
struct DocumentShape {
    size_t nodes = 0;
    bool deep = false;
};
// One walk over the document.
DocumentShape MeasureDocument(const pugi::xml_document& doc);

// Writes the serialised document to a temporary file beside `file` and renames it over
// `file`, so a failure never leaves a half-written document. False with a reason. A caller
// that knows the document's shape (one it built itself) spares the walk that learns it;
// `nodes` may then be an upper bound. `rootTail`: elements kept as text rather than in the
// DOM, each printed as pugixml prints a child of the root with indentation; they are saved
// as the root's last children (a root holding anything but elements cannot take them).
bool SaveDocument(const pugi::xml_document& doc, const std::filesystem::path& file,
                  std::string* why = nullptr, const DocumentShape* known = nullptr,
                  const std::vector<std::string_view>& rootTail = {});

// What SaveDocument writes before and after a root tail, for a caller that writes the
// tail itself: the file is then `before`, the tail's elements, `after`. False when this
// root cannot take a tail.
bool PrintAroundRootTail(const pugi::xml_document& doc, const DocumentShape& shape, std::string& before,
                         std::string& after);

}  // namespace vornel::xml
