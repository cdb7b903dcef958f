#include <gtest/gtest.h>

#include "platform/profile_reader.h"
#include "platform/reg_file_store.h"
#include "platform/settings_store.h"
#include "support/error_log.h"
#include "support/text.h"
#include "sysinfo/collector.h"
#include "test_support.h"

namespace vornel {
namespace {

// An installation's registry given as .reg text, plus the program's settings store.
class Installation {
public:
    explicit Installation(const std::string& reg) {
        auto store = std::make_shared<platform::RegFileStore>();
        std::string error;
        ok_ = store->Import("REGEDIT4\r\n" + reg, "install.reg", &error);
        EXPECT_TRUE(ok_) << error;
        store->SetWritable(false);
        view_.Mount("", store);
        platform::MountSettings(view_, std::make_shared<platform::SettingsStore>(dir_.path() / "settings.reg"), "S-1-5-21-9");
        Logger::Instance().SetDefaultFolder(dir_.path());
    }
    ~Installation() { Logger::Instance().SetDefaultFolder({}); }

    ComputerInfo Collect(int* status = nullptr) {
        cReg reg(view_);
        CollectorContext ctx{reg, [this](std::string_view p) -> std::optional<std::filesystem::path> {
                                 // The installation's C: drive is the folder "c" here.
                                 if (p.size() < 3 || !text::IStartsWith(p, "C:\\")) return std::nullopt;
                                 auto host = dir_.path() / "c" / text::ReplaceAll(text::LowerAscii(p.substr(3)), "\\", "/");
                                 if (!std::filesystem::exists(host)) return std::nullopt;
                                 return host;
                             },
                             &profiles_, dir_.path() / "tmp", "S-1-5-21-9", "tester"};
        profiles_.StartScan();
        ComputerInfo info;
        const int st = CollectComputerInfo(info, ctx);
        if (status) *status = st;
        return info;
    }
    std::string Log() const { return test::ReadFile(dir_.path() / "vn_log.txt"); }
    const test::TempDir& dir() const { return dir_; }

private:
    test::TempDir dir_;
    platform::RegistryView view_;
    platform::ProfileReader profiles_;
    bool ok_ = false;
};

std::string NtSystem(const std::string& name = "DESKTOP1") {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:1\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\Root]\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName]\r\n"
           "\"ComputerName\"=\"" + name + "\"\r\n";
}

std::string NtVersion(const std::string& version, const std::string& build, const std::string& extra = {}) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
           "\"CurrentVersion\"=\"" + version + "\"\r\n\"CurrentBuildNumber\"=\"" + build + "\"\r\n" + extra;
}

ComputerInfo With9xVersion(const std::string& v) {
    Installation inst("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:1\r\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName]\r\n"
                      "\"ComputerName\"=\"OLDBOX\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n\"VersionNumber\"=\"" + v + "\"\r\n");
    return inst.Collect();
}

TEST(PlatformDetection, KernelVersionsOfTheNineXFamily) {
    ComputerInfo i = With9xVersion("4.0.950");
    EXPECT_TRUE(i.bWin95 && i.bWin9x);
    EXPECT_EQ(i.sExt, ".bat");
    EXPECT_EQ(i.sProductName, "Microsoft Windows 95");
    i = With9xVersion("4.0.1381");
    EXPECT_TRUE(i.bNT4 && i.bNT && i.bWin9x);
    EXPECT_EQ(i.sExt, ".cmd");
    i = With9xVersion("4.10.2222");
    EXPECT_TRUE(i.bWin98SE);
    EXPECT_FALSE(i.bWin98);
    i = With9xVersion("4.10.0.2222");  // third part 0: the build is the fourth
    EXPECT_TRUE(i.bWin98SE);
    i = With9xVersion("4.90.3000");
    EXPECT_TRUE(i.bWinMe);
    EXPECT_EQ(i.sProductName, "Microsoft Windows ME");
    i = With9xVersion("4.3.1");
    EXPECT_TRUE(i.bWin95OSR2);
}

TEST(PlatformDetection, XpAndServer2003) {
    Installation xp(NtSystem() + NtVersion("5.1", "2600", "\"CSDVersion\"=\"Service Pack 3\"\r\n\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n"));
    ComputerInfo i = xp.Collect();
    EXPECT_TRUE(i.bNT && i.bWhistler);
    EXPECT_FALSE(i.bWhistlerPro);  // no DigitalProductId bytes: left clear
    EXPECT_EQ(i.sOSVersion, "5.1.2600");
    EXPECT_EQ(i.iServicePack, 3);
    EXPECT_EQ(i.sProductName, "Microsoft Windows XP Home Edition");
    EXPECT_EQ(i.sWinSysDirUNC, "C:\\WINDOWS\\system32");

    Installation srv(NtSystem() + NtVersion("5.2", "3790", "\"ProductName\"=\"Microsoft Windows Server 2003 R2\"\r\n") +
                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ProductOptions]\r\n"
                     "\"ProductType\"=\"ServerNT\"\r\n\"ProductSuite\"=hex(7):45,6e,74,65,72,70,72,69,73,65,00,00\r\n");
    i = srv.Collect();
    EXPECT_TRUE(i.bWin2003 && i.bNTServer && i.bWin2003R2 && i.bWin2003EE);
}

