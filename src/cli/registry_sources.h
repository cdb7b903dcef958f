#pragma once
// The options that name the installation a command reads.
#include <CLI/CLI.hpp>

#include "app/installation.h"

namespace vornel::cli {

inline void AddInstallationOptions(CLI::App* cmd, app::InstallationSources& s, bool withRoot = true) {
    if (withRoot)
        cmd->add_option("--root", s.root, "root folder of a Windows installation (its system drive, holding Windows/)");
    // One value per occurrence, so a positional argument after them stays positional.
    cmd->add_option("--hive", s.hives, "a hive file as NAME=FILE, NAME being SYSTEM or SOFTWARE (repeatable)")
        ->allow_extra_args(false);
    cmd->add_option("--reg", s.regs, "a .reg export (repeatable)")->allow_extra_args(false);
}

}  // namespace vornel::cli
