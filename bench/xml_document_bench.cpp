// Driver document: a scan's writes (with the duplicate check of every instance) and the
// save, at 1,000 and 20,000 records. The cost per record should not grow with the count.
// Then the writes of a large system's devices and the save on their own.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "scan/driver_record.h"
#include "xml/driver_document.h"

namespace {

namespace fs = std::filesystem;
using vornel::DriverDocument;
using vornel::DriverRecord;

// Records as a scan makes them; every tenth instance repeats an earlier device.
std::vector<DriverRecord> Instances(int n) {
    std::vector<DriverRecord> out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const int device = i % 10 == 9 ? i / 2 : i;
        DriverRecord r;
        r.DriverDesc = "Acme Network Adapter #" + std::to_string(device) + " (rev. 'B'), \"fast\"";
        r.DeviceDesc = r.DriverDesc;
        r.DeviceID = "PCI\\VEN_1234&DEV_" + std::to_string(device) + "\\3&61AAA01&0&10";
        r.DeviceInstanceId = "SYSTEM\\CurrentControlSet\\Enum\\" + r.DeviceID;
        r.Bus = "PCI";
        r.Type = "Network adapters";
        r.Class = "Net";
        r.Version = "8.4.1." + std::to_string(device);
        r.FileDate = "10/04/2006";
        r.Manufacturer = "Acme Silicon";
        r.ProviderName = "Acme";
        r.Driver = "{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + std::to_string(device);
        r.RegDriverInstance = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + r.Driver;
        r.InfFile = "C:\\WINDOWS\\inf\\oem" + std::to_string(device) + ".inf";
        r.InfSection = "E100E.ndi";
        r.HardwareID = {"PCI\\VEN_1234&DEV_" + std::to_string(device), "PCI\\VEN_1234"};
        r.ClassGUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
        r.InfInstallFiles = "acme.sys|acmeco.dll|acme.cat";
        r.NumInstallFiles = 3;
        r.IsDeviceConnected = r.IsDriverInstalled = true;
        r.XMLName = "AcmeNetworkAdapter#" + std::to_string(device);
        r.XMLIdx = "PCIVEN_1234&DEV_" + std::to_string(device) + " PCIVEN_1234";
        r.XMLInstallIdx = r.InfFile + r.InfSection;
        out.push_back(std::move(r));
    }
    return out;
}

void BM_ScanWritesAndSave(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<DriverRecord> records = Instances(n);
    const fs::path dir = fs::temp_directory_path() / ("vornel-bench-xml-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (auto _ : state) {
        DriverDocument doc([] { return std::string("01/02/2024 03:04:05"); });
        if (!doc.Begin("BENCH-PC", dir / "mid_BENCH-PC.vlx")) state.SkipWithError("Begin failed");
        for (const DriverRecord& r : records) benchmark::DoNotOptimize(doc.AddOrCount(r));
        if (!doc.Save()) state.SkipWithError("Save failed");
    }
    fs::remove_all(dir);
    state.counters["per_record"] = benchmark::Counter(static_cast<double>(n),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
// Warmed up so that both sizes run on a heap that has held a document before; otherwise the
// small size, repeated many times, reuses memory the large one must first fault in.
BENCHMARK(BM_ScanWritesAndSave)
    ->Arg(1000)
    ->Arg(20000)
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);

// A large system's devices as the scan writes them, once each: mostly plain text, the keys
// and ids with "&" and lists with ",", now and then a name outside ASCII, some fields empty.
std::vector<DriverRecord> Devices(int n) {
    std::vector<DriverRecord> out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const std::string id = std::to_string(i);
        DriverRecord r;
        r.DriverDesc = i % 7 == 0 ? "Acme\xC2\xAE High Definition Audio #" + id : "Acme PCI Express Root Port #" + id;
        r.DeviceDesc = r.DriverDesc;
        if (i % 11 == 0) r.FriendlyName = "P\xC3\xA9riph\xC3\xA9rique USB (" + id + ")";
        r.DeviceID = "PCI\\VEN_8086&DEV_" + id + "&SUBSYS_00000000&REV_02\\3&11583659&0&" + id;
        r.DeviceInstanceId = "SYSTEM\\CurrentControlSet\\Enum\\" + r.DeviceID;
        r.Bus = "PCI";
        r.Type = "System devices";
        r.Class = "System";
        r.Version = "10.0.19041." + id;
        r.FileDate = "06/21/2006";
        r.Manufacturer = "(Standard system devices)";
        r.ProviderName = "Acme";
        r.MSProvided = i % 3 == 0;
        r.Driver = "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\" + id;
        r.RegDriverInstance = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + r.Driver;
        r.InfFile = "C:\\WINDOWS\\inf\\machine.inf";
        r.InfSection = "PCI_DRV";
        r.InfSectionExt = i % 2 ? ".NT" : "";
        r.MatchingDeviceId = "pci\\ven_8086&dev_" + id;
        r.HardwareID = {"PCI\\VEN_8086&DEV_" + id + "&SUBSYS_00000000&REV_02", "PCI\\VEN_8086&DEV_" + id,
                        "PCI\\VEN_8086&CC_060400"};
        r.CompatibleIDs = {"PCI\\VEN_8086&CC_0604", "PCI\\CC_0604"};
        r.ClassGUID = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";
        r.DriverDateDerivedFile = "C:\\WINDOWS\\system32\\drivers\\pci.sys";
        r.InfInstallFiles = "pci.sys|pciidex.sys";
        r.NumInstallFiles = 2;
        r.ParseMethod = 1;
        r.TVIconIdx = 12;
        r.NumDeviceInstances = 1;
        r.IsDeviceConnected = r.IsDriverInstalled = true;
        r.XMLName = "AcmePCIExpressRootPort#" + id;
        r.XMLIdx = "PCIVEN_8086&DEV_" + id + "&SUBSYS_00000000&REV_02";
        r.XMLInstallIdx = r.InfFile + r.InfSection;
        out.push_back(std::move(r));
    }
    return out;
}

