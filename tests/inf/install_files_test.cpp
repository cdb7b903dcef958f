// The install-file step for one driver key: INF lookup, the choice of parse method, INF
// files named by the INF, [SourceDisksFiles], and INF files that cannot be read.
#include <gmock/gmock.h>

#include "installation_fixture.h"

namespace vornel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kCat = "C:\\WINDOWS\\system32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";

// A network driver INF; `install` is the body of its install section.
std::string NetInf(const std::string& install, const std::string& more = "") {
    return "; Acme network adapter\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
           "ClassGuid={4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider=%Acme%\r\n"
           "CatalogFile=acmenet.cat ; signed by the lab\r\nDriverVer=07/01/2006,6.0.1.4\r\n\r\n"
           "[Manufacturer]\r\n%Acme%=Acme,NTx86\r\n\r\n[Acme.NTx86]\r\n"
           "%AcmeNet.Desc%=AcmeNet.Install, PCI\\VEN_1234&DEV_0001\r\n\r\n"
           "[AcmeNet.Install.NTx86]\r\nCharacteristics=0x84\r\n" +
           install +
           "AddReg=AcmeNet.Reg\r\n\r\n"
           "[AcmeNet.Install.NTx86.CoInstallers]\r\nCopyFiles=AcmeNet.CoInst\r\n\r\n"
           "[AcmeNet.Files]\r\nacmeui.dll,,,2\r\nACMENET.SYS\r\nacmegone.dll\r\n\r\n"
           "[AcmeNet.CoInst]\r\nacmeco.dll\r\n\r\n[AcmeNet.Reg]\r\nHKR,Ndi,Service,0,"
           "\"acmenet\"\r\n\r\n" +
           more +
           "[Strings]\r\nAcme=\"Acme Networks\"\r\nAcmeNet.Desc=\"Acme Gigabit Adapter\"\r\n";
}
const std::string kSourceDisks =
    "[SourceDisksNames]\r\n1=%Disk%,,,\\x86\r\n\r\n[SourceDisksFiles]\r\nacmenet.sys = 1,\\x86,\r\n"
    "acmeui.dll  = 1,,\r\nacmeco.dll = 1\r\n\r\n";

class InstallFilesTest : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        Key("\"InfPath\"=\"oem3.inf\"\r\n\"InfSection\"=\"AcmeNet.Install\"\r\n\"InfSectionExt\"="
            "\".NTx86\"\r\n");
        Put("WINDOWS\\system32\\drivers\\acmenet.sys");
        Put("WINDOWS\\system32\\acmeui.dll");
        Put("WINDOWS\\system32\\acmeco.dll");
        Put(kCat.substr(3) + "acmenet.cat");
    }
};

TEST_P(InstallFilesTest, ListsTheInstallSectionFilesWhereTheyAreAndTheInfLast) {
    Put("WINDOWS\\Inf\\Other\\oem3.inf",
        NetInf("CopyFiles=@acmenet.sys, AcmeNet.Files\r\n", kSourceDisks));
    DriverRecord r;
    ASSERT_TRUE(Locate(r));
    EXPECT_EQ(r.InfFile, "C:\\WINDOWS\\Inf\\Other\\oem3.inf");
    EXPECT_EQ(r.InfSection + r.InfSectionExt, "AcmeNet.Install.NTx86");
    EXPECT_EQ(r.ParseMethod, 1);
    EXPECT_EQ(r.InfInstallFiles,
              "C:\\WINDOWS\\system32\\Drivers\\acmenet.sys|C:\\WINDOWS\\system32\\acmeui.dll|"
              "C:\\WINDOWS\\system32\\acmeco.dll|" +
                  kCat + "acmenet.cat|C:\\WINDOWS\\Inf\\Other\\oem3.inf");
    EXPECT_EQ(r.NumInstallFiles, 5);
    EXPECT_EQ(r.InfInstallFilesMissing, "acmegone.dll");
    EXPECT_EQ(LogRecords(), 0u);

    // An INF in both places is the one under "Inf\"; a value the key lacks leaves its field.
    Put("WINDOWS\\Inf\\oem3.inf", NetInf(""));
    Key("\"InfPath\"=\"oem3.inf\"\r\n\"InfSection\"=\"AcmeNet.Install\"\r\n");
    DriverRecord again;
    again.InfSectionExt = "kept";
    ASSERT_TRUE(Locate(again));
    EXPECT_EQ(again.InfFile, "C:\\WINDOWS\\Inf\\oem3.inf");
    EXPECT_EQ(again.InfSectionExt, "kept");
}

