#include "xml/dom_utility.h"

#include <unordered_map>

#include <initializer_list>

#include "support/error_log.h"
#include "support/text.h"
#include "support/vlx_error.h"
#include "xml/document_io.h"
#include "xml/xml_escape.h"

namespace vornel {

namespace {

namespace fs = std::filesystem;

// What the DOM raises when it refuses an operation (E_FAIL, E_NOTIMPL).
constexpr int32_t kDomFailure = static_cast<int32_t>(0x80004005u);
constexpr int32_t kDomNotImplemented = static_cast<int32_t>(0x80004001u);

bool TypeIn(int type, std::initializer_list<int> accepted) {
    for (int t : accepted)
        if (t == type) return true;
    return false;
}

// Replaces a node's children by one text node, as putting the DOM's text does.
void SetText(pugi::xml_node node, const std::string& text) {
    while (node.first_child()) node.remove_child(node.first_child());
    if (!text.empty() && !node.append_child(pugi::node_pcdata).set_value(text.data(), text.size()))
        throw VlxError(kDomFailure, "The text could not be set.");
}

pugi::xml_node SelectFirst(pugi::xml_node context, const std::string& xpath) {
    return context.select_node(xpath.c_str()).node();
}

// A second element directly under the document would make it unreadable.
void CheckSingleRoot(pugi::xml_node parent) {
    if (parent.type() == pugi::node_document && parent.find_child([](pugi::xml_node n) {
            return n.type() == pugi::node_element;
        }))
        throw VlxError(kDomFailure, "Only one top level element is allowed in an XML document.");
}

pugi::xml_node AppendElement(pugi::xml_node parent, const std::string& name) {
    CheckSingleRoot(parent);
    pugi::xml_node el = parent.append_child(name.c_str());
    if (!el) throw VlxError(kDomFailure, "The element could not be created.");
    return el;
}

// The character an entity reference name stands for, or -1.
int64_t EntityCharacter(const std::string& name) {
    if (name == "amp") return '&';
    if (name == "lt") return '<';
    if (name == "gt") return '>';
    if (name == "quot") return '"';
    if (name == "apos") return '\'';
    if (name.size() > 1 && name[0] == '#') {
        const std::string decoded = xml::DecodeText("&" + name + ";");
        const std::u32string cps = text::DecodeUtf8(decoded);
        if (cps.size() == 1 && decoded != "&" + name + ";") return cps[0];
        // References the escaping leaves alone ("#65") still stand for their character.
        try {
            size_t used = 0;
            const bool hex = name.size() > 2 && (name[1] == 'x' || name[1] == 'X');
            const unsigned long v = std::stoul(name.substr(hex ? 2 : 1), &used, hex ? 16 : 10);
            if (used == name.size() - (hex ? 2 : 1) && v <= 0x10FFFF) return static_cast<int64_t>(v);
        } catch (const std::exception&) {
        }
    }
    return -1;
}

std::string AsciiOnly(const std::string& s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x80) out += c;
    return out;
}

}  // namespace

int DomNode::Type() const {
    if (attribute) return dom::kAttribute;
    switch (node.type()) {
        case pugi::node_element: return dom::kElement;
        case pugi::node_pcdata: return dom::kText;
        case pugi::node_cdata: return dom::kCData;
        case pugi::node_pi:
        case pugi::node_declaration: return dom::kProcessingInstruction;
        case pugi::node_comment: return dom::kComment;
        case pugi::node_document: return dom::kDocument;
        case pugi::node_doctype: return dom::kDocumentType;
        default: return 0;
    }
}

NodeList ChildNodes(pugi::xml_node node) {
    NodeList list;
    for (pugi::xml_node c : node.children()) list.push_back(c);
    return list;
}

