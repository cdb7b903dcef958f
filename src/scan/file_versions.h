#pragma once
// The version texts of the files a scan has read, by host path. Many devices share their
// files, and both threads of a scan read versions: each file is read once per scan.
#include <mutex>
#include <string>
#include <unordered_map>

namespace vornel {

namespace platform {
class FolderHandles;
}

class FileVersions {
public:
    FileVersions() = default;
    // Only before a scan uses it (a context is built and handed over): the lock is not moved.
    FileVersions(FileVersions&& other) noexcept : byHost_(std::move(other.byHost_)) {}

    // The file-version text of the file at `host`, "" when it has none, read the first
    // time it is asked for. `folders`: the calling thread's own held folders, or null to
    // open the file by its whole path.
    std::string Of(const std::string& host, platform::FolderHandles* folders);
    void Clear();

private:
    std::mutex lock_;
    std::unordered_map<std::string, std::string> byHost_;
};

}  // namespace vornel
