#include "sysinfo/collector.h"

#include <random>

#include "platform/pe_version.h"
#include "platform/profile_reader.h"
#include "support/md5.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {

constexpr const char* kModule = "mOS";
constexpr const char* kNtVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kConfigKey = "SOFTWARE\\Kestrova Toolkit\\Configuration";

// The number at the start of a text, as the system's own conversions read it ("12a" is 12).
long LeadingNumber(std::string_view s) {
    s = std::string_view(s).substr(std::min(s.find_first_not_of(' '), s.size()));
    long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9' || n > 100000000) break;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::string Text(cReg& reg, uint32_t hive, std::string_view key, std::string_view value) {
    return reg.GetText(hive, key, value);
}

bool FileExists(CollectorContext& ctx, const std::string& windowsPath, std::filesystem::path* host = nullptr) {
    if (!ctx.resolve) return false;
    auto p = ctx.resolve(windowsPath);
    if (!p) return false;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*p, ec)) return false;
    if (host) *host = *p;
    return true;
}

std::string NewGuidText() {
    // A random (version 4) GUID in the lower-case form UuidToString gives.
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
    unsigned char b[16];
    for (auto& x : b) x = static_cast<unsigned char>(gen());
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return buf;
}

bool p_GetKernelVersion(ComputerInfo& info, cReg& reg, CollectorContext* ctx) {
    std::filesystem::path kernel;
    if (ctx && FileExists(*ctx, info.sWinSysDirUM + "\\Kernel32.dll", &kernel))
        info.sOSVersion = platform::PeFileVersion(kernel);
    if (info.sOSVersion.empty()) {
        const uint32_t lm = hkey::kLocalMachine;
        if (info.bNT) {
            const std::string v = Text(reg, lm, kNtVersionKey, "CurrentVersion");
            const std::string b = Text(reg, lm, kNtVersionKey, "CurrentBuildNumber");
            if (!v.empty() && !b.empty()) info.sOSVersion = v + "." + b;
        } else {
            info.sOSVersion = Text(reg, lm, kVersionKey, "VersionNumber");
        }
    }
    return !info.sOSVersion.empty();
}

