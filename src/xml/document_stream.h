#pragma once
// A document's file written while the records at its end are still being found: the part
// before them at once, each record as its finder leaves it behind, the part after them at
// the end. The device then writes most of the file while the records are found, and the
// save at the end waits for the last few only. A record changed after it went out (its
// count raised, removed) is written again at the end, with every record after it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/atomic_file.h"

namespace vornel::xml {

class DocumentStream {
public:
    // Opens the file that is to replace `target` and writes `before` to it; `after` is
    // kept for Finish. False when no file could be opened: nothing is streamed then.
    bool Start(const std::filesystem::path& target, std::string_view before, std::string after);
    bool Active() const { return file_.IsOpen(); }
    // How many records are in the file: the first Written() of the document's records.
    size_t Written() const { return at_.size(); }
    // The next records, in order; one removed before it went out as an empty text.
    void Write(const std::vector<std::string_view>& records);
    // Record `index` changed; one already written is written again at Finish.
    void Changed(size_t index);
    // The first record Finish must be given: the ones before it stand in the file.
    size_t FirstToFinish() const;
    // Writes `records` (the document's records from FirstToFinish() on) and the part after
    // them, and puts the file in the target's place. False with a reason, the target then
    // untouched and the stream stopped.
    bool Finish(const std::vector<std::string_view>& records, std::string* why);
    // Drops the file; the target stays as it was.
    void Stop();

private:
    platform::ReplacementFile file_;
    std::string after_;
    std::vector<uint64_t> at_;   // where each written record starts in the file
    size_t changed_ = SIZE_MAX;  // the first written record changed since
};

}  // namespace vornel::xml
