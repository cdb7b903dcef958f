#pragma once
// MD5 (RFC 1321) as 32 upper-case hexadecimal digits.
#include <string>
#include <string_view>

namespace vornel {

std::string Md5Hex(std::string_view bytes);

// Loads what the first digest needs (the library's configuration and its provider, about
// a millisecond), for a caller to do at a moment it would otherwise wait; safe from any
// thread.
void PrepareMd5();

}  // namespace vornel