// The scan's locator works a shared INF's files out once; each record still gets its own
// spelling of the INF's path, and a record with lists of its own keeps them.
TEST_P(InstallFilesTest, DevicesSharingAnInfFindTheSameFiles) {
    if (!GetParam()) GTEST_SKIP() << "only the scan's locator keeps anything between devices";
    Put("WINDOWS\\Inf\\oem3.inf", NetInf("CopyFiles=@acmenet.sys, AcmeNet.Files\r\n", kSourceDisks));
    Context();
    inf::DriverKeyValues values{"oem3.inf", "AcmeNet.Install", ".NTx86"};
    auto locate = [&](DriverRecord& r) {
        r.RegDriverInstance = kDriverKey;
        return locator_->p_GetInfInstallFiles(r, values);
    };
    DriverRecord first, same, otherSpelling, ownLists;
    ASSERT_TRUE(locate(first));
    ASSERT_TRUE(locate(same));
    EXPECT_EQ(same.InfInstallFiles, first.InfInstallFiles);
    EXPECT_EQ(same.NumInstallFiles, first.NumInstallFiles);
    EXPECT_EQ(same.InfInstallFilesMissing, "acmegone.dll");

    ownLists.InfInstallFilesMissing = "earlier.sys";
    ASSERT_TRUE(locate(ownLists));
    EXPECT_EQ(ownLists.InfInstallFilesMissing, "earlier.sys|acmegone.dll");
    EXPECT_EQ(ownLists.InfInstallFiles, first.InfInstallFiles);

    values.infPath = "OEM3.INF";
    ASSERT_TRUE(locate(otherSpelling));
    const std::string shared = first.InfInstallFiles.substr(0, first.InfInstallFiles.rfind('|') + 1);
    EXPECT_EQ(otherSpelling.InfInstallFiles, shared + "C:\\WINDOWS\\Inf\\OEM3.INF");
}

// Every list holds the catalog of the common tail: the method chosen is the first whose own
// steps name a file.
TEST_P(InstallFilesTest, LaterMethodsWhenTheInstallSectionCopiesNothing) {
    Put("WINDOWS\\Inf\\oem3.inf", NetInf("", kSourceDisks));
    DriverRecord bySourceDisks;
    ASSERT_TRUE(Locate(bySourceDisks));
    EXPECT_EQ(bySourceDisks.ParseMethod, 2);
    EXPECT_EQ(bySourceDisks.InfInstallFiles,
              "C:\\WINDOWS\\system32\\Drivers\\acmenet.sys|C:\\WINDOWS\\system32\\acmeui.dll|"
              "C:\\WINDOWS\\system32\\acmeco.dll|" +
                  kCat + "acmenet.cat|C:\\WINDOWS\\Inf\\oem3.inf");

    Put("WINDOWS\\Inf\\oem3.inf",
        NetInf("", "[AcmeNet.Extra]\r\nCopyFiles = AcmeNet.CoInst\r\n\r\n"));
    DriverRecord byWholeFile;
    ASSERT_TRUE(Locate(byWholeFile));
    EXPECT_EQ(byWholeFile.ParseMethod, 3);
    EXPECT_EQ(byWholeFile.InfInstallFiles, "C:\\WINDOWS\\system32\\acmeco.dll|" + kCat +
                                               "acmenet.cat|C:\\WINDOWS\\Inf\\oem3.inf");
}

TEST_P(InstallFilesTest, FollowsIncludedInfsButNeverItsOwnInfAgain) {
    Put("WINDOWS\\Inf\\ks.inf",
        "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[KS.Registration]\r\n"
        "CopyFiles=KS.Files\r\n\r\n[KS.Files]\r\nks.sys\r\n");
    Put("WINDOWS\\system32\\drivers\\ks.sys");
    // Read as a whole file, its own INF would add unused.sys.
    Put("WINDOWS\\Inf\\oem3.inf",
        NetInf("CopyFiles=@acmenet.sys\r\nInclude=ks.inf, OEM3.INF, "
               "nowhere.inf\r\nNeeds=KS.Registration\r\n",
               "[Unused]\r\nCopyFiles=Unused.Files\r\n\r\n[Unused.Files]\r\nunused.sys\r\n\r\n"));
    DriverRecord r;
    ASSERT_TRUE(Locate(r));
    EXPECT_EQ(r.ParseMethod, 1);
    EXPECT_THAT(r.InfInstallFiles, HasSubstr("C:\\WINDOWS\\system32\\Drivers\\ks.sys"));
    EXPECT_THAT(r.AdditionalInfFiles, HasSubstr("C:\\WINDOWS\\Inf\\ks.inf"));
    EXPECT_EQ(r.InfInstallFilesMissing, "nowhere.inf");
    EXPECT_THAT(r.InfInstallFiles + r.InfInstallFilesMissing, Not(HasSubstr("unused.sys")));
}

