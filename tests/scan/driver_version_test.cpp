// Driver version and date: DriverVer lines of real INF files, install files with real
// modification times and version resources, the driver key as the last resort, and the
// registry facts gathered for the details view.
#include "scan/driver_version.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "pe_builder.h"
#include "platform/folder_handles.h"
#include "platform/profile_reader.h"
#include "platform/reg_file_store.h"
#include "platform/system_image.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel {
namespace {

constexpr const char* kDriverKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\0000";
constexpr const char* kInstanceKey = "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_8086&DEV_2A42\\3&21436425&0&10";
constexpr const char* kInf = "C:\\WINDOWS\\inf\\oem7.inf";

// 2004-01-01 12:00, 2005-06-30 01:00 and 23:30, 2006-03-01 10:00, all UTC.
constexpr std::time_t k2004 = 1072958400, k2005Early = 1120093200, k2005Late = 1120174200, k2006 = 1141207200;

const char* kRegistry =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\0000]\r\n"
    "\"DriverDate\"=\"6-21-2006\"\r\n"
    "\"DriverVersion\"=\"6.0.6000.16386\"\r\n"
    "\"Ver\"=\"4.10.2222\"\r\n"
    "\"Provider\"=\"Acme\"\r\n"
    "\"OEM URL\"=\"\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_2A42\\3&21436425&0&10]\r\n"
    "\"UINumber\"=dword:00000010\r\n"  // written after Capabilities although read before it
    "\"Capabilities\"=dword:00000006\r\n"
    "\"Class\"=\"Display\"\r\n"
    "\"DeviceID\"=\"ignored\"\r\n"
    // "A", "B\x10C": a multi-string with a control character to remove.
    "\"HardwareID\"=hex(7):41,00,00,00,42,00,10,00,43,00,00,00,00,00\r\n"
    "\"CompatibleIDs\"=hex(7):00,00\r\n"
    "\"DeviceDesc\"=\"@oem7.inf,%desc%;Mobile Graphics\"\r\n"
    // "In\x14tel": the other control character to remove.
    "\"Mfg\"=hex(1):49,00,6e,00,14,00,74,00,65,00,6c,00,00,00\r\n"
    "\"UpperFilters\"=hex(7):66,00,31,00,00,00,66,00,32,00,00,00,00,00\r\n";

class DriverVersionTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto store = std::make_shared<platform::RegFileStore>();
        std::string error;
        ASSERT_TRUE(store->Import(kRegistry, "machine.reg", &error)) << error;
        store->SetWritable(false);
        view_.Mount("", store);
        std::filesystem::create_directories(dir_.path() / "root" / "WINDOWS" / "inf");
        image_ = std::make_unique<platform::SystemImage>(dir_.path() / "root");
        info_.bNT = true;
        record_.InfFile = kInf;
        record_.RegDriverInstance = kDriverKey;
        record_.DeviceInstanceId = kInstanceKey;
    }

    // A file of the installation with the given modification time; returns its Windows path.
    std::string File(const std::string& windowsRel, std::string_view bytes, std::time_t modified = k2006) {
        const auto host = dir_.Write("root/WINDOWS/" + text::ReplaceAll(windowsRel, "\\", "/"), bytes);
        const timespec times[2] = {{modified, 0}, {modified, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
        return "C:\\WINDOWS\\" + windowsRel;
    }
    void Inf(std::string_view body, std::time_t modified = k2006) { File("inf\\oem7.inf", body, modified); }
    void Files(std::initializer_list<std::string> paths) {
        record_.InfInstallFiles.clear();
        for (const auto& p : paths) record_.InfInstallFiles += (record_.InfInstallFiles.empty() ? "" : "|") + p;
    }
    DriverRecord Run(bool withImage = true) {
        ScanContext ctx{reg_, info_, withImage ? image_.get() : nullptr, profiles_};
        DriverRecord r = record_;
        profiles_.StartScan();  // an INF rewritten by the test is read again
        p_GetDriverVersion(ctx, r);
        // A scan leaves the file versions to its own thread: the answer must be the same.
        DriverRecord split = record_;
        DeferredVersions later;
        const DriverKeyDates keyDates = ReadDriverKeyDates(ctx, split);
        p_GetDriverVersion(ctx, split, keyDates, later);
        // Read afresh, through folders held open as the scan's threads read them.
        FileVersions versions;
        platform::FolderHandles folders;
        FinishDriverVersion(versions, &folders, split, keyDates, later);
        EXPECT_EQ(split.Version, r.Version);
        EXPECT_EQ(split.Versioning2, r.Versioning2);
        EXPECT_EQ(split.FileDate, r.FileDate);
        EXPECT_EQ(split.Versioning1, r.Versioning1);
        EXPECT_EQ(split.DriverDateDerivedFile, r.DriverDateDerivedFile);
        return r;
    }

    test::TempDir dir_;
    platform::RegistryView view_;
    cReg reg_{view_};
    ComputerInfo info_;
    platform::ProfileReader profiles_;
    std::unique_ptr<platform::SystemImage> image_;
    DriverRecord record_;
};

TEST_F(DriverVersionTest, DriverVerOfTheInstallSectionComesFirst) {
    Inf("[Version]\r\nDriverVer=01/01/1999,1.0\r\n"
        "[Gfx_Install.NTx86]\r\nDriverVer = 07/01/2001, 5.1.2535.0 ; built by the lab\r\n");
    record_.InfSection = "Gfx_Install";
    record_.InfSectionExt = ".NTx86";
    DriverRecord r = Run();
    EXPECT_EQ(r.FileDate, "07/01/2001");
    EXPECT_EQ(r.Version, "5.1.2535.0");
    EXPECT_EQ(r.Versioning1, 0);
    EXPECT_EQ(r.Versioning2, 0);

    // Without the extension the section holds no DriverVer: [Version] answers, code 1, and
    // a date written M/D/YYYY comes out in the one date form.
    Inf("[Version]\r\nDriverVer=7/1/2001,1.0\r\n[Gfx_Install]\r\nCopyFiles=x\r\n", k2006 + 10);
    record_.InfSectionExt.clear();
    r = Run();
    EXPECT_EQ(r.FileDate, "07/01/2001");
    EXPECT_EQ(r.Version, "1.0");
    EXPECT_EQ(r.Versioning1, 1);
    EXPECT_EQ(r.Versioning2, 1);
}

TEST_F(DriverVersionTest, ADateOnlyDriverVerLeavesTheVersionToTheHighestFileVersion) {
    Inf("[Version]\r\nDriverVer=07/01/2001\r\n");
    // 5.1.10 before 5.1.9: a comparison of the components as text would keep 5.1.9. A file
    // without a version resource and a missing file have nothing to offer.
    Files({File("system32\\plain.dll", test::PeWithoutVersion()), "C:\\WINDOWS\\system32\\gone.sys",
           File("system32\\drivers\\gfx.sys", test::PeWithVersion({5, 1, 10, 0})),
           File("system32\\gfxui.dll", test::PeWithVersion({5, 1, 9, 0}))});
    const DriverRecord r = Run();
    EXPECT_EQ(r.FileDate, "07/01/2001");
    EXPECT_EQ(r.Versioning1, 1);
    EXPECT_EQ(r.Version, "5.1.10.0");
    EXPECT_EQ(r.Versioning2, 2);
}

TEST_F(DriverVersionTest, TheNewestInstallFileGivesTheDate) {
    Inf("[Version]\r\nDriverVer=0\r\nSignature=\"$Windows NT$\"\r\n");  // too short: absent
    // Written before the first look: the installation's folders are listed once.
    const std::string a = File("system32\\a.sys", "a", k2004), b = File("system32\\b.sys", "b", k2005Early),
                      c = File("system32\\c.sys", "c", k2005Late),
                      d = File("system32\\d.sys", "d", k2005Late - 181 * 86400);
    Files({"C:\\WINDOWS\\system32\\missing.sys", a, b, c});
    DriverRecord r = Run();
    EXPECT_EQ(r.FileDate, "06/30/2005");
    EXPECT_EQ(r.Versioning1, 2);
    // c is later in the day but not on a later date: b stays the source.
    EXPECT_EQ(r.DriverDateDerivedFile, b);

    // The first file readable is the newest: it is the choice, and names no source.
    Files({c, a});
    r = Run();
    EXPECT_EQ(r.FileDate, "06/30/2005");
    EXPECT_EQ(r.DriverDateDerivedFile, "");

    // Dates compare as dates: 12/31/2004 is before 06/30/2005 although it sorts after it.
    Files({a, d, c});
    EXPECT_EQ(Run().DriverDateDerivedFile, c);
}

TEST_F(DriverVersionTest, WithoutDatesTheInfFileThenTheDriverKeyAnswer) {
    // Neither DriverVer nor install files: the INF's own date (code 3), the driver key's
    // version (code 4).
    Inf("[Version]\r\nClass=Display\r\n", k2004);
    DriverRecord r = Run();
    EXPECT_EQ(r.FileDate, "01/01/2004");
    EXPECT_EQ(r.Versioning1, 3);
    EXPECT_EQ(r.Version, "6.0.6000.16386");
    EXPECT_EQ(r.Versioning2, 4);

    // No readable files at all: the driver key's date, in the one date form.
    r = Run(false);
    EXPECT_EQ(r.FileDate, "06/21/2006");
    EXPECT_EQ(r.Versioning1, 4);

    // The 9x family keeps its version in "Ver".
    info_.bNT = false;
    info_.bWin9x = true;
    EXPECT_EQ(Run(false).Version, "4.10.2222");

    // A driver key without the values leaves both empty and both codes 0.
    record_.RegDriverInstance += "\\Nope";
    r = Run(false);
    EXPECT_EQ(r.FileDate, "");
    EXPECT_EQ(r.Version, "");
    EXPECT_EQ(r.Versioning1, 0);
    EXPECT_EQ(r.Versioning2, 0);
}

TEST(DriverVersionCompare, ComponentsCompareAsNumbers) {
    EXPECT_TRUE(p_IsNewerVersion("5.1.9", "5.1.10"));
    EXPECT_FALSE(p_IsNewerVersion("5.1.10", "5.1.9"));
    EXPECT_FALSE(p_IsNewerVersion("5.1.10", "5.1.10"));
    // Missing components count as 0, so a longer version is newer only by a non-zero part.
    EXPECT_FALSE(p_IsNewerVersion("1.0", "1.0.0.0"));
    EXPECT_TRUE(p_IsNewerVersion("1.0", "1.0.0.1"));
    EXPECT_TRUE(p_IsNewerVersion("", "0.1"));
    EXPECT_EQ(CompareVersions("5.01", "5.1"), 0);
    EXPECT_EQ(CompareVersions(" 6.1.7600.16385 ", "6.1.7600.16385"), 0);
    // Blanks around each component go; an empty component is a zero.
    EXPECT_EQ(CompareVersions("6 .\t1. 7600", "6.1.7600"), 0);
    EXPECT_EQ(CompareVersions("1..2", "1.0.2"), 0);
    EXPECT_GT(CompareVersions("1.2.", "1.1.9"), 0);
    // Numbers beyond any integer type still compare by value.
    EXPECT_GT(CompareVersions("1.100000000000000000000", "1.99999999999999999999"), 0);
    EXPECT_LT(CompareVersions("2.0a", "2.0B"), 0);
    EXPECT_LT(CompareVersions("2.0", "2.0a"), 0);
}

TEST(DriverVersionDates, FormsThatParseAndFormsThatDoNot) {
    for (const char* s : {"07/01/2001", "7/1/2001", "7-1-2001", "2001-07-01", "2001/7/1", "07/01/2001 13:45:00"})
        EXPECT_EQ(NormalizeDate(s), "07/01/2001") << s;
    for (const char* s : {"", "2001", "07/01/01", "13/01/2001", "02/29/2001", "0/1/2001", "07/01-2001", "123/1/2001",
                          "07/01/2001x", "x07/01/2001"})
        EXPECT_FALSE(ParseDate(s)) << s;
    EXPECT_TRUE(ParseDate("02/29/2000"));
    EXPECT_EQ(NormalizeDate("not a date"), "not a date");
    EXPECT_EQ(CompareDates("12/31/2004", "06/30/2005"), -1);
    EXPECT_EQ(CompareDates("2005-06-30", "6/30/2005"), 0);
    EXPECT_FALSE(CompareDates("12/31/2004", "soon"));
    EXPECT_EQ(DateText(0), "01/01/1970");
    EXPECT_EQ(DateText(-1), "12/31/1969");
    EXPECT_EQ(DateText(951782400), "02/29/2000");
    // Years of fewer or more than four digits keep the printf form.
    EXPECT_EQ(FormatDate({1, 2, 3}), "02/03/0001");
    EXPECT_EQ(FormatDate({9999, 12, 31}), "12/31/9999");
    EXPECT_EQ(DateText(253402300800), "01/01/10000");
    EXPECT_EQ(FormatDate({-1, 1, 1}), "01/01/-001");
    EXPECT_EQ(DatePart("6/21/2006 10:00:00"), "06/21/2006");
    EXPECT_EQ(DatePart("someday"), "someday");

    std::string date, version = "kept";
    SplitDriverVer(" 07/01/2001 ", date, version);
    EXPECT_EQ(date, "07/01/2001");
    EXPECT_EQ(version, "kept");
    SplitDriverVer("07/01/2001,", date, version);
    EXPECT_EQ(version, "");
}

TEST_F(DriverVersionTest, UserFriendlyDataListsTheKeysFactsInOrder) {
    record_.MatchingDeviceId = "pci\\ven_8086&dev_2a42";
    ScanContext ctx{reg_, info_, image_.get(), profiles_};
    // Values without data (CompatibleIDs, OEM URL) and missing values are left out;
    // DeviceID is always there and shows the matching identifier; a multi-string other
    // than the identifier lists keeps its first string.
    const std::string expected =
        "Capabilities: 6|Class: Display|DeviceID: pci\\ven_8086&dev_2a42|HardwareID: A\r\nBC|"
        "DeviceDesc: @oem7.inf,%desc%;Mobile Graphics|Mfg: Intel|UINumber: 16|UpperFilters: f1|Provider: Acme";
    EXPECT_EQ(p_GetUserFriendlyData(ctx, record_), expected);

    // The Vista family shows the description after its first ";".
    info_.bServer2008 = true;
    EXPECT_NE(p_GetUserFriendlyData(ctx, record_).find("|DeviceDesc: Mobile Graphics|"), std::string::npos);

    // A record without keys still names its matching identifier.
    DriverRecord bare;
    EXPECT_EQ(p_GetUserFriendlyData(ctx, bare), "DeviceID: ");
}

}  // namespace
}  // namespace vornel
