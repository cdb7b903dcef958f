#pragma once
// The version resource of a Windows image (DLL, SYS, EXE): the numbers of its
// VS_FIXEDFILEINFO as "major.minor.build.revision" text, read from the file itself.
//
// Every offset the file gives is checked against the bytes actually there, the walk of
// the resource tree is three fixed levels deep (no recursion to exploit) and every read
// is capped, so a truncated or hostile file yields empty texts, never a crash.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vornel::platform {

class FolderHandles;

struct PeVersionInfo {
    std::string fileVersion;     // "5.1.2600.5512"; empty without a version resource
    std::string productVersion;  // from dwProductVersionMS/LS; empty likewise
};

// From an image held in memory (the whole file or a prefix of it).
PeVersionInfo ReadPeVersionInfo(std::string_view image);

// From a file on the host. Reads only the headers, the resource directory and the version
// block, never the whole file. Only regular files are opened (a FIFO never stalls the
// read). On failure the texts are empty and the last-error code says why: 2 the file
// cannot be opened, 11 not a PE image or a malformed one, 1813 no version resource.
PeVersionInfo ReadPeVersionInfoFile(const std::filesystem::path& file);

// The file-version text alone, as the kernel-version and driver-version steps need it.
std::string PeFileVersion(const std::filesystem::path& file);
// The same for a host path, opened by its name in its folder, which `folders` holds open
// for the next file there: a scan reads a thousand driver files from a few folders.
std::string PeFileVersion(const std::string& hostPath, FolderHandles& folders);

}  // namespace vornel::platform
