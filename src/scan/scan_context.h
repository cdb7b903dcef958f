#pragma once
// What every step of a scan reads: the registry, the computer-information record, the
// installation's files and the INF reader's cache. One per scan; the steps never own it.
#include <string>

#include "scan/file_versions.h"
#include "support/creg.h"
#include "sysinfo/computer_info.h"

namespace vornel {

namespace platform {
class SystemImage;
class ProfileReader;
}  // namespace platform

// The class GUIDs with fixed roles, upper-case.
constexpr const char* kUnknownClassGuid = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kPrinterClassGuid = "{4D36E979-E325-11CE-BFC1-08002BE10318}";

struct ScanContext {
    cReg& reg;
    const ComputerInfo& info;
    // The installation's files; null when only its registry is at hand (then no INF or
    // driver file is ever found, which the steps treat as missing files).
    platform::SystemImage* image = nullptr;
    platform::ProfileReader& profiles;
    // File versions already read in this scan.
    FileVersions fileVersions{};

    // Device tree root and class root of the local-machine hive, by family, each ending
    // in "\".
    std::string EnumRoot() const {
        return info.bWin9x && !info.bNT ? "Enum\\" : "SYSTEM\\CurrentControlSet\\Enum\\";
    }
    std::string ClassRoot() const {
        return info.bWin9x && !info.bNT ? "SYSTEM\\CurrentControlSet\\Services\\Class\\"
                                        : "SYSTEM\\CurrentControlSet\\Control\\Class\\";
    }
};

}  // namespace vornel
