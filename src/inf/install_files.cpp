#include "inf/install_files.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "inf/inf_text.h"
#include "platform/system_image.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {

namespace fs = std::filesystem;

constexpr const char* kModule = "mTQZUtili";
constexpr int32_t kErrFileNotFound = kVlxErrorBase + 5621;  // 0x800415F5

bool NineX(const ScanContext& ctx) { return ctx.info.bWin9x && !ctx.info.bNT; }

// A value of the driver key; false when it is missing or holds no data.
bool ReadDriverValue(ScanContext& ctx, const platform::RegistryView::KeyRef& key, const char* name,
                     std::string& out) {
    RegReadInfo info;
    const RegData data = ctx.reg.cP_GetRegValue(key, hkey::kLocalMachine, name, info);
    if (info.bValNoExist || info.bNoData) return false;
    out = data.ToText();
    return true;
}

std::string_view FileNameOf(std::string_view path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::vector<std::string> NonEmptyEntries(const std::string& list) {
    std::vector<std::string> out;
    for (std::string& entry : text::Split(list, "|"))
        if (!entry.empty()) out.push_back(std::move(entry));
    return out;
}

void AppendBlock(std::string& list, const std::string& block) {
    if (block.empty()) return;
    if (!list.empty() && list.back() != '|') list += '|';
    list += block;
}

}  // namespace

