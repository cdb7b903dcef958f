#include "scan/driver_version.h"

#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/profile_reader.h"
#include "platform/system_image.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {
constexpr const char* kModule = "mDrivers";
// The profile reader's buffer for a DriverVer answer, in characters.
constexpr uint32_t kDriverVerBuffer = 32;

// The modification date of a file of the installation; nullopt when it cannot be read.
std::optional<CivilDate> FileDateOf(const ScanContext& ctx, std::string_view windowsPath) {
    if (!ctx.image || windowsPath.empty()) return std::nullopt;
    const auto facts = ctx.image->Stat(windowsPath);
    if (!facts || facts->folder) return std::nullopt;
    return DateOfTime(facts->modified);
}

// The install files, as views into the record's list.
std::vector<std::string_view> InstallFiles(const DriverRecord& r) {
    std::vector<std::string_view> files;
    const std::string_view list = r.InfInstallFiles;
    for (size_t start = 0; start <= list.size();) {
        const size_t bar = std::min(list.find('|', start), list.size());
        if (bar > start) files.push_back(list.substr(start, bar - start));
        start = bar + 1;
    }
    return files;
}

bool NineX(const ScanContext& ctx) { return ctx.info.bWin9x && !ctx.info.bNT; }

// DriverVer of one section, the buffer rules of the profile functions applied; the
// default "0" when the INF or the entry is not there.
std::string DriverVer(ScanContext& ctx, const std::filesystem::path* inf, std::string_view section) {
    if (!inf) return "0";
    return ctx.profiles.GetInfString(section, "DriverVer", "0", *inf, kDriverVerBuffer);
}

}  // namespace

void SplitDriverVer(std::string_view driverVer, std::string& date, std::string& version) {
    const size_t comma = driverVer.find(',');
    date = NormalizeDate(text::Trim(driverVer.substr(0, comma)));
    if (comma != std::string_view::npos) version = text::Trim(driverVer.substr(comma + 1));
}

std::string DatePart(std::string_view dateTime) {
    const size_t blank = dateTime.find(' ');
    return NormalizeDate(dateTime.substr(0, blank));
}

bool p_IsNewerVersion(std::string_view current, std::string_view candidate) {
    return Guarded(kModule, "p_IsNewerVersion", false, [&] { return CompareVersions(candidate, current) > 0; });
}

namespace {

// Rule 4 over files already found: the highest version among them.
void HighestFileVersion(FileVersions& versions, platform::FolderHandles* folders, DriverRecord& r,
                        const std::vector<std::string>& hosts) {
    std::string best;
    for (const auto& host : hosts) {
        const std::string v = versions.Of(host, folders);
        if (v.empty()) continue;
        if (best.empty() || p_IsNewerVersion(best, v)) best = v;
    }
    if (!best.empty()) {
        r.Version = best;
        r.Versioning2 = versioning::kInstallFiles;
    }
}

// Rule 7: the driver key's version.
void KeyVersion(DriverRecord& r, const DriverKeyDates& keyDates) {
    if (!r.Version.empty()) return;
    r.Version = text::Trim(keyDates.version);
    if (!r.Version.empty()) r.Versioning2 = versioning::kRegistry;
}

template <class KeyDates>
void GetDriverVersion(ScanContext& ctx, DriverRecord& r, KeyDates&& keyDates, DeferredVersions* later) {
    GuardedRun(kModule, "p_GetDriverVersion", [&] {
        const std::filesystem::path* inf = ctx.image && !r.InfFile.empty() ? ctx.image->ResolveRef(r.InfFile) : nullptr;

        // 1, 2: DriverVer of the install section, else of [Version]. An answer shorter than
        // three characters (the default "0") counts as absent.
        std::string answer = DriverVer(ctx, inf, r.InfSection + r.InfSectionExt);
        int16_t code = versioning::kInstallSection;
        if (answer.size() < 3) {
            answer = DriverVer(ctx, inf, "Version");
            code = versioning::kVersionSection;
        }
        if (answer.size() >= 3) {
            SplitDriverVer(text::Cp1252ToUtf8(answer), r.FileDate, r.Version);
            if (!r.FileDate.empty()) r.Versioning1 = code;
            if (!r.Version.empty()) r.Versioning2 = code;
        }

        // 3: the newest modification date of the install files. The first file readable
        // is the first choice; only a later file names itself as the source.
        const std::vector<std::string_view> files = InstallFiles(r);
        if (r.FileDate.empty()) {
            std::optional<CivilDate> best;
            for (const auto& f : files) {
                const auto d = FileDateOf(ctx, f);
                if (!d) continue;
                if (!best) {
                    best = d;
                } else if (*d > *best) {
                    best = d;
                    r.DriverDateDerivedFile = f;
                }
            }
            if (best) {
                r.FileDate = FormatDate(*best);
                r.Versioning1 = versioning::kInstallFiles;
            }
        }

        // 4: the highest file version among the install files. A file without a version
        // resource has nothing to offer and is passed over.
        // Left for later when asked: the files' hosts only, found through the view.
        if (r.Version.empty()) {
            std::vector<std::string> hosts;
            if (ctx.image)
                for (const auto& f : files)
                    if (auto host = ctx.image->ResolveText(f)) hosts.push_back(std::move(*host));
            if (later) {
                later->wanted = true;
                later->files = std::move(hosts);
            } else {
                HighestFileVersion(ctx.fileVersions, nullptr, r, hosts);
            }
        }

        // 5: the INF file's own date.
        if (r.FileDate.empty())
            if (const auto d = FileDateOf(ctx, r.InfFile)) {
                r.FileDate = FormatDate(*d);
                r.Versioning1 = versioning::kInfFileDate;
            }

        // 6, 7: what the driver key says.
        if (r.FileDate.empty()) {
            r.FileDate = DatePart(text::Trim(keyDates().date));
            if (!r.FileDate.empty()) r.Versioning1 = versioning::kRegistry;
        }
        if (!later) KeyVersion(r, keyDates());
    });
}

}  // namespace

