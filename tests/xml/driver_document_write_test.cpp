// DriverDocument::Write builds its elements directly when nothing can be reused; the saved
// bytes must be those of the general writer, mP_InfScratchPad, on the same document.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "xml/document_io.h"
#include "xml/driver_document.h"

namespace vornel {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;

std::string FixedClock() { return "12/31/2023 23:59:59"; }

// Values that take every turn of the encoding, empty ones, and the rules of single fields.
std::vector<DriverRecord> VariedRecords() {
    std::vector<DriverRecord> out;
    DriverRecord odd;
    odd.DriverDesc = "Caf\xC3\xA9 <\"Net\"> & co's, ]]> \xE2\x82\xAC\xE2\x84\xA2 \xE7\xBD\x91 \xF0\x9F\x98\x80";
    odd.DeviceDesc = std::string("ctl\0\x01\x1f\x7f\t\r\n end", 14);
    odd.FriendlyName = "broken \xFF \xC3 \xE2\x82x \xC0\x80 \xED\xA0\x80";
    odd.AddMessage = "\xC2\x80\xC2\x81\xC2\x9F";
    odd.DeviceID = "PCI\\VEN_1234&DEV_100E\\3&61AAA01&0&10";
    odd.HardwareID = {"PCI\\VEN_1234&DEV_100E", "", "caf\xC3\xA9", ""};
    odd.CompatibleIDs = {"", ""};
    odd.XMLUserFriendlyData = std::string("Speed\0 100\0", 11);
    odd.DriverAddendum = std::string("nul\0kept as a reference", 24);
    odd.Versioning1 = -32768;
    odd.NumDeviceInstances = 32767;
    odd.IsDeviceConnected = odd.UseINFSectionInBackupFolderName = true;
    odd.XMLName = "Caf\xC3\xA9\"Net\"";
    odd.XMLIdx = "PCIVEN_1234&DEV_100E'x, \xC3\xA9";
    odd.XMLIgnition = "not written: the time of writing is";
    out.push_back(odd);

    out.push_back(DriverRecord{});  // every value empty or zero, the key too

    DriverRecord plain;
    plain.DriverDesc = plain.DeviceDesc = "Standard PCI to PCI bridge";
    plain.Bus = "PCI";
    plain.InfFile = "C:\\WINDOWS\\inf\\machine.inf";
    plain.HardwareID = {"PCI\\CC_0604"};
    plain.NumInstallFiles = 2;
    plain.XMLIdx = "PCICC_0604";
    plain.XMLUserFriendlyData = "no nul";
    out.push_back(plain);
    return out;
}

// The document the general writer makes from the same start.
std::string WrittenByTheGeneralPath(const fs::path& start, const std::vector<DriverRecord>& records) {
    pugi::xml_document doc;
    xml::ParseReport report;
    EXPECT_TRUE(xml::LoadXmlFile(doc, start, report)) << report.reason;
    for (const DriverRecord& r : records) EXPECT_TRUE(mP_InfScratchPad(r, doc, false, FixedClock));
    return xml::SerializeDocument(doc);
}

TEST(DriverDocumentWrite, SavesTheBytesOfTheGeneralWriter) {
    TempDir dir;
    const fs::path file = dir.path() / "mid_PC.vlx";
    DriverDocument doc(FixedClock);
    ASSERT_TRUE(doc.Begin("PC", file));
    const fs::path start = dir.path() / "start.vlx";
    fs::copy_file(file, start);

    const std::vector<DriverRecord> records = VariedRecords();
    for (const DriverRecord& r : records) ASSERT_TRUE(doc.Write(r));
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(ReadFile(file), WrittenByTheGeneralPath(start, records));

    // The index knows every key as written, the empty one too.
    for (const DriverRecord& r : records) {
        EXPECT_TRUE(doc.Contains(r.XMLIdx)) << r.XMLIdx;
        EXPECT_EQ(doc.Find(r.XMLIdx)->DriverDesc, r.DriverDesc);
    }
    EXPECT_EQ(doc.AddOrCount(records[2]), DriverDocument::AddResult::Counted);
    EXPECT_EQ(doc.Find(records[2].XMLIdx)->NumDeviceInstances, 1);
}

TEST(DriverDocumentWrite, DocumentsWithEmptyElementsUnderTheRootStillMatch) {
    // An empty Device is filled by the first record; an empty DriverDesc under the root
    // takes the place of every record's own, as append mode has always done.
    TempDir dir;
    for (const std::string body : {"<PC><Device/><Other>t</Other></PC>", "<PC><Device>x</Device><DriverDesc/></PC>"}) {
        const fs::path file = dir.Write("msd_PC.vlx", body);
        const fs::path start = dir.Write("start.vlx", body);
        DriverDocument doc(FixedClock);
        ASSERT_TRUE(doc.Begin("PC", file)) << doc.ErrorText();
        const std::vector<DriverRecord> records = VariedRecords();
        for (const DriverRecord& r : records) ASSERT_TRUE(doc.Write(r));
        ASSERT_TRUE(doc.Save());
        EXPECT_EQ(ReadFile(file), WrittenByTheGeneralPath(start, records)) << body;
        EXPECT_EQ(doc.RecordCount(), body.find("<Device/>") != std::string::npos ? 3u : 4u);
        EXPECT_TRUE(doc.Contains(records[2].XMLIdx));
    }
}

}  // namespace
}  // namespace vornel
