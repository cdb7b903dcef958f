#pragma once
// The view of a Windows installation that is not running: its root folder on the host
// (the folder that was the system drive, holding "Windows" or "WINNT") and the Windows
// paths inside it.
//
// A Windows path resolves to a host path name by name without regard to case, through
// cached directory listings: every folder is listed at most once for the life of the view,
// so once a folder is known, probing it for a missing file costs no system call. Nothing
// outside the root is ever reached: ".." above the root, symbolic links whose real target
// lies outside, other drive letters and shares are not found. The view never writes.
//
// Accepted path forms and normalisation: see SplitWindowsPath (system_image_path.h).
// Variables in "%name%" are expanded first. Not thread-safe: one thread at a time uses a
// view (the read-ahead thread has listings of its own).
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <functional>
#include <string_view>
#include <vector>

namespace vornel::platform {

struct ImageEntry {
    std::string name;  // as stored on disk
    bool folder = false;
};

struct ImageFileFacts {
    bool folder = false;
    uint64_t size = 0;         // bytes; 0 for a folder
    std::time_t modified = 0;  // seconds since 1970-01-01 UTC
};

class SystemImage {
public:
    // Lists the root once to find the Windows folder. A root that cannot be read gives a
    // view in which nothing is found.
    explicit SystemImage(std::filesystem::path root);
    ~SystemImage();
    SystemImage(SystemImage&&) noexcept;
    SystemImage& operator=(SystemImage&&) noexcept;
    SystemImage(const SystemImage&) = delete;
    SystemImage& operator=(const SystemImage&) = delete;

    const std::filesystem::path& Root() const;
    // False when the root could not be listed (missing, not a folder, no permission).
    bool RootReadable() const;

    // The Windows folder's name as stored ("WINDOWS", "winnt"), empty when there is none.
    // With several candidates the one holding System32\config\SYSTEM wins, then "Windows"
    // before "WINNT".
    const std::string& WindowsFolderName() const;
    std::optional<std::filesystem::path> WindowsFolder() const;
    // A hive file of the Windows folder's System32\config ("SYSTEM", "SOFTWARE").
    std::optional<std::filesystem::path> HiveFile(std::string_view name) const;

    // Variables for "%name%" (names without regard to case) and "\SystemRoot\". Defaults:
    // SystemDrive "C:", SystemRoot and windir "C:\" + the Windows folder's name (or
    // "C:\WINDOWS"), ProgramFiles "C:\Program Files", CommonProgramFiles below it. The
    // caller replaces them with the installation's registry values when it knows them.
    // Setting "SystemDrive" to "X:" also makes X the drive letter paths must carry.
    void SetVariable(std::string_view name, std::string_view value);
    std::optional<std::string> Variable(std::string_view name) const;
    // One pass, as Windows expands: an unknown "%name%" stays as it is.
    std::string Expand(std::string_view text) const;
    char SystemDrive() const;

    // The host path of a file or folder of the installation; nullopt when it is not there
    // (the last-error code then says 2 file, 3 path not found, or 123 invalid name).
    std::optional<std::filesystem::path> Resolve(std::string_view windowsPath) const;
    // The same as text, built without a path object: for the many lookups of a scan.
    std::optional<std::string> ResolveText(std::string_view windowsPath) const;
    // The same without a copy: the path stays valid for the life of the view. Null when
    // the file is not there.
    const std::filesystem::path* ResolveRef(std::string_view windowsPath) const;
    bool Exists(std::string_view windowsPath) const;
    bool IsFile(std::string_view windowsPath) const;
    bool IsFolder(std::string_view windowsPath) const;
    // Size and modification time: one stat call at the first question about a file, kept
    // for the life of the view as its listings are.
    std::optional<ImageFileFacts> Stat(std::string_view windowsPath) const;
    // The entries of a folder whose names match a pattern ("*.inf"), ordered by name
    // without regard to case; nullopt when the folder is not there.
    std::optional<std::vector<ImageEntry>> List(std::string_view windowsFolder,
                                                std::string_view pattern = "*") const;

    // Every entry of a folder, ordered by `key` (the name's comparison key, as FoldName
    // gives it), without copying the listing; false when the folder is not there. The views
    // stay valid for the life of this SystemImage.
    bool ForEachEntry(std::string_view windowsFolder,
                      const std::function<void(std::string_view name, std::string_view key, bool folder)>& each) const;

    // Directory listings read from the disk so far: one per folder ever visited.
    uint64_t ListingCount() const;

    // Starts listing these folders below the Windows folder ("System32\drivers"; see
    // FolderReadAhead) on a thread of their own, for questions to come. Answers stay the
    // same; a listing is still read once. The thread ends with the view.
    void ReadAhead(std::vector<std::string> belowWindows);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vornel::platform
