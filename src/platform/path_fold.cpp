#include "platform/path_fold.h"

#include "support/text.h"

namespace vornel::platform {
namespace {

// Ranges where each upper-case letter is followed by its lower-case partner.
struct PairRange {
    char32_t first, last;
};
constexpr PairRange kPairs[] = {
    {0x100, 0x12F}, {0x132, 0x137},   {0x139, 0x148},   {0x14A, 0x177},
    {0x179, 0x17E}, {0x460, 0x481},   {0x48A, 0x4BF},   {0x4C1, 0x4CE},
    {0x4D0, 0x52F}, {0x1E00, 0x1E95}, {0x1EA0, 0x1EFF},
};

char32_t Upper(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;  // Latin-1
    if (c == 0xFF) return 0x178;
    for (const PairRange& p : kPairs)
        if (c >= p.first && c <= p.last) return ((c - p.first) & 1) ? c - 1 : c;
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;  // full-width Latin
    return c;
}

// Length of the well-formed UTF-8 sequence at s[i] and its code point; 0 when malformed.
size_t DecodeAt(std::string_view s, size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

void AppendFoldedName(std::string_view utf8, std::string& out) {
    // Plain ASCII names (nearly every name of a Windows folder) are upper-cased in place.
    const size_t start = out.size();
    out.append(utf8);
    size_t i = 0;
    for (char* p = out.data() + start; i < utf8.size() && static_cast<unsigned char>(p[i]) < 0x80; ++i)
        p[i] = text::ToUpperAscii(p[i]);
    if (i == utf8.size()) return;
    out.resize(start + i);
    for (; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += text::ToUpperAscii(utf8[i++]);
            continue;
        }
        char32_t cp = 0;
        const size_t len = DecodeAt(utf8, i, cp);
        if (len == 0) {
            out += utf8[i++];
        } else {
            text::AppendUtf8(out, Upper(cp));
            i += len;
        }
    }
}

std::string FoldName(std::string_view utf8) {
    std::string out;
    AppendFoldedName(utf8, out);
    return out;
}

bool MatchesWildcard(std::string_view name, std::string_view pattern) {
    if (pattern == "*" || pattern == "*.*") return true;
    const std::u32string n = text::DecodeUtf8(FoldName(name));
    const std::u32string p = text::DecodeUtf8(FoldName(pattern));
    // Greedy match that backtracks only to the last "*": linear in practice, never
    // exponential on hostile patterns.
    size_t i = 0, j = 0, starP = std::u32string::npos, starN = 0;
    while (i < n.size()) {
        if (j < p.size() && (p[j] == U'?' || p[j] == n[i])) {
            ++i, ++j;
        } else if (j < p.size() && p[j] == U'*') {
            starP = j++;
            starN = i;
        } else if (starP != std::u32string::npos) {
            j = starP + 1;
            i = ++starN;
        } else {
            return false;
        }
    }
    while (j < p.size() && p[j] == U'*') ++j;
    return j == p.size();
}

}  // namespace vornel::platform
