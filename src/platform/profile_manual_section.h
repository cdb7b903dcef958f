#pragma once
// The section reader that stands in for the Windows 9x profile functions on INF files of
// 32000 bytes or more, which those functions cannot read whole. It works on the file's
// text rather than on its keys: comment lines, blank lines and leading blanks stay in.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/profile_file.h"

namespace vornel::platform {

enum class ManualSectionStatus { Ok, EmptyText, NoSection };

// The section's lines from after its header to the next '[' anywhere in the text, each
// line break turned into a NUL, one trailing NUL pair (or else one NUL) dropped. `count`
// is that text's length and `out` the text followed by two NULs; both are empty when the
// status is not Ok or the header is the last line. The header is the first one of that
// name, case ignored.
ManualSectionStatus ReadSectionManually(const ProfileFile& file, std::string_view section,
                                        std::string& out, size_t& count);

}  // namespace vornel::platform