std::string StringValue(pugi::xml_node node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    std::string out;
    // Iterative walk: a deeply nested document must not exhaust the stack.
    pugi::xml_node cur = node.first_child();
    while (cur) {
        if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) out += cur.value();
        if (cur.first_child()) {
            cur = cur.first_child();
            continue;
        }
        while (cur != node && !cur.next_sibling()) cur = cur.parent();
        if (cur == node) break;
        cur = cur.next_sibling();
    }
    return out;
}

cCDOMUtility::cCDOMUtility(DateText dateText) : dateText_(std::move(dateText)) {}

void cCDOMUtility::cP_ClearError() { cP_SetError(0, {}, {}, domerr::kNoError); }

void cCDOMUtility::cP_SetError(int32_t number, std::string description, std::string source,
                               int32_t domError) {
    errorNumber_ = number;
    errorDescription_ = std::move(description);
    errorSource_ = std::move(source);
    domError_ = domError;
}

bool cCDOMUtility::Reject(const char* member, int32_t domError, std::string description) {
    cP_SetError(-1, std::move(description), std::string("cCDOMUtility.") + member, domError);
    return false;
}

bool cCDOMUtility::Unexpected(const char* member) {
    auto [number, description] = CurrentFailure();
    cP_SetError(number, std::move(description), std::string("cCDOMUtility.") + member, domerr::kUnexpected);
    return false;
}

bool cCDOMUtility::IsNodeHaveChildElements(pugi::xml_node node) const {
    return node.first_child() && node.first_child().type() == pugi::node_element;
}

bool cCDOMUtility::IsNodeExist(pugi::xml_node context, const std::string& xpath) {
    cP_ClearError();
    try {
        return static_cast<bool>(context.select_node(xpath.c_str()));
    } catch (...) {
        return Unexpected("IsNodeExist");
    }
}

bool cCDOMUtility::AddAttribute(pugi::xml_document&, pugi::xml_node element, const std::string& name,
                                const std::string& value) {
    cP_ClearError();
    try {
        if (element.type() != pugi::node_element)
            throw VlxError(kDomFailure, "Attributes can only be set on an element.");
        if (!ValidateElementType(name)) throw VlxError(kDomFailure, "Invalid attribute name: " + name);
        if (element.attribute(name.c_str())) return false;
        if (!element.append_attribute(name.c_str()).set_value(value.data(), value.size()))
            throw VlxError(kDomFailure, "The attribute could not be created.");
        return true;
    } catch (...) {
        return Unexpected("AddAttribute");
    }
}

bool cCDOMUtility::AddCDATA(pugi::xml_document&, const DomNode& parent, const std::string& text) {
    cP_ClearError();
    try {
        if (text.find("]]>") != std::string::npos)
            return Reject("AddCDATA", domerr::kInvalidCharacter, "Invalid character string: ']]>' ");
        if (!TypeIn(parent.Type(), {dom::kElement, dom::kEntityReference, dom::kDocumentFragment}))
            return Reject("AddCDATA", domerr::kHierarchyRequest, "Invalid parent node type.");
        if (!pugi::xml_node(parent.node).append_child(pugi::node_cdata).set_value(text.data(), text.size()))
            throw VlxError(kDomFailure, "The CDATA section could not be created.");
        return true;
    } catch (...) {
        return Unexpected("AddCDATA");
    }
}

bool cCDOMUtility::AddComment(pugi::xml_document&, const DomNode& parent, const std::string& text) {
    cP_ClearError();
    try {
        if (!TypeIn(parent.Type(), {dom::kElement, dom::kEntityReference, dom::kDocument, dom::kDocumentFragment}))
            return Reject("AddComment", domerr::kHierarchyRequest, "Invalid parent node type.");
        // Written as it is, such a comment would make the whole file unreadable.
        if (text.find("--") != std::string::npos || (!text.empty() && text.back() == '-'))
            throw VlxError(kDomFailure, "A comment may not contain '--' or end with '-'.");
        if (!pugi::xml_node(parent.node).append_child(pugi::node_comment).set_value(text.data(), text.size()))
            throw VlxError(kDomFailure, "The comment could not be created.");
        return true;
    } catch (...) {
        return Unexpected("AddComment");
    }
}