std::string FixedNow() { return "01/02/2024 03:04:05"; }

void BM_WriteDevices(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<DriverRecord> records = Devices(n);
    const fs::path dir = fs::temp_directory_path() / ("vornel-bench-xml-write-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (auto _ : state) {
        // Only the writes are timed: starting the document saves a file, and freeing it is
        // the caller's business.
        state.PauseTiming();
        auto doc = std::make_unique<DriverDocument>(FixedNow);
        if (!doc->Begin("BENCH-PC", dir / "mid_BENCH-PC.vlx")) state.SkipWithError("Begin failed");
        state.ResumeTiming();
        for (const DriverRecord& r : records) benchmark::DoNotOptimize(doc->Write(r));
        state.PauseTiming();
        doc.reset();
        state.ResumeTiming();
    }
    fs::remove_all(dir);
    state.counters["per_record"] = benchmark::Counter(static_cast<double>(n),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_WriteDevices)->Arg(1200)->MinWarmUpTime(0.5)->MinTime(2.0)->Unit(benchmark::kMillisecond);

void BM_SaveDevices(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const fs::path dir = fs::temp_directory_path() / ("vornel-bench-xml-save-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    DriverDocument doc(FixedNow);
    if (!doc.Begin("BENCH-PC", dir / "mid_BENCH-PC.vlx")) state.SkipWithError("Begin failed");
    for (const DriverRecord& r : Devices(n)) doc.Write(r);
    for (auto _ : state)
        if (!doc.Save()) state.SkipWithError("Save failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(fs::file_size(doc.File())));
    fs::remove_all(dir);
}
BENCHMARK(BM_SaveDevices)->Arg(1200)->MinWarmUpTime(0.5)->MinTime(2.0)->Unit(benchmark::kMillisecond);

// A reader's lookup of every key in the saved file by the XPath form, for comparison.
void BM_ReadEveryRecordBack(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const fs::path dir = fs::temp_directory_path() / ("vornel-bench-xml-read-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "mid_BENCH-PC.vlx";
    DriverDocument doc;
    doc.Begin("BENCH-PC", file);
    for (const DriverRecord& r : Instances(n)) doc.AddOrCount(r);
    doc.Save();
    for (auto _ : state) {
        std::vector<DriverRecord> back;
        std::string error;
        if (!vornel::ReadDriverDocument(file, back, error)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(back.data());
    }
    fs::remove_all(dir);
    state.counters["per_record"] = benchmark::Counter(static_cast<double>(doc.RecordCount()),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadEveryRecordBack)
    ->Arg(1000)
    ->Arg(20000)
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
