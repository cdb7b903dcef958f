#pragma once
// A driver record kept as the text its Device element is saved as, from the time it is
// written until the document is saved. A scan writes thousands of records and reads back
// a few fields of some of them: building DOM nodes for every field and printing them all
// again at the save took a fifth of a scan's work.
//
// The text is what pugixml prints for the same element one level below the root with
// children indented by tabs and LF line ends, so it can stand in the saved file for the
// element, or be parsed back into one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/driver_record.h"

namespace vornel::xml {

// The fields of one element with their names ready for pugixml, and whether AddElement
// would take the name.
struct NamedField {
    const DriverField* field;
    std::string name;
    bool valid;
    std::string open;   // the start tag as printed, indented for its place, without its ">"
    std::string close;  // the end tag and line end
};
const std::vector<NamedField>& NamedFields(FieldPlace place);

// A field's value as the document writer gives it (`now` for a field stamped at writing).
std::string FieldValueFor(const DriverRecord& r, const DriverField& f, const std::string& now);
// The same without copying a text member that needs no change; the view lives as long as
// the record, `now` and `scratch` do.
std::string_view FieldValueView(const DriverRecord& r, const DriverField& f, const std::string& now,
                                std::string& scratch);

// Appends `text` as pugixml prints element text: "&", "<" and ">" as entities, control
// characters other than tab, CR and LF as two-digit character references, up to a NUL.
void AppendPrintedText(std::string& out, std::string_view text);

class RecordText {
public:
    // Prints the record as DriverDocument writes it: every valid field of the Device element,
    // then the XMLVLX element with its own, each value encoded.
    RecordText(const DriverRecord& r, const std::string& now);

    const std::string& Text() const { return text_; }
    // Whether any element got a text (an element without one is reused by append mode).
    bool HasText() const { return hasText_; }
    // The XMLIdx element's text as the DOM holds it (encoded); null when it was left out.
    const std::string* Key() const { return hasKey_ ? &key_ : nullptr; }

    // Fields are numbered as NamedFields lists them, the Device element's first.
    static size_t FieldCount();
    static const NamedField& Field(size_t i);
    // The field's text as the DOM holds it; nullopt when its element was left out.
    std::optional<std::string> Value(size_t i) const;
    // Sets the field's text (as the DOM would hold it). Not for the key.
    void SetValue(size_t i, std::string_view value);

private:
    static constexpr uint32_t kLeftOut = UINT32_MAX;
    void Element(size_t i, const NamedField& f, const DriverRecord& r, const std::string& now,
                 std::string& scratch);

    std::string text_;
    // For each field, where its element's name ends in text_ (" />" or ">" follows), or
    // kLeftOut.
    std::vector<uint32_t> at_;
    std::string key_;
    bool hasKey_ = false;
    bool hasText_ = false;
};

}  // namespace vornel::xml