std::string cCDOMUtility::mP_EscBadChars(std::string_view text, bool encode, bool name) {
    if (!encode) return xml::DecodeText(text);
    return name ? xml::SanitizeElementName(text) : xml::EncodeText(text);
}

pugi::xml_node cCDOMUtility::cP_FindExistingElement(pugi::xml_document& doc, const std::string& name,
                                                    const std::string& encodedIndex, bool update) {
    if (update) return SelectFirst(doc, "//" + name + "[..//XMLIdx = '" + encodedIndex + "']");
    const pugi::xml_node root = doc.document_element();
    if (!root) return {};
    std::string base = root.name();
    base = base.substr(base.rfind(':') + 1);
    return SelectFirst(doc, "/" + base + "/" + name + "[.='']");
}

bool cCDOMUtility::AddElement(pugi::xml_document& doc, const DomNode& parent, const std::string& name,
                              const std::string& text, pugi::xml_node* newNode, const std::string& index,
                              bool update) {
    cP_ClearError();
    if (newNode) *newNode = {};
    try {
        if (!ValidateElementType(name))
            return Reject("AddElement", domerr::kInvalidCharacter, "Invalid element type");
        // Only the lookup of update mode reads the key.
        const std::string encodedIndex = update ? xml::EncodeText(index) : std::string();
        const std::string encodedText = xml::EncodeText(text);
        if (!TypeIn(parent.Type(), {dom::kElement, dom::kEntityReference, dom::kDocument, dom::kDocumentFragment}))
            return Reject("AddElement", domerr::kHierarchyRequest, "Invalid parent node type.");

        const pugi::xml_node found = cP_FindExistingElement(doc, name, encodedIndex, update);
        if (found && update && !encodedText.empty()) {
            SetText(found, encodedText);
            return true;
        }
        if (found) {
            if (newNode) *newNode = found;
            return true;
        }
        const pugi::xml_node el = AppendElement(parent.node, name);
        SetText(el, encodedText);
        if (newNode) *newNode = el;
        return true;
    } catch (...) {
        return Unexpected("AddElement");
    }
}

bool cCDOMUtility::AddElementXML(pugi::xml_document& doc, const DomNode& parent, const std::string& elementXml,
                                 pugi::xml_node* newNode) {
    cP_ClearError();
    if (newNode) *newNode = {};
    try {
        pugi::xml_document scratch;
        xml::ParseReport report;
        if (!xml::LoadXmlText(scratch, elementXml, report)) {
            const bool badName = report.reason.find("name was started with an invalid character") != std::string::npos;
            return Reject("AddElementXML", badName ? domerr::kInvalidCharacter : domerr::kUnexpected,
                          "Invalid element XML: " + report.reason);
        }
        if (!TypeIn(parent.Type(), {dom::kElement, dom::kEntityReference, dom::kDocument, dom::kDocumentFragment}))
            return Reject("AddElementXML", domerr::kUnexpected, "Invalid parent node type.");
        const pugi::xml_node source = scratch.document_element();
        const pugi::xml_node el = AppendElement(parent.node, source.name());
        const std::string text = StringValue(source);
        if (!text.empty()) SetText(el, text);
        for (pugi::xml_attribute a : source.attributes()) {
            if (!AddAttribute(doc, el, a.name(), a.value())) {
                // Nothing half-built stays behind.
                pugi::xml_node(parent.node).remove_child(el);
                return Reject("AddElementXML", domerr::kUnexpected, "Error adding attribute.");
            }
        }
        if (newNode) *newNode = el;
        return true;
    } catch (...) {
        return Unexpected("AddElementXML");
    }
}

