#pragma once
// The device scan: walks the registry's device tree bus by bus, device by device and
// instance by instance, builds one driver record per kept instance, writes each new record
// into the driver document and adds it as a report row; printers follow.
#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>

#include "scan/class_icons.h"
#include "scan/common_devices.h"
#include "inf/install_files.h"
#include "platform/folder_handles.h"
#include "scan/driver_record.h"
#include "scan/driver_version.h"
#include "scan/file_stage.h"
#include "scan/report_rows.h"
#include "scan/scan_context.h"
#include "scan/scan_observer.h"
#include "scan/scan_progress.h"
#include "xml/driver_document.h"

namespace vornel {


struct ScanOptions {
    std::filesystem::path documentFile;    // the driver document to write
    std::filesystem::path commonDataFile;  // common.dat
    std::filesystem::path tempFolder;      // the program's private temporary folder
    // Run each device's file steps on a second thread while the registry is read for the
    // next devices. Off gives the same records and log on one thread.
    bool fileThread = true;
};

struct ScanResult {
    bool completed = false;   // walked to the end and saved
    bool stopped = false;     // the stop request ended the walk
    bool saved = false;       // the driver document was written to its file
    int devicesFound = 0;     // records of a known class
    int unidentified = 0;     // records of the unknown class
    size_t records = 0;       // records in the document
    std::string error;        // why the scan could not run or save
};

class DeviceScan {
public:
    DeviceScan(ScanContext& ctx, ScanObserver& observer, ReportList& rows);
    ~DeviceScan();

    // mP_InitializeDrivers: the whole scan, printers included; the document is saved also
    // when the stop request ended the walk.
    ScanResult mP_InitializeDrivers(const ScanOptions& options);

    // The steps a finished record goes through, shared with the printer scan: the duplicate
    // check, and for a new record the icon, counters, report row and document write.
    // A device record reads its XMLUserFriendlyData here from its keys, only when it is
    // written.
    void AddRecord(DriverRecord& record, bool toBeAdded, const DeviceKeys* userFriendlyDataKeys = nullptr);

    DriverDocument& Document() { return document_; }
    ScanProgress& Progress() { return progress_; }
    ScanObserver& Observer() { return observer_; }
    ScanContext& Context() { return ctx_; }
    // mP_AddRecordStats: a scan-log line (and status text unless noStatus).
    void mP_AddRecordStats(const std::string& line, bool noStatus = false);
    // One progress step and the percentage text.
    void Step();

private:
    // One device instance from its first registry step to its record. The file steps run as
    // its FileJob; until that is done the record belongs to the file thread.
    struct Pending : FileJob {
        explicit Pending(DeviceScan& scan) : scan_(scan) {}
        void Run() override;
        void FileSteps();

        DeviceScan& scan_;
        DriverRecord r;
        std::string announce;  // the bus's first line in the scan log
        std::string guid;      // ClassGUID, upper-case
        std::string driverValue;
        // The instance's and the driver's keys, opened once for the many values read of
        // them on this thread; null where missing.
        DeviceKeys keys;
        inf::DriverKeyValues keyValues;
        DriverKeyDates keyDates;
        DeferredVersions versions;  // left to the scan's thread when the file thread was behind
        bool kept = false;  // passed the registry steps' tests: has file steps and a record
        bool fileStepsFailed = false;
        bool laterStepsRead = false;
        bool toBeAdded = true;
        int steps = 0;  // progress steps that follow this instance
        // Log records of the registry steps before the file steps, of the driver key's
        // reads, and of the registry steps after them.
        std::vector<std::string> logA, logKey, logC;
    };
    // Instances handed to the file thread before the oldest are finished: the whole device
    // tree of most installations (a few MB of pending records). The file thread's first job
    // waits for the probe folders' listings and their name index, and the first device of
    // an INF costs it many times what the next ones do; meanwhile this thread reads the
    // registry ahead instead of waiting for room.
    static constexpr size_t kInFlight = 4096;
    // Waiting for the oldest record, this thread waits for at most this many jobs at once,
    // so that it finishes records while the file thread runs the later ones.
    static constexpr size_t kFinishBatch = 32;
    // The file thread reads the install files' versions itself while fewer instances than
    // this wait for it (the scan's thread is then the slower), else leaves them to the
    // scan's thread. A few dozen: the file thread's work comes in bursts (a new INF's first
    // device) that a few waiting instances do not yet mean it is the slower. It reads them
    // too while more of its finished instances wait for the scan's thread than instances
    // wait for it: the scan's thread reads the registry far ahead, and is the slower then.
    static constexpr size_t kReadVersionsHereBelow = 64;
    // Set once a stop is seen: the file steps not yet run are skipped, their records being
    // dropped anyway.
    std::atomic<bool> stopping_{false};
    // Instances whose file steps have run (counted on the file thread) and those of them
    // the scan's thread has finished.
    size_t fileStepsRun_ = 0;
    std::atomic<size_t> handedOverFinished_{0};

