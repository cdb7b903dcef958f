#include "platform/system_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/folder_listing.h"
#include "platform/path_fold.h"
#include "support/last_error.h"
#include "test_support.h"

namespace vornel::platform {
namespace {

namespace fs = std::filesystem;

// An installation under <tmp>/root, with a secret beside it that must stay out of reach.
class SystemImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.Write("secret.txt", "outside");
        for (const char* f :
             {"WiNdOwS/System32/DRIVERS/Foo.SYS", "WiNdOwS/inf/oem3.INF", "WiNdOwS/inf/OEM10.inf",
              "WiNdOwS/inf/readme.txt", "WiNdOwS/inf/Other/x.inf", "WiNdOwS/System32/CONFIG/system",
              "WiNdOwS/System32/CONFIG/Software", "Program Files/App/app.exe",
              "Главное меню/Ünïcödé.lnk"})
            dir_.Write(std::string("root/") + f, "data");
    }
    fs::path Root() const { return dir_.path() / "root"; }
    fs::path Host(const std::string& rel) const { return Root() / rel; }
    void Link(const std::string& target, const std::string& at) const {
        fs::create_symlink(target, Host(at));
    }

    test::TempDir dir_;
};

TEST_F(SystemImageTest, EveryPathFormFindsTheSameFileWithoutRegardToCase) {
    const SystemImage image(Root());
    EXPECT_EQ(image.WindowsFolderName(), "WiNdOwS");
    EXPECT_EQ(image.Variable("systemroot"), "C:\\WiNdOwS");
    EXPECT_EQ(image.WindowsFolder(), Host("WiNdOwS"));
    EXPECT_EQ(image.HiveFile("SYSTEM"), Host("WiNdOwS/System32/CONFIG/system"));
    EXPECT_EQ(image.HiveFile("SOFTWARE"), Host("WiNdOwS/System32/CONFIG/Software"));
    EXPECT_EQ(image.HiveFile("SAM"), std::nullopt);

    const fs::path sys = Host("WiNdOwS/System32/DRIVERS/Foo.SYS");
    for (const char* p :
         {"C:\\WINDOWS\\system32\\drivers\\foo.sys", "c:/windows/SYSTEM32/Drivers/FOO.sys",
          "%SystemRoot%\\system32\\drivers\\foo.sys", "%WINDIR%\\system32\\drivers\\foo.sys",
          "\\SystemRoot\\System32\\drivers\\foo.sys",
          "\\??\\C:\\Windows\\System32\\drivers\\foo.sys",
          "\\\\?\\c:\\windows\\system32\\drivers\\foo.sys",
          "\\\\.\\C:\\windows\\system32\\drivers\\foo.sys",
          "\\WINDOWS\\system32\\\\drivers\\.\\foo.sys"})
        EXPECT_EQ(image.Resolve(p), sys) << p;
    EXPECT_EQ(image.Resolve(std::string("C:\\windows\\inf\\oem3.inf") + '\0' + "junk"),
              Host("WiNdOwS/inf/oem3.INF"));
    EXPECT_EQ(image.Resolve("C:\\"), Root());
    EXPECT_EQ(image.Resolve("c:\\главное МЕНЮ\\üNÏCÖDÉ.LNK"), Host("Главное меню/Ünïcödé.lnk"));

    EXPECT_TRUE(image.IsFile("C:\\Windows\\Inf\\OEM10.INF"));
    EXPECT_TRUE(image.IsFolder("C:\\Windows\\Inf\\other\\"));
    EXPECT_FALSE(image.IsFolder("C:\\Windows\\Inf\\oem10.inf"));

    SetLastErrorCode(0);
    for (const char* p :
         {"D:\\WINDOWS\\inf\\oem3.inf", "oem3.inf", "C:oem3.inf",
          "C:", "\\\\server\\C$\\WINDOWS\\inf\\oem3.inf", "\\Device\\HarddiskVolume1\\WINDOWS"})
        EXPECT_FALSE(image.Exists(p)) << p;
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\inf\\missing.inf"));
    EXPECT_EQ(GetLastErrorCode(), 2u);
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\nodir\\oem3.inf"));
    EXPECT_EQ(GetLastErrorCode(), 3u);
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\inf\\oem3.inf\\x"));  // a file is no folder
    EXPECT_EQ(GetLastErrorCode(), 3u);
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\inf\\oem3.inf\\"));
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\inf\\oem*.inf"));
    EXPECT_EQ(GetLastErrorCode(), 123u);
}

