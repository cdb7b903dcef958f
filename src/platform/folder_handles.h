#pragma once
// A few host folders held open (O_PATH), so that files in them are opened and stat()ed by
// name: the kernel then looks up one name, not every folder of the path from the root
// again. A scan reads thousands of files from a handful of folders. A relative folder is
// taken against the working folder when it is opened (the program never changes that).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform {

class FolderHandles {
public:
    explicit FolderHandles(size_t count = 8);
    ~FolderHandles();
    FolderHandles(const FolderHandles&) = delete;
    FolderHandles& operator=(const FolderHandles&) = delete;

    // The handle of `folder` (a host path), opened when it is not held yet (the least
    // recently opened one is closed then); -1 when it cannot be opened.
    int Of(std::string_view folder);
    // Closes every handle held.
    void Close();

private:
    struct Entry {
        std::string folder;
        int fd = -1;
    };
    std::vector<Entry> entries_;
    size_t next_ = 0;
};

// Splits a host path at its last '/': the folder ("/" for a file at the root) and the name.
// False when there is no folder part to hold open.
bool SplitHostPath(std::string_view path, std::string_view& folder, std::string_view& name);

}  // namespace vornel::platform
