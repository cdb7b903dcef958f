#include "scan/printer_scan.h"

#include "inf/install_files.h"
#include "platform/pe_version.h"
#include "platform/profile_reader.h"
#include "platform/system_image.h"
#include "scan/device_classes.h"
#include "scan/device_scan.h"
#include "scan/driver_version.h"
#include "scan/version_date.h"
#include "support/error_log.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {
constexpr const char* kModule = "mPrinters";
constexpr const char* kNtPrinters = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers";
constexpr const char* k9xPrinters = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
constexpr const char* kServers =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\LanMan Print Services\\Servers";
constexpr const char* kEnvironments = "SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\";

struct Facts {
    std::string cls, type;
};

class PrinterScanner {
public:
    explicit PrinterScanner(DeviceScan& scan)
        : scan_(scan), ctx_(scan.Context()), reg_(ctx_.reg), nineX_(ctx_.info.bWin9x && !ctx_.info.bNT) {}

    std::vector<std::string> List() {
        std::vector<std::string> list;
        for (auto& p : SubKeys(PrintersKey())) list.push_back(p);
        for (const auto& server : SubKeys(kServers))
            for (const auto& p : SubKeys(std::string(kServers) + "\\" + server + "\\Printers"))
                list.push_back(server + "\\Printers\\" + p);
        return list;
    }

    void Run() {
        scan_.mP_AddRecordStats("Scanning for printers...");
        const std::string classKey = ctx_.ClassRoot() + kPrinterClassGuid;
        facts_.cls = Text(classKey, "Class");
        if (facts_.cls.empty()) facts_.cls = "Printer";
        facts_.type = Text(classKey, "");
        if (facts_.type.empty()) facts_.type = "Printers";
        if (ctx_.info.VistaFamily()) facts_.type = ClassDisplayName(kPrinterClassGuid, facts_.type);
        const auto printers = List();
        scan_.mP_AddRecordStats(std::to_string(printers.size()) + " printers found...");
        for (const auto& p : printers) {
            if (scan_.Observer().StopRequested()) return;
            GuardedRun(kModule, "mP_EnumPrintServerDrivers", [&] { One(p); });
            scan_.Step();
        }
    }

private:
    std::string PrintersKey() const { return nineX_ ? k9xPrinters : kNtPrinters; }
    std::string Text(const std::string& key, const char* value) { return reg_.GetText(hkey::kLocalMachine, key, value); }
    std::vector<std::string> SubKeys(const std::string& key) {
        const std::string l = reg_.cP_EnumRegKeysOrValues(hkey::kLocalMachine, key, true, false, false, false);
        return l.empty() ? std::vector<std::string>{} : text::Split(l, "|");
    }
    std::string Multi(const std::string& key, const char* value) {
        RegReadInfo ri;
        RegData d = reg_.cP_GetRegValue(hkey::kLocalMachine, key, value, ri);
        if (ri.bNoData || d.kind != RegData::Kind::kText) return {};
        return d.text;
    }

    void Warn(const char* what, const DriverRecord& r, const std::string& server) {
        Logger::Instance().WriteLog(std::string("WARNING: ") + what + "|dd.sClass=" + r.Class + "|dd.sClassGUID=" +
                                    r.ClassGUID + "|dd.sDeviceDesc=" + r.DeviceDesc + "|dd.sDeviceInstanceId=" +
                                    r.DeviceInstanceId + "|dd.sDriverDesc=" + r.DriverDesc + "|dd.sFriendlyName=" +
                                    r.FriendlyName + "|dd.saHardwareID(0)=" +
                                    (r.HardwareID.empty() ? std::string() : r.HardwareID.front()) + "|dd.sInfSig=" +
                                    r.InfSig + "|dd.sRegDriverInstance=" + r.RegDriverInstance + "|dd.sType=" + r.Type +
                                    "|ServerName=" + server + "|");
    }

