#include "inf/inf_reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "inf/inf_directives.h"
#include "platform/profile_manual_section.h"
#include "platform/profile_text.h"
#include "support/last_error.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel::inf {

namespace fs = std::filesystem;
using platform::AnsiIFind;
using platform::ProfileStatus;

namespace {

constexpr int32_t kErrFileNotFound = kVlxErrorBase + 5621;  // 0x800415F5
constexpr int32_t kErrFileEmpty = kVlxErrorBase + 513;      // 0x80040201
constexpr int32_t kErrNoSection = kVlxErrorBase + 5622;     // 0x800415F6
constexpr int32_t kErrFileAccess = 75;

std::vector<std::string_view> SplitView(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        if (at == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, at - start));
        start = at + 1;
    }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A number as the section-name list may hold one ("12", "-1", "3.5"): never a section.
bool IsNumeric(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9') {
            digits = true;
        } else if (s[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits;
}

// A method-3 directive without its "CopyFiles =" keys, whatever the blanks around '='.
std::string StripCopyFilesKeys(std::string_view line) {
    static constexpr std::string_view kKey = "CopyFiles";
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t at = AnsiIFind(line, kKey, pos);
        if (at == std::string_view::npos) break;
        size_t k = at + kKey.size();
        while (k < line.size() && IsBlank(line[k])) ++k;
        if (k < line.size() && line[k] == '=') {
            ++k;
            while (k < line.size() && IsBlank(line[k])) ++k;
            out.append(line.substr(pos, at - pos));
        } else {
            k = at + kKey.size();
            out.append(line.substr(pos, k - pos));
        }
        pos = k;
    }
    out.append(line.substr(pos));
    return out;
}

// The first "CopyFiles" at or after `from`, ASCII case ignored (as the ANSI case rules
// find it: no other Windows-1252 character upper-cases to an ASCII letter), or npos.
size_t FindCopyFiles(std::string_view text, size_t from) {
    static constexpr std::string_view kWord = "copyfiles";
    auto at = [&](size_t i) {
        for (size_t k = 0; k < kWord.size(); ++k)
            if ((text[i + k] | 0x20) != kWord[k]) return false;
        return true;
    };
    if (text.size() < kWord.size()) return std::string_view::npos;
    const size_t last = text.size() - kWord.size();
    size_t i = from;
#if defined(__SSE2__)
    // A 'c' with an 'f' four bytes on: few places in an INF pass that.
    const __m128i caseBit = _mm_set1_epi8(0x20), c = _mm_set1_epi8('c'), f = _mm_set1_epi8('f');
    for (; i + 4 + 16 <= text.size() && i <= last; i += 16) {
        const __m128i first = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i)), caseBit);
        const __m128i fifth =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i + 4)), caseBit);
        for (auto mask = static_cast<unsigned>(
                 _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(first, c), _mm_cmpeq_epi8(fifth, f))));
             mask != 0; mask &= mask - 1) {
            const size_t hit = i + static_cast<size_t>(__builtin_ctz(mask));
            if (hit <= last && at(hit)) return hit;
        }
    }
#endif
    for (; i <= last; ++i)
        if (at(i)) return i;
    return std::string_view::npos;
}

std::string RemoveAt(std::string_view s) {
    std::string r;
    for (char c : s)
        if (c != '@') r.push_back(c);
    return r;
}

[[noreturn]] void FailFile(int32_t number, const char* description, uint32_t lastError) {
    SetLastErrorCode(lastError);
    throw VlxError(number, description);
}

}  // namespace

uint32_t InfReader::BufferSize(const fs::path& file) {
    const auto open = profile_.Open(file);
    if (!open.file) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(open.file->StoredSize(), UINT32_MAX - 1));
}

