#pragma once
// The installation a command works on: its registry (hives under its root folder, hive
// files, .reg exports, mounted in that order so that each later source adds to or
// replaces the earlier ones, over the program's own settings store), the view of its
// files, and its computer-information record. This is the start-up every command shares.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile_reader.h"
#include "platform/registry_view.h"
#include "platform/system_image.h"
#include "support/creg.h"
#include "sysinfo/computer_info.h"

namespace vornel::app {

struct InstallationSources {
    std::string root;                // an installation's root folder (holds Windows/)
    std::vector<std::string> hives;  // NAME=FILE
    std::vector<std::string> regs;   // .reg files
    std::filesystem::path settingsFile;  // empty: the user's settings.reg
    std::string computerName;        // names the computer instead of its registry
    bool rootHives = true;           // mount the hives under root (false: files only)

    bool Any() const { return !root.empty() || !hives.empty() || !regs.empty(); }
};

// Mounts the sources into `view`. False with a one-line reason when a source is unusable;
// warnings (skipped .reg lines, stale hives, a missing hive) are appended to *warnings.
// image: the view of s.root to find its hives through, kept by a caller that goes on to
// read the installation's files (the folders listed for the hives are then listed once).
bool MountRegistrySources(const InstallationSources& s, platform::RegistryView& view, std::string* why,
                          std::vector<std::string>* warnings, platform::SystemImage* image = nullptr);

class Installation {
public:
    // Mounts the registry, prepares the private temporary folder and the run's log (the
    // previous run's log is deleted), and fills the computer-information record. False with
    // a one-line reason when the sources are unusable.
    bool Open(const InstallationSources& sources, std::string* why, std::vector<std::string>* warnings);

    platform::RegistryView& View() { return view_; }
    cReg& Reg() { return *reg_; }
    // Null when the installation's files are not at hand (registry sources only).
    platform::SystemImage* Image() { return image_ ? &*image_ : nullptr; }
    platform::ProfileReader& Profiles() { return profiles_; }
    const ComputerInfo& Info() const { return info_; }
    // The status of the computer-information collection (0 went through).
    int CollectStatus() const { return collectStatus_; }
    const std::filesystem::path& TempFolder() const { return temp_; }

private:
    platform::RegistryView view_;
    std::unique_ptr<cReg> reg_;
    std::optional<platform::SystemImage> image_;
    platform::ProfileReader profiles_;
    ComputerInfo info_;
    int collectStatus_ = 0;
    std::filesystem::path temp_;
};

}  // namespace vornel::app