TEST_P(InstallFilesTest, NoInfPathOrNoInfLeavesTheRecordAlone) {
    Key("\"InfSection\"=\"AcmeNet.Install\"\r\n");
    DriverRecord r;
    r.InfSection = "kept";
    ASSERT_FALSE(Locate(r));
    EXPECT_EQ(r.InfSection, "kept");
    EXPECT_EQ(LogRecords(), 0u);

    Key("\"InfPath\"=\"oem9.inf\"\r\n\"InfSection\"=\"AcmeNet.Install\"\r\n");
    ASSERT_FALSE(Locate(r));
    EXPECT_EQ(r.InfFile, "oem9.inf");  // for the scan's "can not be located" text
    EXPECT_EQ(r.InfSection, "kept");
    EXPECT_EQ(r.InfInstallFiles, "");
    EXPECT_EQ(LogRecords(), 1u);
}

TEST_P(InstallFilesTest, AnUnreadableInfGivesItselfAloneAndOneLogRecord) {
    const std::string binary("MZ\x90\0\x03\0\0\0[Version]\r\nCatalogFile=x.cat\r\n", 34);
    size_t records = 0;
    for (const std::string& bytes : {std::string(), binary, std::string("huge")}) {
        Put("WINDOWS\\Inf\\oem3.inf", bytes);
        if (bytes == "huge")
            std::filesystem::resize_file(Root() / "WINDOWS/Inf/oem3.inf",
                                         platform::ProfileReader::kMaxFileBytes + 1);
        DriverRecord r;
        ASSERT_TRUE(Locate(r)) << bytes.size();
        EXPECT_EQ(r.InfInstallFiles, "C:\\WINDOWS\\Inf\\oem3.inf");
        EXPECT_EQ(r.NumInstallFiles, 1);
        EXPECT_EQ(r.ParseMethod, 0);
        EXPECT_EQ(LogRecords(), ++records) << bytes.size();
    }
}

TEST_P(InstallFilesTest, SourceDisksFilesAddsTrimmedNamesOnceAndSkipsComments) {
    Put("WINDOWS\\Inf\\oem3.inf",
        NetInf("",
               "[SourceDisksFiles]\r\nacmenet.sys = 1\r\nExtra.dll\t= 1,,\r\nreadme\r\n"
               ";old.sys = 1\r\nEXTRA.DLL=1\r\n\r\n") +
            "; padding past the size the 9x profile functions read\r\n" + std::string(33000, ';') +
            "\r\n");
    for (bool nt : {true, false}) {
        info_.bNT = nt;
        info_.bWin9x = !nt;
        std::string list = "ACMENET.SYS";
        ScanContext& ctx = Context();
        if (GetParam())
            locator_->p_ForceAddOfSourceDisksFiles("C:\\WINDOWS\\Inf\\oem3.inf", list);
        else
            p_ForceAddOfSourceDisksFiles(ctx, "C:\\WINDOWS\\Inf\\oem3.inf", list);
        EXPECT_EQ(list, "ACMENET.SYS|Extra.dll") << nt;
    }
    EXPECT_EQ(LogRecords(), 0u);
}

TEST_P(InstallFilesTest, InfPathAsGivenOrUnderTheChosenWindowsFolder) {
    info_.sWinDirUM = "C:\\WINNT";
    Put("WINNT\\Inf\\Other\\oem5.inf", "[Version]\r\n");
    Put("WINDOWS\\Inf\\oem3.inf", "[Version]\r\n");
    ScanContext& ctx = Context();
    std::string path = "stale";
    EXPECT_TRUE(mP_GetINFPath(ctx, "c:\\windows\\inf\\OEM3.INF", path, true, false));
    EXPECT_EQ(path, "c:\\windows\\inf\\OEM3.INF");
    EXPECT_FALSE(mP_GetINFPath(ctx, "c:\\windows\\inf\\OEM3.INF", path, true, true));
    EXPECT_EQ(path, "");
    EXPECT_TRUE(mP_GetINFPath(ctx, "oem5.inf", path, false, false));
    EXPECT_EQ(path, "C:\\WINNT\\Inf\\Other\\oem5.inf");
    EXPECT_FALSE(mP_GetINFPath(ctx, "oem5.inf", path, true, false));
    EXPECT_TRUE(mP_GetINFPath(ctx, "oem3.inf", path, true, true));
    EXPECT_EQ(path, "C:\\WINDOWS\\Inf\\oem3.inf");
}

INSTANTIATE_TEST_SUITE_P(Locator, InstallFilesTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ForScan" : "OneCall"; });

}  // namespace
}  // namespace vornel::test
