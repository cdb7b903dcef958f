#include "scan/file_versions.h"

#include <filesystem>

#include "platform/folder_handles.h"
#include "platform/pe_version.h"

namespace vornel {

std::string FileVersions::Of(const std::string& host, platform::FolderHandles* folders) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (const auto it = byHost_.find(host); it != byHost_.end()) return it->second;
    }
    // Read without the lock, so that the other thread is not held up by the file. Should
    // both read the same file at once, the first answer stays; the two are the same.
    std::string version = folders ? platform::PeFileVersion(host, *folders)
                                  : platform::PeFileVersion(std::filesystem::path(host));
    const std::lock_guard<std::mutex> hold(lock_);
    return byHost_.try_emplace(host, std::move(version)).first->second;
}

void FileVersions::Clear() {
    const std::lock_guard<std::mutex> hold(lock_);
    byHost_.clear();
}

}  // namespace vornel
