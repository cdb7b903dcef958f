#include "cli/commands.h"

namespace vornel::cli {

namespace {
int g_status = kExitOk;
}

int ExitStatus() { return g_status; }
void SetExitStatus(int status) { g_status = status; }

// Subcommand registrars, one per file.
void RegisterRegCommands(CLI::App& app);
void RegisterInfCommands(CLI::App& app);
void RegisterDocCommands(CLI::App& app);
void RegisterInfoCommands(CLI::App& app);
void RegisterScanCommands(CLI::App& app);

void RegisterCommands(CLI::App& app) {
    RegisterRegCommands(app);
    RegisterInfCommands(app);
    RegisterDocCommands(app);
    RegisterInfoCommands(app);
    RegisterScanCommands(app);
}

}  // namespace vornel::cli
