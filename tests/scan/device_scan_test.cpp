// The device scan over small installations written for the purpose, on .reg stores and on
// hives built from them.
#include <gtest/gtest.h>

#include <cmath>

#include "pe_builder.h"
#include "platform/reg_file_store.h"
#include "scan_fixture.h"
#include "support/text.h"

namespace vornel::test {
namespace {

const std::string kCS = "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\";
const std::string kDisplay = "{4D36E968-E325-11CE-BFC1-08002BE10318}";
const std::string kUnknown = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
const std::string kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";

// hex(7) data of a multi-string, as a 5.00 export writes it.
std::string Multi(const std::vector<std::string>& items) {
    std::string bytes;
    for (const auto& i : items) bytes += text::Utf8ToUtf16Le(i) + std::string(2, '\0');
    bytes += std::string(2, '\0');
    std::string r = "hex(7):";
    char buf[4];
    for (size_t k = 0; k < bytes.size(); ++k) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[k]));
        r += (k ? "," : "") + std::string(buf);
    }
    return r;
}

std::string Esc(const std::string& s) { return text::ReplaceAll(s, "\\", "\\\\"); }

// One device instance below Enum.
std::string Instance(const std::string& path, const std::string& values, bool present = true) {
    std::string r = kCS + "Enum\\" + path + "]\r\n" + values + "\r\n";
    if (present) r += kCS + "Enum\\" + path + "\\Control]\r\n";
    return r;
}

const std::string kBase =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n" + kCS + "Enum]\r\n" + kCS +
    "Control\\Class\\" + kDisplay + "]\r\n@=\"Display adapters\"\r\n\"Class\"=\"Display\"\r\n" + kCS +
    "Control\\Class\\" + kDisplay + "\\0000]\r\n\"DriverDesc\"=\"Acme Graphics 3000\"\r\n\"ProviderName\"=\"Acme\"\r\n"
    "\"InfPath\"=\"oem3.inf\"\r\n\"InfSection\"=\"Acme3000\"\r\n\"MatchingDeviceId\"=\"pci\\\\ven_1234&dev_5678\"\r\n"
    "\"DriverDate\"=\"1-1-2000\"\r\n" +
    kCS + "Control\\Class\\" + kUnknown + "]\r\n@=\"Other devices\"\r\n\"Class\"=\"Unknown\"\r\n";

const std::string kDisplayDevice = "\"DeviceDesc\"=\"Acme Graphics 3000\"\r\n\"Mfg\"=\"Acme\"\r\n\"ClassGUID\"=\"" +
                                   kDisplay + "\"\r\n\"Driver\"=\"" + kDisplay + "\\\\0000\"\r\n\"HardwareID\"=" +
                                   Multi({"PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01", "PCI\\VEN_1234&DEV_5678"}) +
                                   "\r\n";
const std::string kDisplayKey = "PCIVEN1234&DEV5678&SUBSYS00000000&REV01PCIVEN1234&DEV5678";

const char* kOem3 =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Display\r\nProvider=%Acme%\r\nDriverVer=03/01/2004,1.0.0.1\r\n\r\n"
    "[Manufacturer]\r\n%Acme%=Acme\r\n\r\n[Acme]\r\n\"Acme Graphics 3000\" = Acme3000, PCI\\VEN_1234&DEV_5678\r\n\r\n"
    "[Acme3000]\r\nDriverVer = 06/30/2005,6.14.10.42 ; built nightly\r\nCopyFiles=Acme.Copy\r\n\r\n"
    "[Acme.Copy]\r\nacme3k.sys\r\n\r\n[DestinationDirs]\r\nDefaultDestDir=12\r\n\r\n"
    "[Strings]\r\nAcme=\"Acme Corp\"\r\n";

class DeviceScanTest : public ::testing::TestWithParam<StoreKind> {
protected:
    std::unique_ptr<ScanFixture> Make(const std::string& system, const std::string& software = {}) {
        auto f = std::make_unique<ScanFixture>(GetParam(), kBase + system, software);
        f->WriteFile("C:\\WINDOWS\\inf\\oem3.inf", kOem3);
        f->WriteFile("C:\\WINDOWS\\system32\\drivers\\acme3k.sys", PeWithVersion({6, 14, 10, 42}));
        return f;
    }
};