bool cCDOMUtility::AddEntity(pugi::xml_document&, const DomNode& doctype, const std::string& name) {
    cP_ClearError();
    try {
        if (doctype.Type() != dom::kDocumentType)
            return Reject("AddEntity", domerr::kHierarchyRequest, "Invalid parent node type.");
        if (!ValidateElementType(name)) throw VlxError(kDomFailure, "Invalid entity name: " + name);
        std::string value = doctype.node.value();
        const std::string decl = "<!ENTITY " + name + " \"\">";
        if (value.find("<!ENTITY " + name + " ") != std::string::npos) return true;
        const size_t close = value.rfind(']');
        if (value.find('[') != std::string::npos && close != std::string::npos)
            value.insert(close, decl);
        else
            value += " [" + decl + "]";
        if (!pugi::xml_node(doctype.node).set_value(value.c_str())) throw VlxError(kDomFailure, "The entity could not be added.");
        return true;
    } catch (...) {
        return Unexpected("AddEntity");
    }
}

bool cCDOMUtility::AddEntityReference(pugi::xml_document&, const DomNode& parent, const std::string& name) {
    cP_ClearError();
    try {
        if (!TypeIn(parent.Type(), {dom::kElement, dom::kAttribute, dom::kEntityReference, dom::kDocumentFragment}))
            return Reject("AddEntityReference", domerr::kHierarchyRequest, "Invalid parent node type.");
        const int64_t ch = EntityCharacter(name);
        if (ch < 0)
            throw VlxError(kDomNotImplemented, "Entity references are not kept in this document: " + name);
        std::string text;
        text::AppendUtf8(text, static_cast<char32_t>(ch));
        if (parent.attribute) {
            pugi::xml_attribute(parent.attribute).set_value((std::string(parent.attribute.value()) + text).c_str());
        } else if (!pugi::xml_node(parent.node).append_child(pugi::node_pcdata).set_value(text.data(), text.size())) {
            throw VlxError(kDomFailure, "The reference could not be added.");
        }
        return true;
    } catch (...) {
        return Unexpected("AddEntityReference");
    }
}

bool cCDOMUtility::RemoveNode(pugi::xml_node node) {
    cP_ClearError();
    try {
        if (!node || !node.parent()) throw VlxError(kDomFailure, "The node has no parent.");
        if (!node.parent().remove_child(node)) throw VlxError(kDomFailure, "The node could not be removed.");
        return true;
    } catch (...) {
        return Unexpected("RemoveNode");
    }
}

bool cCDOMUtility::ReturnNumDeviceInstancesNode(const NodeList& list, pugi::xml_node& out) {
    for (pugi::xml_node n : list) {
        if (std::string_view(n.name()) == "NumDeviceInstances") {
            out = n;
            return true;
        }
    }
    return false;
}

bool cCDOMUtility::ReturnInstallFilesNode(NodeList& list, pugi::xml_node& out) {
    if (list.empty()) return false;
    const pugi::xml_node grandparent = list.front().parent().parent();
    if (!grandparent) return false;
    list = ChildNodes(grandparent);
    for (pugi::xml_node n : list) {
        if (std::string_view(n.name()) == "InfInstallFiles") {
            out = n;
            return true;
        }
    }
    return false;
}

bool cCDOMUtility::ValidateFreeThreadedDOMDocument(pugi::xml_document& doc, const std::string& source,
                                                   std::string& errorText, bool sourceIsXml) {
    cP_ClearError();
    errorText.clear();
    try {
        xml::ParseReport report;
        const bool ok = sourceIsXml ? xml::LoadXmlText(doc, source, report)
                                    : xml::LoadXmlFile(doc, fs::path(source), report);
        if (ok) return true;
        errorText = report.Format(source);
        cP_SetError(report.errorCode, report.reason, "cCDOMUtility.ValidateFreeThreadedDOMDocument",
                    domerr::kNoError);
        return false;
    } catch (...) {
        doc.reset();
        return Unexpected("ValidateFreeThreadedDOMDocument");
    }
}

