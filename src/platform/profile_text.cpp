#include "platform/profile_text.h"

#include <array>

#include "support/text.h"

namespace vornel::platform {

namespace {

constexpr std::array<unsigned char, 256> MakeUpperTable() {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = static_cast<unsigned char>(i);
    for (int c = 'a'; c <= 'z'; ++c) t[c] = static_cast<unsigned char>(c - 32);
    for (int c = 0xE0; c <= 0xFE; ++c)
        if (c != 0xF7) t[c] = static_cast<unsigned char>(c - 32);  // à..þ except ÷
    t[0x9A] = 0x8A;  // š
    t[0x9C] = 0x8C;  // œ
    t[0x9E] = 0x8E;  // ž
    t[0xFF] = 0x9F;  // ÿ
    return t;
}

constexpr std::array<unsigned char, 256> kUpper = MakeUpperTable();

}  // namespace

std::string_view TrimProfileBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsProfileBlank(s[b])) ++b;
    while (e > b && IsProfileBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string_view TrimSpaces(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return s.substr(b, e - b);
}

char AnsiUpper(char c) { return static_cast<char>(kUpper[static_cast<unsigned char>(c)]); }

bool AnsiIEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (kUpper[static_cast<unsigned char>(a[i])] != kUpper[static_cast<unsigned char>(b[i])])
            return false;
    return true;
}

size_t AnsiIFind(std::string_view hay, std::string_view needle, size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    if (needle.size() > hay.size()) return std::string_view::npos;
    const unsigned char first = kUpper[static_cast<unsigned char>(needle[0])];
    const size_t last = hay.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
        if (kUpper[static_cast<unsigned char>(hay[i])] != first) continue;
        if (AnsiIEquals(hay.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

std::string AnsiUpperString(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = AnsiUpper(c);
    return r;
}

std::string AnsiToUtf8(std::string_view ansi) {
    for (char c : ansi)
        if (static_cast<unsigned char>(c) >= 0x80) return text::Cp1252ToUtf8(ansi);
    return std::string(ansi);
}

std::string_view StripOuterQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

std::string_view CutInfComment(std::string_view value) {
    bool quoted = false;
    size_t end = value.size();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"') {
            quoted = !quoted;
        } else if (value[i] == ';' && !quoted) {
            end = i;
            break;
        }
    }
    while (end > 0 && IsProfileBlank(value[end - 1])) --end;
    return value.substr(0, end);
}

}  // namespace vornel::platform