TEST_P(DeviceScanTest, RecordOfAnInstalledDriverAndItsKey) {
    auto f = Make(Instance("PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01\\3&1&0&08", kDisplayDevice));
    const ScanResult res = f->Scan();
    ASSERT_TRUE(res.completed) << res.error;
    EXPECT_EQ(res.devicesFound, 1);
    EXPECT_EQ(res.unidentified, 0);
    ASSERT_EQ(f->Rows().Size(), 1u);
    const ReportRow& row = f->Rows().Rows()[0];
    EXPECT_EQ(row.tag, kDisplayKey);  // one plain key for row and document
    const DriverRecord r = f->Record(kDisplayKey);
    EXPECT_EQ(r.DeviceDesc, "Acme Graphics 3000");
    EXPECT_EQ(r.Type, "Display adapters");
    EXPECT_EQ(r.Class, "Display");
    EXPECT_EQ(r.Bus, "PCI");
    EXPECT_TRUE(r.IsDriverInstalled);
    EXPECT_TRUE(r.IsDeviceConnected);
    EXPECT_FALSE(r.MSProvided);
    EXPECT_EQ(r.Version, "6.14.10.42");  // the install section's DriverVer, comment cut
    EXPECT_EQ(r.FileDate, "06/30/2005");
    EXPECT_EQ(r.Versioning1, 0);
    EXPECT_EQ(r.MatchingDeviceId, "pci\\ven_1234&dev_5678");
    EXPECT_EQ(r.NumDeviceInstances, 1);
    EXPECT_TRUE(text::IEndsWith(r.InfFile, "\\inf\\oem3.inf")) << r.InfFile;
    EXPECT_NE(r.InfInstallFiles.find("acme3k.sys"), std::string::npos) << r.InfInstallFiles;
    EXPECT_EQ(r.HardwareID.size(), 2u);
    EXPECT_EQ(row.items[report::kVersion], "6.14.10.42");
    EXPECT_EQ(f->Rows().Rows()[0].items[report::kType], "Display adapters");
}

TEST_P(DeviceScanTest, SecondInstanceCountsAndPresentInstanceWins) {
    const std::string dev = "PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01\\";
    auto f = Make(Instance(dev + "3&1&0&08", kDisplayDevice) + Instance(dev + "3&1&0&10", kDisplayDevice));
    ASSERT_TRUE(f->Scan().completed);
    auto records = f->Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].NumDeviceInstances, 2);

    // An absent instance first, a present one after: the present one is the record.
    auto g = Make(Instance(dev + "3&1&0&08", kDisplayDevice + "\"FriendlyName\"=\"absent\"\r\n", false) +
                  Instance(dev + "3&1&0&10", kDisplayDevice + "\"FriendlyName\"=\"present\"\r\n"));
    const ScanResult res = g->Scan();
    ASSERT_TRUE(res.completed);
    records = g->Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].IsDeviceConnected);
    EXPECT_EQ(records[0].FriendlyName, "present");
    // One row and one count for the one device.
    ASSERT_EQ(g->Rows().Size(), 1u);
    EXPECT_EQ(g->Rows().Rows()[0].items[report::kDescription], "present");
    EXPECT_EQ(res.devicesFound, 1);
}

TEST_P(DeviceScanTest, SkippedInstances) {
    const std::string usbUnknown = "\"DeviceDesc\"=\"Unknown USB\"\r\n\"ClassGUID\"=\"" + kUnknown +
                                   "\"\r\n\"HardwareID\"=" + Multi({"USB\\UNKNOWN"}) + "\r\n";
    auto f = Make(Instance("SW\\{abc}\\0000", kDisplayDevice) + Instance("HTREE\\ROOT\\0", kDisplayDevice) +
                  Instance("ROOT\\LEGACY_BEEP\\0000", "\"Class\"=\"LegacyDriver\"\r\n\"DeviceDesc\"=\"Beep\"\r\n") +
                  Instance("ROOT\\NOCLASS\\0000", "\"DeviceDesc\"=\"No class at all\"\r\n") +
                  Instance("LPTENUM\\PRN\\1", "\"DeviceDesc\"=\"Printer\"\r\n\"ClassGUID\"=\"{4d36e979-e325-11ce-bfc1-08002be10318}\"\r\n") +
                  Instance("USB\\WHAT\\1", usbUnknown) + Instance("ACPI\\EMPTY\\1", "\"Capabilities\"=dword:1\r\n"));
    const ScanResult res = f->Scan();
    ASSERT_TRUE(res.completed) << res.error;
    EXPECT_EQ(f->Records().size(), 0u);
    EXPECT_EQ(res.devicesFound + res.unidentified, 0);
    for (const auto& l : std::vector<std::string>{"Scanning SW", "Scanning HTREE"})
        for (const auto& line : f->Rows().Rows()) EXPECT_EQ(line.items[0].find(l), std::string::npos);
}