TEST_F(SystemImageTest, DotsAndBlanksAreNormalisedAsWindowsDoes) {
    const SystemImage image(Root());
    const fs::path inf = Host("WiNdOwS/inf/oem3.INF");
    EXPECT_EQ(image.Resolve("C:\\WINDOWS\\nosuch\\..\\inf\\oem3.inf"), inf);  // ".." is lexical
    EXPECT_EQ(image.Resolve("C:\\WINDOWS. \\inf..\\oem3.inf. ."), inf);  // trailing dots, blanks
    EXPECT_FALSE(image.Exists("\\\\?\\C:\\WINDOWS.\\inf\\oem3.inf"));    // verbatim: no trimming
    EXPECT_FALSE(image.Exists("\\\\?\\C:\\WINDOWS\\..\\WINDOWS\\inf"));
    EXPECT_FALSE(image.Exists("\\SystemRoot\\..\\WINDOWS\\inf"));
    EXPECT_FALSE(image.Exists("C:\\WINDOWS\\...\\inf"));
    // Only the last name odd, in a plain folder known from the lookups above.
    EXPECT_EQ(image.Resolve("C:\\WINDOWS\\inf\\oem3.inf."), inf);
    EXPECT_EQ(image.Resolve("C:\\WINDOWS\\inf\\oem3.inf "), inf);
    SystemImage named(Root());
    named.SetVariable("InfName", "oem3.inf");
    EXPECT_EQ(named.Resolve("C:\\WINDOWS\\inf\\oem10.inf"), Host("WiNdOwS/inf/OEM10.inf"));
    EXPECT_EQ(named.Resolve("C:\\WINDOWS\\inf\\%InfName%"), inf);
    // A path of thousands of names (an INF may name anything) is answered, not recursed into.
    std::string deep = "C:";
    for (int i = 0; i < 16000; ++i) deep += "\\a";
    EXPECT_FALSE(named.Exists(deep + "\\oem3.inf"));
    EXPECT_EQ(GetLastErrorCode(), 3u);

    // A name that really ends in a dot is out of Win32's reach, but the verbatim form names it.
    dir_.Write("root/odd.", "x");
    EXPECT_FALSE(image.Exists("C:\\odd."));
    EXPECT_EQ(SystemImage(Root()).Resolve("\\\\?\\C:\\odd."), Host("odd."));

    // ".." never climbs above the root, however it is spelled.
    for (const char* p : {"C:\\..\\secret.txt", "C:\\..\\WINDOWS\\inf\\oem3.inf",
                          "C:\\WINDOWS\\..\\..\\secret.txt", "%SystemRoot%\\..\\..\\secret.txt",
                          "\\SystemRoot\\..\\..\\secret.txt", "C:/../root/../secret.txt"})
        EXPECT_FALSE(image.Exists(p)) << p;
}

TEST_F(SystemImageTest, SymbolicLinksCountOnlyInsideTheRoot) {
    fs::create_directories(dir_.path() / "outside");
    dir_.Write("outside/x.inf", "outside");
    Link((dir_.path() / "outside").string(), "WiNdOwS/absolute");
    Link("../../../outside", "WiNdOwS/inf/relative");
    Link("/etc/passwd", "WiNdOwS/passwd");
    Link("../secret.txt", "secret.txt");
    Link("missing", "WiNdOwS/dangling");
    Link("loop2", "WiNdOwS/loop1");
    Link("loop1", "WiNdOwS/loop2");
    Link("inf", "WiNdOwS/alias");                   // inside: fine
    Link("../../Program Files", "WiNdOwS/inf/pf");  // inside by a detour
    fs::create_directory_symlink(Root(), dir_.path() / "via-link");

    for (const fs::path& root : {Root(), dir_.path() / "via-link"}) {
        const SystemImage image(root);
        for (const char* p : {"C:\\windows\\absolute\\x.inf", "C:\\windows\\inf\\relative\\x.inf",
                              "C:\\windows\\passwd", "C:\\secret.txt", "C:\\windows\\dangling",
                              "C:\\windows\\loop1", "C:\\windows\\loop2\\x"})
            EXPECT_FALSE(image.Exists(p)) << p;
        EXPECT_EQ(image.Resolve("C:\\windows\\ALIAS\\oem3.inf"), root / "WiNdOwS/alias/oem3.INF");
        EXPECT_TRUE(image.IsFile("C:\\windows\\inf\\pf\\app\\app.exe"));
        const auto names = image.List("C:\\windows");
        ASSERT_TRUE(names);
        for (const ImageEntry& e : *names)
            EXPECT_TRUE(e.name == "alias" || e.name == "inf" || e.name == "System32") << e.name;
    }
}

