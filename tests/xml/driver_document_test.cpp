#include "xml/driver_document.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "support/error_log.h"
#include "support/text.h"
#include "test_support.h"
#include "xml/document_io.h"

namespace vornel {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;

const char* kNow = "01/02/2024 03:04:05";
std::string FixedClock() { return kNow; }

// The two records of the hand-written fixture tests/data/xml/two_records.vlx.
DriverRecord NetworkCard() {
    DriverRecord r;
    r.DriverDesc = "Caf\xC3\xA9 \"Net\" Adapter, v2 & co's";
    r.DeviceDesc = "\xE7\xBD\x91 \xD0\x94\xD0\xBA";
    r.DeviceID = "PCI\\VEN_1234&DEV_100E\\3&61AAA01&0&10";
    r.IsDriverInstalled = r.IsDeviceConnected = r.MSProvided = true;
    r.Bus = "PCI";
    r.Type = "Network adapters";
    r.Class = "Net";
    r.Version = "8.4.1.0";
    r.Versioning1 = -1;
    r.Versioning2 = 3;
    r.DriverDateDerivedFile = "C:\\WINDOWS\\system32\\drivers\\e1000325.sys";
    r.FileDate = "10/04/2006";
    r.Manufacturer = "Acme Silicon";
    r.ProviderName = "Acme";
    r.Driver = "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0001";
    r.RegDriverInstance = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + r.Driver;
    r.DeviceInstanceId = "SYSTEM\\CurrentControlSet\\Enum\\" + r.DeviceID;
    r.AddMessage = "a\tb\x01" "c\x7f" "d";
    r.InfFile = "C:\\WINDOWS\\inf\\net8254.inf";
    r.InfSection = "E100E.ndi";
    r.MatchingDeviceId = "pci\\ven_1234&dev_100e";
    r.HardwareID = {"PCI\\VEN_1234&DEV_100E", "", "PCI\\VEN_1234"};
    r.ClassGUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    r.NumInstallFiles = 3;
    r.ParseMethod = 2;
    r.InfInstallFiles = "e1000325.sys|netman.dll";
    r.TVIconIdx = 7;
    r.XMLName = "Caf\xC3\xA9\"Net\"Adapter,v2&co's";
    r.XMLIdx = "PCIVEN_1234&DEV_100E'x";
    r.XMLInstallIdx = "C:/WINDOWS/inf/net8254.infE100E.ndi";
    r.XMLUserFriendlyData = std::string("Speed\0 100", 10);
    r.InfSig = "$WINDOWS NT$";
    r.IsCommonDevice = true;
    return r;
}

DriverRecord UnknownUsbDevice() {
    DriverRecord r;
    r.DeviceDesc = "Unknown device";
    r.DeviceID = "USB\\VID_0000&PID_0000\\5&1";
    r.NoHWID = r.UnknownDevice = r.IsBadUSBEnumeration = true;
    r.Bus = "USB";
    r.Type = "Other devices";
    r.Class = r.Manufacturer = r.ProviderName = "UNKNOWN";
    r.AddMessage = "a<b>c;d=e";
    r.DriverAddendum = "This device is not functioning.";
    r.CompatibleIDs = {"", "USB\\COMPAT"};
    r.ClassGUID = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
    r.XMLName = "Unknowndevice";
    r.XMLIdx = "Unknown deviceUSB\\VID_0000&PID_0000\\5&1";
    return r;
}

// What reading a written record gives back: the fields the document does not carry are
// lost, NULs of the user-friendly data too, and the time of writing is stamped.
DriverRecord AsReadBack(DriverRecord r) {
    r.InfSig.clear();
    r.IsCommonDevice = false;
    std::erase(r.XMLUserFriendlyData, '\0');
    r.XMLIgnition = kNow;
    return r;
}

std::string Fixture() {
    const std::string version = std::to_string(VORNEL_VERSION_MAJOR) + "." + std::to_string(VORNEL_VERSION_MINOR) +
                                "." + std::to_string(VORNEL_VERSION_PATCH);
    return text::ReplaceAll(ReadFile(test::TestData("xml/two_records.vlx")), "@VERSION@", version);
}

TEST(DriverDocument, SavedFileMatchesTheHandWrittenDocument) {
    TempDir dir;
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("1st PC", dir.path() / "mid_1st PC.vlx")) << doc.ErrorText();
    EXPECT_EQ(doc.AddOrCount(NetworkCard()), DriverDocument::AddResult::Added);
    EXPECT_EQ(doc.AddOrCount(UnknownUsbDevice()), DriverDocument::AddResult::Added);
    EXPECT_EQ(doc.AddOrCount(NetworkCard()), DriverDocument::AddResult::Counted);
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(ReadFile(doc.File()), Fixture());
}

