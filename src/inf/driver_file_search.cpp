#include "inf/driver_file_search.h"

#include <cstdio>
#include <cstring>

#include "inf/inf_directives.h"
#include "inf/inf_text.h"
#include "platform/path_fold.h"
#include "platform/profile_file.h"
#include "platform/profile_reader.h"
#include "platform/profile_text.h"
#include "platform/system_image.h"
#include "platform/system_image_path.h"
#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel::inf {

namespace {

constexpr const char* kModule = "mTQZUtili";
constexpr const char* kRoutine = "p_ManualInfDriverFileSearch";

using CI = ComputerInfo;

std::string ReadCoreFolder(ScanContext& ctx, const std::string& infFile) {
    if (text::IFind(infFile, ".inf") == std::string::npos || !ctx.image) return {};
    const auto host = ctx.image->Resolve(infFile);
    if (!host) return {};
    const auto open = ctx.profiles.Open(*host);
    if (!open.file) return {};
    const size_t eq = InfDirectivesOf(open.file).coreFilePath;
    if (eq == InfDirectives::npos) return {};
    std::string folder;
    for (char c : platform::CutInfComment(RestOfLine(open.file->Text(), eq)))
        if (c != '"') folder.push_back(c);
    return platform::AnsiToUtf8(text::Trim(folder));
}

}  // namespace

const std::array<ProbeRow, 46> kProbeRows{{
    {&CI::sWinDirUNC, "\\"},
    {&CI::sWinDirUNC, "\\system32\\Drivers\\"},
    {&CI::sWinSysDirUNC, "\\"},
    {&CI::sWinSysDirUNC, "\\drivers\\"},
    {&CI::sWinSysDirUNC, "\\Color\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\color\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\0\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\1\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\2\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\3\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\4\\"},
    {&CI::sWinSysDirUNC, "\\spool\\drivers\\w32x86\\5\\"},
    {&CI::sWinDirUNC, "\\Help\\"},
    {&CI::sWinDirUNC, "\\Inf\\"},
    {&CI::sWinDirUNC, "\\Inf\\Other\\"},
    {&CI::sWinDirUNC, "\\system\\"},
    {&CI::sWinDirUNC, "\\ServicePackFiles\\i386\\"},
    {&CI::sWinSysDirUNC, "\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\"},
    {&CI::sWinSysDirUNC, "\\dllcache\\"},
    {&CI::sWinSysDirUNC, "\\iosubsys\\"},
    {&CI::sWinDirUNC, "\\Media\\"},
    {&CI::sWinDirUNC, "\\tbcdata\\"},
    {&CI::ProgramPath, "\\Microsoft Hardware\\Mouse\\"},
    {&CI::sWinDirUNC, "\\OPTIONS\\INSTALL\\"},
    {&CI::CommStartMenuPath, "\\"},
    {&CI::CommStartMenuProgramsPath, "\\"},
    {&CI::CommStartUpPath, "\\"},
    {&CI::CommDesktopPath, "\\"},
    {&CI::CommFavorites, "\\"},
    {&CI::CommAppDataPath, "\\"},
    {&CI::ProgramPath, "\\"},
    {&CI::CommProgramsPath, "\\"},
    {&CI::CommTemplates, "\\"},
    {&CI::CommPersonalPath, "\\"},
    {&CI::ProgramPath, "\\", true},
    {&CI::CommStartMenuPath, "\\", true},
    {&CI::CommStartMenuProgramsPath, "\\", true},
    {&CI::CommStartUpPath, "\\", true},
    {&CI::CommDesktopPath, "\\", true},
    {&CI::CommFavorites, "\\", true},
    {&CI::CommAppDataPath, "\\", true},
    {&CI::CommProgramsPath, "\\", true},
    {&CI::CommTemplates, "\\", true},
    {&CI::CommPersonalPath, "\\", true},
}};

std::vector<std::string> ProbeFoldersBelowWindows() {
    std::vector<std::string> out;
    for (const ProbeRow& row : kProbeRows) {
        std::string tail = row.tail;
        if (row.base == &CI::sWinSysDirUNC) tail = "\\system32" + tail;
        else if (row.base != &CI::sWinDirUNC) continue;
        while (!tail.empty() && tail.back() == '\\') tail.pop_back();
        if (!tail.empty()) out.push_back(tail.substr(1));
    }
    return out;
}

namespace {
// Calls f with every entry of a "|"-joined list.
template <class F>
void ForEachEntry(std::string_view list, F&& f) {
    for (size_t start = 0;;) {
        const size_t bar = list.find('|', start);
        f(list.substr(start, bar == std::string_view::npos ? bar : bar - start));
        if (bar == std::string_view::npos) return;
        start = bar + 1;
    }
}
thread_local std::string t_folded;  // the entry being looked up, folded
}  // namespace

std::vector<std::unique_ptr<UniqueListAppender::Tables>>& UniqueListAppender::Pool() {
    thread_local std::vector<std::unique_ptr<Tables>> pool;
    return pool;
}

UniqueListAppender::UniqueListAppender(std::string& list) : list_(list) {
    auto& pool = Pool();
    if (pool.empty()) {
        t_ = std::make_unique<Tables>();
    } else {
        t_ = std::move(pool.back());
        pool.pop_back();
    }
}

UniqueListAppender::~UniqueListAppender() {
    constexpr size_t kKept = 8;  // more than are ever alive at once
    auto& pool = Pool();
    if (pool.size() >= kKept) return;
    t_->folded.clear();
    t_->slots.clear();
    pool.push_back(std::move(t_));
}

bool UniqueListAppender::Seen(std::string_view folded, uint64_t hash) const {
    const std::vector<Slot>& slots = t_->slots;
    if (slots.empty()) return false;
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask; slots[i].used; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (slot.hash == hash && std::string_view(t_->folded).substr(slot.at, slot.size) == folded) return true;
    }
    return false;
}

