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
    // Opens the file at a host path with `flags`: by its name in its folder, held open,
    // or by the whole path when the folder cannot be held.
    int Open(const std::string& path, int flags);
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

}  // namespace vornel::platform
