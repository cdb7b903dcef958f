#pragma once
// Text helpers. Inside the program all text is UTF-8; the Windows ANSI code page of stored
// and wire formats is Windows-1252, and UTF-16LE files are decoded at the edge.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::text {

// Windows-1252 byte -> Unicode code point (undefined bytes map to themselves, as Windows does).
char32_t Cp1252ToCodePoint(unsigned char b);
// Unicode code point -> Windows-1252 byte; -1 when the code page has no such character.
int CodePointToCp1252(char32_t cp);

std::string Cp1252ToUtf8(std::string_view bytes);
// Characters without a Windows-1252 form become `replacement`.
std::string Utf8ToCp1252(std::string_view utf8, char replacement = '?');

// UTF-16LE bytes (no BOM handling; an odd final byte is dropped) -> UTF-8. Unpaired
// surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes);
std::string Utf8ToUtf16Le(std::string_view utf8);

// Decodes UTF-8 into code points; invalid sequences yield U+FFFD per bad byte.
std::u32string DecodeUtf8(std::string_view utf8);
void AppendUtf8(std::string& out, char32_t cp);
// True when the bytes are valid UTF-8.
bool IsValidUtf8(std::string_view bytes);

inline char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
std::string UpperAscii(std::string_view s);
// ToUpperAscii over n bytes in place, eight at a time.
void UpperAsciiInPlace(char* p, size_t n);
std::string LowerAscii(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);
bool IEndsWith(std::string_view s, std::string_view suffix);
// Case-insensitive find (ASCII); npos when absent.
size_t IFind(std::string_view hay, std::string_view needle, size_t from = 0);
// <0, 0, >0 comparing upper-cased ASCII.
int ICompare(std::string_view a, std::string_view b);

// Trims blanks (space, tab) from both ends.
std::string Trim(std::string_view s);
std::string TrimChars(std::string_view s, std::string_view chars);
// TrimChars without a copy: the part of `s` it would return.
std::string_view TrimmedView(std::string_view s, std::string_view chars = " \t");

std::vector<std::string> Split(std::string_view s, std::string_view sep);
std::string Join(const std::vector<std::string>& parts, std::string_view sep);

bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// Digit grouping: a comma every three digits ("12,345").
std::string GroupDigits(long long n);

}  // namespace vornel::text
