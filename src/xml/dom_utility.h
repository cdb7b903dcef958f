#pragma once
// cCDOMUtility: the one way the program creates, loads, checks and fills XML documents.
// Members keep the last error in four properties instead of throwing; instances hold no
// document, so callers make a fresh one where they need it.
#include <pugixml.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornel {

// W3C DOM node type numbers.
namespace dom {
constexpr int kElement = 1;
constexpr int kAttribute = 2;
constexpr int kText = 3;
constexpr int kCData = 4;
constexpr int kEntityReference = 5;
constexpr int kProcessingInstruction = 7;
constexpr int kComment = 8;
constexpr int kDocument = 9;
constexpr int kDocumentType = 10;
constexpr int kDocumentFragment = 11;
}  // namespace dom

// DOM exception codes kept in domError.
namespace domerr {
constexpr int32_t kNoError = 0;
constexpr int32_t kHierarchyRequest = 3;
constexpr int32_t kInvalidCharacter = 5;
constexpr int32_t kUnexpected = 99;
}  // namespace domerr

// Failures of GetXMLHeader: the saved head does not parse, or the file is not there.
constexpr int32_t kErrXmlHeadCreateFailed = static_cast<int32_t>(0x80040000u + 5611);      // 0x800415EB
constexpr int32_t kErrXmlHeadCreatePathNotFound = static_cast<int32_t>(0x80040000u + 5634);  // 0x80041602

// A node as the utility takes it: a pugixml node, or an attribute, which pugixml keeps
// apart from nodes. Converts from either, so a document or element can be passed directly.
struct DomNode {
    pugi::xml_node node;
    pugi::xml_attribute attribute;

    DomNode() = default;
    DomNode(pugi::xml_node n) : node(n) {}               // NOLINT: implicit by design
    DomNode(pugi::xml_attribute a) : attribute(a) {}     // NOLINT: implicit by design
    // The W3C node type; 0 for an empty handle.
    int Type() const;
};

using NodeList = std::vector<pugi::xml_node>;
NodeList ChildNodes(pugi::xml_node node);

// The DOM's text of a node: every text and CDATA below it, in document order.
std::string StringValue(pugi::xml_node node);

class cCDOMUtility {
public:
    using DateText = std::function<std::string()>;

    // dateText renders "now" for the driver document head; empty means the local clock.
    explicit cCDOMUtility(DateText dateText = {});
    virtual ~cCDOMUtility() = default;
    cCDOMUtility(const cCDOMUtility&) = delete;
    cCDOMUtility& operator=(const cCDOMUtility&) = delete;

    const std::string& ErrorDescription() const { return errorDescription_; }
    int32_t domError() const { return domError_; }
    int32_t ErrorNumber() const { return errorNumber_; }
    const std::string& ErrorSource() const { return errorSource_; }

    // The node has children and its first child is an element.
    bool IsNodeHaveChildElements(pugi::xml_node node) const;
    // An XPath expression finds a node from the context node.
    bool IsNodeExist(pugi::xml_node context, const std::string& xpath);

    // Adds the attribute unless the element already has one of that name (false then,
    // with no error recorded).
    bool AddAttribute(pugi::xml_document& doc, pugi::xml_node element, const std::string& name,
                      const std::string& value);
    bool AddCDATA(pugi::xml_document& doc, const DomNode& parent, const std::string& text);
    bool AddComment(pugi::xml_document& doc, const DomNode& parent, const std::string& text);

    // The program's escaping: text-encode mode (encode, not name), name mode (encode and
    // name) and decode mode (not encode). See xml/xml_escape.h.
    static std::string mP_EscBadChars(std::string_view text, bool encode, bool name);

    // Adds an element named `name` under `parent`, or finds the one to reuse: with update,
    // the element of that name in the record whose XMLIdx is `index` (its text is replaced
    // by a non-empty `text`, and newNode stays empty); without, an empty element of that name
    // directly under the root. `text` and `index` are plain text; they are encoded here.
    bool AddElement(pugi::xml_document& doc, const DomNode& parent, const std::string& name,
                    const std::string& text, pugi::xml_node* newNode, const std::string& index,
                    bool update);
    // Adds an element given as XML text ("<a x='1'>text</a>"): its name, text and attributes.
    bool AddElementXML(pugi::xml_document& doc, const DomNode& parent,
                       const std::string& elementXml, pugi::xml_node* newNode);
    // Declares an (empty) entity in a document type's internal subset.
    bool AddEntity(pugi::xml_document& doc, const DomNode& doctype, const std::string& name);
    // pugixml keeps no entity-reference nodes: the predefined entities and character
    // references are added as the character they stand for; any other name fails.
    bool AddEntityReference(pugi::xml_document& doc, const DomNode& parent,
                            const std::string& name);
    bool RemoveNode(pugi::xml_node node);
    // The first node of the list named "NumDeviceInstances".
    bool ReturnNumDeviceInstancesNode(const NodeList& list, pugi::xml_node& out);
    // Replaces the list by the children of its first node's grandparent and gives the first
    // of them named "InfInstallFiles".
    bool ReturnInstallFilesNode(NodeList& list, pugi::xml_node& out);

    // Loads a file (sourceIsXml false: source is a host path) or XML text into the document.
    // On failure the document is left empty and errorText holds the parse report: source,
    // reason, "filepos=", "line=", "linepos=", "srcText=", each followed by CR LF, and a
    // final CR LF. No DTD is fetched and no entity is expanded.
    bool ValidateFreeThreadedDOMDocument(pugi::xml_document& doc, const std::string& source,
                                         std::string& errorText, bool sourceIsXml);
    // A name is a valid element name when "<name/>" parses as exactly that element; colons
    // are removed first.
    static bool ValidateElementType(std::string_view name);
    // The check itself, without the remembered answers.
    static bool CheckElementName(std::string_view name);
    static std::string DOMErrorToString(int32_t code);

    // Prepares the driver document for a new scan: head, root named after rootName (name
    // mode), saved to `file` and loaded back. A path containing "msd_" whose file exists is
    // loaded unchanged instead. False with the error properties set (and errorText holding
    // the parse report when the saved file does not parse); the failure is logged.
    bool GetXMLHeader(pugi::xml_document& doc, const std::string& rootName,
                      std::string& errorText, bool reserved, const std::filesystem::path& file);

protected:
    // Finds the element AddElement reuses instead of creating one (see AddElement); the
    // driver document answers this from its index. encodedIndex is already encoded, and
    // empty without update.
    virtual pugi::xml_node cP_FindExistingElement(pugi::xml_document& doc, const std::string& name,
                                                  const std::string& encodedIndex, bool update);

private:
    void cP_ClearError();
    void cP_SetError(int32_t number, std::string description, std::string source,
                     int32_t domError);
    // Records a rejected argument of `member` (number -1).
    bool Reject(const char* member, int32_t domError, std::string description);
    // Records the failure in flight (inside a catch block) of `member`.
    bool Unexpected(const char* member);

    DateText dateText_;
    std::string errorDescription_;
    int32_t domError_ = 0;
    int32_t errorNumber_ = 0;
    std::string errorSource_;
};

}  // namespace vornel
