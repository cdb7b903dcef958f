// The INF reader over 2,000 generated INF files of realistic size (2 KB to 150 KB, about
// 20 KB on average; one in ten UTF-16): each file read the way a scan reads it, against
// reading the same bytes once. Within 2x of BM_ReadBytesOnce is the goal.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "inf/inf_reader.h"
#include "platform/profile_reader.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;

struct Inf {
    fs::path path;
    std::string section;  // the install section a driver key would name
};

// One driver INF: [Version], models, decorated install sections with CopyFiles, file-list
// sections, registry sections, source disks and a [Strings] section. `style` 0 copies its
// files from the install section and names a catalog, 1 only names them under
// [SourceDisksFiles], 2 copies them from a section no install section names: one of each
// parse methods.
std::string MakeInf(std::mt19937& rng, int n, int style, std::string& section) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int models = pick(3, 120), files = pick(4, 40), strings = pick(20, 400);
    const std::string drv = "Drv" + std::to_string(n);
    section = drv + ".Install";
    std::string t;
    t += "; Driver package " + std::to_string(n) + "\r\n; Copyright notice\r\n\r\n";
    t += "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
         "ClassGuid={4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider=%Mfg%\r\n"
         "DriverVer=07/01/2006,6.0." + std::to_string(n) + ".0 ; build lab\r\n";
    if (style == 0) t += "CatalogFile=" + drv + ".cat\r\n";
    t += "\r\n[Manufacturer]\r\n%Mfg%=Models,NTx86\r\n\r\n[Models.NTx86]\r\n";
    for (int m = 0; m < models; ++m)
        t += "%Dev" + std::to_string(m) + ".Desc% = " + section + ", PCI\\VEN_8086&DEV_" +
             std::to_string(1000 + m) + "&SUBSYS_00000000\r\n";
    t += "\r\n[" + section + ".NTx86]\r\nCharacteristics=0x84\r\nBusType=5\r\n";
    if (style == 0) t += "CopyFiles=@" + drv + ".sys, " + drv + ".Files\r\n";
    t += "AddReg=" + drv + ".Reg\r\n\r\n[" + section + ".NTx86.Services]\r\nAddService=" + drv +
         ",2," + drv + ".Service\r\n\r\n[" + section + ".NTx86.CoInstallers]\r\n";
    if (style == 0) t += "CopyFiles=" + drv + ".CoInst\r\n";
    t += "\r\n[" + drv + (style == 2 ? ".Extra]\r\nCopyFiles = " + drv + ".Files\r\n\r\n[" : "]\r\n[");
    t += drv + ".Files]\r\n";
    for (int f = 0; f < files; ++f)
        t += drv + "_" + std::to_string(f) + (f % 3 ? ".dll" : ".sys") + ",,,2\r\n";
    t += "\r\n[" + drv + ".CoInst]\r\n" + drv + "co.dll\r\n\r\n[" + drv + ".Reg]\r\n";
    for (int r = 0; r < files * 3; ++r)
        t += "HKR, Ndi\\params\\Param" + std::to_string(r) + ", ParamDesc, 0, %Param" +
             std::to_string(r) + "%\r\n";
    t += "\r\n[" + drv + ".Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
         "ServiceBinary=%12%\\" + drv + ".sys\r\n\r\n[SourceDisksNames]\r\n1=%Disk%,,,\\x86\r\n";
    if (style != 2) {
        t += "\r\n[SourceDisksFiles]\r\n";
        for (int f = 0; f < files; ++f)
            t += drv + "_" + std::to_string(f) + (f % 3 ? ".dll" : ".sys") + " = 1,\\x86,\r\n";
    }
    t += "\r\n[Strings]\r\nMfg=\"Bench Vendor\"\r\nDisk=\"Bench Driver Disk\"\r\n";
    for (int s = 0; s < strings; ++s)
        t += "Param" + std::to_string(s) + "=\"Advanced property number " + std::to_string(s) +
             " of the adapter\"\r\n";
    for (int m = 0; m < models; ++m)
        t += "Dev" + std::to_string(m) + ".Desc=\"Bench Network Adapter model " +
             std::to_string(m) + "\"\r\n";
    return t;
}

struct Set {
    fs::path root;
    std::vector<Inf> infs;
    uint64_t bytes = 0;

    Set() {
        root = fs::temp_directory_path() / ("vornel-bench-inf-" + std::to_string(::getpid()));
        fs::create_directories(root);
        std::mt19937 rng(4);
        for (int n = 0; n < 2000; ++n) {
            Inf inf;
            const int style = n % 10 < 7 ? 0 : (n % 10 < 9 ? 1 : 2);
            std::string text = MakeInf(rng, n, style, inf.section);
            if (n % 10 == 3) text = "\xFF\xFE" + vornel::text::Utf8ToUtf16Le(text);
            inf.path = root / ("oem" + std::to_string(n) + ".inf");
            std::ofstream(inf.path, std::ios::binary) << text;
            bytes += text.size();
            infs.push_back(inf);
        }
    }
    ~Set() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

const Set& TheSet() {
    static const Set set;
    return set;
}

void Counters(benchmark::State& state, const Set& set) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * set.infs.size()));
    state.counters["files"] = static_cast<double>(set.infs.size());
    state.counters["MB"] = static_cast<double>(set.bytes) / 1e6;
}

// The physical floor: every file opened and read once.
void BM_ReadBytesOnce(benchmark::State& state) {
    const Set& set = TheSet();
    std::string buf(1 << 20, '\0');
    for (auto _ : state) {
        for (const Inf& inf : set.infs) {
            const int fd = ::open(inf.path.c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t n = 0;
            while ((n = ::read(fd, buf.data(), buf.size())) > 0) benchmark::DoNotOptimize(buf.data());
            ::close(fd);
        }
    }
    Counters(state, set);
}
BENCHMARK(BM_ReadBytesOnce)->Unit(benchmark::kMillisecond);

// Read and parse only: the profile reader's share.
void BM_ProfileParse(benchmark::State& state) {
    const Set& set = TheSet();
    for (auto _ : state) {
        vornel::platform::ProfileReader profile;
        for (const Inf& inf : set.infs) benchmark::DoNotOptimize(profile.Open(inf.path).file);
    }
    Counters(state, set);
}
BENCHMARK(BM_ProfileParse)->Unit(benchmark::kMillisecond);

// What a scan does per INF: the methods in the order 1|2|3 until one gives a list, then
// the [SourceDisksFiles] section the locator adds. A new profile reader per iteration,
// so every file is read and parsed within the figure.
void BM_ScrapeLikeAScan(benchmark::State& state) {
    const Set& set = TheSet();
    uint64_t names = 0;
    for (auto _ : state) {
        vornel::platform::ProfileReader profile;
        vornel::inf::InfReader reader(profile);
        names = 0;
        for (const Inf& inf : set.infs) {
            std::string list;
            for (int method = 1; method <= 3 && list.empty(); ++method)
                list = reader.p_ScrapeInfDoTheRealWork(method, inf.path, inf.section);
            std::string sdf;
            reader.mP_GetPrivateProfileSection(inf.path, "SourceDisksFiles", sdf);
            names += vornel::text::Split(list, "|").size();
            benchmark::DoNotOptimize(sdf);
        }
    }
    Counters(state, set);
    state.counters["names"] = static_cast<double>(names);
}
BENCHMARK(BM_ScrapeLikeAScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
