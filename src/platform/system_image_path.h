#pragma once
// Splitting a Windows path of the scanned installation into the names below its system
// drive's root, the way Windows normalises paths before it looks at the disk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform {

// Windows' own code for a name no file can have.
constexpr uint32_t kErrorInvalidName = 123;
// The longest path Windows accepts at all (in its \\?\ form); a longer one is not found.
constexpr size_t kMaxWindowsPath = 32767;

struct WindowsPathParts {
    std::vector<std::string> names;  // below the drive's root; empty for the root itself
    bool folderOnly = false;         // the path ended in a separator
};

// Accepted forms, "\" and "/" alike:
//   C:\dir\file            the system drive; any other letter is not found
//   \dir\file              rooted: the system drive
//   \\?\C:\..  \\.\C:\..   \??\C:\..  \DosDevices\C:\..  \GLOBAL??\C:\..
//   \SystemRoot\..         below `systemRoot` (a path of the forms above)
// Not found: relative names ("oem3.inf", "C:oem3.inf"), UNC shares, volume devices.
//
// Win32 forms are normalised as Windows does: empty and "." names dropped, ".." taken
// lexically (a ".." above the root is not found, never clamped), trailing dots and blanks
// cut from every name ("Windows. \inf" is "Windows\inf"). The NT forms (\\?\, \??\,
// \SystemRoot\ ...) are taken literally as the kernel takes them: nothing is trimmed and
// "." or ".." is not found. Names holding < > : " | ? * or control characters are
// invalid. Returns 0, or the Windows error code of the failure (2, 3 or 123).
// One file or folder name that any path form names as it is: not empty, at most 255
// characters, no separator, drive colon, variable sign, wildcard or other character no
// name has, and no trailing dot or blank for Win32 to cut.
bool IsPlainWindowsName(std::string_view name);

uint32_t SplitWindowsPath(std::string_view path, char systemDrive, std::string_view systemRoot,
                          WindowsPathParts& out);

}  // namespace vornel::platform
