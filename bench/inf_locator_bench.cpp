// The install-file locator over a generated Windows XP installation: 2,000 driver keys, each
// with an INF of realistic size (2 KB to 150 KB, about 20 KB on average) under Windows\Inf,
// whose files lie in the usual driver folders (one in eight is missing), some INFs including
// inbox INFs and naming a CoreFilePath folder. Each iteration is a new scan: a new view of
// the installation and a new profile reader, so every listing, read and parse is counted.
// Against BM_ReadBytesOnce, every INF the locator reads read once; within 2x is the goal.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "inf/install_files.h"
#include "platform/heap_tuning.h"
#include "platform/profile_reader.h"
#include "platform/reg_file_store.h"
#include "platform/system_image.h"

namespace {

namespace fs = std::filesystem;
using vornel::DriverRecord;

constexpr int kDrivers = 2000;
constexpr const char* kClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

struct Installation {
    fs::path root;
    std::vector<fs::path> infs;  // every INF the locator reads
    uint64_t bytes = 0;
    std::shared_ptr<vornel::platform::RegFileStore> store;

    void Put(const std::string& rel, const std::string& bytes) {
        const fs::path p = root / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }

    // One driver's INF; its files are put in place as well, save every eighth.
    std::string MakeInf(std::mt19937& rng, int n) {
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        const std::string d = "drv" + std::to_string(n), inst = d + ".Install";
        const int style =
            n %
            10;  // 0-6 CopyFiles in the install section, 7-8 only [SourceDisksFiles], 9 elsewhere
        const int files = pick(3, 25), models = pick(2, 80), regs = pick(10, 250),
                  strings = pick(20, 450);
        const bool core = n % 7 == 0;
        std::string t = "; " + d + ".inf\r\n; Copyright (c) Vendor " + std::to_string(n % 40) +
                        "\r\n\r\n[Version]\r\n"
                        "Signature=\"$Windows "
                        "NT$\"\r\nClass=Net\r\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\r\n"
                        "Provider=%V%\r\nDriverVer=03/14/2006,5.1." +
                        std::to_string(n) + ".0\r\n";
        if (n % 5) t += "CatalogFile=" + d + ".cat\r\n";
        t += "\r\n[Manufacturer]\r\n%V%=Vendor,NTx86\r\n\r\n[Vendor.NTx86]\r\n";
        for (int m = 0; m < models; ++m)
            t += "%Dev" + std::to_string(m) + "% = " + inst + ", PCI\\VEN_10EC&DEV_" +
                 std::to_string(8100 + m) + "&SUBSYS_" + std::to_string(10000000 + m) + "\r\n";
        t += "\r\n[" + inst + ".NTx86]\r\nCharacteristics=0x84\r\nBusType=5\r\nAddReg=" + d +
             ".Reg\r\n";
        if (style < 7) t += "CopyFiles=@" + d + ".sys, " + d + ".Files\r\n";
        if (n % 8 == 0)
            t += "Include=ks.inf, wdmaudio.inf\r\nNeeds=KS.Registration, WDMAUDIO.Registration\r\n";
        t += "\r\n[" + inst + ".NTx86.Services]\r\nAddService=" + d + ", 2, " + d +
             ".Service\r\n\r\n[" + inst + ".NTx86.CoInstallers]\r\nAddReg=" + d + ".CoReg\r\n";
        if (style < 7) t += "CopyFiles=" + d + ".CoFiles\r\n";
        if (style == 9) t += "\r\n[" + d + ".Upgrade]\r\nCopyFiles=" + d + ".Files\r\n";
        std::vector<std::string> names{d + ".sys"};
        t += "\r\n[" + d + ".Files]\r\n";
        for (int f = 0; f < files; ++f) {
            names.push_back(d + (f % 3 ? "u" : "k") + std::to_string(f) +
                            (f % 3 ? ".dll" : ".sys"));
            t += names.back() + ",,,0x00000002\r\n";
        }
        names.push_back(d + "co.dll");
        t += "\r\n[" + d + ".CoFiles]\r\n" + names.back() + "\r\n\r\n[" + d + ".Reg]\r\n";
        for (int r = 0; r < regs; ++r)
            t += "HKR, Ndi\\params\\Param" + std::to_string(r) + ", ParamDesc, 0, %P" +
                 std::to_string(r) + "%\r\n";
        t += "\r\n[" + d + ".CoReg]\r\nHKR,,CoInstallers32,0x00010000,\"" + d +
             "co.dll,CoInstaller\"\r\n\r\n[" + d +
             ".Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\" +
             d + ".sys\r\n\r\n[SourceDisksNames]\r\n1=%Disk%,,,\\i386\r\n";
        if (style != 9) {
            t += "\r\n[SourceDisksFiles]\r\n";
            for (const std::string& f : names) t += f + " = 1,\\i386,\r\n";
        }
        t += "\r\n[Strings]\r\nV=\"Vendor " + std::to_string(n % 40) +
             "\"\r\nDisk=\"Driver Disk\"\r\n";
        if (core) t += "CoreFilePath=\"Vendor" + std::to_string(n % 40) + "\\Tools\"\r\n";
        for (int s = 0; s < strings; ++s)
            t += "P" + std::to_string(s) + "=\"Advanced property " + std::to_string(s) +
                 " of the network adapter\"\r\n";
        for (int m = 0; m < models; ++m)
            t += "Dev" + std::to_string(m) + "=\"Network adapter model " + std::to_string(m) +
                 "\"\r\n";

        for (size_t i = 0; i < names.size(); ++i) {
            if ((static_cast<size_t>(n) + i) % 8 == 7) continue;  // not installed
            std::string where = i % 2 ? "WINDOWS/system32" : "WINDOWS/system32/drivers";
            if (i % 4 == 3)
                where = core ? "Program Files/Vendor" + std::to_string(n % 40) + "/Tools"
                             : "WINDOWS/system32/dllcache";
            Put(where + "/" + names[i], "MZ");
        }
        if (n % 5)
            Put("WINDOWS/system32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/" + d + ".cat",
                "0");
        return t;
    }

