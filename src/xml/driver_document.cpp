#include "xml/driver_document.h"

#include <algorithm>
#include <climits>

#include "support/error_log.h"
#include "support/text.h"
#include "support/vlx_error.h"
#include "xml/document_io.h"
#include "xml/xml_escape.h"

namespace vornel {

namespace {

namespace fs = std::filesystem;

constexpr const char* kModule = "mTQZUtili";
// What the run-time reports for a value of the wrong form and for a file it cannot write.
constexpr int32_t kTypeMismatch = 13;
constexpr int32_t kFileAccessError = 75;

std::string Now(const cCDOMUtility::DateText& dateText) { return dateText ? dateText() : NowDateTimeText(); }

std::string ValueFor(const DriverRecord& r, const DriverField& f, const std::string& now) {
    switch (f.rule) {
        case WriteRule::StampNow: return now;
        case WriteRule::DropNul: {
            std::string v = FieldValueText(r, f);
            v.erase(std::remove(v.begin(), v.end(), '\0'), v.end());
            return v;
        }
        default: return FieldValueText(r, f);
    }
}

// A field's value as ValueFor gives it, without copying a text member that needs no change.
std::string_view ValueView(const DriverRecord& r, const DriverField& f, const std::string& now,
                           std::string& scratch) {
    if (f.rule == WriteRule::StampNow) return now;
    if (const TextMember* m = std::get_if<TextMember>(&f.member)) {
        const std::string& v = r.*(*m);
        if (f.rule != WriteRule::DropNul || v.find('\0') == std::string::npos) return v;
    }
    scratch = ValueFor(r, f, now);
    return scratch;
}

// The fields of one element with their names ready for pugixml, and whether AddElement
// would take the name.
struct NamedField {
    const DriverField* field;
    std::string name;
    bool valid;
};

const std::vector<NamedField>& NamedFields(FieldPlace place) {
    static const auto named = [](FieldPlace p) {
        std::vector<NamedField> out;
        for (const DriverField* f : DocumentFields(p))
            out.push_back({f, std::string(f->name), cCDOMUtility::ValidateElementType(f->name)});
        return out;
    };
    static const std::vector<NamedField> device = named(FieldPlace::Device);
    static const std::vector<NamedField> vlx = named(FieldPlace::XmlVlx);
    return place == FieldPlace::Device ? device : vlx;
}

// The Device element and its children, through `dom`; the Device element or null.
pugi::xml_node WriteRecord(cCDOMUtility& dom, const DriverRecord& r, pugi::xml_document& doc, bool update,
                           const std::string& now) {
    pugi::xml_node device;
    if (!dom.AddElement(doc, doc.document_element(), "Device", {}, &device, r.XMLIdx, update) || !device)
        return {};
    for (const NamedField& f : NamedFields(FieldPlace::Device))
        dom.AddElement(doc, device, f.name, ValueFor(r, *f.field, now), nullptr, r.XMLIdx, update);
    pugi::xml_node vlx;
    if (dom.AddElement(doc, device, "XMLVLX", {}, &vlx, {}, false) && vlx)
        for (const NamedField& f : NamedFields(FieldPlace::XmlVlx))
            dom.AddElement(doc, vlx, f.name, ValueFor(r, *f.field, now), nullptr, r.XMLIdx, update);
    return device;
}

void ReadField(DriverRecord& r, pugi::xml_node child, FieldPlace place) {
    const DriverField* f = FindDriverField(child.name(), place);
    if (!f) return;
    const std::string value = xml::DecodeText(StringValue(child));
    if (!SetFieldFromText(r, *f, value))
        ReportError(kModule, "mP_FillDriverDataStruct", kTypeMismatch, "Type mismatch",
                    std::string(f->name) + "=" + value);
}

void SetText(pugi::xml_node node, const std::string& text) {
    while (node.first_child()) node.remove_child(node.first_child());
    if (!text.empty()) node.append_child(pugi::node_pcdata).set_value(text.c_str());
}

// The driver document's answer to "which element does append mode reuse": an element of
// that name without text directly under the root, found in the list the document keeps
// instead of by searching every record.
class IndexedDomUtility final : public cCDOMUtility {
public:
    explicit IndexedDomUtility(const std::vector<pugi::xml_node>& emptyRootChildren)
        : empty_(emptyRootChildren) {}

protected:
    pugi::xml_node cP_FindExistingElement(pugi::xml_document& doc, const std::string& name,
                                          const std::string& encodedIndex, bool update) override {
        if (update) return cCDOMUtility::cP_FindExistingElement(doc, name, encodedIndex, update);
        // The search path names the root by its base name, which a prefixed root never matches.
        if (std::string_view(doc.document_element().name()).find(':') != std::string_view::npos) return {};
        for (pugi::xml_node n : empty_)
            if (name == n.name() && StringValue(n).empty()) return n;
        return {};
    }

private:
    const std::vector<pugi::xml_node>& empty_;
};

}  // namespace

std::string RecordKeyXPath(std::string_view rootName, std::string_view key) {
    return "/" + std::string(rootName) + "/Device/XMLVLX/XMLIdx[. = '" + xml::EncodeText(key) + "']";
}

bool mP_InfScratchPad(const DriverRecord& record, pugi::xml_document& doc, bool update,
                      const cCDOMUtility::DateText& dateText) {
    return Guarded(kModule, "mP_InfScratchPad", false, [&] {
        cCDOMUtility dom;
        return static_cast<bool>(WriteRecord(dom, record, doc, update, Now(dateText)));
    });
}

bool mP_FillDriverDataStruct(pugi::xml_node device, DriverRecord& record, const std::string& pipeList) {
    return Guarded(kModule, "mP_FillDriverDataStruct", false, [&] {
        record.Clear();
        if (!pipeList.empty()) {
            record.HardwareID = text::Split(pipeList, "|");
            return true;
        }
        for (pugi::xml_node child : device.children()) {
            if (child.type() != pugi::node_element) continue;
            if (std::string_view(child.name()) != "XMLVLX") {
                ReadField(record, child, FieldPlace::Device);
                continue;
            }
            for (pugi::xml_node g : child.children())
                if (g.type() == pugi::node_element) ReadField(record, g, FieldPlace::XmlVlx);
        }
        return true;
    });
}

pugi::xml_node FindDeviceByKey(const pugi::xml_document& doc, const std::string& key) {
    const pugi::xml_node root = doc.document_element();
    if (!root) return {};
    try {
        const pugi::xml_node idx = doc.select_node(RecordKeyXPath(root.name(), key).c_str()).node();
        return idx.parent().parent();
    } catch (const pugi::xpath_exception&) {
        // A root name that is no XPath name: nothing can be found under it.
        return {};
    }
}

std::vector<pugi::xml_node> DeviceElements(const pugi::xml_document& doc) {
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node n : doc.document_element().children("Device")) out.push_back(n);
    return out;
}

