#pragma once
// The search for one file an INF installs: a fixed table of folders of the installation,
// probed in order, then the driver backups under the system folder's "ReinstallBackups".
// Results are Windows paths of the installation (probe folder + name); nothing outside the
// installation's root is ever found, since every probe goes through the SystemImage.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scan/driver_record.h"
#include "scan/scan_context.h"

namespace vornel::inf {

// One row of the probe table: a base folder of the computer-information record and what
// follows it. Core rows put the INF's CoreFilePath folder and a "\" between the two.
struct ProbeRow {
    std::string ComputerInfo::*base;
    const char* tail;
    bool core = false;
};

// Rows 1 to 46, in the order they are probed.
extern const std::array<ProbeRow, 46> kProbeRows;
// Rows 47 and 48: below "<system folder>\ReinstallBackups\nnnn", nnnn from "0000" to
// "0050", each number's two folders before the next number.
constexpr const char* kBackupRoot = "\\ReinstallBackups";
constexpr std::array<const char*, 2> kBackupTails{"\\DriverFiles\\", "\\DriverFiles\\i386\\"};
constexpr int kBackupNumbers = 51;

// The probe folders below the Windows folder as a usual installation has them ("Inf",
// "system32\drivers"), in the table's order: worth listing before a scan asks.
std::vector<std::string> ProbeFoldersBelowWindows();

// "|"-joined list of a driver record appended to as mP_AppendToList(item, list, "|", true, 1)
// does, in time linear in the number of items.
class UniqueListAppender {
public:
    explicit UniqueListAppender(std::string& list);
    ~UniqueListAppender();
    UniqueListAppender(const UniqueListAppender&) = delete;
    UniqueListAppender& operator=(const UniqueListAppender&) = delete;
    void Add(std::string_view item);

private:
    // The folded entries, gathered on first use, one after another in one buffer, and
    // found through an open-addressing table: a record's lists cost no allocation for
    // each entry. The buffers pass from appender to appender on a thread (a scan makes
    // several for every device), so once warm they cost none at all.
    struct Slot {
        uint64_t hash = 0;
        uint32_t at = 0, size = 0;
        bool used = false;
    };
    struct Tables {
        std::string folded;
        std::vector<Slot> slots, spare;
    };
    static std::vector<std::unique_ptr<Tables>>& Pool();
    bool Seen(std::string_view folded, uint64_t hash) const;
    void Remember(std::string_view folded, uint64_t hash);
    void RememberEach(std::string_view entries);

    std::string& list_;
    std::unique_ptr<Tables> t_;
    size_t used_ = 0;
    bool built_ = false;
};

class DriverFileSearch {
public:
    // indexed: every probe folder is read once into a name index kept for the life of the
    // search, so a name costs one lookup whatever the number of rows it passes; meant to
    // live for one scan. Otherwise each probe asks the SystemImage (fine for one record).
    // Both give the same answers.
    DriverFileSearch(ScanContext& ctx, bool indexed);
    ~DriverFileSearch();
    DriverFileSearch(const DriverFileSearch&) = delete;
    DriverFileSearch& operator=(const DriverFileSearch&) = delete;

    // The path of the file in the first probe folder holding it, or "" when none; a name
    // not found goes to the record's InfInstallFilesMissing, a found INF to its
    // AdditionalInfFiles.
    std::string p_ManualInfDriverFileSearch(const std::string& name, DriverRecord& record);

    // The same without touching a record: the lists to extend are given.
    std::string Search(std::string_view name, const std::string& infFile,
                       UniqueListAppender& missing, UniqueListAppender& additional);
    // Only the probes.
    std::string Locate(std::string_view name, const std::string& infFile);

    // Lists the probe folders and builds the index now, ahead of the first search.
    void Prepare();

    // The CoreFilePath folder an INF names ("" when none), read once per INF.
    const std::string& CoreFolder(const std::string& infFile);

private:
    class NameIndex;

    std::string ProbeEachRow(std::string_view name, const std::string& infFile);
    const std::vector<std::string>& CoreFolders(const std::string& core);
    const std::vector<std::string>& BackupFolders();
    NameIndex& IndexOf(const std::vector<std::string>& folders, std::unique_ptr<NameIndex>& slot);

    ScanContext& ctx_;
    bool indexed_;
    std::vector<std::string> fixedFolders_;  // rows 1-36; "" where the base folder is unknown
    std::unordered_map<std::string, std::vector<std::string>> coreFolders_;  // rows 37-46
    std::vector<std::string> backupFolders_;                                 // rows 47-48
    bool backupsKnown_ = false;
    std::unique_ptr<NameIndex> fixedIndex_, backupIndex_;
    std::unordered_map<std::string, std::unique_ptr<NameIndex>> coreIndex_;
    // CoreFilePath by the INF's Windows path as given, and the last one asked for.
    std::unordered_map<std::string, std::string> coreByInf_;
    std::string lastInf_;
    const std::string* lastCore_ = nullptr;
};

}  // namespace vornel::inf

namespace vornel {

// One search with nothing kept for later: probes go straight to the SystemImage.
std::string p_ManualInfDriverFileSearch(ScanContext& ctx, const std::string& name,
                                        DriverRecord& record);

}  // namespace vornel
