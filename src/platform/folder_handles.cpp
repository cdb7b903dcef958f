#include "platform/folder_handles.h"

#include <fcntl.h>
#include <unistd.h>

namespace vornel::platform {

namespace {
// Splits a host path at its last '/': the folder ("/" for a file at the root) and the name.
// False when there is no folder part to hold open.
bool SplitHostPath(std::string_view path, std::string_view& folder, std::string_view& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    folder = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}
}  // namespace

FolderHandles::FolderHandles(size_t count) : entries_(count == 0 ? 1 : count) {}

FolderHandles::~FolderHandles() { Close(); }

void FolderHandles::Close() {
    for (Entry& e : entries_) {
        if (e.fd >= 0) ::close(e.fd);
        e.fd = -1;
        e.folder.clear();
    }
}

int FolderHandles::Of(std::string_view folder) {
    for (const Entry& e : entries_)
        if (e.fd >= 0 && e.folder == folder) return e.fd;
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    if (e.fd >= 0) ::close(e.fd);
    e.folder.assign(folder);
    e.fd = ::open(e.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return e.fd;
}

int FolderHandles::Open(const std::string& path, int flags) {
    std::string_view folder, name;
    if (SplitHostPath(path, folder, name))
        if (const int at = Of(folder); at >= 0) return ::openat(at, std::string(name).c_str(), flags);
    return ::open(path.c_str(), flags);
}

}  // namespace vornel::platform
