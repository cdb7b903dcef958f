#include "scan_fixture.h"

#include <gtest/gtest.h>

#include "support/error_log.h"
#include "support/text.h"
#include "xml/driver_document.h"

namespace vornel::test {

namespace fs = std::filesystem;

ScanFixture::ScanFixture(StoreKind kind, const std::string& systemReg, const std::string& softwareReg) {
    fs::create_directories(dir_.path() / "root" / "WINDOWS" / "inf");
    fs::create_directories(dir_.path() / "root" / "WINDOWS" / "system32" / "drivers");
    fs::create_directories(dir_.path() / "out");
    std::string error;
    const std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n" + systemReg + "\r\n" + softwareReg;
    auto system = MakeStore(kind, reg, "HKEY_LOCAL_MACHINE\\SYSTEM", dir_.path(), &error);
    EXPECT_TRUE(system) << error;
    if (kind == StoreKind::kHive) {
        view_.Mount("HKEY_LOCAL_MACHINE\\SYSTEM", system);
        if (!softwareReg.empty()) {
            auto software = MakeStore(kind, reg, "HKEY_LOCAL_MACHINE\\SOFTWARE", dir_.path(), &error);
            EXPECT_TRUE(software) << error;
            view_.Mount("HKEY_LOCAL_MACHINE\\SOFTWARE", software);
        }
    } else {
        view_.Mount("", system);
    }
    reg_ = std::make_unique<cReg>(view_);
    image_ = std::make_unique<platform::SystemImage>(dir_.path() / "root");
    info_.bNT = true;
    info_.sComputerName = "TESTPC";
    info_.sWinDirUM = info_.sWinDirUNC = "C:\\WINDOWS";
    info_.sWinSysDirUM = info_.sWinSysDirUNC = "C:\\WINDOWS\\system32";
    info_.ProgramPath = "C:\\Program Files";
    Logger::Instance().SetDefaultFolder(dir_.path());
}

ScanFixture::~ScanFixture() { Logger::Instance().SetDefaultFolder({}); }

void ScanFixture::WriteFile(const std::string& windowsPath, std::string_view bytes) {
    std::string rel = windowsPath.substr(3);  // below "C:\"
    dir_.Write("root/" + text::ReplaceAll(rel, "\\", "/"), bytes);
}

ScanResult ScanFixture::Scan(RecordingObserver& observer) {
    ScanContext ctx{*reg_, info_, image_.get(), profiles_};
    DeviceScan scan(ctx, observer, rows_);
    return scan.mP_InitializeDrivers(
        {DocumentFile(), fs::path(VORNEL_SOURCE_DIR) / "data" / "common.dat", dir_.path() / "out"});
}

std::vector<DriverRecord> ScanFixture::Records() {
    std::vector<DriverRecord> records;
    std::string error;
    EXPECT_TRUE(ReadDriverDocument(DocumentFile(), records, error)) << error;
    return records;
}

DriverRecord ScanFixture::Record(const std::string& key) {
    for (auto& r : Records())
        if (r.XMLIdx == key) return r;
    ADD_FAILURE() << "no record " << key;
    return {};
}

std::string ScanFixture::Log() const { return ReadFile(dir_.path() / "vn_log.txt"); }

}  // namespace vornel::test
