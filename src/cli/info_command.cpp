// vornel info: the computer-information record of an installation, as the diagnostic dump
// prints it.
#include <iostream>
#include <memory>

#include "app/installation.h"
#include "cli/commands.h"
#include "cli/registry_sources.h"
#include "support/error_log.h"
#include "support/text.h"

namespace vornel::cli {

namespace {
struct InfoOptions {
    app::InstallationSources sources;
    bool write = false;
};

void RunInfo(const InfoOptions& o) {
    app::Installation inst;
    if (!OpenInstallation("info", o.sources, inst)) return;
    const std::string text = ComputerInfoText(inst.Info());
    std::cout << text;
    if (inst.CollectStatus() != 0)
        std::cerr << "vornel info: the installation's registry does not name the computer; give --computer NAME\n";
    if (o.write) {
        const auto file = inst.TempFolder() / "OSInfo.txt";
        Logger::Instance().WriteLog(text::ReplaceAll(text::TrimChars(text, "\n"), "\n", "|"), true, file.string());
        std::cerr << "written: " << file.string() << "\n";
    }
    SetExitStatus(inst.CollectStatus() == 0 ? kExitOk : kExitFailed);
}
}  // namespace

void RegisterInfoCommands(CLI::App& app) {
    auto opts = std::make_shared<InfoOptions>();
    CLI::App* info = app.add_subcommand("info", "print the computer-information record of an installation");
    AddInstallationOptions(info, opts->sources);
    info->add_option("--computer", opts->sources.computerName, "the computer's name, when its registry lacks it");
    info->add_flag("--write", opts->write, "also write it as OSInfo.txt in the temporary folder");
    info->callback([opts] { RunInfo(*opts); });
}

}  // namespace vornel::cli