DriverRecord mP_DRIVER_DATA_FromKey(const fs::path& file, const std::string& key) {
    std::string errorText;
    try {
        if (file.empty()) throw VlxError(kErrPathLookup, "VLX_ERROR_PATH_LOOKUP");
        pugi::xml_document doc;
        cCDOMUtility dom;
        if (!dom.ValidateFreeThreadedDOMDocument(doc, file.string(), errorText, false))
            throw VlxError(kErrMsxmlValidate, "");
        DriverRecord record;
        if (const pugi::xml_node device = FindDeviceByKey(doc, key)) mP_FillDriverDataStruct(device, record);
        return record;
    } catch (...) {
        ReportError(kModule, "mP_DRIVER_DATA_FromKey", errorText);
        return {};
    }
}

bool ReadDriverDocument(const fs::path& file, std::vector<DriverRecord>& records, std::string& errorText) {
    records.clear();
    pugi::xml_document doc;
    cCDOMUtility dom;
    if (!dom.ValidateFreeThreadedDOMDocument(doc, file.string(), errorText, false)) return false;
    const std::vector<pugi::xml_node> devices = DeviceElements(doc);
    records.reserve(devices.size());
    for (pugi::xml_node device : devices) {
        DriverRecord r;
        mP_FillDriverDataStruct(device, r);
        records.push_back(std::move(r));
    }
    return true;
}

// ---- DriverDocument

DriverDocument::DriverDocument(cCDOMUtility::DateText dateText) : dateText_(std::move(dateText)) {}

bool DriverDocument::Begin(const std::string& computerName, const fs::path& file) {
    file_ = file;
    byKey_.clear();
    emptyRootChildren_.clear();
    cCDOMUtility dom(dateText_);
    const bool ok = dom.GetXMLHeader(doc_, computerName, errorText_, false, file);
    errorNumber_ = dom.ErrorNumber();
    errorDescription_ = dom.ErrorDescription();
    if (!ok) {
        doc_.reset();
        shape_ = {};
        return false;
    }
    RebuildIndex();
    shape_ = xml::MeasureDocument(doc_);
    return true;
}

