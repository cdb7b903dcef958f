#include "platform/profile_file.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/profile_text.h"
#include "support/text.h"

namespace vornel::platform {

namespace {
// Below this many sections a linear search beats building a hash index.
constexpr size_t kIndexFrom = 24;
}  // namespace

namespace {
// A word with a zero byte where the bytes of v equal the repeated byte b (the usual
// "has zero byte" test on v ^ b).
inline uint64_t ZeroBytes(uint64_t v) {
    return (v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL;
}

const char* FindLineBreak(const char* p, const char* end) {
    constexpr uint64_t kCr = 0x0D0D0D0D0D0D0D0DULL;
    constexpr uint64_t kLf = 0x0A0A0A0A0A0A0A0AULL;
    while (end - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if (ZeroBytes(v ^ kCr) | ZeroBytes(v ^ kLf)) break;
        p += 8;
    }
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}
// UTF-16LE to Windows-1252 as WideCharToMultiByte does it: '?' for a character the code
// page lacks (one for a surrogate pair); an odd final byte is dropped.
ProfileFile::Bytes Utf16LeToAnsi(std::string_view bytes) {
    ProfileFile::Bytes out{std::make_unique_for_overwrite<char[]>(bytes.size() / 2 + 1), 0};
    size_t& n = out.size;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
#if defined(__SSE2__)
        // Mostly ASCII: eight characters at a time while all eight are.
        while (i + 16 <= bytes.size()) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
            const __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out.data.get() + n), _mm_packus_epi16(units, units));
            n += 8;
            i += 16;
        }
        if (i + 1 >= bytes.size()) break;
#endif
        const char32_t u = static_cast<unsigned char>(bytes[i]) |
                           (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        if (u < 0x80) {
            out.data[n++] = static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
            const unsigned lo = static_cast<unsigned char>(bytes[i + 3]);
            if (lo >= 0xDC && lo <= 0xDF) i += 2;  // the pair is one character
        }
        const int c = text::CodePointToCp1252(u);
        out.data[n++] = c < 0 ? '?' : static_cast<char>(c);
    }
    return out;
}

}  // namespace

size_t FindByteNear(std::string_view text, size_t from, char c) {
    const uint64_t pattern = 0x0101010101010101ULL * static_cast<unsigned char>(c);
    const char* p = text.data() + std::min(from, text.size());
    const char* const end = text.data() + text.size();
    while (end - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if (ZeroBytes(v ^ pattern)) break;
        p += 8;
    }
    for (; p < end; ++p)
        if (*p == c) return static_cast<size_t>(p - text.data());
    return std::string_view::npos;
}

size_t ProfileLineEnd(std::string_view text, size_t from, size_t& next) {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = FindLineBreak(begin + from, end);
    if (p == end) {
        next = text.size();
    } else if (*p == '\r' && p + 1 < end && p[1] == '\n') {
        next = static_cast<size_t>(p + 2 - begin);
    } else {
        next = static_cast<size_t>(p + 1 - begin);
    }
    return static_cast<size_t>(p - begin);
}

ProfileFile::ProfileFile(Bytes bytes) : storedSize_(bytes.size) {
    if (bytes.size >= 2 && bytes.data[0] == '\xFF' && bytes.data[1] == '\xFE')
        bytes = Utf16LeToAnsi(std::string_view(bytes.data.get() + 2, bytes.size - 2));
    text_ = std::move(bytes.data);
    size_ = bytes.size;
    hasNul_ = std::memchr(text_.get(), '\0', size_) != nullptr;
    Parse();
}

namespace {
ProfileFile::Bytes CopyBytes(std::string_view bytes) {
    ProfileFile::Bytes out{std::make_unique_for_overwrite<char[]>(bytes.size() + 1), bytes.size()};
    std::memcpy(out.data.get(), bytes.data(), bytes.size());
    return out;
}
}  // namespace

ProfileFile::ProfileFile(std::string_view bytes) : ProfileFile(CopyBytes(bytes)) {}