TEST_P(DeviceScanTest, UnknownAndBadUsbDevices) {
    auto f = Make(Instance("USB\\VID_0000&PID_0000\\5&1&0&1",
                           "\"ClassGUID\"=\"" + kUnknown + "\"\r\n\"HardwareID\"=" + Multi({"USB\\VID_0000&PID_0000"}) + "\r\n") +
                  Instance("PCI\\VEN_9999&DEV_0001\\3&1", "\"ClassGUID\"=\"" + kUnknown + "\"\r\n"));
    RecordingObserver obs;
    const ScanResult res = f->Scan(obs);
    ASSERT_TRUE(res.completed);
    EXPECT_EQ(res.unidentified, 2);
    EXPECT_EQ(obs.summary[SummaryText::kUnidentified], "Unidentified devices: 2");
    const DriverRecord bad = f->Record("USBVID0000&PID0000");
    EXPECT_TRUE(bad.IsBadUSBEnumeration);
    EXPECT_EQ(bad.DriverAddendum, "This device is not functioning.");
    EXPECT_EQ(bad.DeviceDesc, "Unknown device");
    EXPECT_EQ(bad.Type, "Other devices");
    EXPECT_TRUE(bad.UnknownDevice);
    // No hardware ids: the key is made of the device's own path.
    const auto records = f->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].NoHWID);  // PCI comes before USB
    EXPECT_EQ(records[0].XMLIdx, "PCI\\VEN_9999&DEV_0001\\3&1");
}

TEST_P(DeviceScanTest, RecordKeyRunsTheHardwareIdsTogether) {
    // Without the separators between them, backslashes, blanks, colons, underscores and
    // quotes.
    auto f = Make(Instance("HID\\VID_1&PID_2\\7&1", "\"DeviceDesc\"=\"Pad\"\r\n\"HardwareID\"=" +
                                                      Multi({"HID\\VID_1:PID_2 'x'", "HID_DEVICE"}) + "\r\n"));
    RecordingObserver obs;
    ASSERT_TRUE(f->Scan(obs).completed);
    EXPECT_EQ(f->Record("HIDVID1PID2xHIDDEVICE").HardwareID.size(), 2u);
}

TEST_P(DeviceScanTest, EmptyDeviceTreeAndProgress) {
    auto f = Make("");
    f->Dir().Write("out/compare.vlx", "stale");
    RecordingObserver obs;
    const ScanResult res = f->Scan(obs);
    ASSERT_TRUE(res.completed);
    EXPECT_EQ(res.records, 0u);
    // Only a device that gets as far as its IDs clears the comparison file.
    EXPECT_TRUE(std::filesystem::exists(f->Dir().path() / "out" / "compare.vlx"));
    EXPECT_EQ(obs.summary[SummaryText::kDeviceClasses], "Device classes found: 2");

    // 2 buses, 3 devices, 4 instances, no printers: the walk fills the bar to 50.
    const std::string dev = "PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01\\";
    auto g = Make(Instance(dev + "1", kDisplayDevice) + Instance(dev + "2", kDisplayDevice) +
                  Instance("PCI\\VEN_9\\1", "\"ClassGUID\"=\"" + kUnknown + "\"\r\n") +
                  Instance("ACPI\\PNP0A03\\0", "\"ClassGUID\"=\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"\r\n"
                                               "\"DeviceDesc\"=\"PCI bus\"\r\n\"HardwareID\"=" + Multi({"ACPI\\PNP0A03", "*PNP0A03"}) + "\r\n"));
    g->Dir().Write("out/compare.vlx", "stale");
    RecordingObserver o2;
    ASSERT_TRUE(g->Scan(o2).completed);
    EXPECT_FALSE(std::filesystem::exists(g->Dir().path() / "out" / "compare.vlx"));
    ASSERT_FALSE(o2.progress.empty());
    EXPECT_NEAR(o2.progress.back(), 50.0f, 1e-3);
    const std::string pct = o2.summary[SummaryText::kPercent];
    EXPECT_TRUE(pct == "49% complete" || pct == "50% complete") << pct;  // 50 up to float rounding
    EXPECT_EQ(g->Rows().FindByTag("ACPIPNP0A03*PNP0A03")->items[report::kCommon], "True");
}

