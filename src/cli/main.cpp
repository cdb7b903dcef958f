// The vornel command: scan a Windows installation's drivers and work with what it finds.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/commands.h"
#include "platform/heap_tuning.h"

int main(int argc, char** argv) {
    vornel::platform::TuneHeapForScan();
    CLI::App app{"vornel: inventories the device drivers of a Windows installation"};
    app.set_version_flag("--version", std::string("vornel ") + VORNEL_VERSION);
    app.require_subcommand(0, 1);
    vornel::cli::RegisterCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 exits 0 for --help/--version and non-zero for usage errors; usage errors
        // are "unusable arguments" (status 2).
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (app.get_subcommands().empty()) {
        std::cout << app.help();
        return 0;
    }
    return vornel::cli::ExitStatus();
}