int64_t InfReader::SectionText(const fs::path& file, std::string_view section,
                               std::string& text) {
    text.clear();
    int32_t number = 0;
    const char* description = "";
    try {
        const auto open = profile_.Open(file);
        if (open.status == ProfileStatus::Missing) {
            number = kErrFileNotFound;
            description = "File not found";
        } else if (!open.file) {
            number = kErrFileAccess;
            description = "Path/File access error";
        } else if (os_.bNT || open.file->StoredSize() < kManualParseFrom) {
            std::string answer = profile_.GetSection(section, file, BufferSize(file));
            const int64_t count = static_cast<int64_t>(answer.size());
            if (count > 2) text = std::move(answer);
            return count;
        } else {
            size_t count = 0;
            switch (platform::ReadSectionManually(*open.file, section, text, count)) {
                case platform::ManualSectionStatus::Ok:
                    return static_cast<int64_t>(count);
                case platform::ManualSectionStatus::EmptyText:
                    number = kErrFileEmpty;
                    description = "File is empty";
                    break;
                case platform::ManualSectionStatus::NoSection:
                    number = kErrNoSection;
                    description = "Section not found";
                    break;
            }
        }
        ReportError("mGeneral", "mP_GetPrivateProfileSection", number, description,
                    file.string() + " [" + platform::AnsiToUtf8(section) + "]");
    } catch (...) {
        ReportError("mGeneral", "mP_GetPrivateProfileSection", file.string());
    }
    text.clear();
    return 0;
}

bool InfReader::IsInfSection(std::string_view name, const fs::path& inf) {
    const uint32_t size = BufferSize(inf);
    if (size == 0) return false;
    // The section-names answer for a buffer of that size, looked at where the parsed file
    // keeps it rather than copied out: asked for every install section of every INF.
    const auto open = profile_.Open(inf);
    if (!open.file) return false;
    const std::string_view names = platform::ClipProfileListView(open.file->SectionNameList(), size);
    if (names.size() <= 1) return false;
    return AnsiIFind(names, name) != std::string_view::npos;
}

template <class F>
bool InfReader::ForEachSectionLine(const fs::path& inf, std::string_view section, F&& f) {
    const auto open = profile_.Open(inf);
    if (!open.file || !(os_.bNT || open.file->StoredSize() < kManualParseFrom)) return false;
    const platform::ProfileFile& pf = *open.file;
    const size_t s = pf.FindSection(platform::TrimSpaces(section));
    if (s == platform::ProfileFile::npos) return true;
    auto length = [](const platform::ProfileFile::Line& line) {
        return line.hasKey ? line.key.size() + 1 + line.value.size() : line.text.size();
    };
    // The joined answer's length decides as it would: two characters or fewer count as
    // nothing, and one a buffer of the file's size would cut is left to SectionText.
    size_t joined = 0;
    for (const auto& line : pf.Lines(s)) joined += length(line) + 1;
    if (joined + 1 >= BufferSize(inf)) return false;
    if (joined <= 2) return true;
    std::string keyed;
    for (const auto& line : pf.Lines(s)) {
        if (!line.hasKey) {
            f(line.text);
            continue;
        }
        keyed.assign(line.key).append(1, '=').append(line.value);
        f(std::string_view(keyed));
    }
    return true;
}

void InfReader::AddSectionFiles(const fs::path& inf, std::string_view section, int method,
                                FileList& list) {
    if (ForEachSectionLine(inf, section, [&](std::string_view line) { list.Add(p_CleanFileName(line, method)); }))
        return;
    std::string text;
    SectionText(inf, section, text);
    if (text.size() < 3) return;
    for (std::string_view line : SplitView(text, '\0')) list.Add(p_CleanFileName(line, method));
}

