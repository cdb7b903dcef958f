// vornel scan: inventory the drivers of an installation and write its driver document.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>

#include "app/installation.h"
#include "cli/commands.h"
#include "cli/record_output.h"
#include "cli/registry_sources.h"
#include "platform/user_folders.h"
#include "scan/device_scan.h"
#include "support/text.h"
#include "xml/driver_document.h"

namespace vornel::cli {

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnInterrupt(int) { g_stop = true; }

struct ScanCommandOptions {
    app::InstallationSources sources;
    std::string out;
    std::string format = "table";
    bool quiet = false;
};

// Draws one progress line on standard error when it is a terminal, and carries Ctrl+C to
// the scan as its stop request.
class CliObserver : public ScanObserver {
public:
    explicit CliObserver(bool quiet) : draw_(!quiet && ::isatty(STDERR_FILENO)) {}
    ~CliObserver() override { Finish(); }

    void OnProgress(float value) override {
        value_ = value;
        Draw();
    }
    void OnLogLine(const std::string& line, bool) override {
        // "Scanning PCI bus...12 devices found" names the bus being walked.
        if (text::StartsWith(line, "Scanning ")) {
            const size_t end = line.find("...");
            bus_ = line.substr(9, end == std::string::npos ? std::string::npos : end - 9);
            Draw();
        }
    }
    bool StopRequested() override { return g_stop.load(); }
    void Finish() {
        if (drawn_) std::cerr << "\r\033[K" << std::flush;
        drawn_ = false;
    }

private:
    void Draw() {
        if (!draw_) return;
        // The scans fill the first half of the bar.
        const int pct = static_cast<int>(value_ * 2 > 100 ? 100 : value_ * 2);
        const int filled = pct * 30 / 100;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(30 - filled, ' ') << "] " << pct << "%  " << bus_
                  << "\033[K" << std::flush;
        drawn_ = true;
    }
    bool draw_;
    bool drawn_ = false;
    float value_ = 0;
    std::string bus_;
};

void RunScan(const ScanCommandOptions& o) {
    if (o.format != "table" && o.format != "json" && o.format != "csv") {
        std::cerr << "vornel scan: --format takes table, json or csv\n";
        SetExitStatus(kExitUsage);
        return;
    }
    app::Installation inst;
    if (!OpenInstallation("scan", o.sources, inst, o.quiet)) return;
    std::string why;
    const ComputerInfo& info = inst.Info();
    if (inst.CollectStatus() != 0) {
        std::cerr << "vornel scan: the installation's registry does not name the computer; give --computer NAME\n";
        SetExitStatus(kExitUsage);
        return;
    }
    if (!inst.Reg().p_IsRegKeyExist(hkey::kLocalMachine, info.bWin9x && !info.bNT ? "Enum" : "SYSTEM\\CurrentControlSet\\Enum")) {
        std::cerr << "vornel scan: the registry holds no device tree (SYSTEM\\CurrentControlSet\\Enum)\n";
        SetExitStatus(kExitUsage);
        return;
    }

    std::filesystem::path document = o.out;
    if (document.empty()) {
        // The temporary web folder's driver document.
        const auto web = inst.TempFolder() / "VLXWebTmp";
        if (!platform::EnsurePrivateFolder(web, &why)) {
            std::cerr << "vornel scan: " << why << "\n";
            SetExitStatus(kExitFailed);
            return;
        }
        document = web / ("mid_" + info.sComputerName + ".vlx");
    }

    ScanContext ctx{inst.Reg(), info, inst.Image(), inst.Profiles()};
    CliObserver observer(o.quiet);
    ReportList rows;
    DeviceScan scan(ctx, observer, rows);
    g_stop = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    const ScanResult result =
        scan.mP_InitializeDrivers({document, platform::DataFolder() / "common.dat", inst.TempFolder()});
    std::signal(SIGINT, previous);
    observer.Finish();

    if (!result.saved) {
        std::cerr << "vornel scan: " << result.error << " (the log says more: "
                  << (inst.TempFolder() / "vn_log.txt").string() << ")\n";
        SetExitStatus(kExitFailed);
        return;
    }
    if (result.stopped) {
        std::cerr << "vornel scan: stopped; " << result.records << " records saved in " << document.string() << "\n";
        SetExitStatus(kExitFailed);
        return;
    }
    if (o.format == "table") {
        PrintRowTable(std::cout, rows.Rows());
    } else {
        std::vector<DriverRecord> records;
        std::string error;
        if (!ReadDriverDocument(document, records, error)) {
            std::cerr << "vornel scan: the saved document does not load: " << error << "\n";
            SetExitStatus(kExitFailed);
            return;
        }
        if (o.format == "json") PrintRecordsJson(std::cout, records);
        else PrintRecordsCsv(std::cout, records);
    }
    if (!o.quiet)
        std::cerr << result.records << " drivers (" << result.devicesFound << " devices, " << result.unidentified
                  << " unidentified); driver document: " << document.string() << "\n";
    SetExitStatus(kExitOk);
}

}  // namespace

void RegisterScanCommands(CLI::App& app) {
    auto opts = std::make_shared<ScanCommandOptions>();
    CLI::App* scan = app.add_subcommand("scan", "inventory the drivers of a Windows installation");
    AddInstallationOptions(scan, opts->sources);
    scan->add_option("--computer", opts->sources.computerName, "the computer's name, when its registry lacks it");
    scan->add_option("--out", opts->out, "where to write the driver document (default: the temporary web folder)");
    scan->add_option("--format", opts->format, "output: table, json or csv")->capture_default_str();
    scan->add_flag("--quiet", opts->quiet, "no progress line, warnings or summary");
    scan->callback([opts] { RunScan(*opts); });
}

}  // namespace vornel::cli