TEST_P(DeviceScanTest, StopSavesWhatWasFoundAndSkipsPrinters) {
    const std::string dev = "PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01\\";
    auto f = Make(Instance(dev + "1", kDisplayDevice) +
                  Instance("PCI\\VEN_9\\1", "\"ClassGUID\"=\"" + kUnknown + "\"\r\n") +
                  Instance("PCI\\VEN_A\\1", "\"ClassGUID\"=\"" + kUnknown + "\"\r\n"));
    RecordingObserver obs;
    obs.stopAfterRows = 1;
    const ScanResult res = f->Scan(obs);
    EXPECT_TRUE(res.stopped);
    EXPECT_TRUE(res.saved);
    EXPECT_EQ(f->Records().size(), 1u);
    for (const auto& l : obs.lines) EXPECT_NE(l, "Scanning for printers...");
    EXPECT_EQ(f->Rows().Size(), 0u);  // the lists are emptied on a stop
}

TEST_P(DeviceScanTest, VistaFamilyValuesAndClassNames) {
    const std::string values = "\"DeviceDesc\"=\"@oem3.inf,%acme.desc%;Acme Graphics Vista\"\r\n"
                               "\"Mfg\"=\"@oem3.inf,%acme%;Acme Corp\"\r\n\"ClassGUID\"=\"" + kDisplay +
                               "\"\r\n\"HardwareID\"=" + Multi({"PCI\\VEN_1234&DEV_9999"}) + "\r\n";
    auto f = Make(Instance("PCI\\VEN_1234&DEV_9999\\1", values));
    f->Info().bVista = true;
    ASSERT_TRUE(f->Scan().completed);
    const DriverRecord r = f->Record("PCIVEN1234&DEV9999");
    EXPECT_EQ(r.DeviceDesc, "Acme Graphics Vista");
    EXPECT_EQ(r.Manufacturer, "Acme Corp");
    EXPECT_EQ(r.Type, "Display adapters");

    auto g = Make(Instance("PCI\\VEN_1234&DEV_9999\\1", values));
    ASSERT_TRUE(g->Scan().completed);  // XP reads the raw text
    EXPECT_EQ(g->Record("PCIVEN1234&DEV9999").DeviceDesc, "@oem3.inf,%acme.desc%;Acme Graphics Vista");
}

TEST_P(DeviceScanTest, UsbPresenceFollowsTheInterfaceLink) {
    const std::string link = "##?#USB#VID_1111&PID_2222#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::string values = "\"DeviceDesc\"=\"Widget\"\r\n\"ClassGUID\"=\"" + kUsbClass + "\"\r\n\"HardwareID\"=" +
                               Multi({"USB\\VID_1111&PID_2222"}) + "\r\n";
    auto f = Make(Instance("USB\\VID_1111&PID_2222\\1", values, false) + kCS +
                  "Enum\\USB\\VID_1111&PID_2222\\1\\Device Parameters]\r\n\"SymbolicName\"=\"" +
                  Esc("\\??\\USB#VID_1111&PID_2222#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}") + "\"\r\n" + kCS +
                  "Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\\" + link + "\\#\\Control]\r\n"
                  "\"Linked\"=dword:00000001\r\n");
    ASSERT_TRUE(f->Scan().completed);
    EXPECT_TRUE(f->Record("USBVID1111&PID2222").IsDeviceConnected);
}

TEST_P(DeviceScanTest, Printers) {
    const std::string printClass = kCS + "Control\\Class\\{4D36E979-E325-11CE-BFC1-08002BE10318}";
    const std::string drivers = kCS + "Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3\\Acme Laser]\r\n"
                                      "\"Driver\"=\"ACLASER.DLL\"\r\n\"Data File\"=\"ACLASER.PPD\"\r\n"
                                      "\"HardwareID\"=\"acme_laser_1\"\r\n\"Version\"=dword:00000003\r\n";
    const std::string software =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers\\Office]\r\n"
        "\"Printer Driver\"=\"Acme Laser\"\r\n\"Name\"=\"Office\"\r\n\"Port\"=\"LPT1:\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers\\Hall]\r\n"
        "\"Printer Driver\"=\"Acme Laser\"\r\n\"Name\"=\"Hall\"\r\n\"Port\"=\"USB001\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers\\Orphan]\r\n"
        "\"Printer Driver\"=\"Nobody Inkjet\"\r\n\"Name\"=\"Orphan\"\r\n";
    auto f = Make(printClass + "]\r\n\"Class\"=\"Printer\"\r\n" + printClass +
                      "\\0000]\r\n\"DriverDesc\"=\"Acme Laser\"\r\n\"InfPath\"=\"oem3.inf\"\r\n\"DriverDate\"=\"5-4-2003\"\r\n"
                      "\"DriverVersion\"=\"2.0.0.0\"\r\n\"ProviderName\"=\"Acme\"\r\n" + drivers,
                  software);
    f->WriteFile("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\3\\ACLASER.DLL", PeWithVersion({2, 1, 0, 0}));
    RecordingObserver obs;
    ASSERT_TRUE(f->Scan(obs).completed);
    EXPECT_NE(std::find(obs.lines.begin(), obs.lines.end(), "3 printers found..."), obs.lines.end());
    const DriverRecord laser = f->Record("acme_laser_1");
    EXPECT_EQ(laser.NumDeviceInstances, 2);
    EXPECT_EQ(laser.Type, "Printers");
    EXPECT_EQ(laser.Version, "2.0.0.0");
    EXPECT_EQ(laser.FileDate, "05/04/2003");
    EXPECT_NE(laser.InfInstallFiles.find("ACLASER.DLL"), std::string::npos);
    EXPECT_NE(laser.DriverAddendum.find("Port: USB001"), std::string::npos);
    EXPECT_NE(f->Log().find("WARNING: Failure returning UDT Structure"), std::string::npos);

    auto none = Make("");
    RecordingObserver o2;
    ASSERT_TRUE(none->Scan(o2).completed);
    EXPECT_NE(std::find(o2.lines.begin(), o2.lines.end(), "0 printers found..."), o2.lines.end());
}