TEST_F(SystemImageTest, EachFolderIsListedOnceWhateverIsAsked) {
    const SystemImage image(Root());
    const uint64_t start = image.ListingCount();
    EXPECT_EQ(start, 1u);  // the root, to find the Windows folder
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(image.Exists("C:\\Windows\\INF\\oem3.inf"));
        EXPECT_FALSE(image.Exists("C:\\Windows\\INF\\missing" + std::to_string(i) + ".inf"));
        EXPECT_FALSE(image.Exists("C:\\Windows\\INF\\Other\\nothing.inf"));
    }
    EXPECT_EQ(image.ListingCount(), start + 3);  // Windows, inf, Other
    // A miss answered again from memory still says why.
    for (int i = 0; i < 2; ++i) {
        SetLastErrorCode(0);
        EXPECT_FALSE(image.Exists("C:\\Windows\\nowhere\\x.inf"));
        EXPECT_EQ(GetLastErrorCode(), win::kPathNotFound);
        SetLastErrorCode(0);
        EXPECT_FALSE(image.Exists("C:\\Windows\\INF\\missing0.inf"));
        EXPECT_EQ(GetLastErrorCode(), win::kFileNotFound);
    }
    // A file created after its folder was listed stays unseen: misses cost nothing.
    dir_.Write("root/WiNdOwS/inf/late.inf", "x");
    EXPECT_FALSE(image.Exists("C:\\Windows\\inf\\late.inf"));
    EXPECT_EQ(image.ListingCount(), start + 3);
}

// Lookups search listings by key: the order must be the keys' byte order, then the names,
// whatever the first bytes of the keys share.
TEST_F(SystemImageTest, ListingsAreOrderedByKeyThenName) {
    const std::vector<std::string> names = {
        "b",       "B",         "a",          "ab",         "AB",     "a b",     "abcdefgh", "ABCDEFGH1",
        "abcdefgh10", "abcdefgh2", "abcdefgi", "abcdefg",   "\xC3\xA9", "\xC3\x89", "\xC3\xBF", "z~",
        "Z",       "longname1.sys", "LONGNAME10.sys", "longname2.sys"};
    for (const std::string& n : names) dir_.Write("root/mixed/" + n, "x");
    const FolderListing listing = ReadFolderListing(Host("mixed"));
    ASSERT_EQ(listing.entries.size(), names.size());
    for (const FolderEntry& e : listing.entries) EXPECT_EQ(e.key, FoldName(e.name)) << e.name;
    for (size_t i = 1; i < listing.entries.size(); ++i) {
        const FolderEntry &a = listing.entries[i - 1], &b = listing.entries[i];
        EXPECT_TRUE(a.key < b.key || (a.key == b.key && a.name < b.name)) << a.name << " before " << b.name;
    }
    const SystemImage image(Root());
    for (const char* p : {"C:\\MIXED\\abcdefgh10", "C:\\mixed\\\xC3\x89", "C:\\mixed\\\xC5\xB8", "C:\\mixed\\A B"})
        EXPECT_TRUE(image.IsFile(p)) << p;
}

