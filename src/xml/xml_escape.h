#pragma once
// The program's own escaping of XML values and element names.
//
// Values are encoded into plain ASCII before they reach the DOM: "&", the control
// characters, the double quote, the apostrophe and the comma become numeric references,
// and so does every character outside ASCII. Characters of the Windows-1252 code page use
// their code-page number (233 for "é"), so files stay readable by the readers of that form;
// characters outside the code page use their code point, so they are not lost.
#include <string>
#include <string_view>

namespace vornel::xml {

// Text-encode mode. Input is UTF-8; invalid bytes become U+FFFD.
std::string EncodeText(std::string_view text);
// The same encoding without a copy where none is needed: `text` itself when it has nothing
// to encode, otherwise `scratch` filled with the encoded text. The view lives as long as
// both do.
std::string_view EncodedText(std::string_view text, std::string& scratch);
// True when text-encode mode leaves the text as it is and it holds no "<" or ">" either:
// pugixml then prints it as it is too.
bool EncodesAndPrintsAsItIs(std::string_view text);

// Decode mode: undoes EncodeText in one pass, so a decoded reference is never decoded
// again. References the encoder never writes for that code ("&#65;", "&#32;") are left
// as they are.
std::string DecodeText(std::string_view text);

// Name mode: turns any text (a computer name) into a valid element name: leading characters
// that cannot begin a name are dropped, blanks become "_", everything but ASCII letters,
// digits, "-", ".", ":" and "_" is removed. A numeric text gives a generated temporary file
// name; a text with nothing usable left gives a generated upper-case name. Empty stays empty.
std::string SanitizeElementName(std::string_view text);

// A fresh temporary file name without path ("radXXXXX.tmp"), and its upper-cased base name
// ("RADXXXXX"), the name used when nothing of a text is usable.
std::string GenerateTempName();
std::string FallbackElementName();

// True when the text reads as a number (sign, digits, decimal point, exponent, digit
// grouping, or a "&H"/"&O" literal), blanks around it allowed.
bool IsNumericText(std::string_view text);

}  // namespace vornel::xml