TEST(DriverDocument, ALargeDocumentIsSavedByteForByteAsItSerialises) {
    // Saving streams the document through a buffer; pieces larger and smaller than it
    // must come out in order.
    TempDir dir;
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", dir.path() / "mid_PC.vlx"));
    for (int i = 0; i < 150; ++i) {
        DriverRecord r = NetworkCard();
        r.XMLIdx += std::to_string(i);
        r.DriverDesc = std::string(static_cast<size_t>(i) * 997 % 90000, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(doc.Write(r));
    }
    ASSERT_TRUE(doc.Save()) << doc.ErrorText();
    const std::string saved = ReadFile(doc.File());
    EXPECT_GT(saved.size(), 50u * 64 * 1024);
    EXPECT_EQ(saved, xml::SerializeDocument(doc.Dom()));
}

TEST(DriverDocument, EveryFieldSurvivesWriteSaveLoadAndRead) {
    TempDir dir;
    DriverRecord all = NetworkCard();
    all.FriendlyName = "  leading and trailing  ";
    all.AdditionalInfFiles = " ";
    all.InfInstallFilesMissing = "\r\n";
    all.InfSectionExt = "&#38;&amp;&#233;";
    all.DriverAddendum = std::string("nul\0inside", 10);
    all.BackupIconIdx = -32768;
    all.NumDeviceInstances = 32767;
    all.NoHWID = all.BackedUp = all.UnknownDevice = all.IsBadUSBEnumeration = true;
    all.UseINFSectionInBackupFolderName = true;
    all.CompatibleIDs = {"", "", "x", "", ""};
    all.HardwareID = {"A\\B", "\xF0\x9F\x98\x80", "quote\"'"};

    const fs::path file = dir.path() / "mid_PC.vlx";
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", file));
    ASSERT_TRUE(doc.Write(all));
    ASSERT_TRUE(doc.Write(UnknownUsbDevice()));
    ASSERT_TRUE(doc.Save());

    std::vector<DriverRecord> records;
    std::string error;
    ASSERT_TRUE(ReadDriverDocument(file, records, error)) << error;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], AsReadBack(all));
    EXPECT_EQ(records[1], AsReadBack(UnknownUsbDevice()));
    EXPECT_EQ(mP_DRIVER_DATA_FromKey(file, all.XMLIdx), AsReadBack(all));
    EXPECT_EQ(doc.Find(all.XMLIdx), AsReadBack(all));

    // Only the fields asked for, from either level of the record; the rest stay default.
    DriverRecord some;
    some.InfSectionExt = AsReadBack(all).InfSectionExt;
    some.IsDeviceConnected = all.IsDeviceConnected;
    some.NumDeviceInstances = all.NumDeviceInstances;
    some.XMLIdx = all.XMLIdx;
    EXPECT_EQ(doc.FindFields(all.XMLIdx, {"InfSectionExt", "IsDeviceConnected", "NumDeviceInstances", "XMLIdx"}),
              some);
    EXPECT_FALSE(doc.FindFields("no such key", {"XMLIdx"}));

    // A list entry holding a comma comes back as two entries, and so does nothing else.
    DriverRecord comma;
    comma.XMLIdx = "comma";
    comma.HardwareID = {"a,b", "c"};
    ASSERT_TRUE(doc.Write(comma));
    EXPECT_EQ(doc.Find("comma")->HardwareID, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(DriverDocument, DuplicateKeysRaiseTheCountAndAPresentInstanceReplacesAnAbsentOne) {
    TempDir dir;
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", dir.path() / "mid_PC.vlx"));
    DriverRecord absent = UnknownUsbDevice();
    absent.IsDeviceConnected = false;
    EXPECT_EQ(doc.AddOrCount(absent), DriverDocument::AddResult::Added);
    EXPECT_EQ(doc.Find(absent.XMLIdx)->NumDeviceInstances, 1);
    EXPECT_EQ(doc.AddOrCount(absent), DriverDocument::AddResult::Counted);
    EXPECT_EQ(doc.Find(absent.XMLIdx)->NumDeviceInstances, 2);

    DriverRecord present = absent;
    present.IsDeviceConnected = true;
    present.DriverDesc = "now here";
    EXPECT_EQ(doc.AddOrCount(present), DriverDocument::AddResult::Replaced);
    EXPECT_EQ(doc.AddOrCount(present), DriverDocument::AddResult::Counted);
    EXPECT_EQ(doc.AddOrCount(absent), DriverDocument::AddResult::Counted);
    ASSERT_EQ(doc.RecordCount(), 1u);
    const DriverRecord kept = *doc.Find(absent.XMLIdx);
    EXPECT_EQ(kept.DriverDesc, "now here");
    EXPECT_EQ(kept.NumDeviceInstances, 3);

    // Keys are compared exactly, as stored.
    EXPECT_FALSE(doc.Contains(text::UpperAscii(absent.XMLIdx)));
    EXPECT_TRUE(doc.Remove(absent.XMLIdx));
    EXPECT_FALSE(doc.Contains(absent.XMLIdx));
    EXPECT_FALSE(doc.Remove(absent.XMLIdx));
    EXPECT_FALSE(doc.RaiseInstanceCount(absent.XMLIdx));
    EXPECT_EQ(doc.RecordCount(), 0u);
}

TEST(DriverDocument, LookupsOnTheSavedFile) {
    TempDir dir;
    Logger::Instance().SetDefaultFolder(dir.path());
    const fs::path file = dir.path() / "mid_12345.vlx";
    DriverDocument doc(FixedClock);
    // A computer name of digits gives a generated root, which lookups must still find.
    ASSERT_TRUE(doc.Begin("12345", file));
    ASSERT_TRUE(text::EndsWith(doc.Dom().document_element().name(), ".tmp"));
    ASSERT_TRUE(doc.Write(NetworkCard()));
    ASSERT_TRUE(doc.Save());

    EXPECT_EQ(mP_DRIVER_DATA_FromKey(file, "PCIVEN_1234&DEV_100E'x").DriverDesc, NetworkCard().DriverDesc);
    EXPECT_EQ(mP_DRIVER_DATA_FromKey(file, "no such key"), DriverRecord{});
    EXPECT_EQ(mP_DRIVER_DATA_FromKey(file, "PCIVEN_1234&DEV_100E' or '1'='1"), DriverRecord{});

    EXPECT_EQ(mP_DRIVER_DATA_FromKey({}, "k"), DriverRecord{});
    const auto broken = dir.Write("broken.vlx", "<r><Device>");
    EXPECT_EQ(mP_DRIVER_DATA_FromKey(broken, "k"), DriverRecord{});
    const std::string log = ReadFile(dir.path() / "vn_log.txt");
    Logger::Instance().SetDefaultFolder({});
    EXPECT_NE(log.find("Routine: mP_DRIVER_DATA_FromKey\r\nErr.Number: -2147215871\r\n"
                       "Err.Description: VLX_ERROR_PATH_LOOKUP"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Err.Number: -2147220504\r\nErr.Description: \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(broken.string() + "\r\n"), std::string::npos) << log;
}

TEST(DriverDocument, AKeptDocumentTooDeepToIndentIsSavedAsItSerialises) {
    TempDir dir;
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "<n>";
    for (int i = 0; i < 40; ++i) deep += "</n>";
    const auto kept = dir.Write("msd_deep.vlx", "<PC>" + deep + "</PC>");
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", kept)) << doc.ErrorText();
    for (int i = 0; i < 300; ++i) {
        DriverRecord r = NetworkCard();
        r.XMLIdx += std::to_string(i);
        ASSERT_TRUE(doc.Write(r));
    }
    ASSERT_TRUE(doc.Save()) << doc.ErrorText();
    const std::string saved = ReadFile(doc.File());
    EXPECT_EQ(saved, xml::SerializeDocument(doc.Dom()));
    EXPECT_EQ(saved.find("\n\t"), std::string::npos);  // written without indentation
}

TEST(DriverDocument, HeadFailuresAndExistingDocuments) {
    TempDir dir;
    DriverDocument doc(FixedClock);
    EXPECT_FALSE(doc.Begin("PC", dir.path() / "missing" / "mid_PC.vlx"));
    EXPECT_EQ(doc.ErrorNumber(), kErrXmlHeadCreatePathNotFound);
    EXPECT_EQ(doc.ErrorDescription(), "VLX_XML_HEAD_CREATE_PATH_NOT_FOUND");

    const auto corrupt = dir.Write("msd_PC.vlx", "<PC><Device></PC>");
    EXPECT_FALSE(doc.Begin("PC", corrupt));
    EXPECT_EQ(doc.ErrorNumber(), kErrXmlHeadCreateFailed);
    EXPECT_EQ(doc.ErrorText().rfind(corrupt.string() + "\r\n", 0), 0u) << doc.ErrorText();
    EXPECT_NE(doc.ErrorText().find("\r\nline=1\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(corrupt), "<PC><Device></PC>");

    // A "msd_" document is taken as it is, with its records and an empty Device that
    // append mode fills instead of adding another.
    const auto kept = dir.Write("msd_old.vlx", "<PC><Device/><Device><NumDeviceInstances>4</NumDeviceInstances>"
                                               "<XMLVLX><XMLIdx>old&amp;#38;key</XMLIdx></XMLVLX></Device></PC>");
    ASSERT_TRUE(doc.Begin("Other", kept)) << doc.ErrorText();
    EXPECT_EQ(doc.AddOrCount(DriverRecord{.XMLIdx = "old&key"}), DriverDocument::AddResult::Counted);
    EXPECT_EQ(doc.Find("old&key")->NumDeviceInstances, 5);
    ASSERT_TRUE(doc.Write(DriverRecord{.DriverDesc = "new", .XMLIdx = "new"}));
    EXPECT_EQ(doc.RecordCount(), 2u);
    EXPECT_EQ(doc.Find("new")->DriverDesc, "new");
    EXPECT_EQ(std::string(doc.Dom().document_element().first_child().child_value("DriverDesc")), "new");
}

TEST(DriverDocument, AFailedSaveLeavesTheTargetAndNoStrayFiles) {
    TempDir dir;
    DriverDocument doc(FixedClock);
    const fs::path file = dir.path() / "mid_PC.vlx";
    ASSERT_TRUE(doc.Begin("PC", file));
    ASSERT_TRUE(doc.Write(NetworkCard()));
    // The target turned into a folder: renaming over it fails.
    fs::remove(file);
    fs::create_directory(file);
    dir.Write("mid_PC.vlx/keep.txt", "x");
    EXPECT_FALSE(doc.Save());
    EXPECT_FALSE(doc.ErrorText().empty());
    EXPECT_EQ(ReadFile(file / "keep.txt"), "x");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

// A scan's records go to the new file as they are written. A document dropped without a
// save leaves the head it began with and nothing else; one whose file could not be
// written as it went (here, a limit on file sizes) is saved whole at the end all the same.
TEST(DriverDocument, RecordsWrittenAheadOfTheSaveLoseNothing) {
    TempDir dir;
    const fs::path file = dir.path() / "mid_PC.vlx";
    auto entries = [&] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++n;
        return n;
    };
    auto fill = [](DriverDocument& doc) {
        for (int i = 0; i < 300; ++i) {
            DriverRecord r = NetworkCard();
            r.XMLIdx += std::to_string(i);
            if (!doc.Write(r)) return false;
        }
        return doc.RaiseInstanceCount(NetworkCard().XMLIdx + "250");  // written already: again at the save
    };
    std::string head;
    {
        DriverDocument doc(FixedClock);
        ASSERT_TRUE(doc.Begin("PC", file));
        head = ReadFile(file);
        ASSERT_TRUE(fill(doc));
    }
    EXPECT_EQ(ReadFile(file), head);
    EXPECT_EQ(entries(), 1u);

    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", file));
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool filled = fill(doc);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, handler);
    ASSERT_TRUE(filled);
    ASSERT_TRUE(doc.Save()) << doc.ErrorText();
    const std::string saved = ReadFile(file);
    EXPECT_GT(saved.size(), 300u * 1024);
    EXPECT_EQ(saved, xml::SerializeDocument(doc.Dom()));
    EXPECT_EQ(entries(), 1u);
}

TEST(DriverDocument, MalformedValuesReadAsDefaultsAndAreLogged) {
    TempDir dir;
    Logger::Instance().SetDefaultFolder(dir.path());
    pugi::xml_document doc;
    xml::ParseReport report;
    ASSERT_TRUE(xml::LoadXmlText(doc,
                                 "<PC><Device><DriverDesc>ok</DriverDesc><NumInstallFiles>abc</NumInstallFiles>"
                                 "<Versioning1>70000</Versioning1><MSProvided>maybe</MSProvided>"
                                 "<NoHWID>true</NoHWID><Unknown>x</Unknown><XMLIdx>outside</XMLIdx>"
                                 "<XMLVLX><XMLIdx>k</XMLIdx><DriverDesc>inside</DriverDesc></XMLVLX></Device></PC>",
                                 report));
    DriverRecord r;
    ASSERT_TRUE(mP_FillDriverDataStruct(FindDeviceByKey(doc, "k"), r));
    Logger::Instance().SetDefaultFolder({});
    EXPECT_EQ(r, (DriverRecord{.DriverDesc = "ok", .XMLIdx = "k", .NoHWID = true}));
    const std::string log = ReadFile(dir.path() / "vn_log.txt");
    EXPECT_NE(log.find("NumInstallFiles=abc"), std::string::npos) << log;
    EXPECT_NE(log.find("Versioning1=70000"), std::string::npos);

    ASSERT_TRUE(mP_FillDriverDataStruct(pugi::xml_node(), r, "A|B||C"));
    EXPECT_EQ(r, (DriverRecord{.HardwareID = {"A", "B", "", "C"}}));
}

}  // namespace
}  // namespace vornel