    void Walk(std::optional<FileStage>& stage);
    void WalkTree();
    std::unique_ptr<Pending> ReadInstance(const std::string& bus, const std::string& device,
                                          const std::string& instance, bool badUsb, bool& busAnnounced,
                                          size_t busDevices);
    void ReadRegistrySteps(Pending& p, const std::string& bus, const std::string& device,
                           const std::string& instance, bool badUsb, bool& busAnnounced, size_t busDevices);
    void ReadLaterRegistrySteps(Pending& p);
    void FinishInstance(Pending& p);
    // Finishes the instances whose file steps are done; past `keep` in flight, waits for
    // the oldest (keep 0: for all of them).
    void Flush(size_t keep);
    // The oldest pending instance can be finished now (never once a stop is requested).
    bool HeadReady();
    // Finishes the oldest pending instance, which must be ready.
    void FinishHead();
    // Hands an instance to the file thread.
    void HandOver(Pending& p);
    void StepAfterPending();
    bool IsLegacyDriver(const std::string& instancePath, const platform::RegistryView::KeyRef& instanceKey);
    bool IsConnected(const std::string& bus, const std::string& instancePath,
                     const platform::RegistryView::KeyRef& instanceKey);
    std::string Text(const std::string& key, const char* value);
    std::string Text(const platform::RegistryView::KeyRef& key, const char* value);
    std::vector<std::string> SubKeys(const std::string& key);

    ScanContext& ctx_;
    ScanObserver& observer_;
    ReportList& rows_;
    DriverDocument document_;
    CommonDeviceTable common_;
    ClassIconSet icons_;
    ScanProgress progress_;
    ScanOptions options_;
    ScanResult result_;
    // One locator for the whole scan: what an INF lists and the probe folders' contents
    // are worked out once and reused for every device.
    std::unique_ptr<inf::InstallFileLocator> locator_;
    bool compareFileRemoved_ = false;
    // The folders each thread read file versions from last, held open during a scan.
    platform::FolderHandles versionFolders_, fileThreadVersionFolders_;
    // The [Version] Signature of each INF the file steps looked at, by its host path (which
    // the installation view keeps in place): devices share INFs.
    std::unordered_map<const std::filesystem::path*, std::string> signatures_;
    FileStage* stage_ = nullptr;  // during the walk, unless options_.fileThread is off
    // During the walk: the class key above every driver key, and the device whose
    // instances are being read, by its path and opened.
    platform::RegistryView::KeyRef classRootKey_, deviceKey_;
    std::string devicePath_;
    // The file thread's first jobs, while this thread opens the document: counting the
    // device tree for the progress bar (this thread waits for it before the walk), then
    // readying the locator (listing the probe folders) rather than in the first device's
    // file steps.
    struct CountJob : FileJob {
        ScanProgress* progress = nullptr;
        cReg* reg = nullptr;
        const ComputerInfo* info = nullptr;
        void Run() override;
    } count_;
    struct PrepareJob : FileJob {
        inf::InstallFileLocator* locator = nullptr;
        void Run() override;
    } prepare_;
    // The file thread's last job: the scan's locator, taken apart while this thread saves.
    struct RetireJob : FileJob {
        std::unique_ptr<inf::InstallFileLocator> locator;
        void Run() override { locator.reset(); }
    } retire_;
    std::deque<std::unique_ptr<Pending>> pending_;
};

}  // namespace vornel