TEST_F(SystemImageTest, FoldersReadAheadAreTheListingsAskedFor) {
    Link("inf", "WiNdOwS/alias");
    FolderReadAhead ahead(Host("WiNdOwS"), {"system32\\drivers", "INF\\Other", "alias\\Other", "nowhere\\x"});
    ahead.WaitUntilRead();
    auto names = [](const FolderListing& l) {
        std::vector<std::string> out;
        for (const FolderEntry& e : l.entries) out.push_back(e.name + (e.kind == EntryKind::Folder ? "/" : ""));
        return out;
    };
    for (const char* folder : {"WiNdOwS/System32/DRIVERS", "WiNdOwS/System32", "WiNdOwS/inf/Other", "WiNdOwS/inf"}) {
        bool readAhead = false;
        const FolderListing taken = ahead.Take(Host(folder), &readAhead);
        EXPECT_TRUE(readAhead) << folder;
        EXPECT_TRUE(taken.readable);
        EXPECT_EQ(names(taken), names(ReadFolderListing(Host(folder)))) << folder;
        // Handed over once; then the taker's own read.
        EXPECT_EQ(names(ahead.Take(Host(folder), &readAhead)), names(taken)) << folder;
        EXPECT_FALSE(readAhead) << folder;
    }
    bool readAhead = true;
    ahead.Take(Host("WiNdOwS/alias/Other"), &readAhead);
    EXPECT_FALSE(readAhead);  // links are the view's to check

    // A folder the taker lists before the reader gets there is not listed again: the reader
    // goes on below it from the taker's listing. Whatever the timing, each folder is listed
    // once in all, and what is below is still read ahead.
    for (int round = 0; round < 100; ++round) {
        FolderReadAhead racing(Host("WiNdOwS"), {"System32\\DRIVERS", "inf\\Other"});
        uint64_t ownReads = 0;
        for (const char* folder : {"WiNdOwS", "WiNdOwS/System32"}) {
            bool readAhead = false;
            EXPECT_EQ(names(racing.Take(Host(folder), &readAhead)), names(ReadFolderListing(Host(folder))));
            ownReads += readAhead ? 0 : 1;
        }
        racing.WaitUntilRead();
        bool readAhead = false;
        EXPECT_EQ(names(racing.Take(Host("WiNdOwS/System32/DRIVERS"), &readAhead)).size(), 1u);
        EXPECT_TRUE(readAhead) << round;
        EXPECT_EQ(racing.ListingCount() + ownReads, 5u) << round;  // Windows, System32, DRIVERS, inf, Other
    }

    // Two readers, from both ends of the list, meet on the folders their paths share: each
    // folder is still listed once, and every one is read ahead.
    for (int round = 0; round < 100; ++round) {
        FolderReadAhead both(Host("WiNdOwS"),
                             {"System32\\DRIVERS", "System32\\CONFIG", "inf", "inf\\Other", "System32"});
        both.WaitUntilRead();
        EXPECT_EQ(both.ListingCount(), 6u) << round;  // Windows, System32, DRIVERS, CONFIG, inf, Other
        for (const char* folder : {"WiNdOwS", "WiNdOwS/System32", "WiNdOwS/System32/DRIVERS",
                                   "WiNdOwS/System32/CONFIG", "WiNdOwS/inf", "WiNdOwS/inf/Other"}) {
            bool readAhead = false;
            EXPECT_EQ(names(both.Take(Host(folder), &readAhead)), names(ReadFolderListing(Host(folder))));
            EXPECT_TRUE(readAhead) << folder << " in round " << round;
        }
    }

    // A view reading ahead answers as one that does not, and lists each folder once.
    const SystemImage plain(Root());
    SystemImage early(Root());
    early.ReadAhead({"system32\\drivers", "inf", "alias"});
    for (const char* p : {"C:\\windows\\alias\\oem3.inf", "C:\\windows\\system32\\drivers\\foo.sys",
                          "C:\\windows\\inf\\OEM10.INF", "C:\\windows\\inf\\none.inf"}) {
        EXPECT_EQ(early.Resolve(p), plain.Resolve(p)) << p;
        const auto path = plain.Resolve(p);
        EXPECT_EQ(early.ResolveText(p), path ? std::optional(path->string()) : std::nullopt) << p;
    }
    EXPECT_EQ(early.List("C:\\windows\\inf", "*.inf")->size(), 2u);
    EXPECT_EQ(early.ListingCount(), plain.ListingCount());
}

