#pragma once
// The options that name the installation a command reads.
#include <CLI/CLI.hpp>

#include <iostream>

#include "app/installation.h"
#include "cli/commands.h"

namespace vornel::cli {

inline void AddInstallationOptions(CLI::App* cmd, app::InstallationSources& s, bool withRoot = true) {
    if (withRoot)
        cmd->add_option("--root", s.root, "root folder of a Windows installation (its system drive, holding Windows/)");
    // One value per occurrence, so a positional argument after them stays positional.
    cmd->add_option("--hive", s.hives, "a hive file as NAME=FILE, NAME being SYSTEM or SOFTWARE (repeatable)")
        ->allow_extra_args(false);
    cmd->add_option("--reg", s.regs, "a .reg export (repeatable)")->allow_extra_args(false);
}

// Opens the installation for a command; prints the warnings (unless quiet) and, when the
// sources are unusable, one line naming the command, with exit status 2.
inline bool OpenInstallation(const char* command, const app::InstallationSources& s, app::Installation& inst,
                             bool quiet = false) {
    std::string why;
    std::vector<std::string> warnings;
    const bool ok = inst.Open(s, &why, &warnings);
    if (!quiet)
        for (const auto& w : warnings) std::cerr << "warning: " << w << "\n";
    if (!ok) {
        std::cerr << "vornel " << command << ": " << why << "\n";
        SetExitStatus(kExitUsage);
    }
    return ok;
}

}  // namespace vornel::cli
