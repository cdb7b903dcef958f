#pragma once
// Character rules of the Windows profile functions over ANSI (Windows-1252) text: the
// blanks they trim, the case they ignore, the quotes they strip. INF files are read in
// that code page, so the INF reader shares these rules.
#include <cstddef>
#include <string>
#include <string_view>

namespace vornel::platform {

// Space, tab, vertical tab and 0x1A (the old end-of-file mark) are blank in a profile line.
inline bool IsProfileBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\x1A'; }

std::string_view TrimProfileBlanks(std::string_view s);
// Spaces only: the rule for the section and key arguments of a lookup.
std::string_view TrimSpaces(std::string_view s);

// Upper case in Windows-1252: ASCII letters, the accented letters and š œ ž ÿ.
char AnsiUpper(char c);
bool AnsiIEquals(std::string_view a, std::string_view b);
// Case-insensitive find; npos when absent.
size_t AnsiIFind(std::string_view hay, std::string_view needle, size_t from = 0);
std::string AnsiUpperString(std::string_view s);

// Windows-1252 text to UTF-8, quick for the usual all-ASCII text.
std::string AnsiToUtf8(std::string_view ansi);

// GetPrivateProfileString's rule: one pair of matching outer quotes ("..." or '...') is
// removed from a value of two or more characters.
std::string_view StripOuterQuotes(std::string_view value);

// INF syntax: ';' starts a comment anywhere outside double quotes. Returns the value up to
// such a comment, trailing blanks removed.
std::string_view CutInfComment(std::string_view value);

}  // namespace vornel::platform