pugi::xml_node DriverDocument::FirstDevice(const std::string& encodedKey) const {
    const auto it = byKey_.find(encodedKey);
    return it == byKey_.end() || it->second.empty() ? pugi::xml_node{} : it->second.front();
}

void DriverDocument::RegisterKeys(pugi::xml_node device) {
    for (pugi::xml_node vlx : device.children("XMLVLX")) {
        for (pugi::xml_node idx : vlx.children("XMLIdx")) {
            auto& list = byKey_[StringValue(idx)];
            if (list.empty() || list.back() != device) list.push_back(device);
        }
    }
}

void DriverDocument::UnregisterDevice(pugi::xml_node device) {
    for (pugi::xml_node vlx : device.children("XMLVLX")) {
        for (pugi::xml_node idx : vlx.children("XMLIdx")) {
            const auto it = byKey_.find(StringValue(idx));
            if (it == byKey_.end()) continue;
            auto& list = it->second;
            list.erase(std::remove(list.begin(), list.end(), device), list.end());
            if (list.empty()) byKey_.erase(it);
        }
    }
    emptyRootChildren_.erase(std::remove(emptyRootChildren_.begin(), emptyRootChildren_.end(), device),
                             emptyRootChildren_.end());
}

void DriverDocument::RebuildIndex() {
    byKey_.clear();
    emptyRootChildren_.clear();
    for (pugi::xml_node child : doc_.document_element().children()) {
        if (child.type() != pugi::node_element) continue;
        if (StringValue(child).empty()) emptyRootChildren_.push_back(child);
        if (std::string_view(child.name()) == "Device") RegisterKeys(child);
    }
}

bool DriverDocument::Contains(const std::string& key) const {
    return static_cast<bool>(FirstDevice(xml::EncodeText(key)));
}

std::optional<DriverRecord> DriverDocument::Find(const std::string& key) const {
    const pugi::xml_node device = FirstDevice(xml::EncodeText(key));
    if (!device) return std::nullopt;
    DriverRecord r;
    if (!mP_FillDriverDataStruct(device, r)) return std::nullopt;
    return r;
}

std::optional<DriverRecord> DriverDocument::FindFields(const std::string& key,
                                                      std::initializer_list<std::string_view> names) const {
    const pugi::xml_node device = FirstDevice(xml::EncodeText(key));
    if (!device) return std::nullopt;
    auto wanted = [&](pugi::xml_node n) {
        return n.type() == pugi::node_element &&
               std::find(names.begin(), names.end(), std::string_view(n.name())) != names.end();
    };
    DriverRecord r;
    for (pugi::xml_node child : device.children()) {
        if (std::string_view(child.name()) == "XMLVLX") {
            for (pugi::xml_node g : child.children())
                if (wanted(g)) ReadField(r, g, FieldPlace::XmlVlx);
        } else if (wanted(child)) {
            ReadField(r, child, FieldPlace::Device);
        }
    }
    return r;
}

bool DriverDocument::Remove(const std::string& key) {
    return Guarded(kModule, "mP_RemoveDriverRecord", false, [&] {
        const pugi::xml_node device = FirstDevice(xml::EncodeText(key));
        if (!device) return false;
        // The index must drop the node before the DOM frees it.
        UnregisterDevice(device);
        cCDOMUtility dom;
        if (!dom.RemoveNode(device)) throw VlxError(dom.ErrorNumber(), dom.ErrorDescription());
        return true;
    });
}

bool DriverDocument::RaiseCount(pugi::xml_node device) {
    return Guarded(kModule, "mP_RaiseNumDeviceInstances", false, [&] {
        cCDOMUtility dom;
        pugi::xml_node count;
        if (!dom.ReturnNumDeviceInstancesNode(ChildNodes(device), count))
            throw VlxError(kTypeMismatch, "NumDeviceInstances not found");
        DriverRecord scratch;
        const DriverField& field = *FindDriverField("NumDeviceInstances", FieldPlace::Device);
        const std::string value = xml::DecodeText(StringValue(count));
        if (!SetFieldFromText(scratch, field, value))
            throw VlxError(kTypeMismatch, "Type mismatch: NumDeviceInstances=" + value);
        // Saturates rather than wrapping round to a negative count.
        if (scratch.NumDeviceInstances < INT16_MAX) ++scratch.NumDeviceInstances;
        ++shape_.nodes;  // the count's text, should it have had none
        SetText(count, xml::EncodeText(FieldValueText(scratch, field)));
        return true;
    });
}

