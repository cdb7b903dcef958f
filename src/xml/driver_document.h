#pragma once
// The driver document: every driver record of a scan as one Device element under a root
// named after the computer. Its file is the hand-over from the scan to everything after it
// (update query, report, details, export), which load the file afresh.
#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scan/driver_record.h"
#include "xml/document_io.h"
#include "xml/document_stream.h"
#include "xml/dom_utility.h"
#include "xml/record_text.h"

namespace vornel {

constexpr int32_t kErrPathLookup = static_cast<int32_t>(0x80040000u + 5633);     // "VLX_ERROR_PATH_LOOKUP"
constexpr int32_t kErrMsxmlValidate = static_cast<int32_t>(0x80040000u + 1000);  // "QRT_MSXML_VALIDATE_ERR"

// The XPath of a record's key element: "/" + root + "/Device/XMLVLX/XMLIdx[. = '" + key + "']",
// with the plain key encoded for the literal.
std::string RecordKeyXPath(std::string_view rootName, std::string_view key);

// Appends one Device element with all its children for the record (or, with update, sets
// the elements of the record with the same key). Returns false when no Device element
// could be added; a failed field does not stop the others. Failures are logged.
bool mP_InfScratchPad(const DriverRecord& record, pugi::xml_document& doc, bool update,
                      const cCDOMUtility::DateText& dateText = {});

// Reads a record from a Device element, values decoded. With a pipe list the node is not
// read: the list, split at "|", becomes HardwareID. A value not of its field's form is
// logged and leaves that field at its default.
bool mP_FillDriverDataStruct(pugi::xml_node device, DriverRecord& record, const std::string& pipeList = {});

// Loads a saved driver document and reads the record with this (plain) key. An unknown key
// gives an empty record; an empty path or a file that does not load is logged and gives an
// empty record too.
DriverRecord mP_DRIVER_DATA_FromKey(const std::filesystem::path& file, const std::string& key);

// For readers of a loaded document: the Device element of a key by the XPath form, and
// the Device elements under the root in document order.
pugi::xml_node FindDeviceByKey(const pugi::xml_document& doc, const std::string& key);
std::vector<pugi::xml_node> DeviceElements(const pugi::xml_document& doc);

// Loads a saved driver document and reads every record back, in document order. False with
// the parse report in errorText when the file does not load.
bool ReadDriverDocument(const std::filesystem::path& file, std::vector<DriverRecord>& records,
                        std::string& errorText);

// The document a scan builds. Keeps an index by key beside the DOM so that the duplicate
// check of every device instance costs the same at the last record as at the first.
// Records it writes are kept as the text they are saved as, not as nodes, where that
// prints the same (xml/record_text.h); Dom() turns them into nodes. Change the document
// only through this class, or the index goes stale.
class DriverDocument {
public:
    enum class AddResult {
        Added,     // a new record was written
        Replaced,  // a present instance replaced an absent record with the same key
        Counted,   // a record with the key exists: its NumDeviceInstances was raised
        Failed,
    };

    // dateText renders "now" for the head and each record's XMLIgnition; empty means the
    // local clock.
    explicit DriverDocument(cCDOMUtility::DateText dateText = {});

    // Starts the document for a new scan: head, root named after the computer, saved to
    // `file` and loaded back. False when that fails; it is logged and the error properties
    // below say why (the scan then stops with kErrMsxmlValidate, "QRT_MSXML_VALIDATE_ERR").
    bool Begin(const std::string& computerName, const std::filesystem::path& file);

    // The document's part of the duplicate check for one device instance: a record with the
    // same key that was absent while this instance is present is replaced; otherwise an
    // existing record's instance count is raised; otherwise the record is written with
    // NumDeviceInstances 1.
    AddResult AddOrCount(const DriverRecord& record);

    // The single steps, for a caller that does more between them. Keys are plain text.
    bool Contains(const std::string& key) const;
    std::optional<DriverRecord> Find(const std::string& key) const;
    // Find for a caller that needs only a few fields: the record holds just the ones named
    // (element names, either level), so a scan's duplicate checks do not decode every field.
    std::optional<DriverRecord> FindFields(const std::string& key,
                                           std::initializer_list<std::string_view> names) const;
    bool Remove(const std::string& key);
    bool RaiseInstanceCount(const std::string& key);
    // Appends the record as it is (mP_InfScratchPad, append mode).
    bool Write(const DriverRecord& record);

    // Writes the document to its file atomically; an old file stays whole when this fails.
    // Failures are logged.
    bool Save();

    size_t RecordCount() const;
    // The whole document as a DOM; records kept as text become nodes first.
    const pugi::xml_document& Dom();
    const std::filesystem::path& File() const { return file_; }

    int32_t ErrorNumber() const { return errorNumber_; }
    const std::string& ErrorDescription() const { return errorDescription_; }
    // The parse report or the reason of the last failed Begin or Save.
    const std::string& ErrorText() const { return errorText_; }

private:
    static constexpr size_t kNotKept = SIZE_MAX;
    // The first record of a key in document order: an element of the DOM, or a kept text.
    struct Located {
        pugi::xml_node node;
        size_t kept = kNotKept;
        explicit operator bool() const { return node || kept != kNotKept; }
    };
    struct Kept {
        xml::RecordText text;
        bool removed;
    };
    Located Locate(const std::string& encodedKey) const;
    // Write's way when nothing can be reused: the same elements as the general writer.
    pugi::xml_node AppendRecord(const DriverRecord& record, const std::string& now);
    void RegisterKeys(pugi::xml_node device);
    void UnregisterDevice(pugi::xml_node device);
    void RebuildIndex();
    bool RaiseCount(const Located& at);
    void Keep(xml::RecordText&& text);
    // For what needs nodes: the kept records parsed into the DOM, in order; records are
    // written as nodes from then on.
    void TurnKeptIntoNodes();

    cCDOMUtility::DateText dateText_;
    pugi::xml_document doc_;
    std::filesystem::path file_;
    // Encoded key -> the Device elements holding it, in document order.
    std::unordered_map<std::string, std::vector<pugi::xml_node>> byKey_;
    // Elements directly under the root without any text: the ones append mode reuses.
    std::vector<pugi::xml_node> emptyRootChildren_;
    // Records written as text (xml/record_text.h) while keepText_, saved after every
    // element of the DOM; a removed one stays in place, marked. By encoded key, the ones
    // not removed, in order.
    bool keepText_ = false;
    std::vector<Kept> kept_;
    std::unordered_map<std::string, std::vector<size_t>> keptKeys_;
    size_t keptLive_ = 0;
    // While records are kept as text, the file Save will put in place, written as they
    // come (xml/document_stream.h); stopped when the DOM changes.
    xml::DocumentStream stream_;
    std::vector<std::string_view> streamed_;
    // The texts of kept records from `first` on, a removed one as an empty text.
    std::vector<std::string_view>& KeptTexts(size_t first, size_t end);
    // Measured at Begin; what was added since is counted here (nodes at most), so Save need
    // not walk a document of a hundred thousand nodes to learn it.
    xml::DocumentShape shape_;
    int32_t errorNumber_ = 0;
    std::string errorDescription_;
    std::string errorText_;
};

}  // namespace vornel