    // The driver's key under the print environments: on NT the first version subkey that
    // holds the driver. 64-bit installations keep their drivers under "Windows x64".
    std::string DriverKey(const std::string& driver) {
        if (nineX_) {
            const std::string k = std::string(kEnvironments) + "Windows 4.0\\Drivers\\" + driver;
            return reg_.p_IsRegKeyExist(hkey::kLocalMachine, k) ? k : std::string();
        }
        for (const char* env : {"Windows NT x86", "Windows x64"}) {
            const std::string drivers = std::string(kEnvironments) + env + "\\Drivers\\";
            for (const auto& version : SubKeys(drivers)) {
                const std::string k = drivers + version + "\\" + driver;
                if (reg_.p_IsRegKeyExist(hkey::kLocalMachine, k)) return k;
            }
        }
        return {};
    }

    // A driver file name as a Windows path in the spool driver folders.
    std::string p_GetPrinterDriverFiles(const std::string& driverKey, const std::string& name) {
        if (name.empty()) return {};
        if (name.find('\\') != std::string::npos) return name;
        const bool x64 = driverKey.find("\\Windows x64\\") != std::string::npos;
        const std::string base = ctx_.info.sWinSysDirUNC + "\\spool\\drivers\\" + (x64 ? "x64" : "w32x86") + "\\";
        RegReadInfo ri;
        const RegData v = reg_.cP_GetRegValue(hkey::kLocalMachine, driverKey, "Version", ri);
        const std::string version = !ri.bNoData && v.kind == RegData::Kind::kInt32 ? std::to_string(v.number) : "3";
        for (const std::string& folder : {base + version + "\\", base})
            if (ctx_.image && ctx_.image->IsFile(folder + name)) return folder + name;
        return base + version + "\\" + name;
    }

