#pragma once
// Replacing a file so that a crash or a full disk never leaves a half-written one: the
// bytes go to a temporary file beside the target, are flushed, and the temporary file is
// renamed over the target.
#include <filesystem>
#include <string>
#include <string_view>

namespace vornel::platform {

// Writes `bytes` to `target` atomically with the given permission bits. False with a
// reason on failure; the old target is then untouched.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         unsigned mode = 0644, std::string* why = nullptr);

// Reads a whole file; false with a reason on failure.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out, std::string* why = nullptr);

}  // namespace vornel::platform
