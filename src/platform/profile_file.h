#pragma once
// One INI/INF file parsed the way the Windows profile functions read it. Parsing only
// finds the section headers; a section's lines are split into keys and values the first
// time the section is asked for, so a large INF costs little more than one pass over its
// bytes. Not thread-safe (the program has one thread).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vornel::platform {

class ProfileFile {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    // One line of a section as the section reader sees it. `key` and `value` are trimmed
    // and only meaningful when hasKey (the line has an '=').
    struct Line {
        std::string_view text;
        std::string_view key;
        std::string_view value;
        bool hasKey = false;
    };

    // The file as stored, in a buffer the reader filled: not zeroed first, since a scan
    // reads tens of megabytes of INF text.
    struct Bytes {
        std::unique_ptr<char[]> data;
        size_t size = 0;
    };

    // bytes: the file as stored. A file starting with FF FE is UTF-16LE and is converted to
    // Windows-1252 ('?' for characters the code page lacks); other bytes are kept as they are.
    explicit ProfileFile(Bytes bytes);
    explicit ProfileFile(std::string_view bytes);
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;

    // The whole file as ANSI text (after the UTF-16 conversion).
    std::string_view Text() const { return {text_.get(), size_}; }
    uint64_t StoredSize() const { return storedSize_; }
    // A NUL character in the text: a binary file rather than a text file.
    bool HasNul() const { return hasNul_; }

    size_t SectionCount() const { return sections_.size(); }
    std::string_view SectionName(size_t i) const;
    // The first section of that name, case ignored (the name is compared as given).
    size_t FindSection(std::string_view name) const;
    // The section's body in Text(): from after its header line to the next header.
    size_t BodyBegin(size_t i) const { return sections_[i].bodyBegin; }
    size_t BodyEnd(size_t i) const { return sections_[i].bodyEnd; }
    // Lines of the section, blank and comment lines left out.
    const std::vector<Line>& Lines(size_t i) const;

    // Section names, each followed by a NUL, in file order with duplicates.
    const std::string& SectionNameList() const;

private:
    struct Section {
        size_t nameBegin = 0, nameLen = 0;
        size_t bodyBegin = 0, bodyEnd = 0;
    };

    void Parse();
    void ParseLines(size_t i) const;

    std::unique_ptr<char[]> text_;
    size_t size_ = 0;
    uint64_t storedSize_ = 0;
    bool hasNul_ = false;
    std::vector<Section> sections_;
    mutable std::vector<std::unique_ptr<std::vector<Line>>> lines_;
    mutable std::unordered_map<std::string, size_t> index_;  // upper-cased name -> first section
    mutable bool indexed_ = false;
    mutable std::string nameList_;
    mutable bool nameListBuilt_ = false;
};

// Finds the end of the line starting at `from`: returns the position of its line break
// (or text.size()) and sets `next` to the start of the following line. Lines end at
// CR LF, LF or a lone CR.
size_t ProfileLineEnd(std::string_view text, size_t from, size_t& next);

// The position of the next `c` at or after `from`, or npos: memchr without its call cost,
// for bytes that occur every few dozen characters.
size_t FindByteNear(std::string_view text, size_t from, char c);

}  // namespace vornel::platform
