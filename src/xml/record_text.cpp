#include "xml/record_text.h"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xml/dom_utility.h"
#include "xml/xml_escape.h"

namespace vornel::xml {

namespace {

// What AppendPrintedText writes for a character: 0 itself, 1 an entity or reference, 2 the end.
const std::array<uint8_t, 256>& PrintClass() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (int c = 1; c < 32; ++c) t[static_cast<size_t>(c)] = 1;
        t['\t'] = t['\n'] = t['\r'] = 0;
        t['&'] = t['<'] = t['>'] = 1;
        t[0] = 2;
        return t;
    }();
    return table;
}

// The reverse of AppendPrintedText.
std::string Unprinted(std::string_view printed) {
    std::string out;
    out.reserve(printed.size());
    for (size_t i = 0; i < printed.size(); ++i) {
        const char c = printed[i];
        const std::string_view rest = printed.substr(i);
        if (c != '&') {
            out += c;
        } else if (rest.starts_with("&amp;")) {
            out += '&';
            i += 4;
        } else if (rest.starts_with("&lt;")) {
            out += '<';
            i += 3;
        } else if (rest.starts_with("&gt;")) {
            out += '>';
            i += 3;
        } else if (rest.size() >= 5 && rest[1] == '#' && rest[4] == ';') {
            out += static_cast<char>((rest[2] - '0') * 10 + (rest[3] - '0'));
            i += 4;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

const std::vector<NamedField>& NamedFields(FieldPlace place) {
    static const auto named = [](FieldPlace p) {
        std::vector<NamedField> out;
        const std::string indent = p == FieldPlace::Device ? "\t\t" : "\t\t\t";
        for (const DriverField* f : DocumentFields(p)) {
            const std::string name(f->name);
            out.push_back({f, name, cCDOMUtility::ValidateElementType(f->name), indent + "<" + name, "</" + name + ">\n"});
        }
        return out;
    };
    static const std::vector<NamedField> device = named(FieldPlace::Device);
    static const std::vector<NamedField> vlx = named(FieldPlace::XmlVlx);
    return place == FieldPlace::Device ? device : vlx;
}

std::string_view FieldValueView(const DriverRecord& r, const DriverField& f, const std::string& now,
                                std::string& scratch) {
    if (f.rule == WriteRule::StampNow) return now;
    if (const TextMember* m = std::get_if<TextMember>(&f.member)) {
        const std::string& v = r.*(*m);
        if (f.rule != WriteRule::DropNul || v.find('\0') == std::string::npos) return v;
    }
    scratch = FieldValueFor(r, f, now);
    return scratch;
}

std::string FieldValueFor(const DriverRecord& r, const DriverField& f, const std::string& now) {
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

namespace {
// How far `text` runs without a byte AppendPrintedText must look at.
size_t PrintedPlainRun(std::string_view text) {
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time while none is '&', '<', '>' or below 32 (signed: bytes from 128
    // on stop too; the table lets them through).
    const __m128i below32 = _mm_set1_epi8(32), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'),
                  gt = _mm_set1_epi8('>');
    while (i + 16 <= text.size()) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, below32), _mm_cmpeq_epi8(v, amp)),
                                          _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt)));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    return i;
}
}  // namespace

void AppendPrintedText(std::string& out, std::string_view text) {
    const auto& cls = PrintClass();
    size_t plain = 0;
    for (size_t i = PrintedPlainRun(text); i < text.size(); ++i) {
        const uint8_t k = cls[static_cast<unsigned char>(text[i])];
        if (k == 0) continue;
        out.append(text.substr(plain, i - plain));
        if (k == 2) return;
        switch (text[i]) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: {
                const int c = text[i];
                out += "&#";
                out += static_cast<char>('0' + c / 10);
                out += static_cast<char>('0' + c % 10);
                out += ';';
            }
        }
        plain = i + 1;
        i += PrintedPlainRun(text.substr(plain));
    }
    out.append(text.substr(plain));
}

