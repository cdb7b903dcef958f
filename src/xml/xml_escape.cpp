#include "xml/xml_escape.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <random>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/text.h"

namespace vornel::xml {

namespace {

// Codes below 48 that stay as they are in text-encode mode.
constexpr bool KeptBelow48(char32_t c) {
    switch (c) {
        case 9: case 10: case 13: case 32: case 33: case 35: case 36: case 37:
        case 40: case 41: case 42: case 43: case 45: case 46: case 47:
            return true;
        default:
            return false;
    }
}

// The ASCII codes text-encode mode writes as a reference.
constexpr std::array<bool, 128> kReferencedAscii = [] {
    std::array<bool, 128> t{};
    for (char32_t c = 0; c < 48; ++c) t[c] = !KeptBelow48(c);
    t[127] = true;
    return t;
}();

// The bytes text-encode mode copies as they are: one look-up per byte in the scans below.
constexpr std::array<bool, 256> kPlainByte = [] {
    std::array<bool, 256> t{};
    for (size_t b = 0; b < 128; ++b) t[b] = !kReferencedAscii[b];
    return t;
}();

// The same, less "<" and ">": the bytes pugixml prints as they are among those.
constexpr std::array<bool, 256> kPlainPrintedByte = [] {
    std::array<bool, 256> t = kPlainByte;
    t['<'] = t['>'] = false;
    return t;
}();

// The length of the leading run of plain bytes; with kPrinted, of bytes that pugixml also
// prints as they are.
template <bool kPrinted>
size_t PlainRunOf(std::string_view in) {
    const std::array<bool, 256>& plainByte = kPrinted ? kPlainPrintedByte : kPlainByte;
    size_t i = 0;
#if defined(__SSE2__)
    // Values run to kilobytes (file lists, details): sixteen bytes at a time while none of
    // them can need a reference. Control characters, the quote, '&', apostrophe, ',' and
    // bytes from 127 on stop the run here (and '<' and '>' with kPrinted); the table
    // decides for the byte found.
    const __m128i below32 = _mm_set1_epi8(32), quote = _mm_set1_epi8('"'), amp = _mm_set1_epi8('&'),
                  apos = _mm_set1_epi8('\''), comma = _mm_set1_epi8(','), del = _mm_set1_epi8(127),
                  lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
    for (;;) {
        while (i + 16 <= in.size()) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.data() + i));
            // Signed: bytes from 128 on compare below 32 as well.
            __m128i stop = _mm_or_si128(
                _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, below32), _mm_cmpeq_epi8(v, quote)),
                             _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, apos))),
                _mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, del)));
            if constexpr (kPrinted)
                stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt)));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
            if (mask != 0) {
                i += static_cast<size_t>(__builtin_ctz(mask));
                break;
            }
            i += 16;
        }
        if (i + 16 > in.size() || !plainByte[static_cast<unsigned char>(in[i])]) break;
        ++i;  // a tab or line break: plain after all
    }
#endif
    while (i < in.size() && plainByte[static_cast<unsigned char>(in[i])]) ++i;
    return i;
}

size_t PlainRun(std::string_view in) { return PlainRunOf<false>(in); }

void AppendReference(std::string& out, uint32_t code) {
    char buf[16] = {'&', '#'};
    char* end = std::to_chars(buf + 2, buf + sizeof buf - 1, code).ptr;
    *end++ = ';';
    out.append(buf, end);
}

void AppendHexReference(std::string& out, uint32_t code) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string digits;
    do {
        digits.insert(digits.begin(), kHex[code & 0xF]);
        code >>= 4;
    } while (code);
    out += "&#x" + digits + ';';
}

void AppendEncoded(std::string& out, char32_t c) {
    if (c < 128) {
        if (kReferencedAscii[c])
            AppendReference(out, c);
        else
            out += static_cast<char>(c);
        return;
    }
    const int ansi = text::CodePointToCp1252(c);
    if (ansi >= 128)
        AppendReference(out, static_cast<uint32_t>(ansi));
    else if (c <= 255)
        // A C1 control the code page puts another character on: a decimal reference
        // would decode as that character, so the code point goes in hexadecimal.
        AppendHexReference(out, c);
    else
        AppendReference(out, c);
}

// Encodes `in` onto `out`. Plain runs are copied whole; an ASCII byte is always a character
// of its own in UTF-8, so the bytes between two of them decode the same on their own.
void AppendEncodedText(std::string& out, std::string_view in) {
    size_t i = 0;
    while (i < in.size()) {
        size_t j = i + PlainRun(in.substr(i));
        out.append(in.data() + i, j - i);
        i = j;
        if (i == in.size()) break;
        if (static_cast<unsigned char>(in[i]) < 128) {
            AppendEncoded(out, static_cast<unsigned char>(in[i++]));
            continue;
        }
        while (j < in.size() && static_cast<unsigned char>(in[j]) >= 128) ++j;
        for (char32_t c : text::DecodeUtf8(in.substr(i, j - i))) AppendEncoded(out, c);
        i = j;
    }
}

