#pragma once
// How Windows compares file names: without regard to case, by a one-to-one upper-casing
// of each character (no expansions such as German sharp s to "SS"), and the wildcards of
// its folder searches.
#include <string>
#include <string_view>

namespace vornel::platform {

// The comparison key of a UTF-8 name: every character upper-cased where Windows' own
// table does so for the scripts a Windows folder name is written in (Latin, Greek,
// Cyrillic). Bytes that are not valid UTF-8 are kept as they are.
std::string FoldName(std::string_view utf8);
// The same appended to `out`.
void AppendFoldedName(std::string_view utf8, std::string& out);

// True when `name` matches `pattern` without regard to case: "*" any run of characters,
// "?" one character, and "*.*" everything (as Windows treats it).
bool MatchesWildcard(std::string_view name, std::string_view pattern);

}  // namespace vornel::platform
