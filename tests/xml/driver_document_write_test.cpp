// DriverDocument::Write builds its elements directly when nothing can be reused; the saved
// bytes must be those of the general writer, mP_InfScratchPad, on the same document.
#include <gtest/gtest.h>

#include <random>
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

// What a scan does to its document: records written, counted, replaced and looked up.
void ScanLikeChanges(DriverDocument& doc, std::vector<std::string>& seen) {
    DriverRecord odd = VariedRecords()[0];
    odd.XMLIdx = "dup";  // also the key of the record the kept document holds
    ASSERT_TRUE(doc.Write(odd));
    DriverRecord nine = VariedRecords()[2];
    nine.NumDeviceInstances = 9;
    nine.ClassGUID = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
    nine.InfSectionExt = "<.NT&x86>";
    ASSERT_TRUE(doc.Write(nine));
    ASSERT_TRUE(doc.Write(VariedRecords()[1]));
    // 9 becomes 10: the text grows and every later field moves.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(doc.RaiseInstanceCount(nine.XMLIdx));
    const auto fields = doc.FindFields(nine.XMLIdx, {"XMLIdx", "InfSectionExt", "NumDeviceInstances", "ClassGUID"});
    ASSERT_TRUE(fields);
    seen.push_back(fields->XMLIdx + "|" + fields->InfSectionExt + "|" + std::to_string(fields->NumDeviceInstances) +
                   "|" + fields->ClassGUID);
    seen.push_back(doc.Find(nine.XMLIdx)->DeviceDesc);
    // The kept document's record comes first, then the one written.
    ASSERT_TRUE(doc.RaiseInstanceCount("dup"));
    seen.push_back(std::to_string(doc.Find("dup")->NumDeviceInstances) + doc.Find("dup")->DriverDesc);
    ASSERT_TRUE(doc.Remove("dup"));
    seen.push_back(std::to_string(doc.Find("dup")->NumDeviceInstances) + doc.Find("dup")->DriverDesc);
    EXPECT_EQ(doc.AddOrCount(odd), DriverDocument::AddResult::Counted);
    seen.push_back(std::to_string(doc.RecordCount()));
    ASSERT_TRUE(doc.Remove("dup"));
    EXPECT_FALSE(doc.Remove("dup"));
    EXPECT_FALSE(doc.RaiseInstanceCount("dup"));
    EXPECT_FALSE(doc.Contains("dup"));
    ASSERT_TRUE(doc.Write(odd));
    seen.push_back(std::to_string(doc.RecordCount()));
}

TEST(DriverDocumentWrite, RecordsHeldAsTextBehaveAsNodesDo) {
    // Written records stay text until the save; the same changes made to a document whose
    // records are nodes from the start must read and save the same.
    TempDir dir;
    const std::string kept =
        "<PC><Device><DriverDesc>old</DriverDesc><NumDeviceInstances>1</NumDeviceInstances>"
        "<XMLVLX><XMLIdx>dup</XMLIdx></XMLVLX></Device></PC>";
    std::vector<std::string> saved;
    std::vector<std::vector<std::string>> seen(2);
    for (const bool nodes : {false, true}) {
        const fs::path file = dir.Write(nodes ? "msd_nodes.vlx" : "msd_text.vlx", kept);
        DriverDocument doc(FixedClock);
        ASSERT_TRUE(doc.Begin("PC", file)) << doc.ErrorText();
        if (nodes) doc.Dom();  // records are written as nodes from here on
        ScanLikeChanges(doc, seen[nodes]);
        ASSERT_TRUE(doc.Save()) << doc.ErrorText();
        saved.push_back(ReadFile(file));
        EXPECT_EQ(saved.back(), xml::SerializeDocument(doc.Dom()));
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0][0], "PCICC_0604|<.NT&x86>|12|{4D36E97E-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(seen[0][2], "2old");
    EXPECT_EQ(seen[0][3], "32767" + VariedRecords()[0].DriverDesc);
    EXPECT_EQ(saved[0], saved[1]);
}

TEST(DriverDocumentWrite, RandomChangesReadAndSaveAlikeAsTextAndAsNodes) {
    // A few hundred writes, counts, replacements and removals over a handful of keys, some
    // of them odd, applied to both forms: every answer and the saved bytes must agree.
    TempDir dir;
    const std::vector<DriverRecord> kinds = VariedRecords();
    const std::vector<std::string> keys = {"a", "b&c", "<d>", "", "e, \xC3\xA9", "f\tg"};
    std::vector<std::string> saved, answers(2);
    for (const bool nodes : {false, true}) {
        std::mt19937 rng(7);
        const fs::path file = dir.path() / (nodes ? "nodes.vlx" : "text.vlx");
        DriverDocument doc(FixedClock);
        ASSERT_TRUE(doc.Begin("PC", file));
        if (nodes) doc.Dom();
        std::string& out = answers[nodes];
        for (int step = 0; step < 400; ++step) {
            const std::string& key = keys[rng() % keys.size()];
            DriverRecord r = kinds[rng() % kinds.size()];
            r.XMLIdx = key;
            r.NumDeviceInstances = static_cast<int16_t>(rng() % 12);
            r.IsDeviceConnected = rng() % 2;
            switch (rng() % 5) {
                case 0: out += std::to_string(static_cast<int>(doc.AddOrCount(r))); break;
                case 1: out += doc.Write(r) ? "w" : "W"; break;
                case 2: out += doc.Remove(key) ? "r" : "R"; break;
                case 3: out += doc.RaiseInstanceCount(key) ? "c" : "C"; break;
                default:
                    if (const auto f = doc.FindFields(key, {"NumDeviceInstances", "XMLIdx", "IsDeviceConnected"}))
                        out += std::to_string(f->NumDeviceInstances) + f->XMLIdx + (f->IsDeviceConnected ? "+" : "-");
                    else
                        out += "none";
            }
            out += std::to_string(doc.RecordCount()) + ";";
        }
        ASSERT_TRUE(doc.Save());
        saved.push_back(ReadFile(file));
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(saved[0], saved[1]);
}

}  // namespace
}  // namespace vornel
