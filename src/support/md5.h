#pragma once
// MD5 (RFC 1321) as 32 upper-case hexadecimal digits.
#include <string>
#include <string_view>

namespace vornel {

std::string Md5Hex(std::string_view bytes);

}  // namespace vornel
