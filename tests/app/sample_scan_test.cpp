// End to end: the bundled sample installations scanned as the command scans them, from
// their hives and from their .reg sources, checked against what samples/README.md says
// of them.
#include <gtest/gtest.h>

#include "app/installation.h"
#include "scan/device_scan.h"
#include "support/error_log.h"
#include "test_support.h"
#include "xml/driver_document.h"

namespace vornel::test {
namespace {

namespace fs = std::filesystem;

struct Scanned {
    ScanResult result;
    std::vector<DriverRecord> records;
    std::vector<std::string> lines;  // the scan log's lines and progress, in order
    std::string errorLog;            // the run's error log, without its dated head
};

// Everything a scan tells its observer that must not depend on threads.
class Recorder : public ScanObserver {
public:
    explicit Recorder(std::vector<std::string>& lines) : lines_(lines) {}
    void OnLogLine(const std::string& line, bool) override { lines_.push_back(line); }
    void OnProgress(float value) override { lines_.push_back("progress " + std::to_string(value)); }
    void OnRowAdded(const ReportRow& row) override { lines_.push_back("row " + row.tag); }

private:
    std::vector<std::string>& lines_;
};

Scanned ScanSample(const std::string& name, bool fromRegSources, const fs::path& out, bool fileThread = true) {
    Scanned s;
    app::InstallationSources src;
    src.root = (fs::path(VORNEL_BINARY_DIR) / "samples" / name).string();
    if (fromRegSources) {
        src.rootHives = false;
        src.regs.push_back((fs::path(VORNEL_BINARY_DIR) / "samples" / (name + ".reg")).string());
    }
    src.settingsFile = out.parent_path() / "settings.reg";
    app::Installation inst;
    std::string why;
    std::vector<std::string> warnings;
    if (!inst.Open(src, &why, &warnings)) {
        ADD_FAILURE() << why;  // e.g. the samples were not built
        return s;
    }
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(inst.CollectStatus(), 0);
    ScanContext ctx{inst.Reg(), inst.Info(), inst.Image(), inst.Profiles()};
    // The run's log in a folder of this test's own: parallel test processes share the
    // program's temporary folder.
    Logger::Instance().SetDefaultFolder(out.parent_path());
    std::error_code ec;
    fs::remove(Logger::Instance().DefaultFile(), ec);
    Recorder recorder(s.lines);
    ReportList rows;
    DeviceScan scan(ctx, recorder, rows);
    s.result = scan.mP_InitializeDrivers(
        {out, fs::path(VORNEL_SOURCE_DIR) / "data" / "common.dat", out.parent_path(), fileThread});
    const std::string log = ReadFile(Logger::Instance().DefaultFile());
    s.errorLog = log.substr(std::min(log.size(), log.find("\r\n\r\n")));
    std::string error;
    EXPECT_TRUE(ReadDriverDocument(out, s.records, error)) << error;
    return s;
}

const DriverRecord* ByDeviceId(const std::vector<DriverRecord>& records, const std::string& id) {
    for (const auto& r : records)
        if (r.DeviceID == id) return &r;
    ADD_FAILURE() << "no record of " << id;
    return nullptr;
}

const DriverRecord* ByDriverDesc(const std::vector<DriverRecord>& records, const std::string& desc) {
    for (const auto& r : records)
        if (r.DriverDesc == desc) return &r;
    ADD_FAILURE() << "no record of " << desc;
    return nullptr;
}

class SampleScan : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleScan, HivesAndRegSourcesGiveTheSameDocument) {
    TempDir dir;
    const Scanned hives = ScanSample(GetParam(), false, dir.path() / "hives.vlx");
    const Scanned regs = ScanSample(GetParam(), true, dir.path() / "regs.vlx");
    ASSERT_TRUE(hives.result.completed) << hives.result.error;
    ASSERT_TRUE(regs.result.completed) << regs.result.error;
    ASSERT_EQ(hives.records.size(), regs.records.size());
    ASSERT_GT(hives.records.size(), 40u);
    for (size_t i = 0; i < hives.records.size(); ++i) {
        DriverRecord a = hives.records[i], b = regs.records[i];
        a.XMLIgnition = b.XMLIgnition = {};  // times of writing
        EXPECT_EQ(a, b) << a.XMLIdx;
    }
}

// The file steps on a thread of their own change nothing a user sees: the same document,
// the same lines in the same order, the same error log.
TEST_P(SampleScan, OneThreadGivesTheSameScan) {
    TempDir dir;
    const Scanned two = ScanSample(GetParam(), false, dir.path() / "two.vlx", true);
    const Scanned one = ScanSample(GetParam(), false, dir.path() / "one.vlx", false);
    ASSERT_TRUE(two.result.completed && one.result.completed);
    ASSERT_EQ(two.records.size(), one.records.size());
    for (size_t i = 0; i < one.records.size(); ++i) {
        DriverRecord a = two.records[i], b = one.records[i];
        a.XMLIgnition = b.XMLIgnition = {};
        EXPECT_EQ(a, b) << a.XMLIdx;
    }
    EXPECT_EQ(two.lines, one.lines);
    // The XP sample logs a fault of the file steps (an INF that is not there).
    if (GetParam() == "xp-desktop") {
        EXPECT_NE(one.errorLog.find("Routine: p_GetInfInstallFiles"), std::string::npos);
    }
    EXPECT_EQ(two.errorLog, one.errorLog);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleScan, ::testing::Values("xp-desktop", "vista-laptop"),
                         [](const auto& info) { return info.param == "xp-desktop" ? "Xp" : "Vista"; });

TEST(SampleRecords, XpDesktopAsItsReadmeDescribes) {
    TempDir dir;
    const Scanned s = ScanSample("xp-desktop", false, dir.path() / "xp.vlx");
    ASSERT_TRUE(s.result.completed);
    EXPECT_EQ(s.records.size(), 63u);
    EXPECT_EQ(s.result.unidentified, 4);
    if (auto* r = ByDeviceId(s.records, "PCI\\VEN_1C4A&DEV_8110&SUBSYS_81101C4A&REV_02\\4&1a2f3e4d&0&00E1")) {
        EXPECT_EQ(r->Version, "5.720.915.2008");
        EXPECT_EQ(r->FileDate, "09/15/2008");
        EXPECT_EQ(r->Versioning1, 0);
        EXPECT_EQ(r->Versioning2, 0);
        EXPECT_EQ(r->NumInstallFiles, 5);
    }
    if (auto* r = ByDeviceId(s.records, "USB\\Vid_2c7e&Pid_0101\\5&2a9b8c7d&0&4")) {
        EXPECT_EQ(r->Version, "6.1.10.0");  // numbers: 6.1.10.0 over 6.1.9.4
        EXPECT_EQ(r->FileDate, "08/19/2008");
        EXPECT_EQ(r->Versioning1, 2);
        EXPECT_EQ(r->DriverDateDerivedFile, "C:\\WINDOWS\\system32\\bvcamui.dll");
        EXPECT_FALSE(r->IsDeviceConnected);
    }
    if (auto* r = ByDeviceId(s.records, "Root\\MEDIA\\0000")) {
        EXPECT_EQ(r->InfFile, "C:\\WINDOWS\\Inf\\Other\\aurjoy.inf");
        EXPECT_EQ(r->ParseMethod, 2);
        EXPECT_EQ(r->Versioning1, 1);
        EXPECT_EQ(r->Versioning2, 2);
    }
    if (auto* r = ByDeviceId(s.records, "ACPI\\PNP0501\\1")) {
        EXPECT_EQ(r->NumDeviceInstances, 2);
    }
    if (auto* r = ByDeviceId(s.records, "USB\\VID_0000&PID_0000\\5&2a9b8c7d&0&3")) {
        EXPECT_TRUE(r->IsBadUSBEnumeration);
        EXPECT_EQ(r->DriverAddendum, "This device is not functioning.");
    }
    if (auto* r = ByDeviceId(s.records, "Root\\NET\\0000")) {
        EXPECT_EQ(r->DriverAddendum, "WARNING: This driver cannot be saved. The INF file can not be located: oem9.inf");
    }
    if (auto* r = ByDriverDesc(s.records, "Castellan LW-4500 PCL6")) {
        EXPECT_EQ(r->Version, "3.2.0.114");
        EXPECT_EQ(r->FileDate, "05/14/2007");
        EXPECT_EQ(r->Versioning1, 4);
    }
}

TEST(SampleRecords, VistaLaptopAsItsReadmeDescribes) {
    TempDir dir;
    const Scanned s = ScanSample("vista-laptop", false, dir.path() / "vista.vlx");
    ASSERT_TRUE(s.result.completed);
    if (auto* r = ByDeviceId(s.records, "ACPI\\TCT0102\\4&2f5c9a31&0")) {
        EXPECT_EQ(r->DeviceDesc, "Tactis TouchPad");  // the text after ";"
        EXPECT_EQ(r->Manufacturer, "Tactis");
        EXPECT_EQ(r->Version, "10.1.8.0");
    }
    if (auto* r = ByDeviceId(s.records, "USB\\VID_147E&PID_2016\\5&3b1c9e57&0&4")) {
        EXPECT_EQ(r->Version, "3.0.2.21");
        EXPECT_EQ(r->DriverDateDerivedFile, "");
        EXPECT_EQ(r->Type, "Biometric Devices");
    }
    if (auto* r = ByDeviceId(s.records, "PCI\\VEN_1D9E&DEV_0822&SUBSYS_30A1171A&REV_21\\4&2c7f1a9b&0&01E1")) {
        EXPECT_EQ(r->Type, "SD Host adapters");
    }
}

}  // namespace
}  // namespace vornel::test
