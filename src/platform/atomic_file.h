#pragma once
// Replacing a file so that a crash or a full disk never leaves a half-written one: the
// bytes go to a temporary file beside the target, are flushed, and the temporary file is
// renamed over the target.
#include <sys/uio.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform {

// A file written beside its target, which it replaces only on Commit: until then, and
// when dropped uncommitted, the target stays as it was and nothing is left behind. It can
// be written over a long time (a scan's document, record by record): the device is handed
// what is written as it accumulates, so that Commit's flush waits only for the last of it.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Opens the new file, empty, with the given permission bits; false with a reason.
    bool Open(const std::filesystem::path& target, unsigned mode, std::string* why = nullptr);
    bool IsOpen() const { return fd_ >= 0; }
    // Writes the pieces at the end, in order. Once a write has failed, nothing more is
    // written and Commit fails with its reason.
    void Append(const std::vector<std::string_view>& pieces);
    void Append(std::string_view bytes);
    // Drops the bytes from `size` on, to write them anew.
    void CutBack(uint64_t size);
    uint64_t Size() const { return size_; }
    bool Failed() const { return error_ != 0; }
    // Flushes the file to the device and puts it in the target's place; false with a
    // reason, the target then untouched. Closed either way.
    bool Commit(std::string* why = nullptr);
    // Closes and removes the new file; the target stays as it was.
    void Abandon();

private:
    void Write(iovec* pieces, size_t count);
    // A name for the file, for a file opened without one.
    bool Name(std::string* why);

    std::filesystem::path target_;
    std::string name_;  // empty while the file has no name
    int fd_ = -1;
    uint64_t size_ = 0, handedToDevice_ = 0;
    int error_ = 0;
    std::vector<iovec> batch_;
};

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
