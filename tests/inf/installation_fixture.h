#pragma once
// A small Windows XP installation in a temporary folder, a driver key pointing at an INF in
// it, and the scan context the locator runs in. Each test runs once with the locator a scan
// keeps (probe folders indexed) and once with the one-call functions (direct probes): the
// two must agree.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "inf/install_files.h"
#include "platform/profile_reader.h"
#include "platform/reg_file_store.h"
#include "platform/system_image.h"
#include "support/error_log.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::test {

constexpr const char* kDriverKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";

class InstallationTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        saved_ = Logger::Instance().DefaultFolder();
        Logger::Instance().SetDefaultFolder(log_.path());
        info_.bNT = true;
        info_.sWinDirUM = info_.sWinDirUNC = "C:\\WINDOWS";
        info_.sWinSysDirUM = info_.sWinSysDirUNC = "C:\\WINDOWS\\system32";
        info_.ProgramPath = "C:\\Program Files";
        const std::string all = "C:\\Documents and Settings\\All Users\\";
        info_.CommStartMenuPath = all + "Start Menu";
        info_.CommStartMenuProgramsPath = info_.CommProgramsPath = all + "Start Menu\\Programs";
        info_.CommStartUpPath = all + "Start Menu\\Programs\\Startup";
        info_.CommDesktopPath = all + "Desktop";
        info_.CommFavorites = all + "Favorites";
        info_.CommAppDataPath = all + "Application Data";
        info_.CommTemplates = all + "Templates";
        info_.CommPersonalPath = all + "Documents";
        std::filesystem::create_directories(Root() / "WINDOWS" / "system32" / "drivers");
        std::filesystem::create_directories(Root() / "WINDOWS" / "Inf");
    }
    void TearDown() override { Logger::Instance().SetDefaultFolder(saved_); }

    std::filesystem::path Root() const { return dir_.path() / "root"; }
    // A file of the installation by its Windows path below C:\ ("WINDOWS\Inf\oem3.inf").
    void Put(const std::string& windowsRel, std::string_view bytes = "MZ") {
        dir_.Write("root/" + text::ReplaceAll(windowsRel, "\\", "/"), bytes);
    }
    // The driver key's values, as .reg lines.
    void Key(const std::string& values) { keyValues_ = values; }

    // Builds the context over the tree as it is now (the view lists folders once); the
    // locator lives until the next call.
    ScanContext& Context() {
        auto store = std::make_shared<platform::RegFileStore>();
        std::string error;
        const std::string reg =
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n"
            "\"Current\"=dword:00000001\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001" +
            std::string(kDriverKey).substr(std::string("SYSTEM\\CurrentControlSet").size()) +
            "]\r\n" + keyValues_;
        EXPECT_TRUE(store->Import(reg, "machine.reg", &error)) << error;
        view_ = std::make_unique<platform::RegistryView>();
        view_->Mount("", store);
        reg_ = std::make_unique<cReg>(*view_);
        image_ = std::make_unique<platform::SystemImage>(Root());
        profiles_.StartScan();  // tests rewrite INF files between runs
        ctx_ = std::make_unique<ScanContext>(ScanContext{*reg_, info_, image_.get(), profiles_});
        locator_ = std::make_unique<inf::InstallFileLocator>(*ctx_, true);
        return *ctx_;
    }
    // The install-file step for the driver key, the way the parameter chooses.
    bool Locate(DriverRecord& r) {
        r.RegDriverInstance = kDriverKey;
        ScanContext& ctx = Context();
        return GetParam() ? locator_->p_GetInfInstallFiles(r) : p_GetInfInstallFiles(ctx, r);
    }
    // One search with the context built last (built now when there is none).
    std::string Find(const std::string& name, DriverRecord& r) {
        if (!ctx_) Context();
        return GetParam() ? locator_->Search().p_ManualInfDriverFileSearch(name, r)
                          : p_ManualInfDriverFileSearch(*ctx_, name, r);
    }
    size_t LogRecords() const {
        return text::Split(ReadFile(log_.path() / "vn_log.txt"), "Module: ").size() - 1;
    }

    TempDir dir_, log_;
    ComputerInfo info_;
    platform::ProfileReader profiles_;
    std::string keyValues_;
    std::unique_ptr<platform::RegistryView> view_;
    std::unique_ptr<cReg> reg_;
    std::unique_ptr<platform::SystemImage> image_;
    std::unique_ptr<ScanContext> ctx_;
    std::unique_ptr<inf::InstallFileLocator> locator_;
    std::filesystem::path saved_;
};

}  // namespace vornel::test