    void One(const std::string& printer) {
        DriverRecord r;
        const bool remote = printer.find("\\Printers\\") != std::string::npos;
        const std::string key = remote ? std::string(kServers) + "\\" + printer : PrintersKey() + "\\" + printer;
        r.Class = facts_.cls;
        r.Type = facts_.type;
        r.ClassGUID = kPrinterClassGuid;
        r.DeviceInstanceId = key;
        r.DriverDesc = Text(key, "Printer Driver");
        scan_.mP_AddRecordStats(r.DriverDesc + " printer found");
        r.DeviceDesc = Text(key + "\\PrinterDriverData", nineX_ ? "Printer Model Name" : "Printer Model");
        r.FriendlyName = Text(key, "Name");
        r.DeviceID = Text(key + "\\PnPData", "DeviceInstanceID");
        const std::string driverKey = DriverKey(r.DriverDesc);
        if (!driverKey.empty()) {
            r.RegDriverInstance = driverKey;
            r.IsDriverInstalled = true;
        } else {
            Warn("Failure returning UDT Structure", r, "");
        }
        std::string server;
        if (remote) server = Text(key + "\\DsSpooler", "serverName");
        const std::string port = Text(key, "Port");
        if (!driverKey.empty()) {
            const std::string ids = Text(driverKey, "HardwareID");
            if (!ids.empty()) r.HardwareID = text::Split(ids, "|");
        }
        // The printer class's driver key of this driver.
        const std::string classKey = ctx_.ClassRoot() + kPrinterClassGuid;
        std::string found;
        for (const auto& sub : SubKeys(classKey))
            if (text::UpperAscii(Text(classKey + "\\" + sub, "DriverDesc")) == text::UpperAscii(r.DriverDesc)) {
                found = sub;
                break;
            }
        if (found.empty()) {
            Warn("Enum class key failed", r, server);
        } else {
            const std::string ck = classKey + "\\" + found;
            r.Driver = std::string(kPrinterClassGuid) + "\\" + found;
            std::string infPath;
            if (!mP_GetINFPath(ctx_, Text(ck, "InfPath"), infPath, true, false)) Warn("Failure returning INF path", r, server);
            r.InfFile = infPath;
            // p_InitializeINFData.
            r.FileDate = DatePart(Text(ck, "DriverDate"));
            if (!r.FileDate.empty()) r.Versioning1 = 4;
            r.Version = Text(ck, "DriverVersion");
            r.InfSection = Text(ck, "InfSection");
            r.InfSectionExt = Text(ck, "InfSectionEx");
            r.ProviderName = Text(ck, "ProviderName");
            r.Manufacturer = Text(ck, "Manufacturer");
            if (ctx_.image && !r.InfFile.empty())
                if (auto host = ctx_.image->Resolve(r.InfFile)) {
                    const std::string sig = text::Cp1252ToUtf8(ctx_.profiles.GetInfString("Version", "Signature", "0", *host, 256));
                    if (sig.size() > 1) r.InfSig = sig;
                }
        }
        if (!driverKey.empty()) {
            if (const std::string m = Text(driverKey, "MatchingDeviceId"); !m.empty()) r.MatchingDeviceId = m;
            if (const std::string m = Text(driverKey, "Manufacturer"); !m.empty()) r.Manufacturer = m;
            // Install files: the dependent files, then the driver's own files.
            std::string files;
            auto add = [&](const std::string& name) {
                const std::string path = p_GetPrinterDriverFiles(driverKey, name);
                if (!path.empty()) files += (files.empty() ? "" : "|") + path;
            };
            for (const auto& dep : text::Split(Multi(driverKey, "Dependent Files"), std::string_view("\0", 1)))
                if (!dep.empty()) add(dep);
            const std::string driverFile = p_GetPrinterDriverFiles(driverKey, Text(driverKey, "Driver"));
            for (const char* v : {"Driver", "Configuration File", "Data File", "Help File"}) add(Text(driverKey, v));
            r.InfInstallFiles = files;
            if (!driverFile.empty() && ctx_.image) {
                if (auto host = ctx_.image->Resolve(driverFile)) {
                    if (r.Version.empty()) r.Version = platform::PeFileVersion(*host);
                    if (r.FileDate.empty())
                        if (auto st = ctx_.image->Stat(driverFile)) r.FileDate = DateText(st->modified);
                }
            }
            r.NumInstallFiles = static_cast<int16_t>(std::count(files.begin(), files.end(), '|') + 1);
        }
        if (r.Manufacturer.empty() || r.Manufacturer == "0") r.Manufacturer = "UNKNOWN";
        r.MSProvided = IsStandardProvider(r.Manufacturer);
        if (!r.MSProvided && !r.ProviderName.empty()) r.MSProvided = IsStandardProvider(r.ProviderName);
        if (r.ProviderName.empty() || r.ProviderName == "0") r.ProviderName = "UNKNOWN";
        r.XMLName = text::ReplaceAll(text::ReplaceAll(r.DriverDesc, " ", ""), "\\", "/");
        r.XMLInstallIdx = text::ReplaceAll(r.InfFile + r.InfSection + r.InfSectionExt, "\\", "/");

        if (r.HardwareID.empty()) r.HardwareID = p_ParseINFForHWID(r.InfFile, r.DriverDesc);
        if (r.HardwareID.empty()) {
            r.NoHWID = true;
            r.XMLIdx = r.DeviceID + r.XMLInstallIdx;
            // A printer with neither a device id nor an INF still needs a key of its own.
            if (r.XMLIdx.empty()) r.XMLIdx = r.DriverDesc + r.DeviceInstanceId;
        } else {
            r.XMLIdx = text::ReplaceAll(text::Join(r.HardwareID, ""), "\\", "");
        }

        // Printer details.
        std::string details;
        auto detail = [&](const std::string& label, const std::string& value, const char* suffix = "") {
            if (value.empty()) return;
            if (!details.empty()) details += ",";
            details += label + value + suffix;
        };
        detail("Datatype: ", Text(key, "Datatype"));
        detail("OEM URL: ", driverKey.empty() ? std::string() : Text(driverKey, "OEM URL"));
        detail("Description: ", Text(key, "Description"));
        detail("DNS timeout: ", Text(key, "dnsTimeout"), " seconds");
        detail("Location: ", Text(key, "Location"));
        detail("Transmission timeout: ", Text(key, "txTimeout"), " seconds");
        detail("Port: ", port);
        detail("Separator File: ", Text(key, "Separator File"));
        detail("Share Name: ", Text(key, "Share Name"));
        detail("Previous Names: ", driverKey.empty() ? std::string() : Text(driverKey, "Previous Names"));
        r.DriverAddendum = details;

        if (!scan_.Document().Contains(r.XMLIdx)) r.AddMessage = p_GetPrinterInfo(r, driverKey);
        scan_.AddRecord(r, true);
    }