    Installation() {
        root = fs::temp_directory_path() / ("vornel-bench-locator-" + std::to_string(::getpid()));
        // Inbox files the driver files sit among.
        for (int i = 0; i < 1500; ++i)
            Put("WINDOWS/system32/sys" + std::to_string(i) + ".dll", "MZ");
        for (int i = 0; i < 300; ++i)
            Put("WINDOWS/system32/drivers/inbox" + std::to_string(i) + ".sys", "MZ");
        for (const char* f :
             {"Help", "Media", "system", "system32/spool/drivers/w32x86/3", "Inf/Other"})
            fs::create_directories(root / "WINDOWS" / f);
        for (const char* f :
             {"Start Menu/Programs/Startup", "Desktop", "Application Data", "Documents"})
            fs::create_directories(root / "Documents and Settings/All Users" / f);
        Put("WINDOWS/Inf/ks.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nLayoutFile=layout.inf\r\n\r\n"
            "[KS.Registration]\r\nCopyFiles=KS.Files\r\n\r\n[KS.Files]\r\nks.sys\r\nksproxy."
            "ax\r\n");
        Put("WINDOWS/Inf/wdmaudio.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[WDMAUDIO.Registration]\r\n"
            "CopyFiles=WDM.Files\r\n\r\n[WDM.Files]\r\nwdmaud.sys\r\nsysaudio.sys\r\n");
        for (const char* f : {"ks.sys", "wdmaud.sys", "sysaudio.sys"})
            Put(std::string("WINDOWS/system32/drivers/") + f, "MZ");
        infs = {root / "WINDOWS/Inf/ks.inf", root / "WINDOWS/Inf/wdmaudio.inf"};

        std::mt19937 rng(11);
        std::string reg =
            "Windows Registry Editor Version "
            "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n";
        for (int n = 0; n < kDrivers; ++n) {
            const std::string text = MakeInf(rng, n);
            Put("WINDOWS/Inf/oem" + std::to_string(n) + ".inf", text);
            infs.push_back(root / ("WINDOWS/Inf/oem" + std::to_string(n) + ".inf"));
            reg +=
                "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4D36E972-E325-"
                "11CE-BFC1-08002BE10318}\\" +
                std::to_string(n) + "]\r\n\"InfPath\"=\"oem" + std::to_string(n) +
                ".inf\"\r\n\"InfSection\"=\"drv" + std::to_string(n) +
                ".Install\"\r\n\"InfSectionExt\"=\".NTx86\"\r\n";
        }
        for (const fs::path& p : infs) bytes += fs::file_size(p);
        store = std::make_shared<vornel::platform::RegFileStore>();
        std::string error;
        if (!store->Import(reg, "bench.reg", &error)) throw std::runtime_error(error);
    }
    ~Installation() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

const Installation& TheInstallation() {
    static const Installation set;
    return set;
}

vornel::ComputerInfo XpInfo() {
    vornel::ComputerInfo info;
    info.bNT = true;
    info.sWinDirUM = info.sWinDirUNC = "C:\\WINDOWS";
    info.sWinSysDirUM = info.sWinSysDirUNC = "C:\\WINDOWS\\system32";
    info.ProgramPath = "C:\\Program Files";
    const std::string all = "C:\\Documents and Settings\\All Users";
    info.CommStartMenuPath = all + "\\Start Menu";
    info.CommStartMenuProgramsPath = info.CommProgramsPath = all + "\\Start Menu\\Programs";
    info.CommStartUpPath = all + "\\Start Menu\\Programs\\Startup";
    info.CommDesktopPath = all + "\\Desktop";
    info.CommFavorites = all + "\\Favorites";
    info.CommAppDataPath = all + "\\Application Data";
    info.CommTemplates = all + "\\Templates";
    info.CommPersonalPath = all + "\\Documents";
    return info;
}

// The physical floor: every INF the locator reads, opened and read once.
void BM_ReadBytesOnce(benchmark::State& state) {
    const Installation& set = TheInstallation();
    std::string buf(1 << 20, '\0');
    for (auto _ : state)
        for (const fs::path& inf : set.infs) {
            const int fd = ::open(inf.c_str(), O_RDONLY | O_CLOEXEC);
            while (::read(fd, buf.data(), buf.size()) > 0) benchmark::DoNotOptimize(buf.data());
            ::close(fd);
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes));
    state.counters["infs"] = static_cast<double>(set.infs.size());
    state.counters["MB"] = static_cast<double>(set.bytes) / 1e6;
}
BENCHMARK(BM_ReadBytesOnce)->Unit(benchmark::kMillisecond);

// The INF reader's share: the same INFs read as the locator reads them (the methods in
// order until one names files, then [SourceDisksFiles]), without registry, lookups or search.
void BM_ReaderCallsOnly(benchmark::State& state) {
    const Installation& set = TheInstallation();
    for (auto _ : state) {
        vornel::platform::ProfileReader profiles;
        vornel::inf::InfReader reader(profiles);
        for (int n = 0; n < kDrivers; ++n) {
            const fs::path& inf = set.infs[static_cast<size_t>(n) + 2];
            const std::string section = "drv" + std::to_string(n) + ".Install";
            for (int m = 1; m <= 3 && !reader.Scrape(m, inf, section).methodFound; ++m) {
            }
            std::string text;
            reader.mP_GetPrivateProfileSection(inf, "SourceDisksFiles", text);
            benchmark::DoNotOptimize(text);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes));
}
BENCHMARK(BM_ReaderCallsOnly)->Unit(benchmark::kMillisecond);

// One scan's install-file step for every driver key. forScan: the locator a scan keeps;
// otherwise the one-call function, each call starting afresh.
void Locate(benchmark::State& state, bool forScan) {
    const Installation& set = TheInstallation();
    vornel::platform::RegistryView view;
    view.Mount("", set.store);
    vornel::cReg reg(view);
    const vornel::ComputerInfo info = XpInfo();
    uint64_t files = 0, missing = 0, listings = 0, failed = 0;
    for (auto _ : state) {
        vornel::platform::SystemImage image(set.root);
        vornel::platform::ProfileReader profiles;
        vornel::ScanContext ctx{reg, info, &image, profiles};
        vornel::inf::InstallFileLocator locator(ctx, true);
        files = missing = failed = 0;
        for (int n = 0; n < kDrivers; ++n) {
            DriverRecord r;
            r.RegDriverInstance = kClassKey + std::to_string(n);
            if (!(forScan ? locator.p_GetInfInstallFiles(r) : vornel::p_GetInfInstallFiles(ctx, r)))
                ++failed;
            files += static_cast<uint64_t>(r.NumInstallFiles);
            missing += r.InfInstallFilesMissing.empty()
                           ? 0
                           : std::count(r.InfInstallFilesMissing.begin(),
                                        r.InfInstallFilesMissing.end(), '|') +
                                 1;
        }
        listings = image.ListingCount();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes));
    state.counters["files_found"] = static_cast<double>(files);
    state.counters["missing"] = static_cast<double>(missing);
    state.counters["listings"] = static_cast<double>(listings);
    state.counters["not_located"] = static_cast<double>(failed);
}
void BM_LocatorForScan(benchmark::State& state) { Locate(state, true); }
void BM_LocatorOneCallEach(benchmark::State& state) { Locate(state, false); }
BENCHMARK(BM_LocatorForScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocatorOneCallEach)->Unit(benchmark::kMillisecond);

// Beside the floor: every folder of the installation listed once with readdir, as the
// install-file search must list its probe folders (kernel work the floor does not count).
void BM_ListFoldersOnce(benchmark::State& state) {
    std::vector<fs::path> folders;
    for (const auto& e : fs::recursive_directory_iterator(TheInstallation().root))
        if (e.is_directory()) folders.push_back(e.path());
    size_t entries = 0;
    for (auto _ : state) {
        entries = 0;
        for (const fs::path& folder : folders) {
            DIR* dir = ::opendir(folder.c_str());
            while (const dirent* e = ::readdir(dir)) {
                benchmark::DoNotOptimize(e);
                ++entries;
            }
            ::closedir(dir);
        }
    }
    state.counters["folders"] = static_cast<double>(folders.size());
    state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ListFoldersOnce)->Unit(benchmark::kMillisecond);

}  // namespace

// The heap as the vornel command sets it up for a scan.
int main(int argc, char** argv) {
    vornel::platform::TuneHeapForScan();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
