#include "inf/inf_text.h"

#include <cstdint>
#include <cstring>

#include "platform/profile_text.h"
#include "support/text.h"

namespace vornel::inf {

namespace {

char32_t UpperCodePoint(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs: upper case on the even code point, except in the two
        // runs where it sits on the odd one.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (oddUpper) return (c % 2 == 0) ? c - 1 : c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

bool IsAscii(std::string_view s) {
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ULL) return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
    return true;
}

}  // namespace

std::string FoldNameCase(std::string_view utf8) {
    std::string out;
    FoldNameCaseInto(utf8, out);
    return out;
}

void FoldNameCaseInto(std::string_view utf8, std::string& out) {
    out.clear();
    if (IsAscii(utf8) || !text::IsValidUtf8(utf8)) {
        out.assign(utf8);
        text::UpperAsciiInPlace(out.data(), out.size());
        return;
    }
    out.reserve(utf8.size());
    for (char32_t c : text::DecodeUtf8(utf8)) text::AppendUtf8(out, UpperCodePoint(c));
}

std::string p_CleanFileName(std::string_view line, int method) {
    // Lines of the 9x section parse still carry their blanks and comments; trimmed here
    // they give the same names as the profile functions' lines.
    std::string_view r = platform::TrimProfileBlanks(line);
    if (!r.empty() && r.front() == ';') return {};
    std::string name;
    const size_t eq = r.find('=');
    if (eq != std::string_view::npos) {
        if (method == kParseWholeFile) {
            for (char c : r.substr(eq + 1))
                if (c != '@') name.push_back(c);
        } else {
            name = r.substr(0, eq);
        }
    } else if (const size_t comma = r.find(','); comma != std::string_view::npos) {
        name = r.substr(0, comma);
    } else if (const size_t semi = r.find(';'); semi != std::string_view::npos) {
        name = r.substr(0, semi);
    } else {
        name = r;
    }
    const size_t tab = name.find('\t');
    if (tab != std::string::npos) name.resize(tab);
    if (mP_NumCharsInString(name, ".") != 1) return {};
    return text::Trim(name);
}

bool mP_IsCopyFilesLine(std::string_view line) {
    if (platform::AnsiIFind(line, "copyfiles") == std::string_view::npos) return false;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    const size_t semi = line.find(';');
    return semi == std::string_view::npos || eq < semi;
}

size_t mP_NumCharsInString(std::string_view text, std::string_view sub) {
    if (sub.empty()) return 0;
    size_t n = 0;
    for (size_t at = text.find(sub); at != std::string_view::npos;
         at = text.find(sub, at + sub.size()))
        ++n;
    return n;
}

std::string mP_AppendToList(std::string_view item, std::string_view list,
                            std::string_view separator, bool unique, int mode) {
    if (item.empty()) return std::string(list);
    if (list.empty()) return std::string(item);
    if (unique) {
        const std::string want = mode == 1 ? FoldNameCase(item) : std::string(item);
        size_t start = 0;
        for (;;) {
            const size_t at = separator.empty() ? std::string_view::npos
                                                : list.find(separator, start);
            const std::string_view entry = list.substr(
                start, at == std::string_view::npos ? std::string_view::npos : at - start);
            if (entry.size() == item.size() || mode == 1) {
                if ((mode == 1 ? FoldNameCase(entry) : std::string(entry)) == want)
                    return std::string(list);
            }
            if (at == std::string_view::npos) break;
            start = at + separator.size();
        }
    }
    std::string out(list);
    if (!text::EndsWith(out, separator)) out.append(separator);
    out.append(item);
    return out;
}

std::string FileList::Fold(std::string_view s) const {
    return ansi_ ? platform::AnsiUpperString(s) : FoldNameCase(s);
}

bool FileList::SameName(std::string_view a, std::string_view b) const {
    if (ansi_ || (IsAscii(a) && IsAscii(b)))
        return a.size() == b.size() && platform::AnsiIEquals(a, b);
    return FoldNameCase(a) == FoldNameCase(b);
}

bool FileList::Contains(std::string_view item) {
    if (entries_.size() < kHashFrom) {
        // Names of one case-blind byte alphabet are equal only at equal lengths: most
        // pairs are told apart without looking at them.
        if (ansi_ || (allAscii_ && IsAscii(item))) {
            for (const auto& [at, len] : entries_)
                if (len == item.size() && platform::AnsiIEquals(std::string_view(text_).substr(at, len), item))
                    return true;
            return false;
        }
        for (const auto& [at, len] : entries_)
            if (SameName(std::string_view(text_).substr(at, len), item)) return true;
        return false;
    }
    if (seen_.empty())
        for (const auto& [at, len] : entries_) seen_.insert(Fold(std::string_view(text_).substr(at, len)));
    return seen_.count(Fold(item)) != 0;
}

void FileList::Add(std::string_view item) {
    if (item.empty()) return;
    if (!text_.empty()) {
        if (Contains(item)) return;
        if (!text::EndsWith(text_, sep_)) text_.append(sep_);
    }
    const size_t start = text_.size();
    text_.append(item);
    allAscii_ = allAscii_ && IsAscii(item);
    // The list's entries are what splitting it at the separator gives, so an item holding
    // the separator adds each of its pieces.
    size_t at = start;
    for (;;) {
        const size_t next = sep_.empty() ? std::string::npos : text_.find(sep_, at);
        const size_t end = next == std::string::npos ? text_.size() : next;
        entries_.emplace_back(at, end - at);
        if (!seen_.empty()) seen_.insert(Fold(std::string_view(text_).substr(at, end - at)));
        if (next == std::string::npos) break;
        at = next + sep_.size();
    }
}

}  // namespace vornel::inf
