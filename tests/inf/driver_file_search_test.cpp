// The probe table: row order, the driver backups, the INF's CoreFilePath folder, names that
// try to leave the installation, and folders whose names fold alike on a case-sensitive host.
#include <random>

#include "inf/driver_file_search.h"
#include "inf/inf_text.h"
#include "installation_fixture.h"

namespace vornel::test {
namespace {

using DriverFileSearchTest = InstallationTest;

TEST_P(DriverFileSearchTest, FirstRowHoldingTheFileWins) {
    Put("WINDOWS\\both.dll");
    Put("WINDOWS\\Inf\\both.dll");
    Put("WINDOWS\\Inf\\ks.inf", "[Version]\r\n");
    DriverRecord r;
    EXPECT_EQ(Find("both.dll", r), "C:\\WINDOWS\\both.dll");
    EXPECT_EQ(Find("ks.inf", r), "C:\\WINDOWS\\Inf\\ks.inf");
    EXPECT_EQ(Find("gone.sys", r), "");
    EXPECT_EQ(Find("GONE.SYS", r), "");
    EXPECT_EQ(r.AdditionalInfFiles, "C:\\WINDOWS\\Inf\\ks.inf");
    EXPECT_EQ(r.InfInstallFilesMissing, "gone.sys");

    // Windows 9x: the system folder comes before its drivers folder.
    info_.sWinSysDirUNC = "C:\\WINDOWS\\SYSTEM";
    Put("WINDOWS\\SYSTEM\\twice.vxd");
    Put("WINDOWS\\SYSTEM\\drivers\\twice.vxd");
    Context();
    EXPECT_EQ(Find("twice.vxd", r), "C:\\WINDOWS\\SYSTEM\\twice.vxd");
}

TEST_P(DriverFileSearchTest, BackupsAreSearchedLastUpToNumberFifty) {
    const std::string backups = "WINDOWS\\system32\\ReinstallBackups\\";
    Put(backups + "0007\\DriverFiles\\i386\\old.sys");
    Put(backups + "0009\\DriverFiles\\old.sys");
    Put(backups + "0010\\DriverFiles\\old.sys");
    Put(backups + "0051\\DriverFiles\\late.sys");
    Put(backups + "0003\\DriverFiles\\i386\\here.sys");
    Put("WINDOWS\\system32\\here.sys");
    DriverRecord r;
    EXPECT_EQ(Find("old.sys", r),
              "C:\\WINDOWS\\system32\\ReinstallBackups\\0007\\DriverFiles\\i386\\old.sys");
    EXPECT_EQ(Find("late.sys", r), "");
    EXPECT_EQ(Find("here.sys", r), "C:\\WINDOWS\\system32\\here.sys");
}

TEST_P(DriverFileSearchTest, CoreFilePathFolderOfEachInf) {
    Put("WINDOWS\\Inf\\oem1.inf",
        "[Version]\r\nSignature=\"$CHICAGO$\"\r\n\r\n[Strings]\r\n"
        "CoreFilePath = \"Acme Mouse\" ; set up by the vendor\r\n");
    Put("WINDOWS\\Inf\\oem2.inf", "[Version]\r\n\r\n[Strings]\r\ncorefilepath=Beta\\Tools\r\n");
    Put("Program Files\\Acme Mouse\\point.exe");
    Put("Documents and Settings\\All Users\\Application Data\\Beta\\Tools\\point.exe");
    DriverRecord first, second;
    first.InfFile = "C:\\WINDOWS\\Inf\\oem1.inf";
    second.InfFile = "C:\\WINDOWS\\Inf\\oem2.inf";
    // One locator for both INFs, asked in turn.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Find("point.exe", first), "C:\\Program Files\\Acme Mouse\\point.exe");
        EXPECT_EQ(
            Find("point.exe", second),
            "C:\\Documents and Settings\\All Users\\Application Data\\Beta\\Tools\\point.exe");
    }
}

// The key is searched for many bytes at a time: it must be found wherever it falls, after
// near misses, and at the very end of the text.
TEST_P(DriverFileSearchTest, CoreFilePathFoundAtAnyPlace) {
    constexpr size_t kPlaces = 40;
    for (size_t pad = 0; pad < kPlaces; ++pad)
        Put("WINDOWS\\Inf\\oem" + std::to_string(pad) + ".inf",
            std::string(pad, ';') + "\r\nCoreFilePat=a\r\nCoreFile Path=b\r\nCOREfILEpATHS=c\r\n" +
                "CoreFilePath\r\ncOrEfIlEpAtH\t=Vendor\\Tools");
    Put("WINDOWS\\Inf\\none.inf", std::string(100, 'h') + "CoreFilePath");
    inf::DriverFileSearch search(Context(), true);
    for (size_t pad = 0; pad < kPlaces; ++pad)
        EXPECT_EQ(search.CoreFolder("C:\\WINDOWS\\Inf\\oem" + std::to_string(pad) + ".inf"), "Vendor\\Tools")
            << pad;
    EXPECT_EQ(search.CoreFolder("C:\\WINDOWS\\Inf\\none.inf"), "");
}

TEST_P(DriverFileSearchTest, NamesAreLookedUpOnlyInsideTheInstallation) {
    dir_.Write("outside.sys", "MZ");
    Put("WINDOWS\\system32\\drivers\\in.sys");
    DriverRecord r;
    EXPECT_EQ(Find("..\\..\\..\\outside.sys", r), "");
    EXPECT_EQ(Find("..\\..\\..\\..\\..\\..\\outside.sys", r), "");
    EXPECT_EQ(Find("C:\\WINDOWS\\system32\\drivers\\in.sys", r), "");
    EXPECT_EQ(Find("..\\WINDOWS\\system32\\drivers\\in.sys", r),
              "C:\\WINDOWS\\..\\WINDOWS\\system32\\drivers\\in.sys");
    // A base folder the record does not know is not the drive's root.
    dir_.Write("root/outside.sys", "MZ");
    info_.CommFavorites.clear();
    Context();
    EXPECT_EQ(Find("outside.sys", r), "");
    EXPECT_EQ(r.InfInstallFilesMissing,
              "..\\..\\..\\outside.sys|..\\..\\..\\..\\..\\..\\outside.sys|C:"
              "\\WINDOWS\\system32\\drivers\\in.sys|"
              "outside.sys");
}

// On a case-sensitive host a folder may hold names that fold alike, or a folder named like
// the file: the index must see what the SystemImage sees.
TEST_P(DriverFileSearchTest, NamesFoldingAlikeAndFoldersNamedLikeFiles) {
    Put("WINDOWS\\system32\\DUP.SYS");
    Put("WINDOWS\\system32\\dup.sys");
    std::filesystem::create_directories(Root() / "WINDOWS" / "thing.sys");
    Put("WINDOWS\\system32\\drivers\\thing.sys");
    std::filesystem::create_directories(Root() / "WINDOWS" / "Foo.SYS");
    Put("WINDOWS\\FOO.sys");
    std::filesystem::create_directories(Root() / "WINDOWS" / "bar.sys");
    Put("WINDOWS\\BAR.SYS");
    Put("WINDOWS\\system32\\bar.sys");
    DriverRecord r;
    EXPECT_EQ(Find("dup.sys", r), "C:\\WINDOWS\\system32\\dup.sys");
    EXPECT_EQ(Find("thing.sys", r), "C:\\WINDOWS\\system32\\Drivers\\thing.sys");
    EXPECT_EQ(Find("foo.sys", r), "C:\\WINDOWS\\foo.sys");
    EXPECT_EQ(Find("bar.sys", r), "C:\\WINDOWS\\system32\\bar.sys");
}

INSTANTIATE_TEST_SUITE_P(Locator, DriverFileSearchTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ForScan" : "OneCall"; });

}  // namespace
}  // namespace vornel::test