DriverKeyDates ReadDriverKeyDates(ScanContext& ctx, const DriverRecord& r) {
    if (r.RegDriverInstance.empty()) return {};
    return ReadDriverKeyDates(ctx, ctx.reg.OpenForReading(hkey::kLocalMachine, r.RegDriverInstance));
}

DriverKeyDates ReadDriverKeyDates(ScanContext& ctx, const platform::RegistryView::KeyRef& driverKey) {
    return {ctx.reg.GetText(driverKey, hkey::kLocalMachine, "DriverDate"),
            ctx.reg.GetText(driverKey, hkey::kLocalMachine, NineX(ctx) ? "Ver" : "DriverVersion")};
}

void p_GetDriverVersion(ScanContext& ctx, DriverRecord& r) {
    // The key is read only when the files leave a field empty.
    std::optional<DriverKeyDates> keyDates;
    GetDriverVersion(
        ctx, r,
        [&]() -> const DriverKeyDates& {
            if (!keyDates) keyDates = ReadDriverKeyDates(ctx, r);
            return *keyDates;
        },
        nullptr);
}

void p_GetDriverVersion(ScanContext& ctx, DriverRecord& r, const DriverKeyDates& keyDates) {
    GetDriverVersion(ctx, r, [&]() -> const DriverKeyDates& { return keyDates; }, nullptr);
}

void p_GetDriverVersion(ScanContext& ctx, DriverRecord& r, const DriverKeyDates& keyDates,
                        DeferredVersions& later) {
    later = {};
    GetDriverVersion(ctx, r, [&]() -> const DriverKeyDates& { return keyDates; }, &later);
}

void FinishDriverVersion(FileVersions& versions, platform::FolderHandles* folders, DriverRecord& r,
                         const DriverKeyDates& keyDates, const DeferredVersions& later) {
    if (!later.wanted) return;
    GuardedRun(kModule, "p_GetDriverVersion", [&] {
        HighestFileVersion(versions, folders, r, later.files);
        KeyVersion(r, keyDates);
    });
}

std::string p_GetUserFriendlyData(ScanContext& ctx, const DriverRecord& r) {
    // Twenty-three values of two keys for every device: each key is opened once.
    DeviceKeys keys;
    if (!r.DeviceInstanceId.empty()) keys.instance = ctx.reg.OpenForReading(hkey::kLocalMachine, r.DeviceInstanceId);
    if (!r.RegDriverInstance.empty()) keys.driver = ctx.reg.OpenForReading(hkey::kLocalMachine, r.RegDriverInstance);
    return p_GetUserFriendlyData(ctx, r, keys);
}

std::string p_GetUserFriendlyData(ScanContext& ctx, const DriverRecord& r, const DeviceKeys& keys) {
    return Guarded(kModule, "p_GetUserFriendlyData", std::string(), [&] {
        static constexpr const char* kInstanceValues[] = {
            "Capabilities", "Class",        "ClassGUID",    "DeviceID",           "HardwareID", "CompatibleIDs",
            "ConfigFlags",  "DeviceDesc",   "FriendlyName", "LocationInformation", "Mfg",       "ParentIdPrefix",
            "Service",      "UINumber",     "UINumberDescFormat", "UpperFilters"};
        static constexpr const char* kDriverValues[] = {"Configuration File", "Data File", "Help File", "Monitor",
                                                        "OEM URL",            "Previous Names", "Provider"};
        const bool vista = ctx.info.VistaFamily();
        std::string out;
        out.reserve(1024);  // a record's data is rarely longer: no regrowth on the way
        auto item = [&](const platform::RegistryView::KeyRef& key, const std::string_view name) {
            if (name == "DeviceID") {
                out.append("DeviceID: ").append(r.MatchingDeviceId).append("|");
                return;
            }
            if (!key) return;
            RegReadInfo info;
            const RegData d = ctx.reg.cP_GetRegValue(key, hkey::kLocalMachine, name, info);
            if (info.bNoData || info.bValNoExist) return;
            const std::string whole = d.kind == RegData::Kind::kText ? std::string() : d.ToText();
            std::string_view shown = d.kind == RegData::Kind::kText ? std::string_view(d.text) : std::string_view(whole);
            // Two control characters are dropped; most values hold neither, which two
            // memchr calls tell faster than a search for either byte.
            std::string kept;
            if (std::memchr(shown.data(), '\x10', shown.size()) || std::memchr(shown.data(), '\x14', shown.size())) {
                for (char c : shown)
                    if (c != '\x10' && c != '\x14') kept += c;
                shown = kept;
            }
            if (vista && (name == "Mfg" || name == "DeviceDesc"))
                if (const size_t at = shown.find(';'); at != std::string_view::npos) shown.remove_prefix(at + 1);
            out.append(name).append(": ");
            if (name == "HardwareID" || name == "CompatibleIDs") {
                if (!shown.empty() && shown.back() == '\0') shown.remove_suffix(1);
                for (size_t from = 0;;) {
                    const size_t nul = shown.find('\0', from);
                    out.append(shown.substr(from, nul - from));
                    if (nul == std::string_view::npos) break;
                    out.append("\r\n");
                    from = nul + 1;
                }
            } else {
                out.append(shown.substr(0, shown.find('\0')));
            }
            out += '|';
        };
        for (const char* name : kInstanceValues) item(keys.instance, name);
        for (const char* name : kDriverValues) item(keys.driver, name);
        if (!out.empty()) out.pop_back();
        return out;
    });
}

}  // namespace vornel
