#pragma once
// The host folders the program owns: its private temporary folder, its configuration
// folder and its data folder.
#include <filesystem>
#include <optional>
#include <string>

namespace vornel::platform {

// The private per-user temporary folder: $XDG_RUNTIME_DIR/vornel/ when set, else
// <system temp>/vornel-<uid>/. Created with mode 0700; refused (nullopt, reason in *why)
// when it exists but is not a folder owned by this user, or is open to others.
std::optional<std::filesystem::path> PrivateTempFolder(std::string* why = nullptr);

// $XDG_CONFIG_HOME/vornel, else ~/.config/vornel (not created here).
std::filesystem::path ConfigFolder();

// The program's data folder (common.dat, unknown.dat): "data" beside the executable's
// build tree, else the installed share folder. Overridden by $VORNEL_DATA_DIR.
std::filesystem::path DataFolder();

// Creates `dir` (and parents) and makes sure it is a real folder owned by this user with
// mode 0700. False with a reason otherwise.
bool EnsurePrivateFolder(const std::filesystem::path& dir, std::string* why);

}  // namespace vornel::platform