namespace vornel::test {
namespace {

TEST(UniqueListAppender, AddsAsTheListFunctionDoesWhateverTheItems) {
    // Items that fold alike in ASCII, Latin-1 and Greek, items holding the separator, empty
    // items, and lists that start with entries (duplicates and empty ones among them).
    const std::vector<std::string> pool = {"a.sys", "A.SYS", "b.dll", "café.inf", "CAFÉ.INF", "σ.sys", "Σ.SYS",
                                           "x|a.sys", "y|z", "", "long\\path\\to\\driver_file_name.sys",
                                           "LONG\\PATH\\TO\\DRIVER_FILE_NAME.SYS", "c.cat"};
    std::mt19937 random(7);
    for (const std::string start : {"", "a.sys", "b.dll||A.SYS|", "|"}) {
        for (int round = 0; round < 40; ++round) {
            std::string fast = start, slow = start;
            inf::UniqueListAppender appender(fast);
            for (int i = 0; i < 60; ++i) {
                const std::string& item = pool[random() % pool.size()];
                appender.Add(item);
                slow = inf::mP_AppendToList(item, slow, "|", true, 1);
                ASSERT_EQ(fast, slow) << "start '" << start << "', item '" << item << "'";
            }
        }
    }
}

}  // namespace
}  // namespace vornel::test