TEST_F(SystemImageTest, FactsAndFolderSearches) {
    const SystemImage image(Root());
    const timespec when[2] = {{1199145600, 0}, {1199145600, 0}};  // 2008-01-01 00:00:00 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, Host("WiNdOwS/inf/oem3.INF").c_str(), when, 0), 0);
    const auto facts = image.Stat("%windir%\\inf\\OEM3.INF");
    ASSERT_TRUE(facts);
    EXPECT_FALSE(facts->folder);
    EXPECT_EQ(facts->size, 4u);
    EXPECT_EQ(facts->modified, 1199145600);
    // Like the listings, a file's facts are read once for the life of the view.
    const timespec later[2] = {{1230768000, 0}, {1230768000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Host("WiNdOwS/inf/oem3.INF").c_str(), later, 0), 0);
    EXPECT_EQ(image.Stat("C:\\WINDOWS\\INF\\oem3.inf")->modified, 1199145600);
    EXPECT_EQ(SystemImage(Root()).Stat("C:\\WINDOWS\\INF\\oem3.inf")->modified, 1230768000);
    EXPECT_TRUE(image.Stat("C:\\WINDOWS\\INF")->folder);
    EXPECT_FALSE(image.Stat("C:\\WINDOWS\\INF\\none"));

    // Files in more folders than the view keeps open, asked in turn, and one through a link
    // inside the root: each gets its own facts.
    constexpr int kFolders = 12;
    for (int i = 0; i < kFolders; ++i)
        dir_.Write("root/many/f" + std::to_string(i) + "/x.sys", std::string(static_cast<size_t>(i), 'x'));
    Link("f3", "many/link");
    const SystemImage fresh(Root());
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < kFolders; ++i)
            EXPECT_EQ(fresh.Stat("C:\\many\\F" + std::to_string(i) + "\\X.SYS")->size, static_cast<uint64_t>(i)) << i;
    EXPECT_EQ(fresh.Stat("C:\\many\\link\\x.sys")->size, 3u);

    const auto infs = image.List("C:\\WINDOWS\\INF", "*.INF");
    ASSERT_TRUE(infs);
    ASSERT_EQ(infs->size(), 2u);
    EXPECT_EQ((*infs)[0].name, "OEM10.inf");
    EXPECT_EQ((*infs)[1].name, "oem3.INF");
    EXPECT_EQ(image.List("C:\\WINDOWS\\INF\\", "*.*")->size(), 4u);
    EXPECT_TRUE(image.List("C:\\WINDOWS\\INF", "other")->at(0).folder);
    EXPECT_FALSE(image.List("C:\\WINDOWS\\INF\\oem3.inf"));
    EXPECT_FALSE(image.List("C:\\WINDOWS\\nothing"));

    EXPECT_TRUE(MatchesWildcard("setupapi.dev.log", "SETUP?PI.*.LOG"));
    EXPECT_TRUE(MatchesWildcard("Ünïcödé.lnk", "ü*É.LNK"));
    EXPECT_FALSE(MatchesWildcard("oem3.inf", "oem?.inf?"));
    EXPECT_FALSE(MatchesWildcard(std::string(200, 'a'), "*a*a*a*a*a*a*a*a*b"));
}

TEST_F(SystemImageTest, WindowsFolderVariablesAndDrive) {
    // Two candidates: the one holding the SYSTEM hive wins.
    test::TempDir other;
    other.Write("windows/explorer.exe", "x");
    other.Write("WINNT/System32/config/SYSTEM", "regf");
    other.Write("Inf/Other/a.inf", "x");
    other.Write("Inf/OTHER/b.inf", "x");
    SystemImage image(other.path());
    EXPECT_EQ(image.WindowsFolderName(), "WINNT");
    EXPECT_EQ(image.Variable("SystemRoot"), "C:\\WINNT");
    EXPECT_TRUE(image.HiveFile("system"));
    // Names that differ only in case on this host: the exact spelling wins.
    EXPECT_EQ(image.Resolve("C:\\Inf\\OTHER\\b.inf"), other.path() / "Inf/OTHER/b.inf");
    EXPECT_EQ(image.Resolve("C:\\Inf\\Other\\a.inf"), other.path() / "Inf/Other/a.inf");

    EXPECT_TRUE(image.Exists("C:\\WINNT"));
    image.SetVariable("SystemDrive", "d:");
    image.SetVariable("SystemRoot", "D:\\WINNT");
    EXPECT_EQ(image.SystemDrive(), 'D');
    EXPECT_TRUE(image.Exists("%SYSTEMROOT%\\system32\\config\\system"));
    EXPECT_TRUE(image.Exists("\\SystemRoot\\system32\\config\\system"));
    EXPECT_FALSE(image.Exists("C:\\WINNT"));
    EXPECT_EQ(image.Expand("%ProgramFiles%\\a;%NOPE%\\b;100%;%%;%SystemDrive%%windir%"),
              "C:\\Program Files\\a;%NOPE%\\b;100%;%%;d:C:\\WINNT");

    const SystemImage empty(dir_.path() / "no-such-root");
    EXPECT_FALSE(empty.RootReadable());
    EXPECT_EQ(empty.WindowsFolderName(), "");
    EXPECT_EQ(empty.Variable("SystemRoot"), "C:\\WINDOWS");
    EXPECT_FALSE(empty.Exists("C:\\"));
    EXPECT_FALSE(empty.HiveFile("SYSTEM"));
}

}  // namespace
}  // namespace vornel::platform
