#pragma once
// The device scan: walks the registry's device tree bus by bus, device by device and
// instance by instance, builds one driver record per kept instance, writes each new record
// into the driver document and adds it as a report row; printers follow.
#include <filesystem>
#include <memory>
#include <string>

#include "scan/class_icons.h"
#include "scan/common_devices.h"
#include "scan/driver_record.h"
#include "scan/report_rows.h"
#include "scan/scan_context.h"
#include "scan/scan_observer.h"
#include "scan/scan_progress.h"
#include "xml/driver_document.h"

namespace vornel {

namespace inf {
class InstallFileLocator;
}

struct ScanOptions {
    std::filesystem::path documentFile;    // the driver document to write
    std::filesystem::path commonDataFile;  // common.dat
    std::filesystem::path tempFolder;      // the program's private temporary folder
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
    // `present` is whether this instance is connected.
    void AddRecord(DriverRecord& record, bool toBeAdded);

    DriverDocument& Document() { return document_; }
    ScanProgress& Progress() { return progress_; }
    ScanObserver& Observer() { return observer_; }
    ScanContext& Context() { return ctx_; }
    // mP_AddRecordStats: a scan-log line (and status text unless noStatus).
    void mP_AddRecordStats(const std::string& line, bool noStatus = false);
    // One progress step and the percentage text.
    void Step();

private:
    void Walk();
    void ScanInstance(const std::string& bus, const std::string& device, const std::string& instance,
                      bool badUsb, bool& busAnnounced, size_t busDevices);
    bool IsLegacyDriver(const std::string& instancePath);
    bool IsConnected(const std::string& bus, const std::string& instancePath, const std::string& deviceId);
    std::string Text(const std::string& key, const char* value);
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
};

}  // namespace vornel
