#pragma once
// Text rules of the INF reader: file names from section lines, CopyFiles directive lines,
// and the "|"-joined lists every file list is built as.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vornel::inf {

// The parse methods, the values of a driver record's ParseMethod.
enum ParseMethod : int {
    kParseNone = 0,              // no method produced a file
    kParseInstallSection = 1,    // the CopyFiles directives of the install section
    kParseSourceDisksFiles = 2,  // the [SourceDisksFiles] section
    kParseWholeFile = 3,         // every CopyFiles directive anywhere in the file
};

// The file name of one section line, or "" when the line names none (a comment, a name
// without exactly one '.'). Method 3 takes the text after an '=', methods 1 and 2 the text
// before it.
std::string p_CleanFileName(std::string_view line, int method);

// True for a line holding a CopyFiles directive: "copyfiles" in any case and an '=' that
// comes before any ';'.
bool mP_IsCopyFilesLine(std::string_view line);

// Non-overlapping occurrences of sub in text (0 for an empty sub).
size_t mP_NumCharsInString(std::string_view text, std::string_view sub);

// Appends item to a separator-joined list. unique: not when an entry already equals it,
// compared upper-cased when mode is 1, exactly otherwise. UTF-8 text.
std::string mP_AppendToList(std::string_view item, std::string_view list,
                            std::string_view separator, bool unique, int mode);

// Upper case for comparing names without regard to case (UTF-8 in, UTF-8 out): ASCII, the
// Latin-1 and Latin Extended-A letters, Greek and Cyrillic.
std::string FoldNameCase(std::string_view utf8);
// The same into `out` (replacing what it held), whose buffer is reused.
void FoldNameCaseInto(std::string_view utf8, std::string& out);

// A list built by repeated mP_AppendToList(item, list, separator, true, 1), in time linear
// in its length. `ansi` selects the text the items are in: Windows-1252 or UTF-8.
class FileList {
public:
    explicit FileList(std::string separator = "|", bool ansi = false)
        : sep_(std::move(separator)), ansi_(ansi) {}
    void Add(std::string_view item);
    const std::string& Text() const { return text_; }
    bool Empty() const { return text_.empty(); }

private:
    // Lists of a few dozen names are searched in place; longer ones through a hash set.
    static constexpr size_t kHashFrom = 48;

    std::string Fold(std::string_view s) const;
    bool SameName(std::string_view a, std::string_view b) const;
    bool Contains(std::string_view item);

    std::string text_;
    std::string sep_;
    bool ansi_;
    std::vector<std::pair<size_t, size_t>> entries_;  // offset and length in text_
    std::unordered_set<std::string> seen_;            // folded entries, once hashed
    bool allAscii_ = true;                             // so far, as nearly every list is
};

}  // namespace vornel::inf
