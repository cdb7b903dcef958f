#pragma once
// The two directives the install-file search looks for anywhere in an INF's text, comment
// lines included: "Include=" (the INFs whose files count too) and "CoreFilePath=" (a
// folder the search probes). Both are found in one pass over the text's '=' signs, done
// once per file however many callers ask.
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace vornel::platform {
class ProfileFile;
}

namespace vornel::inf {

struct InfDirectives {
    static constexpr size_t npos = static_cast<size_t>(-1);
    // The '=' of each "Include" directive, in file order; one per line, the first.
    std::vector<size_t> includes;
    // The '=' of the first "CoreFilePath" directive, or npos.
    size_t coreFilePath = npos;
};

// Each '=' counts whose key (the word before it, blanks between ignored) ends in the
// directive's name, in any ASCII case: Windows-1252 upper-casing never turns another
// character into an ASCII letter.
InfDirectives FindInfDirectives(std::string_view text);

// The same for a parsed file, kept for the file asked about last on this thread (a device's
// INF is asked about by the reader and then by the search).
const InfDirectives& InfDirectivesOf(const std::shared_ptr<const platform::ProfileFile>& file);

// The text after an '=' up to the end of its line.
std::string_view RestOfLine(std::string_view text, size_t equals);

}  // namespace vornel::inf
