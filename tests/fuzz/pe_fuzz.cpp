// libFuzzer target: the version-resource reader on arbitrary bytes. Any crash, sanitizer
// report or stall is a fault; the texts it returns must look like version numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/pe_version.h"

namespace {

void CheckVersionText(const std::string& text) {
    if (text.empty()) return;
    int dots = 0;
    for (char c : text) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            std::abort();
        }
    }
    if (dots != 3) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto info = vornel::platform::ReadPeVersionInfo(
        std::string_view(reinterpret_cast<const char*>(data), size));
    CheckVersionText(info.fileVersion);
    CheckVersionText(info.productVersion);
    // Both come from one VS_FIXEDFILEINFO: one is never found without the other.
    if (info.fileVersion.empty() != info.productVersion.empty()) std::abort();
    return 0;
}
