#pragma once
// An installation to scan in a test: a root folder with a Windows folder (INF and driver
// files written by the test) and a registry given as .reg text, served as a .reg store or
// as hive files built from it.
#include <memory>
#include <string>
#include <vector>

#include "platform/profile_reader.h"
#include "platform/registry_view.h"
#include "platform/system_image.h"
#include "scan/device_scan.h"
#include "store_factory.h"
#include "support/creg.h"
#include "sysinfo/computer_info.h"
#include "test_support.h"

namespace vornel::test {

// Collects what a scan reports.
struct RecordingObserver : ScanObserver {
    std::vector<std::string> lines;
    std::vector<float> progress;
    std::map<SummaryText, std::string> summary;
    int stopAfterRows = -1;  // request a stop once this many rows were added
    int rowsAdded = 0;
    void OnProgress(float v) override { progress.push_back(v); }
    void OnSummary(SummaryText w, const std::string& t) override { summary[w] = t; }
    void OnLogLine(const std::string& l, bool) override { lines.push_back(l); }
    void OnRowAdded(const ReportRow&) override { ++rowsAdded; }
    bool StopRequested() override { return stopAfterRows >= 0 && rowsAdded >= stopAfterRows; }
};

class ScanFixture {
public:
    // `systemReg`: .reg lines below "[HKEY_LOCAL_MACHINE\SYSTEM\..." (header added here);
    // `softwareReg` likewise for SOFTWARE (may be empty).
    ScanFixture(StoreKind kind, const std::string& systemReg, const std::string& softwareReg = {});
    ~ScanFixture();

    ComputerInfo& Info() { return info_; }
    const TempDir& Dir() const { return dir_; }
    // Writes a file of the installation by its Windows path below C:\.
    void WriteFile(const std::string& windowsPath, std::string_view bytes);
    ScanResult Scan(RecordingObserver& observer);
    ScanResult Scan() {
        RecordingObserver o;
        return Scan(o);
    }
    const ReportList& Rows() const { return rows_; }
    std::vector<DriverRecord> Records();
    DriverRecord Record(const std::string& key);
    std::string Log() const;
    std::filesystem::path DocumentFile() const { return dir_.path() / "out" / "mid_TESTPC.vlx"; }

private:
    TempDir dir_;
    platform::RegistryView view_;
    std::unique_ptr<cReg> reg_;
    std::unique_ptr<platform::SystemImage> image_;
    platform::ProfileReader profiles_;
    ComputerInfo info_;
    ReportList rows_;
};

}  // namespace vornel::test