bool DriverDocument::RaiseInstanceCount(const std::string& key) {
    const pugi::xml_node device = FirstDevice(xml::EncodeText(key));
    return device && RaiseCount(device);
}

pugi::xml_node DriverDocument::AppendRecord(const DriverRecord& r, const std::string& now) {
    pugi::xml_node device = doc_.document_element().append_child("Device");
    if (!device) return {};
    bool hasText = false;
    pugi::xml_node key;
    std::string value;
    std::string encoded;
    const auto add = [&](pugi::xml_node parent, const NamedField& f) {
        if (!f.valid) return pugi::xml_node{};
        const std::string_view plain = ValueView(r, *f.field, now, value);
        // As in AddElement, a field that fails is left out and the others still go in.
        try {
            const std::string_view text = xml::EncodedText(plain, encoded);
            pugi::xml_node el = parent.append_child(f.name.c_str());
            if (el && !text.empty() && el.append_child(pugi::node_pcdata).set_value(text.data(), text.size()))
                hasText = true;
            return el;
        } catch (...) {
            return pugi::xml_node{};
        }
    };
    for (const NamedField& f : NamedFields(FieldPlace::Device)) add(device, f);
    if (pugi::xml_node vlx = device.append_child("XMLVLX")) {
        for (const NamedField& f : NamedFields(FieldPlace::XmlVlx)) {
            const pugi::xml_node el = add(vlx, f);
            if (f.field->name == "XMLIdx") key = el;
        }
    }
    if (!hasText) emptyRootChildren_.push_back(device);
    if (key) byKey_[StringValue(key)].push_back(device);
    return device;
}

bool DriverDocument::Write(const DriverRecord& record) {
    // A record is its Device and XMLVLX elements, one element for each field and at most one
    // text in each.
    static const size_t kNodesAtMost =
        2 * (NamedFields(FieldPlace::Device).size() + NamedFields(FieldPlace::XmlVlx).size() + 2);
    shape_.nodes += kNodesAtMost;
    return Guarded(kModule, "mP_InfScratchPad", false, [&] {
        const std::string now = Now(dateText_);
        // With no empty element directly under the root, append mode has nothing to reuse
        // and every field is a plain append: built here directly, each value encoded once.
        if (emptyRootChildren_.empty() && doc_.document_element()) return static_cast<bool>(AppendRecord(record, now));
        IndexedDomUtility dom(emptyRootChildren_);
        const pugi::xml_node device = WriteRecord(dom, record, doc_, false, now);
        if (!device) return false;
        if (std::find(emptyRootChildren_.begin(), emptyRootChildren_.end(), device) != emptyRootChildren_.end()) {
            // An empty element was reused in place: rare enough to re-read the whole index.
            RebuildIndex();
            return true;
        }
        if (StringValue(device).empty()) emptyRootChildren_.push_back(device);
        RegisterKeys(device);
        return true;
    });
}

DriverDocument::AddResult DriverDocument::AddOrCount(const DriverRecord& record) {
    const std::string key = xml::EncodeText(record.XMLIdx);
    pugi::xml_node existing = FirstDevice(key);
    AddResult result = AddResult::Added;
    if (existing && record.IsDeviceConnected) {
        DriverRecord old;
        const pugi::xml_node connected = existing.child("IsDeviceConnected");
        SetFieldFromText(old, *FindDriverField("IsDeviceConnected", FieldPlace::Device),
                         xml::DecodeText(StringValue(connected)));
        if (!old.IsDeviceConnected) {
            if (!Remove(record.XMLIdx)) return AddResult::Failed;
            existing = FirstDevice(key);
            result = AddResult::Replaced;
        }
    }
    if (existing) return RaiseCount(existing) ? AddResult::Counted : AddResult::Failed;
    DriverRecord first = record;
    first.NumDeviceInstances = 1;
    return Write(first) ? result : AddResult::Failed;
}

bool DriverDocument::Save() {
    std::string why;
    try {
        if (!xml::SaveDocument(doc_, file_, &why, &shape_)) throw VlxError(kFileAccessError, "Path/File access error");
        errorText_.clear();
        return true;
    } catch (...) {
        errorText_ = why;
        std::tie(errorNumber_, errorDescription_) = CurrentFailure();
        ReportError(kModule, "mP_SaveDriverDocument", file_.string() + ": " + why);
        return false;
    }
}

size_t DriverDocument::RecordCount() const {
    const auto devices = doc_.document_element().children("Device");
    return static_cast<size_t>(std::distance(devices.begin(), devices.end()));
}

}  // namespace vornel