size_t RecordText::FieldCount() {
    return NamedFields(FieldPlace::Device).size() + NamedFields(FieldPlace::XmlVlx).size();
}

const NamedField& RecordText::Field(size_t i) {
    const auto& device = NamedFields(FieldPlace::Device);
    return i < device.size() ? device[i] : NamedFields(FieldPlace::XmlVlx)[i - device.size()];
}

RecordText::RecordText(const DriverRecord& r, const std::string& now) {
    at_.assign(FieldCount(), kLeftOut);
    text_.reserve(4096);
    text_ += "\t<Device>\n";
    std::string scratch;
    size_t i = 0;
    for (const NamedField& f : NamedFields(FieldPlace::Device)) Element(i++, f, r, now, scratch);
    const size_t vlx = text_.size();
    text_ += "\t\t<XMLVLX>\n";
    const size_t children = text_.size();
    for (const NamedField& f : NamedFields(FieldPlace::XmlVlx)) Element(i++, f, r, now, scratch);
    if (text_.size() == children) {
        text_.resize(vlx);
        text_ += "\t\t<XMLVLX />\n";
    } else {
        text_ += "\t\t</XMLVLX>\n";
    }
    text_ += "\t</Device>\n";
    // The document keeps every record's text until it is saved: held at its size rather
    // than in the room it was built in, a large scan's texts take a third less memory,
    // and the room, freed, is where the next record is built.
    text_.shrink_to_fit();
}

void RecordText::Element(size_t i, const NamedField& f, const DriverRecord& r, const std::string& now,
                         std::string& scratch) {
    if (!f.valid) return;
    std::string encodedScratch;
    std::string_view encoded;
    bool asItIs = false;
    // As in AddElement, a field that fails is left out and the others still go in.
    try {
        const std::string_view value = FieldValueView(r, *f.field, now, scratch);
        // Most values are printed as they stand: one look at them instead of two.
        asItIs = EncodesAndPrintsAsItIs(value);
        encoded = asItIs ? value : EncodedText(value, encodedScratch);
    } catch (...) {
        return;
    }
    text_ += f.open;
    if (text_.size() < kLeftOut) at_[i] = static_cast<uint32_t>(text_.size());
    if (encoded.empty()) {
        text_ += " />\n";
    } else {
        text_ += '>';
        if (asItIs) text_ += encoded;
        else AppendPrintedText(text_, encoded);
        text_ += f.close;
        hasText_ = true;
    }
    if (f.field->name == "XMLIdx") {
        hasKey_ = true;
        key_.assign(encoded.substr(0, encoded.find('\0')));
    }
}

std::optional<std::string> RecordText::Value(size_t i) const {
    if (i >= at_.size() || at_[i] == kLeftOut) return std::nullopt;
    const size_t p = at_[i];
    if (text_[p] == ' ') return std::string();
    const size_t end = text_.find('<', p + 1);
    return Unprinted(std::string_view(text_).substr(p + 1, end - p - 1));
}

void RecordText::SetValue(size_t i, std::string_view value) {
    if (i >= at_.size() || at_[i] == kLeftOut) return;
    const size_t p = at_[i];
    const std::string& name = Field(i).name;
    const size_t oldEnd = text_[p] == ' ' ? p + 3 : text_.find('<', p + 1) + name.size() + 3;
    std::string element;
    if (value.empty()) {
        element = " />";
    } else {
        element = ">";
        AppendPrintedText(element, value);
        element += "</" + name + ">";
        hasText_ = true;
    }
    text_.replace(p, oldEnd - p, element);
    const auto delta = static_cast<int64_t>(element.size()) - static_cast<int64_t>(oldEnd - p);
    for (uint32_t& at : at_)
        if (at != kLeftOut && at > p) at = static_cast<uint32_t>(static_cast<int64_t>(at) + delta);
}

}  // namespace vornel::xml
