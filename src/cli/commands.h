#pragma once
// Each subcommand lives in its own file and registers itself here.
#include <CLI/CLI.hpp>

namespace vornel::cli {

// Exit statuses: 0 done, 1 the work failed (the log says why), 2 unusable input.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void RegisterCommands(CLI::App& app);

// The status the chosen subcommand's callback left.
int ExitStatus();
void SetExitStatus(int status);

}  // namespace vornel::cli