bool IsAsciiLetter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char32_t c) { return c >= '0' && c <= '9'; }

bool IsNameStart(char32_t c) { return IsAsciiLetter(c) || c == '_' || c == ':'; }
bool IsNameChar(char32_t c) {
    return IsNameStart(c) || IsDigit(c) || c == '-' || c == '.';
}

bool IsScalar(uint32_t cp) { return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF); }

// The character a decimal reference stands for, or -1 when the encoder never writes it.
int64_t DecimalReferenceTarget(uint32_t code) {
    if (code < 48) return (code == 38 || code == 39 || !KeptBelow48(code)) ? int64_t{code} : -1;
    if (code >= 127 && code <= 255) return text::Cp1252ToCodePoint(static_cast<unsigned char>(code));
    if (code >= 256 && IsScalar(code)) return code;
    return -1;
}

}  // namespace

std::string EncodeText(std::string_view input) {
    std::string out;
    out.reserve(input.size());
    AppendEncodedText(out, input);
    return out;
}

std::string_view EncodedText(std::string_view input, std::string& scratch) {
    // Most values are plain ASCII with nothing to escape: they are their own encoding.
    const size_t plain = PlainRun(input);
    if (plain == input.size()) return input;
    scratch.assign(input.substr(0, plain));
    AppendEncodedText(scratch, input.substr(plain));
    return scratch;
}

bool EncodesAndPrintsAsItIs(std::string_view text) { return PlainRunOf<true>(text) == text.size(); }

std::string DecodeText(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '&' || i + 1 >= in.size() || in[i + 1] != '#') {
            out += in[i++];
            continue;
        }
        size_t j = i + 2;
        const bool hex = j < in.size() && (in[j] == 'x' || in[j] == 'X');
        if (hex) ++j;
        uint32_t code = 0;
        size_t digits = 0;
        while (j < in.size() && digits <= 8) {
            const char ch = in[j];
            int v = -1;
            if (ch >= '0' && ch <= '9') v = ch - '0';
            else if (hex && ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
            else if (hex && ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
            if (v < 0) break;
            code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
            ++digits;
            ++j;
        }
        int64_t target = -1;
        if (digits > 0 && digits <= 8 && j < in.size() && in[j] == ';')
            target = hex ? (IsScalar(code) ? int64_t{code} : -1) : DecimalReferenceTarget(code);
        if (target < 0) {
            out += in[i++];
            continue;
        }
        text::AppendUtf8(out, static_cast<char32_t>(target));
        i = j + 1;
    }
    return out;
}

std::string GenerateTempName() {
    static std::mt19937 rng{std::random_device{}()};
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name = "rad";
    for (int k = 0; k < 5; ++k) name += kHex[rng() % 16];
    return name + ".tmp";
}

bool IsNumericText(std::string_view s) {
    const std::string t = text::Trim(s);
    size_t i = 0;
    if (t.size() > 2 && t[0] == '&' && (t[1] == 'H' || t[1] == 'h' || t[1] == 'O' || t[1] == 'o')) {
        const bool octal = t[1] == 'O' || t[1] == 'o';
        for (i = 2; i < t.size(); ++i) {
            const char c = t[i];
            const bool ok = octal ? (c >= '0' && c <= '7')
                                  : (IsDigit(static_cast<unsigned char>(c)) ||
                                     (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
            if (!ok) return false;
        }
        return true;
    }
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    bool digits = false;
    bool point = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !point) {
            point = true;
        } else if (c == ',' && digits && !point) {
            // digit grouping
        } else {
            break;
        }
    }
    if (!digits) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        bool expDigits = false;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            expDigits = true;
            ++i;
        }
        if (!expDigits) return false;
    }
    return i == t.size();
}

std::string FallbackElementName() {
    const std::string temp = GenerateTempName();
    return text::UpperAscii(temp.substr(0, temp.find('.')));
}

std::string SanitizeElementName(std::string_view input) {
    if (input.empty()) return {};
    const std::string fallback = FallbackElementName();
    if (IsNumericText(input)) return GenerateTempName();

    std::u32string name = text::DecodeUtf8(input);
    size_t start = 0;
    while (name.size() - start >= 2 && !IsNameStart(name[start])) ++start;
    std::string out;
    for (size_t k = start; k < name.size(); ++k) {
        const char32_t c = name[k] == ' ' ? U'_' : name[k];
        if (IsNameChar(c)) out += static_cast<char>(c);
    }
    // A single character left that cannot begin a name ("4" of "12 34") would make an
    // element nobody can create.
    if (out.empty() || !IsNameStart(static_cast<unsigned char>(out[0]))) return fallback;
    return out;
}

}  // namespace vornel::xml
