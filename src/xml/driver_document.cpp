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

using xml::NamedField;
using xml::NamedFields;

// The Device element and its children, through `dom`; the Device element or null.
pugi::xml_node WriteRecord(cCDOMUtility& dom, const DriverRecord& r, pugi::xml_document& doc, bool update,
                           const std::string& now) {
    pugi::xml_node device;
    if (!dom.AddElement(doc, doc.document_element(), "Device", {}, &device, r.XMLIdx, update) || !device)
        return {};
    for (const NamedField& f : NamedFields(FieldPlace::Device))
        dom.AddElement(doc, device, f.name, xml::FieldValueFor(r, *f.field, now), nullptr, r.XMLIdx, update);
    pugi::xml_node vlx;
    if (dom.AddElement(doc, device, "XMLVLX", {}, &vlx, {}, false) && vlx)
        for (const NamedField& f : NamedFields(FieldPlace::XmlVlx))
            dom.AddElement(doc, vlx, f.name, xml::FieldValueFor(r, *f.field, now), nullptr, r.XMLIdx, update);
    return device;
}

// Sets the field from its element's text as the DOM holds it.
void ReadFieldText(DriverRecord& r, const DriverField& f, std::string_view domText) {
    const std::string value = xml::DecodeText(domText);
    if (!SetFieldFromText(r, f, value))
        ReportError(kModule, "mP_FillDriverDataStruct", kTypeMismatch, "Type mismatch",
                    std::string(f.name) + "=" + value);
}

void ReadField(DriverRecord& r, pugi::xml_node child, FieldPlace place) {
    if (const DriverField* f = FindDriverField(child.name(), place)) ReadFieldText(r, *f, StringValue(child));
}

// The instance count one higher, as the element's new text; from the count's text as the
// DOM holds it. Saturates rather than wrapping round to a negative count.
std::string RaisedCount(std::string_view domText) {
    DriverRecord scratch;
    const DriverField& field = *FindDriverField("NumDeviceInstances", FieldPlace::Device);
    const std::string value = xml::DecodeText(domText);
    if (!SetFieldFromText(scratch, field, value))
        throw VlxError(kTypeMismatch, "Type mismatch: NumDeviceInstances=" + value);
    if (scratch.NumDeviceInstances < INT16_MAX) ++scratch.NumDeviceInstances;
    return xml::EncodeText(FieldValueText(scratch, field));
}

// A field's number among RecordText's fields, or SIZE_MAX.
size_t TextField(std::string_view name, FieldPlace place) {
    for (size_t i = 0; i < xml::RecordText::FieldCount(); ++i) {
        const NamedField& f = xml::RecordText::Field(i);
        if (f.field->place == place && f.name == name) return i;
    }
    return SIZE_MAX;
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
    kept_.clear();
    keptKeys_.clear();
    keptLive_ = 0;
    keepText_ = false;
    stream_.Stop();
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
    // Records are kept as text where they would be plain appends printed with indentation
    // after everything else under the root, which must hold only elements to print that way.
    const pugi::xml_node root = doc_.document_element();
    keepText_ = root && !shape_.deep && emptyRootChildren_.empty();
    for (pugi::xml_node child : root.children())
        if (child.type() != pugi::node_element) keepText_ = false;
    // The file Save puts in place is begun now, the records to go out as they come.
    std::string before, after;
    if (keepText_ && xml::PrintAroundRootTail(doc_, shape_, before, after)) stream_.Start(file_, before, std::move(after));
    return true;
}