void UniqueListAppender::Remember(std::string_view folded, uint64_t hash) {
    if (Seen(folded, hash)) return;
    std::vector<Slot>& slots = t_->slots;
    auto place = [&slots](const Slot& slot) {
        const size_t mask = slots.size() - 1;
        size_t i = slot.hash & mask;
        while (slots[i].used) i = (i + 1) & mask;
        slots[i] = slot;
    };
    if ((used_ + 1) * 2 > slots.size()) {
        // The old table moves to the spare buffer, whose room the new one takes over.
        std::vector<Slot>& old = t_->spare;
        old.swap(slots);
        slots.assign(std::max<size_t>(16, old.size() * 2), Slot{});
        for (const Slot& slot : old)
            if (slot.used) place(slot);
        old.clear();
    }
    place({hash, static_cast<uint32_t>(t_->folded.size()), static_cast<uint32_t>(folded.size()), true});
    t_->folded.append(folded);
    ++used_;
}

void UniqueListAppender::RememberEach(std::string_view entries) {
    ForEachEntry(entries, [&](std::string_view entry) {
        FoldNameCaseInto(entry, t_folded);
        Remember(t_folded, std::hash<std::string_view>{}(t_folded));
    });
}

void UniqueListAppender::Add(std::string_view item) {
    if (item.empty()) return;
    if (!built_) {
        RememberEach(list_);
        built_ = true;
    }
    FoldNameCaseInto(item, t_folded);
    const uint64_t hash = std::hash<std::string_view>{}(t_folded);
    if (!list_.empty()) {
        if (Seen(t_folded, hash)) return;
        if (list_.back() != '|') list_ += '|';
    }
    list_ += item;
    if (item.find('|') == std::string_view::npos)
        Remember(t_folded, hash);
    else
        RememberEach(item);
}