namespace inf {

InstallFileLocator::InstallFileLocator(ScanContext& ctx, bool forScan)
    : ctx_(ctx), reader_(ctx.profiles, InfOsFlags{!NineX(ctx)}), search_(ctx, forScan) {}

void InstallFileLocator::ForceAdd(const fs::path& host, std::string& list) {
    GuardedRun("mDrivers", "p_ForceAddOfSourceDisksFiles", [&] {
        // The Windows 9x reader logs a section a large INF lacks; an INF without source
        // disks is no failure here.
        if (NineX(ctx_) && !reader_.mP_IsInfSection("SourceDisksFiles", host)) return;
        UniqueListAppender names(list);
        // Straight from the parsed section where the section reader would list just that.
        // Trimmed: "file.sys = 1" names file.sys, which the method's own list has.
        if (reader_.ForEachSectionKey(host, "SourceDisksFiles", [&](std::string_view name) {
                if (name.empty() || name[0] != ';') names.Add(name);
            }))
            return;
        std::string section;
        reader_.mP_GetPrivateProfileSection(host, "SourceDisksFiles", section);
        const std::string_view body = section;
        for (size_t start = 0, end = 0; start < body.size(); start = end + 1) {
            end = std::min(body.find('\0', start), body.size());
            const std::string_view line = body.substr(start, end - start);
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            // The 9x reader keeps comment lines; a file commented out is not installed.
            const std::string name = text::Trim(line.substr(0, eq));
            if (!name.empty() && name[0] == ';') continue;
            // Trimmed: "file.sys = 1" names file.sys, which the method's own list has.
            names.Add(name);
        }
    });
}

const InstallFileLocator::Listed& InstallFileLocator::Complete(Listed& out,
                                                               const std::string& infFile,
                                                               const fs::path& host,
                                                               const std::string& section) {
    if (out.complete || !out.ok) return out;
    out.complete = true;
    std::string list = std::move(out.scraped);
    const std::string ownName = FoldNameCase(FileNameOf(infFile));
    std::vector<fs::path> others;
    // The list's entries as views: most name no INF and need no copy.
    for (size_t from = 0, bar = 0; bar != std::string::npos; from = bar + 1) {
        bar = list.find('|', from);
        const std::string_view entry = std::string_view(list).substr(from, bar - from);
        if (entry.empty() || text::IFind(entry, ".inf") == std::string_view::npos) continue;
        const std::string folded = FoldNameCase(entry);
        if (folded == ownName || folded == FoldNameCase(infFile)) continue;
        out.references.emplace_back(entry);
        const std::string where = search_.Locate(entry, infFile);
        if (where.empty()) continue;
        // The file found is what counts: the own INF under another spelling is not read again.
        const auto refHost = ctx_.image->Resolve(where);
        if (!refHost || *refHost == host || std::count(others.begin(), others.end(), *refHost))
            continue;
        others.push_back(*refHost);
    }
    for (const fs::path& other : others) {
        auto [it, fresh] = referencedFiles_.try_emplace(other.string());
        if (fresh) it->second = reader_.p_ScrapeInfDoTheRealWork(kParseWholeFile, other, section);
        AppendBlock(list, it->second);
    }
    ForceAdd(host, list);
    out.names = NonEmptyEntries(list);
    return out;
}

InstallFileLocator::Listed& InstallFileLocator::List(int method, const fs::path& host,
                                                     const std::string& section) {
    std::string key = host.string();
    key += '\n';
    key += static_cast<char>('0' + method);
    if (method == kParseInstallSection) key += '\n' + FoldNameCase(section);
    auto [it, fresh] = listed_.try_emplace(std::move(key));
    Listed& out = it->second;
    if (!fresh) return out;
    InfScrape scrape = reader_.Scrape(method, host, section);
    out.ok = scrape.ok;
    out.methodFound = scrape.methodFound;
    out.scraped = std::move(scrape.files);
    return out;
}

void InstallFileLocator::LocateReferences(const Listed& listed, DriverRecord& record) {
    UniqueListAppender missing(record.InfInstallFilesMissing);
    UniqueListAppender additional(record.AdditionalInfFiles);
    for (const std::string& ref : listed.references)
        search_.Search(ref, record.InfFile, missing, additional);
}

std::vector<std::string> InstallFileLocator::p_ScrapeInf(int method, DriverRecord& record,
                                                         const std::string& section) {
    return Guarded(kModule, "p_ScrapeInf", std::vector<std::string>(), [&] {
        const auto host = ctx_.image ? ctx_.image->Resolve(record.InfFile) : std::nullopt;
        if (!host) throw VlxError(kErrFileNotFound, "File not found");
        const Listed& listed =
            Complete(List(method, *host, section), record.InfFile, *host, section);
        LocateReferences(listed, record);
        return listed.names;
    });
}

void InstallFileLocator::p_ForceAddOfSourceDisksFiles(const std::string& infPath,
                                                      std::string& list) {
    const auto host = ctx_.image ? ctx_.image->Resolve(infPath) : std::nullopt;
    if (host) ForceAdd(*host, list);
}

bool InstallFileLocator::p_GetInfInstallFiles(DriverRecord& r) {
    DriverKeyValues values;
    if (!GuardedRun(kModule, "p_GetInfInstallFiles", [&] { values = ReadDriverKeyValues(ctx_, r.RegDriverInstance); }))
        return false;
    return p_GetInfInstallFiles(r, values);
}

bool InstallFileLocator::p_GetInfInstallFiles(DriverRecord& r, const DriverKeyValues& values) {
    return Guarded(kModule, "p_GetInfInstallFiles", false, [&] {
        const std::string& key = r.RegDriverInstance;
        if (key.empty() || !values.infPath) return false;
        const std::string& infPath = *values.infPath;
        r.InfFile = infPath;
        // Devices share INFs, and the installation does not change during a scan: each name
        // is looked for once ("" when it was not found).
        auto [known, first] = infPaths_.try_emplace(infPath);
        if (first) mP_GetINFPath(ctx_, infPath, known->second, true, false);
        const std::string& full = known->second;
        if (full.empty()) {
            // Once per INF: many devices share one INF, and a registry scanned without its
            // installation's files misses every one of them.
            if (missingLogged_.insert(text::UpperAscii(infPath)).second)
                ReportError(kModule, "p_GetInfInstallFiles", kErrFileNotFound, "File not found",
                            "InfPath " + infPath + " of " + key);
            return false;
        }
        // One read of InfSection serves both the record and the reader.
        const std::string section = values.infSection.value_or(std::string());
        if (values.infSection) r.InfSection = section;
        if (values.infSectionExt) r.InfSectionExt = *values.infSectionExt;
        r.InfFile = full;
        const fs::path* host = ctx_.image->ResolveRef(full);
        if (!host) return false;

        // The first method that names files of its own: every list also holds the common
        // tail and [SourceDisksFiles], which would otherwise stop at method 1 every time.
        Listed* listed = nullptr;
        int method = kParseNone;
        for (int m = kParseInstallSection; m <= kParseWholeFile; ++m) {
            listed = &List(m, *host, section);
            if (!listed->ok) break;
            if (listed->methodFound) {
                method = m;
                break;
            }
        }
        r.ParseMethod = static_cast<int16_t>(method);
        const Listed* chosen = &Complete(*listed, full, *host, section);
        auto counted = [&r] {
            const size_t count =
                static_cast<size_t>(std::count(r.InfInstallFiles.begin(), r.InfInstallFiles.end(), '|')) + 1;
            r.NumInstallFiles = static_cast<int16_t>(std::min<size_t>(count, INT16_MAX));
            return true;
        };
        // The search below gives every device of an INF the same answer: a record that
        // starts with empty lists takes the one worked out for the device before it.
        const bool fresh = r.InfInstallFilesMissing.empty() && r.AdditionalInfFiles.empty();
        if (fresh && listed->outcome && listed->outcome->inf == full) {
            r.InfInstallFiles = listed->outcome->files;
            r.InfInstallFilesMissing = listed->outcome->missing;
            r.AdditionalInfFiles = listed->outcome->additional;
            return counted();
        }

        LocateReferences(*chosen, r);
        UniqueListAppender missing(r.InfInstallFilesMissing);
        UniqueListAppender additional(r.AdditionalInfFiles);
        std::string joined;
        UniqueListAppender files(joined);
        // Each name is searched for once as spelled. A usual list is short enough to look
        // back along; a long one goes through a set.
        const std::vector<std::string>& names = chosen->names;
        constexpr size_t kLookBackUpTo = 32;
        std::unordered_set<std::string_view> searched;
        for (size_t i = 0; i < names.size(); ++i) {
            const bool first = names.size() <= kLookBackUpTo
                                   ? std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i),
                                               names[i]) == names.begin() + static_cast<std::ptrdiff_t>(i)
                                   : searched.insert(names[i]).second;
            if (first) files.Add(search_.Search(names[i], full, missing, additional));
        }
        files.Add(full);
        r.InfInstallFiles = std::move(joined);
        if (fresh) listed->outcome = Listed::Outcome{full, r.InfInstallFiles, r.InfInstallFilesMissing, r.AdditionalInfFiles};
        return counted();
    });
}

}  // namespace inf