DriverDocument::Located DriverDocument::Locate(const std::string& encodedKey) const {
    // Kept records follow every element of the DOM.
    if (const auto it = byKey_.find(encodedKey); it != byKey_.end() && !it->second.empty())
        return {it->second.front(), kNotKept};
    if (const auto it = keptKeys_.find(encodedKey); it != keptKeys_.end() && !it->second.empty())
        return {{}, it->second.front()};
    return {};
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

std::vector<std::string_view>& DriverDocument::KeptTexts(size_t first, size_t end) {
    streamed_.clear();
    for (size_t i = first; i < end; ++i)
        streamed_.push_back(kept_[i].removed ? std::string_view() : std::string_view(kept_[i].text.Text()));
    return streamed_;
}

void DriverDocument::Keep(xml::RecordText&& text) {
    if (const std::string* key = text.Key()) keptKeys_[*key].push_back(kept_.size());
    kept_.push_back({std::move(text), false});
    ++keptLive_;
    // Records go to the file a batch at a time once the scan has left them behind. The
    // last few stay: the next instances of a device, found right after it, raise its count.
    constexpr size_t kStillChanging = 32, kBatch = 64;
    if (stream_.Active() && kept_.size() >= stream_.Written() + kStillChanging + kBatch)
        stream_.Write(KeptTexts(stream_.Written(), kept_.size() - kStillChanging));
}

void DriverDocument::TurnKeptIntoNodes() {
    if (!keepText_) return;
    keepText_ = false;
    stream_.Stop();
    pugi::xml_node root = doc_.document_element();
    static const size_t kNodesAtMost = 2 * (xml::RecordText::FieldCount() + 2);
    for (const Kept& k : kept_) {
        if (k.removed) continue;
        const std::string& text = k.text.Text();
        // Printed here from values the writer encoded: it parses unless memory runs out.
        if (!root.append_buffer(text.data(), text.size(), xml::LoadOptions(), pugi::encoding_utf8))
            ReportError(kModule, "mP_InfScratchPad", kTypeMismatch, "a kept record did not parse", text);
        shape_.nodes += kNodesAtMost;
    }
    kept_.clear();
    keptKeys_.clear();
    keptLive_ = 0;
    RebuildIndex();
}

bool DriverDocument::Contains(const std::string& key) const { return static_cast<bool>(Locate(xml::EncodeText(key))); }

std::optional<DriverRecord> DriverDocument::Find(const std::string& key) const {
    const Located at = Locate(xml::EncodeText(key));
    pugi::xml_document one;
    pugi::xml_node device = at.node;
    if (at.kept != kNotKept) {
        const std::string& text = kept_[at.kept].text.Text();
        if (!one.load_buffer(text.data(), text.size(), xml::LoadOptions(), pugi::encoding_utf8)) return std::nullopt;
        device = one.document_element();
    }
    if (!device) return std::nullopt;
    DriverRecord r;
    if (!mP_FillDriverDataStruct(device, r)) return std::nullopt;
    return r;
}

std::optional<DriverRecord> DriverDocument::FindFields(const std::string& key,
                                                      std::initializer_list<std::string_view> names) const {
    const Located at = Locate(xml::EncodeText(key));
    if (!at) return std::nullopt;
    auto wanted = [&](std::string_view name) { return std::find(names.begin(), names.end(), name) != names.end(); };
    DriverRecord r;
    if (at.kept != kNotKept) {
        const xml::RecordText& text = kept_[at.kept].text;
        size_t i = 0;  // RecordText's numbering: the Device element's fields first
        for (const FieldPlace place : {FieldPlace::Device, FieldPlace::XmlVlx}) {
            for (const NamedField& f : NamedFields(place)) {
                const size_t field = i++;
                if (!wanted(f.name)) continue;
                if (const std::optional<std::string> value = text.Value(field)) ReadFieldText(r, *f.field, *value);
            }
        }
        return r;
    }
    for (pugi::xml_node child : at.node.children()) {
        if (std::string_view(child.name()) == "XMLVLX") {
            for (pugi::xml_node g : child.children())
                if (g.type() == pugi::node_element && wanted(g.name())) ReadField(r, g, FieldPlace::XmlVlx);
        } else if (child.type() == pugi::node_element && wanted(child.name())) {
            ReadField(r, child, FieldPlace::Device);
        }
    }
    return r;
}

bool DriverDocument::Remove(const std::string& key) {
    return Guarded(kModule, "mP_RemoveDriverRecord", false, [&] {
        const std::string encoded = xml::EncodeText(key);
        const Located at = Locate(encoded);
        if (at.kept != kNotKept) {
            kept_[at.kept].removed = true;
            stream_.Changed(at.kept);
            --keptLive_;
            auto it = keptKeys_.find(encoded);
            it->second.erase(it->second.begin());
            if (it->second.empty()) keptKeys_.erase(it);
            return true;
        }
        if (!at.node) return false;
        stream_.Stop();  // the part before the kept records changes
        // The index must drop the node before the DOM frees it.
        UnregisterDevice(at.node);
        cCDOMUtility dom;
        if (!dom.RemoveNode(at.node)) throw VlxError(dom.ErrorNumber(), dom.ErrorDescription());
        return true;
    });
}

bool DriverDocument::RaiseCount(const Located& at) {
    return Guarded(kModule, "mP_RaiseNumDeviceInstances", false, [&] {
        if (at.kept != kNotKept) {
            static const size_t field = TextField("NumDeviceInstances", FieldPlace::Device);
            xml::RecordText& text = kept_[at.kept].text;
            const std::optional<std::string> count = text.Value(field);
            if (!count) throw VlxError(kTypeMismatch, "NumDeviceInstances not found");
            text.SetValue(field, RaisedCount(*count));
            stream_.Changed(at.kept);
            return true;
        }
        stream_.Stop();  // the part before the kept records changes
        cCDOMUtility dom;
        pugi::xml_node count;
        if (!dom.ReturnNumDeviceInstancesNode(ChildNodes(at.node), count))
            throw VlxError(kTypeMismatch, "NumDeviceInstances not found");
        const std::string raised = RaisedCount(StringValue(count));
        ++shape_.nodes;  // the count's text, should it have had none
        SetText(count, raised);
        return true;
    });
}

bool DriverDocument::RaiseInstanceCount(const std::string& key) {
    const Located at = Locate(xml::EncodeText(key));
    return at && RaiseCount(at);
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
        const std::string_view plain = xml::FieldValueView(r, *f.field, now, value);
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
    return Guarded(kModule, "mP_InfScratchPad", false, [&] {
        const std::string now = Now(dateText_);
        if (keepText_) {
            xml::RecordText text(record, now);
            if (text.HasText()) {
                Keep(std::move(text));
                return true;
            }
            // An element without any text is one append mode reuses later: it must be a node.
            TurnKeptIntoNodes();
        }
        // A record is its Device and XMLVLX elements, one element for each field and at most
        // one text in each.
        static const size_t kNodesAtMost = 2 * (xml::RecordText::FieldCount() + 2);
        shape_.nodes += kNodesAtMost;
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
    Located existing = Locate(key);
    AddResult result = AddResult::Added;
    if (existing && record.IsDeviceConnected) {
        static const size_t field = TextField("IsDeviceConnected", FieldPlace::Device);
        const std::string connected = existing.kept != kNotKept
                                          ? kept_[existing.kept].text.Value(field).value_or(std::string())
                                          : StringValue(existing.node.child("IsDeviceConnected"));
        DriverRecord old;
        SetFieldFromText(old, *FindDriverField("IsDeviceConnected", FieldPlace::Device), xml::DecodeText(connected));
        if (!old.IsDeviceConnected) {
            if (!Remove(record.XMLIdx)) return AddResult::Failed;
            existing = Locate(key);
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
    // A stream that fails (a full disk) leaves the target as it was; the whole file is
    // then written anew, which says why it cannot be if it cannot.
    if (stream_.Active() && keepText_ && stream_.Finish(KeptTexts(stream_.FirstToFinish(), kept_.size()), &why)) {
        errorText_.clear();
        return true;
    }
    stream_.Stop();
    why.clear();
    try {
        std::vector<std::string_view> kept;
        kept.reserve(keptLive_);
        for (const Kept& k : kept_)
            if (!k.removed) kept.push_back(k.text.Text());
        if (!xml::SaveDocument(doc_, file_, &why, &shape_, kept)) throw VlxError(kFileAccessError, "Path/File access error");
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
    return static_cast<size_t>(std::distance(devices.begin(), devices.end())) + keptLive_;
}

const pugi::xml_document& DriverDocument::Dom() {
    TurnKeptIntoNodes();
    return doc_;
}

}  // namespace vornel