void InfReader::InstallSectionFiles(const fs::path& inf, std::string_view section,
                                    FileList& list, InfScrape& out) {
    std::string name(section);
    if (os_.bNT && AnsiIFind(name, ".nt") == std::string::npos) {
        if (IsInfSection(name + ".NTx86", inf))
            name += ".NTx86";
        else if (IsInfSection(name + ".NT", inf))
            name += ".NT";
    }
    out.section = platform::AnsiToUtf8(name);
    std::vector<std::string> passes{name};
    if (os_.bNT) {
        std::string text;
        SectionText(inf, name, text);
        if (text.size() < 2 || AnsiIFind(text, "CopyFiles") == std::string::npos) return;
        passes.push_back(name + ".CoInstallers");
        out.coInstallers = platform::AnsiToUtf8(passes.back());
    }
    // A section read once gives the same names every time: each is read only once.
    std::unordered_set<std::string> read;
    for (const std::string& pass : passes) {
        // Every CopyFiles directive of the section counts, not only the first.
        std::vector<std::string> values = profile_.GetInfStrings(pass, "CopyFiles", inf);
        if (values.empty()) values.emplace_back("0");
        if (std::none_of(values.begin(), values.end(),
                         [](const std::string& v) { return v.size() >= 2; }))
            return;
        for (const std::string& value : values) {
            if (value.size() < 2) continue;
            for (std::string_view raw : SplitView(value, ',')) {
                const std::string entry = text::Trim(raw);
                if (entry.find('@') != std::string::npos) {
                    list.Add(RemoveAt(entry));
                } else if (read.insert(platform::AnsiUpperString(entry)).second) {
                    AddSectionFiles(inf, entry, kParseInstallSection, list);
                }
            }
        }
    }
}

void InfReader::SourceDisksFiles(const fs::path& inf, FileList& list) {
    if (!IsInfSection("SourceDisksFiles", inf)) return;
    // Each name is added as a whole entry; a name that is only part of one already listed
    // (audio.sys beside usbaudio.sys) is a file of its own.
    AddSectionFiles(inf, "SourceDisksFiles", kParseSourceDisksFiles, list);
}

void InfReader::WholeFileFiles(const fs::path& inf, std::string_view text, FileList& list) {
    if (text.empty()) return;
    std::vector<std::string> sections;
    std::unordered_set<std::string> seenSections;
    std::vector<std::string> singles;
    // Only lines that hold the word can be directives: the search goes from one to the next
    // rather than through every line.
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t hit = FindCopyFiles(text, pos);
        if (hit == std::string_view::npos) break;
        size_t start = hit;  // pos starts a line, so its line starts at pos or later
        while (start > pos && text[start - 1] != '\n' && text[start - 1] != '\r') --start;
        size_t next = 0;
        const size_t end = platform::ProfileLineEnd(text, hit, next);
        std::string_view line(text.data() + start, end - start);
        pos = next;
        const size_t semi = line.find(';');
        if (semi != std::string_view::npos) line = line.substr(0, semi);
        if (line.find('=') == std::string_view::npos || !mP_IsCopyFilesLine(line)) continue;
        // Each entry of the directive on its own: "@file" names a file, anything else a
        // file-list section, also when a directive mixes the two.
        const std::string directive = StripCopyFilesKeys(line);
        for (std::string_view raw : SplitView(directive, ',')) {
            const std::string entry = text::Trim(raw);
            if (entry.find('@') != std::string::npos) {
                const std::string file = text::Trim(RemoveAt(entry));
                if (file.find('.') != std::string::npos) singles.push_back(file);
            } else if (!entry.empty() && !IsNumeric(entry) &&
                       seenSections.insert(platform::AnsiUpperString(entry)).second) {
                sections.push_back(entry);
            }
        }
    }
    for (const std::string& name : sections) {
        std::string body;
        SectionText(inf, name, body);
        if (body.size() < 3) continue;
        if (body.find('\0') == std::string::npos) {
            for (std::string_view piece : SplitView(body, ','))
                if (piece.find('.') != std::string_view::npos)
                    list.Add(p_CleanFileName(piece, kParseWholeFile));
        } else {
            for (std::string_view line : SplitView(body, '\0'))
                list.Add(p_CleanFileName(line, kParseWholeFile));
        }
    }
    for (const std::string& file : singles) list.Add(file);
}