// Folded file name -> the first of a run of folders holding a file of that name. Open
// addressing over keys the SystemImage keeps: a lookup usually costs one slot, where a
// node-based map costs two or three cache misses in an index of tens of thousands of
// names, and the index copies no name.
class DriverFileSearch::NameIndex {
public:
    struct Hit {
        uint32_t folder = 0;
        // Names that differ only in case share the folder (a case-sensitive host), or a
        // folder bears the name: which one Windows would see is the SystemImage's rule.
        bool ambiguous = false;
    };

    // Sized once for all the names it will hold; the first hit added for a name is kept.
    void Build(const std::vector<std::pair<std::string_view, Hit>>& names) {
        size_t size = 64;
        while (size * 2 < names.size() * 3) size *= 2;  // at most two thirds full
        slots_.assign(size, Slot{});
        for (const auto& [key, hit] : names) {
            const uint64_t hash = std::hash<std::string_view>{}(key);
            Slot& slot = slots_[SlotOf(key, hash)];
            if (!slot.key.data()) slot = {hash, key, hit};
        }
    }
    const Hit* Find(std::string_view key) const {
        if (slots_.empty()) return nullptr;
        const Slot& slot = slots_[SlotOf(key, std::hash<std::string_view>{}(key))];
        return slot.key.data() ? &slot.hit : nullptr;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        std::string_view key;  // a null view marks a free slot
        Hit hit;
    };
    // The slot holding the key, or the free slot where it would go.
    size_t SlotOf(std::string_view key, uint64_t hash) const {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (!slot.key.data() || (slot.hash == hash && slot.key == key)) return i;
        }
    }

    std::vector<Slot> slots_;
};

DriverFileSearch::DriverFileSearch(ScanContext& ctx, bool indexed) : ctx_(ctx), indexed_(indexed) {
    // A base folder the record does not know is skipped: "" + "\" + name would be a
    // name at the root of the system drive.
    for (const ProbeRow& row : kProbeRows) {
        if (row.core) continue;
        const std::string& base = ctx_.info.*row.base;
        fixedFolders_.push_back(base.empty() ? std::string() : base + row.tail);
    }
}

DriverFileSearch::~DriverFileSearch() = default;

const std::vector<std::string>& DriverFileSearch::CoreFolders(const std::string& core) {
    auto [it, fresh] = coreFolders_.try_emplace(core);
    if (fresh)
        for (const ProbeRow& row : kProbeRows) {
            if (!row.core) continue;
            const std::string& base = ctx_.info.*row.base;
            it->second.push_back(base.empty() ? std::string() : base + row.tail + core + "\\");
        }
    return it->second;
}

const std::vector<std::string>& DriverFileSearch::BackupFolders() {
    if (backupsKnown_) return backupFolders_;
    backupsKnown_ = true;
    const std::string& sys = ctx_.info.sWinSysDirUNC;
    if (sys.empty() || !ctx_.image || !ctx_.image->IsFolder(sys + kBackupRoot))
        return backupFolders_;
    char number[8];
    for (int n = 0; n < kBackupNumbers; ++n) {
        std::snprintf(number, sizeof number, "%04d", n);
        for (const char* tail : kBackupTails)
            backupFolders_.push_back(sys + kBackupRoot + "\\" + number + tail);
    }
    return backupFolders_;
}

DriverFileSearch::NameIndex& DriverFileSearch::IndexOf(const std::vector<std::string>& folders,
                                                       std::unique_ptr<NameIndex>& slot) {
    if (slot) return *slot;
    slot = std::make_unique<NameIndex>();
    std::vector<std::pair<std::string_view, NameIndex::Hit>> names;
    for (uint32_t i = 0; i < folders.size(); ++i) {
        if (folders[i].empty()) continue;
        // Entries come ordered by key, so names folding alike are neighbours: a run of
        // them is ambiguous. A run's first entry stands for it.
        std::string_view runKey;
        bool runFolder = false;
        size_t runLength = 0;
        auto flush = [&] {
            if (runLength > 1 || (runLength == 1 && !runFolder))
                names.push_back({runKey, NameIndex::Hit{i, runLength > 1}});
        };
        ctx_.image->ForEachEntry(folders[i], [&](std::string_view, std::string_view key, bool folder) {
            if (runLength > 0 && key == runKey) {
                ++runLength;
                return;
            }
            flush();
            runKey = key;
            runFolder = folder;
            runLength = 1;
        });
        flush();
    }
    slot->Build(names);
    return *slot;
}

