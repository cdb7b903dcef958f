#include "support/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornel::text {

namespace {
// Windows-1252 0x80-0x9F; 0 marks the bytes the code page leaves undefined.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

char32_t Cp1252ToCodePoint(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F) {
        char32_t cp = kCp1252High[b - 0x80];
        return cp ? cp : b;
    }
    return b;
}

int CodePointToCp1252(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == cp || (kCp1252High[i] == 0 && cp == static_cast<char32_t>(0x80 + i)))
            return 0x80 + i;
    return -1;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {
// Decodes one UTF-8 sequence at s[i]; advances i. Returns U+FFFD and advances one byte
// on an invalid sequence.
char32_t DecodeOne(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > s.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return cp;
}
}  // namespace

std::u32string DecodeUtf8(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) out += DecodeOne(utf8, i);
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t at = i;
        if (DecodeOne(bytes, i) == 0xFFFD && !(i - at == 3 && bytes.substr(at, 3) == "\xEF\xBF\xBD"))
            return false;
    }
    return true;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    // INF text is nearly all ASCII, which is the same in both: copied a run at a time.
    for (size_t i = 0; i < bytes.size();) {
        size_t run = i;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
        out.append(bytes.data() + i, run - i);
        if (run == bytes.size()) break;
        AppendUtf8(out, Cp1252ToCodePoint(static_cast<unsigned char>(bytes[run])));
        i = run + 1;
    }
    return out;
}

std::string Utf8ToCp1252(std::string_view utf8, char replacement) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        const int c = CodePointToCp1252(DecodeOne(utf8, i));
        out += c < 0 ? replacement : static_cast<char>(c);
    }
    return out;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
    // Every registry text and name passes here, nearly all of it ASCII: the bytes are
    // written in place, first into a string of one byte a unit (short names stay inside
    // the string), then, from the first other character on, with room for the longest
    // result (three bytes a unit, four a pair).
    const size_t n = bytes.size() / 2;
    auto unit = [&](size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                     (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
    };
    std::string out(n, '\0');
    size_t k = 0;
#if defined(__SSE2__)
    // Eight units at a time while all eight are ASCII.
    for (; k + 8 <= n; k += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + 2 * k));
        const __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out.data() + k), _mm_packus_epi16(units, units));
    }
#endif
    for (; k < n; ++k) {
        const char32_t u = unit(k);
        if (u >= 0x80) break;
        out[k] = static_cast<char>(u);
    }
    if (k == n) return out;
    out.resize(k + (n - k) * 3);
    char* const begin = out.data();
    char* o = begin + k;
    for (; k < n; ++k) {
        char32_t u = unit(k);
        if (u < 0x80) {
            *o++ = static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            const char32_t lo = unit(k + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                ++k;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // a lone surrogate
        if (u < 0x800) {
            *o++ = static_cast<char>(0xC0 | (u >> 6));
        } else if (u < 0x10000) {
            *o++ = static_cast<char>(0xE0 | (u >> 12));
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        } else {
            *o++ = static_cast<char>(0xF0 | (u >> 18));
            *o++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        }
        *o++ = static_cast<char>(0x80 | (u & 0x3F));
    }
    out.resize(static_cast<size_t>(o - begin));
    return out;
}

std::string Utf8ToUtf16Le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](char16_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp = DecodeOne(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
    }
    return out;
}


void UpperAsciiInPlace(char* p, size_t n) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        // Bit 7 of each byte: at least 'a', above 'z', and (for bytes past ASCII) set already.
        const uint64_t low7 = w & (0x7F * kOnes);
        const uint64_t fromA = low7 + (0x80 - 'a') * kOnes;
        const uint64_t pastZ = low7 + (0x80 - 'z' - 1) * kOnes;
        const uint64_t lower = fromA & ~pastZ & ~w & (0x80 * kOnes);
        w ^= lower >> 2;  // 0x80 >> 2 is the case bit
        std::memcpy(p + i, &w, 8);
    }
    for (; i < n; ++i) p[i] = ToUpperAscii(p[i]);
}

std::string UpperAscii(std::string_view s) {
    std::string r(s);
    UpperAsciiInPlace(r.data(), r.size());
    return r;
}

std::string LowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    // Names asked for are mostly spelled as they are stored.
    if (a == b) return true;
    for (size_t i = 0; i < a.size(); ++i)
        if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
    return true;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

bool IEndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && IEquals(s.substr(s.size() - suffix.size()), suffix);
}

size_t IFind(std::string_view hay, std::string_view needle, size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    if (needle.size() > hay.size()) return std::string_view::npos;
    const char first = ToUpperAscii(needle[0]);
    for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
        if (ToUpperAscii(hay[i]) != first) continue;
        if (IEquals(hay.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

int ICompare(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(ToUpperAscii(a[i]));
        const auto cb = static_cast<unsigned char>(ToUpperAscii(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string_view TrimmedView(std::string_view s, std::string_view chars) {
    const size_t b = s.find_first_not_of(chars);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(chars) - b + 1);
}

std::string TrimChars(std::string_view s, std::string_view chars) { return std::string(TrimmedView(s, chars)); }

std::string Trim(std::string_view s) { return TrimChars(s, " \t"); }

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
    std::vector<std::string> parts;
    if (sep.empty()) {
        parts.emplace_back(s);
        return parts;
    }
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        if (at == std::string_view::npos) {
            parts.emplace_back(s.substr(start));
            return parts;
        }
        parts.emplace_back(s.substr(start, at - start));
        start = at + sep.size();
    }
}

std::string Join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string r;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) r += sep;
        r += parts[i];
    }
    return r;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(s);
    std::string r;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(from, start);
        if (at == std::string_view::npos) break;
        r.append(s.substr(start, at - start));
        r.append(to);
        start = at + from.size();
    }
    r.append(s.substr(start));
    return r;
}

std::string GroupDigits(long long n) {
    const bool neg = n < 0;
    std::string digits = std::to_string(neg ? -(n + 1) + 1ULL : static_cast<unsigned long long>(n));
    std::string r;
    int count = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (count && count % 3 == 0) r += ',';
        r += *it;
        ++count;
    }
    if (neg) r += '-';
    return std::string(r.rbegin(), r.rend());
}

}  // namespace vornel::text