inf::DriverKeyValues inf::ReadDriverKeyValues(ScanContext& ctx, const std::string& driverKey) {
    if (driverKey.empty()) return {};
    return ReadDriverKeyValues(ctx, ctx.reg.OpenForReading(hkey::kLocalMachine, driverKey));
}

inf::DriverKeyValues inf::ReadDriverKeyValues(ScanContext& ctx, const platform::RegistryView::KeyRef& driverKey) {
    DriverKeyValues v;
    if (!driverKey) return v;
    std::string text;
    if (ReadDriverValue(ctx, driverKey, "InfPath", text)) {
        v.infPath = std::move(text);
        // The rest matters only to a key that names its INF.
        if (ReadDriverValue(ctx, driverKey, "InfSection", text)) v.infSection = std::move(text);
        if (ReadDriverValue(ctx, driverKey, "InfSectionExt", text)) v.infSectionExt = std::move(text);
    }
    return v;
}

bool p_GetInfInstallFiles(ScanContext& ctx, DriverRecord& record) {
    return inf::InstallFileLocator(ctx, false).p_GetInfInstallFiles(record);
}

bool mP_GetINFPath(ScanContext& ctx, const std::string& name, std::string& path, bool unc,
                   bool useAsGiven) {
    path.clear();
    return Guarded(kModule, "mP_GetINFPath", false, [&] {
        if (!ctx.image || name.empty()) return false;
        const platform::SystemImage& image = *ctx.image;
        const std::string& windows = unc ? ctx.info.sWinDirUNC : ctx.info.sWinDirUM;
        if (!useAsGiven && image.IsFile(name)) {
            path = name;
        } else if (!windows.empty()) {
            for (const char* folder : {"\\Inf\\", "\\Inf\\Other\\"})
                if (image.IsFile(windows + folder + name)) {
                    path = windows + folder + name;
                    break;
                }
        }
        return !path.empty();
    });
}

std::vector<std::string> p_ScrapeInf(ScanContext& ctx, int method, DriverRecord& record,
                                     const std::string& section) {
    return inf::InstallFileLocator(ctx, false).p_ScrapeInf(method, record, section);
}

void p_ForceAddOfSourceDisksFiles(ScanContext& ctx, const std::string& infPath, std::string& list) {
    inf::InstallFileLocator(ctx, false).p_ForceAddOfSourceDisksFiles(infPath, list);
}

}  // namespace vornel