// Workstation or server, read where an installation keeps it.
bool IsServerInstallation(cReg& reg) {
    const std::string type =
        text::UpperAscii(Text(reg, hkey::kLocalMachine, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType"));
    if (!type.empty()) return type == "LANMANNT" || type == "SERVERNT";
    return text::IEquals(Text(reg, hkey::kLocalMachine, kNtVersionKey, "InstallationType"), "Server");
}

void DetectPlatform(ComputerInfo& info, cReg& reg, bool local, CollectorContext* ctx) {
    const uint32_t lm = hkey::kLocalMachine;
    if (!p_GetKernelVersion(info, reg, ctx) && !local)
        throw VlxError(static_cast<int32_t>(0x80041605u), "QRT_KERNEL32_VER_FAILURE");
    const auto parts = text::Split(info.sOSVersion, ".");
    if (parts.size() < 3) throw VlxError(static_cast<int32_t>(0x80041604u), "QRT_KERNEL_VER_ARRAY_ERROR");
    const long major = LeadingNumber(parts[0]);
    const long minor = LeadingNumber(parts[1]);
    long build = 0;
    if (parts.size() == 3) build = LeadingNumber(parts[2]);
    else build = LeadingNumber(parts[2]) == 0 ? LeadingNumber(parts[3]) : LeadingNumber(parts[2]);

    if (major == 4) {
        info.sExt = ".bat";
        info.bWin9x = true;
        if (minor == 0) {
            if (build < 1111) info.bWin95 = true;
            else if (build <= 1380) info.bWin95OSR2 = true;
            else {
                info.bNT4 = true;
                info.bNT = true;
                info.sExt = ".cmd";
            }
        } else if (minor == 10) {
            if (build >= 1998 && build <= 2221) info.bWin98 = true;
            else if (build >= 2222 && build <= 2999) info.bWin98SE = true;
        } else if (minor == 90) {
            if (build >= 3000) info.bWinMe = true;
        } else {
            info.bWin95OSR2 = true;
        }
    } else if (major == 5) {
        info.sExt = ".cmd";
        info.bNT = true;
        if (minor == 0) info.bWin2K = true;
        else if (minor == 2) info.bWin2003 = true;
        else if (minor == 1) {
            info.bWhistler = true;
            RegReadInfo ri;
            const RegData id = reg.cP_GetRegValue(lm, kNtVersionKey, "DigitalProductId", ri);
            if (id.kind == RegData::Kind::kBytes) {
                const std::string& b = id.text;
                const bool home = b.size() > 32 && static_cast<unsigned char>(b[29]) == 52 &&
                                  static_cast<unsigned char>(b[30]) == 52 && static_cast<unsigned char>(b[32]) == 42;
                info.bWhistlerPro = !home;
            }
        }
    } else if (major >= 6) {
        info.sExt = ".cmd";
        info.bNT = true;
        if (major == 6 && minor == 0) {
            // An installation that is not running: its edition as the registry names it.
            const std::string ed = text::UpperAscii(Text(reg, lm, kNtVersionKey, "EditionID"));
            info.bVistaStarter = ed == "STARTER";
            info.bVistaUltimate = ed == "ULTIMATE";
            info.bVistaHomeBasic = ed == "HOMEBASIC";
            info.bVistaHomePremium = ed == "HOMEPREMIUM";
            info.bVistaSmallBusiness = ed == "BUSINESS";
            info.bVistaEnterprise = ed == "ENTERPRISE";
            info.bServer2008Standard = ed == "SERVERSTANDARD";
            info.bServer2008Enterprise = ed == "SERVERENTERPRISE";
            info.bServer2008Datacenter = ed == "SERVERDATACENTER";
            info.bServer2008Web = ed == "SERVERWEB";
            info.bVista = info.bVistaStarter || info.bVistaUltimate || info.bVistaHomeBasic ||
                          info.bVistaHomePremium || info.bVistaSmallBusiness || info.bVistaEnterprise;
            info.bServer2008 = info.bServer2008Standard || info.bServer2008Enterprise ||
                               info.bServer2008Datacenter || info.bServer2008Web;
        }
        // Later kernels, and editions the list above does not name (the N and K editions),
        // join the family by its family flag alone.
        if (!info.bVista && !info.bServer2008) {
            if (IsServerInstallation(reg)) info.bServer2008 = true;
            else info.bVista = true;
        }
        info.bLonghorn = reg.p_IsRegKeyExist(
            lm, "COMPONENTS\\CanonicalData\\Deployments\\microsoft-w..anguagepack_31bf3856ad364e35_6.0.5600.16384_44c80d92be478fdb");
    }

    if (!info.bVista) {
        if (info.bNT) {
            const std::string options = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
            const std::string type = text::UpperAscii(Text(reg, lm, options, "ProductType"));
            info.bNTServer = type == "LANMANNT" || type == "SERVERNT";
            if (info.bWin2003) {
                RegReadInfo ri;
                const std::string suite = reg.cP_GetRegValue(lm, options, "ProductSuite", ri).ToText();
                info.bWin2003EE = !ri.bNoData && suite.find("Enterprise") != std::string::npos;
            }
        }
        info.sProductName = Text(reg, lm, kNtVersionKey, "ProductName");
        if (info.sProductName.empty() && !info.bNT) info.sProductName = Text(reg, lm, kVersionKey, "ProductName");
        if (!info.sProductName.empty()) {
            info.bWin2003R2 = info.sProductName.find("2003 R2") != std::string::npos;
        } else if (info.bWin95 || info.bWin95OSR2) {
            info.sProductName = "Microsoft Windows 95";
        } else if (info.bWin98 || info.bWin98SE) {
            info.sProductName = "Microsoft Windows 98";
        } else if (info.bWinMe) {
            info.sProductName = "Microsoft Windows ME";
        } else if (info.bNT4) {
            info.sProductName = "Microsoft Windows NT";
        } else if (info.bWin2K) {
            info.sProductName = "Microsoft Windows 2000";
        } else if (info.bWhistler && !info.bWhistlerPro) {
            info.sProductName = "Microsoft Windows XP Home Edition";
        } else if (info.bWhistlerPro) {
            info.sProductName = "Microsoft Windows XP";
        } else if (info.bWin2003) {
            info.sProductName = "Microsoft Windows Server 2003 ";
        }
    }
}

}  // namespace

void p_GetOSPlatform(ComputerInfo& info, cReg& reg, bool local) { DetectPlatform(info, reg, local, nullptr); }

void p_GetComputerID(ComputerInfo& info, cReg& reg) {
    // No volume serial number can be read from an installation that is not running, so the
    // ID rests on the UUID kept in the program's settings.
    const std::string key = info.CurSID + kConfigKey;
    std::string uuid = reg.GetText(info.lHU, key, "UUID");
    if (uuid.empty()) {
        uuid = NewGuidText();
        long err = 0;
        if (reg.cP_WriteRegValue(info.lHU, key, "UUID", RegData::Text(uuid), regaccess::kWrite, true, 0, err))
            throw VlxError(err, "The computer's UUID could not be stored");
    }
    info.sComputerID = Md5Hex(uuid);
}

int CollectComputerInfo(ComputerInfo& out, CollectorContext& ctx, const std::string& computerName) {
    ComputerInfo info;
    cReg& reg = ctx.reg;
    const uint32_t lm = hkey::kLocalMachine;
    info.lHU = hkey::kUsers;
    info.lHCR = hkey::kClassesRoot;
    info.lHCU = hkey::kCurrentUser;
    info.lHLM = hkey::kLocalMachine;
    info.bNT = reg.p_IsRegKeyExist(lm, "SYSTEM\\CurrentControlSet\\Enum");

    const std::string ownName =
        Text(reg, lm, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName");
    info.bLocal = false;  // an installation that is not running is always another computer
    info.sComputerName = computerName.empty() ? ownName : computerName;
    if (info.sComputerName.empty()) {
        ReportError(kModule, "p_LocalComputerName", static_cast<int32_t>(0x80041603u),
                    "The computer's name is not in the installation's registry");
        out = info;
        return 1;
    }
    info.sCurrentAccount = ctx.userName;
    info.CurSID = ctx.userSid.empty() ? std::string() : ctx.userSid + "\\";
    info.sCrntCntrlSetKey = text::TrimChars(
        text::ReplaceAll(reg.View().Resolve("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"), "HKEY_LOCAL_MACHINE", ""), "\\");

    // Root and Windows folders, as Windows paths of the installation.
    std::string root = Text(reg, lm, kNtVersionKey, "SystemRoot");
    if (root.empty()) root = Text(reg, lm, kVersionKey, "SystemRoot");
    if (root.empty()) {
        root = "C:\\WINDOWS";
        if (ctx.resolve && !ctx.resolve(root) && ctx.resolve("C:\\WINNT")) root = "C:\\WINNT";
    }
    root = text::TrimChars(root, " ");
    while (root.size() > 3 && root.back() == '\\') root.pop_back();
    info.sWinDirUM = info.sWinDirUNC = info.WinDir = root;
    info.sWinSysDirUM = info.sWinSysDirUNC = info.SystemDir = root + (info.bNT || root.size() < 3 ? "\\system32" : "\\SYSTEM");
    info.sRootUM = info.sRootUNC = root.size() >= 2 && root[1] == ':' ? root.substr(0, 2) + "\\" : "C:\\";
    info.sTempPath = ctx.tempFolder.empty() ? std::string() : (ctx.tempFolder / "").string();

    GuardedRun(kModule, "p_GetOSPlatform", [&] { DetectPlatform(info, reg, false, &ctx); });
    if (!info.bNT && info.bWin9x) info.sWinSysDirUM = info.sWinSysDirUNC = info.SystemDir = root + "\\SYSTEM";

    GuardedRun(kModule, "p_GetServicePakVersion", [&] {
        const std::string csd = Text(reg, lm, kNtVersionKey, "CSDVersion");
        const size_t digit = csd.find_last_not_of("0123456789");
        if (!csd.empty() && digit + 1 < csd.size())
            info.iServicePack = static_cast<int16_t>(LeadingNumber(csd.substr(digit + 1)));
    });

    GuardedRun(kModule, "p_DetermineShellFolders", [&] {
        info.ProgramPath = Text(reg, lm, kVersionKey, "ProgramFilesDir");
        info.ProgramPathX86 = Text(reg, lm, kVersionKey, "ProgramFilesDir (x86)");
        const std::string drive = info.sRootUM.substr(0, 2);
        std::map<std::string, std::string> env{{"SystemRoot", root},
                                               {"windir", root},
                                               {"SystemDrive", drive},
                                               {"ProgramFiles", info.ProgramPath.empty() ? drive + "\\Program Files" : info.ProgramPath},
                                               {"CommonProgramFiles", Text(reg, lm, kVersionKey, "CommonFilesDir")}};
        reg.SetEnvironment(env);
        const std::string profiles = std::string(kNtVersionKey) + "\\ProfileList";
        const std::string programData = Text(reg, lm, profiles, "ProgramData");
        const std::string profilesDir = Text(reg, lm, profiles, "ProfilesDirectory");
        const std::string allUsers = Text(reg, lm, profiles, "AllUsersProfile");
        if (!programData.empty()) {
            env["ALLUSERSPROFILE"] = programData;
            env["ProgramData"] = programData;
        } else if (!profilesDir.empty() && !allUsers.empty()) {
            env["ALLUSERSPROFILE"] = profilesDir + "\\" + allUsers;
        }
        if (const std::string pub = Text(reg, lm, profiles, "Public"); !pub.empty()) env["PUBLIC"] = pub;
        reg.SetEnvironment(env);

        const std::string shell = std::string(kVersionKey) + "\\Explorer\\Shell Folders";
        const std::string userShell = std::string(kVersionKey) + "\\Explorer\\User Shell Folders";
        auto folder = [&](const char* name) {
            std::string v = Text(reg, lm, shell, name);
            return v.empty() ? Text(reg, lm, userShell, name) : v;  // expanded by the read
        };
        info.CommAppDataPath = folder("Common AppData");
        info.CommDesktopPath = folder("Common Desktop");
        info.CommPersonalPath = folder("Common Documents");
        info.CommFavorites = folder("Common Favorites");
        info.CommProgramsPath = info.CommStartMenuProgramsPath = folder("Common Programs");
        info.CommStartMenuPath = folder("Common Start Menu");
        info.CommStartUpPath = folder("Common Startup");
        info.CommTemplates = folder("Common Templates");
        info.CommMusic = folder("CommonMusic");
        info.CommPictures = folder("CommonPictures");
        info.CommVideo = folder("CommonVideo");
        info.CommAdminTools = folder("Common Administrative Tools");
        info.CommAltStartup = folder("Common AltStartup");
        info.FontsPath = root + "\\Fonts";
        info.Resources = root + "\\Resources";
        info.Themes = root + "\\Resources\\Themes";
        info.sTempPath = ctx.tempFolder.empty() ? std::string() : (ctx.tempFolder / "").string();
    });

    GuardedRun(kModule, "p_GetHardwareInfo", [&] {
        const std::string cpu = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
        info.sProcDesc = text::Trim(Text(reg, lm, cpu, "ProcessorNameString"));
        RegReadInfo ri;
        const RegData mhz = reg.cP_GetRegValue(lm, cpu, "~MHz", ri);
        if (!ri.bNoData && mhz.kind == RegData::Kind::kInt32) info.lProcessorSpeed = static_cast<int32_t>(mhz.number);
        info.bIsx64 = Text(reg, lm, cpu, "Identifier").find("x64") != std::string::npos;
        // An installation that is not running has no HARDWARE key; its environment still
        // names the processor architecture it was installed for.
        if (!info.bIsx64)
            info.bIsx64 = text::IEquals(
                Text(reg, lm, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "PROCESSOR_ARCHITECTURE"),
                "AMD64");
        info.bBeefy = info.lProcessorSpeed >= 390;
    });

    GuardedRun(kModule, "p_GetComputerID", [&] { p_GetComputerID(info, reg); });

    GuardedRun(kModule, "p_GetComputerOEMAndModel", [&] {
        const std::string oem = std::string(kVersionKey) + "\\WindowsUpdate\\OemInfo";
        info.sComputerOEM = Text(reg, lm, oem, "WbemOem");
        if (info.sComputerOEM.empty()) info.sComputerOEM = Text(reg, lm, oem, "Manufacturer");
        info.sComputerModel = Text(reg, lm, oem, "WbemProduct");
        if (info.sComputerModel.empty()) info.sComputerModel = Text(reg, lm, oem, "Model");
        std::filesystem::path ini;
        if (ctx.profiles && FileExists(ctx, info.sWinSysDirUM + "\\oeminfo.ini", &ini)) {
            auto take = [&](std::string& field, const char* key) {
                if (!field.empty()) return;
                const std::string v = text::Cp1252ToUtf8(ctx.profiles->GetString("General", key, "", ini));
                if (v.size() > 2) field = v;
            };
            take(info.sComputerOEM, "Manufacturer");
            take(info.sComputerModel, "Model");
        }
    });

    out = info;
    return 0;
}

}  // namespace vornel
