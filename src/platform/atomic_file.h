#pragma once
// Replacing a file so that a crash or a full disk never leaves a half-written one: the
// bytes go to a temporary file beside the target, are flushed, and the temporary file is
// renamed over the target.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform {

// Writes `bytes` to `target` atomically with the given permission bits. False with a
// reason on failure; the old target is then untouched.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         unsigned mode = 0644, std::string* why = nullptr);

// Takes the bytes of a file being written, piece by piece in order.
using ByteSink = std::function<void(std::string_view)>;
// Takes pieces that stay where they are until the file is written, to follow everything
// handed over before them: they go to the file as they stand, not copied first.
using LastingSink = std::function<void(const std::vector<std::string_view>&)>;

// The same for bytes produced piece by piece, so that a large file needs no copy of itself
// in memory: `produce` hands every piece to the sink it is given. The target is replaced
// only when every piece was written; a producer that throws leaves it as it was.
bool WriteFileAtomicallyFrom(const std::filesystem::path& target,
                             const std::function<void(const ByteSink&)>& produce,
                             unsigned mode = 0644, std::string* why = nullptr);
// The same with a second sink for pieces that last (a document's records, kept as text).
bool WriteFileAtomicallyFrom(const std::filesystem::path& target,
                             const std::function<void(const ByteSink&, const LastingSink&)>& produce,
                             unsigned mode = 0644, std::string* why = nullptr);

// Reads a whole file; false with a reason on failure.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out, std::string* why = nullptr);

}  // namespace vornel::platform
