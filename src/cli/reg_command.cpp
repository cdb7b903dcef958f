#include "cli/commands.h"

namespace vornel::cli {
void RegisterRegCommands(CLI::App& app) {
    app.add_subcommand("reg", "read the registry of a Windows installation");
}
}  // namespace vornel::cli