void InfReader::CommonTail(const fs::path& inf,
                           const std::shared_ptr<const platform::ProfileFile>& file,
                           FileList& list) {
    if (file != tailFile_) {
        tailNames_.clear();
        const uint32_t size = BufferSize(inf);
        for (const char* key : {"CatalogFile", "CatalogFile.NT"}) {
            std::string cat = profile_.GetInfString("Version", key, "0", inf, size);
            if (cat.size() > 2) tailNames_.push_back(std::move(cat));
        }
        const std::string layout = profile_.GetInfString("Version", "LayoutFile", "0", inf, size);
        if (layout.size() >= 3)
            for (std::string_view piece : SplitView(layout, ','))
                tailNames_.push_back(text::Trim(piece));

        // "Include=" anywhere in the text, comment lines too; the names run to the end of
        // the line or to a "; comment".
        const std::string_view text = file->Text();
        for (const size_t eq : InfDirectivesOf(file).includes)
            for (std::string_view piece : SplitView(platform::CutInfComment(RestOfLine(text, eq)), ','))
                tailNames_.push_back(text::Trim(piece));
        tailFile_ = file;
    }
    for (const std::string& name : tailNames_) list.Add(name);
}

InfScrape InfReader::Scrape(int method, const fs::path& inf, std::string_view installSection) {
    InfScrape out;
    try {
        const auto open = profile_.Open(inf);
        switch (open.status) {
            case ProfileStatus::Ok:
                break;
            case ProfileStatus::Missing:
                FailFile(kErrFileNotFound, "File not found", win::kFileNotFound);
            case ProfileStatus::Unreadable:
                FailFile(kErrFileAccess, "Path/File access error", win::kAccessDenied);
            case ProfileStatus::TooLarge:
                FailFile(kErrFileAccess, "Path/File access error: the file is too large",
                         win::kInvalidData);
        }
        const std::string_view text = open.file->Text();
        if (text.empty()) FailFile(kErrFileEmpty, "File is empty", win::kNoData);
        if (open.file->HasNul())
            FailFile(kErrFileAccess, "Path/File access error: not a text file",
                     win::kInvalidData);

        FileList list("|", true);
        switch (method) {
            case kParseInstallSection:
                InstallSectionFiles(inf, text::Utf8ToCp1252(installSection), list, out);
                break;
            case kParseSourceDisksFiles:
                SourceDisksFiles(inf, list);
                break;
            case kParseWholeFile:
                WholeFileFiles(inf, text, list);
                break;
            default:
                throw VlxError(5, "Invalid procedure call or argument");
        }
        out.methodFound = !list.Empty();
        CommonTail(inf, open.file, list);
        out.files = platform::AnsiToUtf8(list.Text());
        out.ok = true;
    } catch (...) {
        ReportError("mTQZUtili", "p_ScrapeInfDoTheRealWork", inf.string());
        out = InfScrape{};
    }
    return out;
}

std::string InfReader::p_ScrapeInfDoTheRealWork(int method, const fs::path& inf,
                                                std::string_view installSection) {
    return Scrape(method, inf, installSection).files;
}

int64_t InfReader::mP_GetPrivateProfileSection(const fs::path& file, std::string_view section,
                                               std::string& text) {
    std::string ansi;
    const int64_t count = SectionText(file, text::Utf8ToCp1252(section), ansi);
    text = platform::AnsiToUtf8(ansi);
    return count;
}

bool InfReader::ForEachSectionKey(const fs::path& file, std::string_view section,
                                  const std::function<void(std::string_view)>& f) {
    const auto open = profile_.Open(file);
    if (!open.file || !(os_.bNT || open.file->StoredSize() < kManualParseFrom)) return false;
    const size_t s = open.file->FindSection(platform::TrimSpaces(text::Utf8ToCp1252(section)));
    if (s == platform::ProfileFile::npos) return true;
    std::string utf8;
    for (const platform::ProfileFile::Line& line : open.file->Lines(s)) {
        if (!line.hasKey) continue;
        utf8 = platform::AnsiToUtf8(line.key);
        f(text::Trim(utf8));
    }
    return true;
}

bool InfReader::mP_IsInfSection(std::string_view name, const fs::path& inf) {
    return IsInfSection(text::Utf8ToCp1252(name), inf);
}

std::string InfReader::mP_GetFileText(const fs::path& file) {
    const auto open = profile_.Open(file);
    return open.file ? platform::AnsiToUtf8(open.file->Text()) : std::string();
}

}  // namespace vornel::inf