TEST(PlatformDetection, VistaEditionsAndLaterWindowsJoinTheFamily) {
    Installation vista(NtSystem() + NtVersion("6.0", "6002", "\"EditionID\"=\"HomePremium\"\r\n"));
    ComputerInfo i = vista.Collect();
    EXPECT_TRUE(i.bVista && i.bVistaHomePremium);
    EXPECT_FALSE(i.bServer2008);
    EXPECT_EQ(i.sProductName, "");

    Installation s2008(NtSystem() + NtVersion("6.0", "6001", "\"EditionID\"=\"ServerDatacenter\"\r\n"));
    i = s2008.Collect();
    EXPECT_TRUE(i.bServer2008 && i.bServer2008Datacenter);
    EXPECT_FALSE(i.bVista);

    // Windows 7 and 10: the family flag alone, no edition flag.
    Installation win7(NtSystem() + NtVersion("6.1", "7601", "\"EditionID\"=\"Professional\"\r\n"));
    i = win7.Collect();
    EXPECT_TRUE(i.bVista);
    EXPECT_FALSE(i.bVistaHomePremium || i.bVistaUltimate || i.bVistaEnterprise || i.bServer2008);
    EXPECT_TRUE(i.VistaFamily());

    Installation win10srv(NtSystem() + NtVersion("6.3", "17763", "\"EditionID\"=\"ServerStandard\"\r\n") +
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\ProductOptions]\r\n\"ProductType\"=\"ServerNT\"\r\n");
    i = win10srv.Collect();
    EXPECT_TRUE(i.bServer2008);
    EXPECT_FALSE(i.bVista || i.bServer2008Standard);
}

TEST(Collector, MissingKernelVersionIsReportedOnceAndTheRestIsFilled) {
    Installation inst(NtSystem("WORKPC"));
    int status = -1;
    ComputerInfo i = inst.Collect(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(i.sComputerName, "WORKPC");
    EXPECT_TRUE(i.bNT);
    EXPECT_EQ(i.sCrntCntrlSetKey, "SYSTEM\\ControlSet001");
    EXPECT_EQ(i.CurSID, "S-1-5-21-9\\");
    const std::string log = inst.Log();
    size_t count = 0;
    for (size_t p = log.find("QRT_KERNEL32_VER_FAILURE"); p != std::string::npos; p = log.find("QRT_KERNEL32_VER_FAILURE", p + 1))
        ++count;
    EXPECT_EQ(count, 1u) << log;
    EXPECT_NE(log.find("Routine: p_GetOSPlatform"), std::string::npos);
    EXPECT_EQ(i.sComputerID.size(), 32u);
}

TEST(Collector, NoComputerNameEndsTheCollection) {
    Installation inst("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:1\r\n");
    int status = 0;
    inst.Collect(&status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(inst.Log().find("Routine: p_LocalComputerName"), std::string::npos);
}

TEST(Collector, StoredUuidKeepsTheComputerIdAcrossRuns) {
    Installation inst(NtSystem());
    const std::string first = inst.Collect().sComputerID;
    EXPECT_EQ(inst.Collect().sComputerID, first);
    Installation other(NtSystem());  // other settings: another UUID
    EXPECT_NE(other.Collect().sComputerID, first);
}

TEST(Collector, MakerModelFoldersAndProcessor) {
    Installation inst(NtSystem() + NtVersion("5.1", "2600") +
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
                      "\"ProgramFilesDir\"=\"D:\\\\Programs\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\OemInfo]\r\n"
                      "\"Manufacturer\"=\"Acme\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders]\r\n"
                      "\"Common AppData\"=hex(2):25,41,4c,4c,55,53,45,52,53,50,52,4f,46,49,4c,45,25,5c,41,00\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList]\r\n"
                      "\"ProfilesDirectory\"=hex(2):25,53,79,73,74,65,6d,44,72,69,76,65,25,5c,44,00\r\n"
                      "\"AllUsersProfile\"=\"All Users\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0]\r\n"
                      "\"ProcessorNameString\"=\"  Fast CPU  \"\r\n\"~MHz\"=dword:00000186\r\n\"Identifier\"=\"x64 Family 6\"\r\n");
    inst.dir().Write("c/windows/system32/oeminfo.ini", "[General]\r\nManufacturer=Other\r\nModel=X1\r\n");
    ComputerInfo i = inst.Collect();
    EXPECT_EQ(i.sComputerOEM, "Acme");  // the registry comes first
    EXPECT_EQ(i.sComputerModel, "");    // "X1" is too short to be taken
    EXPECT_EQ(i.ProgramPath, "D:\\Programs");
    EXPECT_EQ(i.CommAppDataPath, "C:\\D\\All Users\\A");
    EXPECT_EQ(i.sProcDesc, "Fast CPU");
    EXPECT_EQ(i.lProcessorSpeed, 390);
    EXPECT_TRUE(i.bBeefy && i.bIsx64);

    inst.dir().Write("c/windows/system32/oeminfo.ini", "[General]\r\nModel=Tower 3\r\n");
    EXPECT_EQ(inst.Collect().sComputerModel, "Tower 3");
}

TEST(InfoDump, PrintsEveryFieldBySection) {
    ComputerInfo i;
    i.sComputerName = "PC";
    i.bVista = true;
    i.lHLM = 0x80000002u;
    const std::string t = ComputerInfoText(i);
    EXPECT_NE(t.find("[Identity]\n"), std::string::npos);
    EXPECT_NE(t.find("sComputerName=PC\n"), std::string::npos);
    EXPECT_NE(t.find("bVista=True\n"), std::string::npos);
    EXPECT_NE(t.find("lHLM=&H80000002\n"), std::string::npos);
    EXPECT_NE(t.find("CommAppDataPath=\n"), std::string::npos);
}

}  // namespace
}  // namespace vornel