void ProfileFile::Parse() {
    // Headers are found by their '[' rather than line by line: a '[' that starts its line
    // (blanks aside) opens a section.
    const std::string_view t = Text();
    size_t pos = 0;
    while (pos < t.size()) {
        const void* hit = std::memchr(t.data() + pos, '[', t.size() - pos);
        if (!hit) break;
        const size_t b = static_cast<size_t>(static_cast<const char*>(hit) - t.data());
        size_t lineStart = b;
        while (lineStart > 0 && IsProfileBlank(t[lineStart - 1])) --lineStart;
        if (lineStart > 0 && t[lineStart - 1] != '\n' && t[lineStart - 1] != '\r') {
            pos = b + 1;
            continue;
        }
        size_t next = 0;
        const size_t end = ProfileLineEnd(t, b, next);
        if (!sections_.empty()) sections_.back().bodyEnd = lineStart;
        std::string_view name = TrimProfileBlanks(t.substr(b + 1, end - b - 1));
        const size_t close = name.find(']');
        if (close != std::string_view::npos) name = TrimProfileBlanks(name.substr(0, close));
        Section s;
        s.nameBegin = name.empty() ? b + 1 : static_cast<size_t>(name.data() - t.data());
        s.nameLen = name.size();
        s.bodyBegin = next;
        s.bodyEnd = t.size();
        sections_.push_back(s);
        pos = next;
    }
    lines_.resize(sections_.size());
}

std::string_view ProfileFile::SectionName(size_t i) const {
    return Text().substr(sections_[i].nameBegin, sections_[i].nameLen);
}

size_t ProfileFile::FindSection(std::string_view name) const {
    if (sections_.size() < kIndexFrom) {
        for (size_t i = 0; i < sections_.size(); ++i)
            if (sections_[i].nameLen == name.size() && AnsiIEquals(SectionName(i), name)) return i;
        return npos;
    }
    if (!indexed_) {
        index_.reserve(sections_.size());
        for (size_t i = 0; i < sections_.size(); ++i)
            index_.emplace(AnsiUpperString(SectionName(i)), i);  // keeps the first of a name
        indexed_ = true;
    }
    const auto it = index_.find(AnsiUpperString(name));
    return it == index_.end() ? npos : it->second;
}

const std::vector<ProfileFile::Line>& ProfileFile::Lines(size_t i) const {
    if (!lines_[i]) ParseLines(i);
    return *lines_[i];
}

void ProfileFile::ParseLines(size_t i) const {
    auto lines = std::make_unique<std::vector<Line>>();
    const std::string_view body = Text().substr(0, sections_[i].bodyEnd);
    size_t pos = sections_[i].bodyBegin;
    // Room for the lines at once rather than growing line by line; not for more than a
    // usual section, since blank lines take none.
    constexpr size_t kReserveAtMost = 1024;
    const auto breaks = std::count(body.begin() + static_cast<std::ptrdiff_t>(pos), body.end(), '\n');
    lines->reserve(std::min(static_cast<size_t>(breaks) + 1, kReserveAtMost));
    while (pos < body.size()) {
        size_t next = 0;
        const size_t end = ProfileLineEnd(body, pos, next);
        const std::string_view line = TrimProfileBlanks(body.substr(pos, end - pos));
        pos = next;
        if (line.empty() || line[0] == ';') continue;
        Line l;
        l.text = line;
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            l.hasKey = true;
            l.key = TrimProfileBlanks(line.substr(0, eq));
            l.value = TrimProfileBlanks(line.substr(eq + 1));
        }
        lines->push_back(l);
    }
    lines_[i] = std::move(lines);
}

const std::string& ProfileFile::SectionNameList() const {
    if (!nameListBuilt_) {
        for (size_t i = 0; i < sections_.size(); ++i) {
            nameList_.append(SectionName(i));
            nameList_.push_back('\0');
        }
        nameListBuilt_ = true;
    }
    return nameList_;
}

}  // namespace vornel::platform