INSTANTIATE_TEST_SUITE_P(Stores, DeviceScanTest, ::testing::ValuesIn(AllStoreKinds()),
                         [](const auto& info) { return StoreKindName(info.param); });

TEST(ReportRows, RemovingARowHandsItsNameToTheNextRowOfThatName) {
    ReportList rows;
    DriverRecord a, b, c;
    a.XMLIdx = "KEY1";
    b.XMLIdx = "KEY2";
    c.XMLIdx = "KEY3";
    rows.mP_AddRecord("Mouse", a);
    rows.mP_AddRecord("Keyboard", c);
    rows.mP_AddRecord("Mouse", b);
    EXPECT_EQ(rows.mP_IsRecordExist("Mouse"), "KEY1");
    EXPECT_TRUE(rows.RemoveByTag("KEY1"));
    EXPECT_FALSE(rows.RemoveByTag("KEY1"));
    EXPECT_EQ(rows.mP_IsRecordExist("Mouse"), "KEY2");
    EXPECT_EQ(rows.FindByTag("KEY1"), nullptr);
    EXPECT_EQ(rows.Size(), 2u);
    rows.mP_AddRecord("Mouse", a);  // the key comes back as a new row
    ASSERT_EQ(rows.Rows().size(), 3u);
    EXPECT_EQ(rows.Rows()[0].tag, "KEY3");
    EXPECT_EQ(rows.Rows()[2].tag, "KEY1");
    EXPECT_EQ(rows.FindByTag("KEY1"), &rows.Rows()[2]);
    EXPECT_EQ(rows.mP_IsRecordExist("Mouse"), "KEY2");
}

TEST(ScanProgressTexts, PercentCutAndElapsed) {
    ScanProgress p;
    p.SetStep(12.97f);
    p.Advance();
    EXPECT_EQ(p.PercentText(), "12");
    p.SetStep(0.03f);
    p.Advance();
    EXPECT_EQ(p.PercentText(), "13");
    EXPECT_EQ(ElapsedText(1000, 1065), "01:05");
    EXPECT_EQ(ElapsedText(1000, 1000 + 3600 + 125), "02:05");
}

TEST(ScanProgressTexts, TheStepCountsTheTreeAsItsListsRead) {
    auto store = std::make_shared<platform::RegFileStore>();
    std::string e;
    const std::string enumKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
    const std::string printers = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\";
    ASSERT_TRUE(store->Import("REGEDIT4\r\n" + enumKey + "PCI\\DEV_A\\1]\r\n" + enumKey + "PCI\\DEV_A\\2]\r\n" +
                                  enumKey + "PCI\\DEV_B\\a|b]\r\n" + enumKey + "ROOT\\LEGACY\\0000]\r\n" +
                                  printers + "Printers\\Laser]\r\n" + printers +
                                  "Providers\\LanMan Print Services\\Servers\\srv\\Printers\\Remote]\r\n",
                              "tree", &e))
        << e;
    platform::RegistryView view;
    view.Mount("", store);
    cReg reg(view);
    ComputerInfo info;
    info.bNT = true;
    // Buses 2, devices 3, instances 5 (a name holding "|" counts as two, as the list it is
    // read from splits there), printers 1 and 1.
    EXPECT_FLOAT_EQ(ScanProgress::p_GetProgressBarMaxValue(reg, info), 50.0f / 12.0f);
}

}  // namespace
}  // namespace vornel::test