bool cCDOMUtility::ValidateElementType(std::string_view name) {
    // A scan asks about the same few dozen names for every record: remember the answers.
    thread_local std::unordered_map<std::string, bool> known;
    if (auto it = known.find(std::string(name)); it != known.end()) return it->second;
    const bool valid = CheckElementName(name);
    if (known.size() < 4096) known.emplace(name, valid);
    return valid;
}

bool cCDOMUtility::CheckElementName(std::string_view name) {
    std::string stripped;
    for (char c : name)
        if (c != ':') stripped += c;
    if (stripped.empty() || stripped.find('\0') != std::string::npos) return false;
    const std::string probe = "<" + stripped + "/>";
    pugi::xml_document scratch;
    if (!scratch.load_buffer(probe.data(), probe.size(), pugi::parse_minimal)) return false;
    // pugixml also takes "<a/><b/>" or "<a b='1'/>": the name must be the whole element.
    const pugi::xml_node el = scratch.first_child();
    return el.type() == pugi::node_element && !el.next_sibling() && !el.first_attribute() &&
           !el.first_child() && stripped == el.name();
}

std::string cCDOMUtility::DOMErrorToString(int32_t code) {
    static constexpr const char* kNames[] = {
        "NO_ERROR",          "INDEX_SIZE_ERR",      "DOMSTRING_SIZE_ERR",    "HIERARCHY_REQUEST_ERR",
        "WRONG_DOCUMENT_ERR", "INVALID_CHARACTER_ERR", "NO_DATA_ALLOWED_ERR", "NO_MODIFICATION_ERR",
        "NOT_FOUND_ERR",     "NOT_SUPPORTED_ERR",   "INUSE_ATTRIBUTE_ERR"};
    if (code >= 0 && code <= 10) return kNames[code];
    return "UKNOWN";
}

bool cCDOMUtility::GetXMLHeader(pugi::xml_document& doc, const std::string& rootName, std::string& errorText,
                                bool /*reserved*/, const fs::path& file) {
    cP_ClearError();
    errorText.clear();
    try {
        std::error_code ec;
        const bool keepExisting = file.string().find("msd_") != std::string::npos && fs::exists(file, ec);
        if (!keepExisting) {
            doc.reset();
            pugi::xml_node decl = doc.append_child(pugi::node_declaration);
            if (!decl || !decl.append_attribute("version").set_value("1.0"))
                throw VlxError(kDomFailure, "The XML declaration could not be created.");
            const std::string version = "Kestrova Toolkit v" + std::to_string(VORNEL_VERSION_MAJOR) + "." +
                                        std::to_string(VORNEL_VERSION_MINOR) + "." +
                                        std::to_string(VORNEL_VERSION_PATCH);
            const std::string now = AsciiOnly(dateText_ ? dateText_() : NowDateTimeText());
            if (!AddComment(doc, doc, version) || !AddComment(doc, doc, "Driver data captured on: " + now))
                throw VlxError(errorNumber_, errorDescription_);
            std::string root = xml::SanitizeElementName(rootName);
            if (root.empty()) root = xml::FallbackElementName();
            AppendElement(doc, root);
            std::string why;
            if (!xml::SaveDocument(doc, file, &why)) {
                errorText = file.string() + "\r\n" + why + "\r\n\r\n";
                throw VlxError(kErrXmlHeadCreatePathNotFound, "VLX_XML_HEAD_CREATE_PATH_NOT_FOUND");
            }
        }
        if (!fs::exists(file, ec))
            throw VlxError(kErrXmlHeadCreatePathNotFound, "VLX_XML_HEAD_CREATE_PATH_NOT_FOUND");
        if (!ValidateFreeThreadedDOMDocument(doc, file.string(), errorText, false))
            throw VlxError(kErrXmlHeadCreateFailed, "VLX_XML_HEAD_CREATE_FAILED");
        return true;
    } catch (...) {
        Unexpected("GetXMLHeader");
        ReportError("cCDOMUtility", "GetXMLHeader", errorNumber_, errorDescription_, errorText);
        return false;
    }
}

}  // namespace vornel
