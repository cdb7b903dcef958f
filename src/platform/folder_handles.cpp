#include "platform/folder_handles.h"

#include <fcntl.h>
#include <unistd.h>

namespace vornel::platform {

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

bool SplitHostPath(std::string_view path, std::string_view& folder, std::string_view& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    folder = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}

}  // namespace vornel::platform