std::string DriverFileSearch::ProbeEachRow(std::string_view name, const std::string& infFile) {
    const platform::SystemImage& image = *ctx_.image;
    auto first = [&](const std::vector<std::string>& folders) -> std::string {
        for (const std::string& folder : folders) {
            if (folder.empty()) continue;
            std::string path = folder + std::string(name);
            if (image.IsFile(path)) return path;
        }
        return {};
    };
    std::string hit = first(fixedFolders_);
    // Without a CoreFilePath the core rows are the folders of rows 27-36 again.
    if (hit.empty() && !CoreFolder(infFile).empty()) hit = first(CoreFolders(CoreFolder(infFile)));
    if (hit.empty()) hit = first(BackupFolders());
    return hit;
}

std::string DriverFileSearch::Locate(std::string_view name, const std::string& infFile) {
    if (!ctx_.image || name.empty()) return {};
    // A plain name the SystemImage would look up as it is; anything else is probed row by
    // row through it, which normalises it as Windows does and never leaves the installation.
    if (!indexed_ || !platform::IsPlainWindowsName(name)) return ProbeEachRow(name, infFile);
    const std::string key = platform::FoldName(name);
    bool ambiguous = false;
    auto find = [&](const std::vector<std::string>& folders,
                    std::unique_ptr<NameIndex>& slot) -> std::string {
        const NameIndex& index = IndexOf(folders, slot);
        const NameIndex::Hit* hit = index.Find(key);
        if (!hit) return {};
        ambiguous = hit->ambiguous;
        const std::string& folder = folders[hit->folder];
        std::string path;
        path.reserve(folder.size() + name.size());
        path.append(folder).append(name);
        return path;
    };
    std::string hit = find(fixedFolders_, fixedIndex_);
    if (hit.empty() && !ambiguous) {
        const std::string& core = CoreFolder(infFile);
        if (!core.empty()) hit = find(CoreFolders(core), coreIndex_[core]);
    }
    if (hit.empty() && !ambiguous) hit = find(BackupFolders(), backupIndex_);
    return ambiguous ? ProbeEachRow(name, infFile) : hit;
}

void DriverFileSearch::Prepare() {
    if (indexed_ && ctx_.image) IndexOf(fixedFolders_, fixedIndex_);
}

const std::string& DriverFileSearch::CoreFolder(const std::string& infFile) {
    if (lastCore_ && infFile == lastInf_) return *lastCore_;
    auto [it, fresh] = coreByInf_.try_emplace(infFile);
    if (fresh) it->second = ReadCoreFolder(ctx_, infFile);
    lastInf_ = infFile;
    lastCore_ = &it->second;
    return it->second;
}

std::string DriverFileSearch::Search(std::string_view name, const std::string& infFile,
                                     UniqueListAppender& missing, UniqueListAppender& additional) {
    return Guarded(kModule, kRoutine, std::string(), [&] {
        std::string path = Locate(name, infFile);
        if (path.empty())
            missing.Add(name);
        else if (text::IFind(path, ".inf") != std::string::npos)
            additional.Add(path);
        return path;
    });
}

std::string DriverFileSearch::p_ManualInfDriverFileSearch(const std::string& name,
                                                          DriverRecord& record) {
    UniqueListAppender missing(record.InfInstallFilesMissing);
    UniqueListAppender additional(record.AdditionalInfFiles);
    return Search(name, record.InfFile, missing, additional);
}

}  // namespace vornel::inf

namespace vornel {

std::string p_ManualInfDriverFileSearch(ScanContext& ctx, const std::string& name,
                                        DriverRecord& record) {
    inf::DriverFileSearch search(ctx, false);
    return search.p_ManualInfDriverFileSearch(name, record);
}

}  // namespace vornel