    // The identifiers on the model's line of the INF: the items after its install section.
    std::vector<std::string> p_ParseINFForHWID(const std::string& infFile, const std::string& model) {
        std::vector<std::string> ids;
        if (infFile.empty() || model.empty() || !ctx_.image) return ids;
        auto host = ctx_.image->Resolve(infFile);
        if (!host) return ids;
        for (const auto& section : ctx_.profiles.SectionNames(*host)) {
            const std::string value = ctx_.profiles.GetString(section, model, "", *host);
            if (value.empty()) continue;
            auto parts = text::Split(value, ",");
            for (size_t i = 1; i < parts.size(); ++i)
                if (auto id = text::Trim(parts[i]); !id.empty()) ids.push_back(text::Cp1252ToUtf8(id));
            if (!ids.empty()) break;
        }
        return ids;
    }

    // The driver's description of level 3 as the spooler would give it, read from the
    // driver's key.
    std::string p_GetPrinterInfo(const DriverRecord& r, const std::string& driverKey) {
        const std::string name = r.FriendlyName.empty() ? r.DriverDesc : r.FriendlyName;
        if (name == "Microsoft Office Document Image Writer") return {};
        if (name.empty()) throw VlxError(static_cast<int32_t>(0x80041610u), "VLX_PRINTER_NAME_NOT_FOUND");
        if (driverKey.empty()) throw VlxError(static_cast<int32_t>(0x80041612u), "VLX_GET_PRINTER_DRIVER_FAILED");
        RegReadInfo ri;
        const RegData v = reg_.cP_GetRegValue(hkey::kLocalMachine, driverKey, "Version", ri);
        std::string deps = text::ReplaceAll(Multi(driverKey, "Dependent Files"), std::string_view("\0", 1), "/");
        if (!text::EndsWith(deps, "//")) deps += "/";
        const size_t envAt = driverKey.find("Environments\\");
        std::string env = envAt == std::string::npos ? std::string() : driverKey.substr(envAt + 13);
        env = env.substr(0, env.find('\\'));
        const std::vector<std::string> parts{
            !ri.bNoData && v.kind == RegData::Kind::kInt32 ? std::to_string(v.number) : "0",
            p_GetPrinterDriverFiles(driverKey, Text(driverKey, "Configuration File")),
            p_GetPrinterDriverFiles(driverKey, Text(driverKey, "Data File")),
            Text(driverKey, "Datatype"),
            deps,
            p_GetPrinterDriverFiles(driverKey, Text(driverKey, "Driver")),
            env,
            p_GetPrinterDriverFiles(driverKey, Text(driverKey, "Help File")),
            Text(driverKey, "Monitor"),
            r.DriverDesc};
        return text::Join(parts, "|");
    }

    DeviceScan& scan_;
    ScanContext& ctx_;
    cReg& reg_;
    bool nineX_;
    Facts facts_;
};
}  // namespace

void mP_EnumPrintServerDrivers(DeviceScan& scan) {
    GuardedRun(kModule, "mP_EnumPrintServerDrivers", [&] { PrinterScanner(scan).Run(); });
}

std::vector<std::string> PrinterList(DeviceScan& scan) { return PrinterScanner(scan).List(); }

}  // namespace vornel
