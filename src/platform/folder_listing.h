#pragma once
// Folder listings of an installation as the SystemImage keeps them, and readers that
// list folders ahead of need on threads of their own.
//
// Opening an installation checks its hives, and the install-file search then lists the
// same two dozen folders below the Windows folder on every scan. Read ahead while the hives
// are checked, the listings are in, or nearly, by the time the search first asks.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vornel::platform {

enum class EntryKind : uint8_t {
    File,
    Folder,
    Link,  // a symbolic link not yet followed
    Gone,  // a link that dangles or leads out of the root, or to something not a file
};

struct FolderEntry {
    std::string name;  // as on disk
    std::string key;   // FoldName(name)
    EntryKind kind;
    int32_t folder = -1;  // the SystemImage's listing of it, once descended into
    // Size and modification time, once asked for: like the listing, read once per view.
    bool statted = false;
    uint64_t size = 0;
    std::time_t modified = 0;
    // Its host path, once asked for as a path object: kept for the life of the view.
    std::unique_ptr<std::filesystem::path> host;
};

struct FolderListing {
    bool readable = false;
    std::vector<FolderEntry> entries;  // sorted by key, then name
};

// Reads a folder's files, folders and links (nothing else has a place in a Windows
// installation), sorted by key, then name.
FolderListing ReadFolderListing(const std::filesystem::path& host);

class FolderReadAhead {
public:
    // Lists the folders below `windowsFolder` (a host folder) that `below` names:
    // components separated by "\", matched without regard to case as the SystemImage
    // matches them (the exact spelling first, else the first in byte order), never through
    // a link. Every folder on the way is listed too, each once. One reader goes through
    // `below` in the order given; with two cores a second one starts from its end.
    FolderReadAhead(std::filesystem::path windowsFolder, std::vector<std::string> below);
    // Stops after the folder being read and drops what was not taken.
    ~FolderReadAhead();
    FolderReadAhead(const FolderReadAhead&) = delete;
    FolderReadAhead& operator=(const FolderReadAhead&) = delete;

    // The listing of a host folder: the one read ahead, waiting while it is being read, or
    // else one read now on the caller's thread. Then it is not read ahead any more: the
    // readers take their way down from the caller's listing instead of reading it again.
    // `readAhead` (if given) tells which it was.
    FolderListing Take(const std::filesystem::path& host, bool* readAhead = nullptr);
    // Until every folder given has been read.
    void WaitUntilRead();
    // Folders listed by the readers so far.
    uint64_t ListingCount() const;

    struct Shared;  // the readers' and the taker's, behind one lock

private:
    std::unique_ptr<Shared> shared_;
};

}  // namespace vornel::platform
