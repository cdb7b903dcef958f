#pragma once
// Fills the computer-information record of the installation being scanned. An offline
// installation is "another computer": its edition comes from the registry, its processor
// facts from what the registry holds, and nothing is asked of the host.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/creg.h"
#include "sysinfo/computer_info.h"

namespace vornel {

namespace platform {
class ProfileReader;
}

struct CollectorContext {
    cReg& reg;
    // Turns a Windows path of the installation into a host path; null or nullopt when the
    // installation's files are not at hand.
    std::function<std::optional<std::filesystem::path>(std::string_view)> resolve;
    platform::ProfileReader* profiles = nullptr;  // for oeminfo.ini
    // Where the program's private temporary folder is (with no trailing separator).
    std::filesystem::path tempFolder;
    // The user's SID (without the trailing "\"): HKEY_USERS\<sid> holds the settings.
    std::string userSid;
    std::string userName;
};

// Status 0 when the collection went through; 1 when the computer's name could not be had
// (reported under "p_LocalComputerName"). `computerName` names another computer; empty
// means the installation's own name, read from its registry.
int CollectComputerInfo(ComputerInfo& out, CollectorContext& ctx, const std::string& computerName = {});

// Platform detection from the kernel version and the registry (sets the OS flags, sExt
// and sProductName). Raises the kernel-version failures as VlxError.
void p_GetOSPlatform(ComputerInfo& info, cReg& reg, bool local);

// The computer ID: the MD5 of the stored "UUID" of the program's configuration key (made
// and stored on first use) as 32 upper-case hex digits.
void p_GetComputerID(ComputerInfo& info, cReg& reg);

}  // namespace vornel
