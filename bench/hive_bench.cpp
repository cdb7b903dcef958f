// Reading a SYSTEM-sized hive: a synthetic hive of a real SYSTEM hive's shape and size
// (thousands of device keys with their properties, driver class keys, services) is
// written once, then opened and walked in full as `vornel reg dump` walks it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "platform/hive_store.h"
#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"
#include "support/text.h"

namespace {

using namespace vornel::platform;
namespace fs = std::filesystem;

std::string Sz(const std::string& s) { return vornel::text::Utf8ToUtf16Le(s) + std::string(2, '\0'); }
std::string Multi(const std::vector<std::string>& items) {
    std::string r;
    for (const auto& i : items) r += vornel::text::Utf8ToUtf16Le(i) + std::string(2, '\0');
    return r + std::string(2, '\0');
}
std::string Dword(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Guid(unsigned n) {
    char b[64];
    std::snprintf(b, sizeof b, "{%08x-%04x-11d0-bfc1-08002be10%03x}", 0x4d36e900u + n, n % 0xFFFF, n % 4096);
    return b;
}

struct Counts {
    size_t keys = 0, values = 0, devices = 0;
};

void Device(RegFileStore& s, const std::string& bus, const std::string& id, const std::string& inst, unsigned n,
            Counts& c) {
    const std::string path = "ControlSet001\\Enum\\" + bus + "\\" + id + "\\" + inst;
    const KeyId k = s.CreatePath(path);
    const std::string cls = Guid(n % 60);
    s.SetValue(k, {"DeviceDesc", kRegSz, Sz("@oem" + std::to_string(n % 90) + ".inf,%dev_" + std::to_string(n) +
                                            "%;Synthetic " + bus + " Device Number " + std::to_string(n))});
    s.SetValue(k, {"LocationInformation", kRegSz, Sz("Port_#000" + std::to_string(n % 8) + ".Hub_#0004")});
    s.SetValue(k, {"Capabilities", kRegDword, Dword(0x84)});
    s.SetValue(k, {"Address", kRegDword, Dword(n % 32)});
    s.SetValue(k, {"ContainerID", kRegSz, Sz(Guid(n + 1000))});
    s.SetValue(k, {"HardwareID", kRegMultiSz,
                   Multi({bus + "\\" + id + "&SUBSYS_" + std::to_string(1000 + n) + "&REV_01", bus + "\\" + id + "&REV_01",
                          bus + "\\" + id})});
    s.SetValue(k, {"CompatibleIDs", kRegMultiSz, Multi({bus + "\\CC_0C0330", bus + "\\CC_0C03", bus + "\\Class_0C"})});
    s.SetValue(k, {"ClassGUID", kRegSz, Sz(cls)});
    s.SetValue(k, {"Driver", kRegSz, Sz(cls + "\\" + std::to_string(1000 + n % 100).substr(1))});
    s.SetValue(k, {"Mfg", kRegSz, Sz("@oem" + std::to_string(n % 90) + ".inf,%mfg%;Synthetic Devices Inc.")});
    s.SetValue(k, {"Service", kRegSz, Sz("svc" + std::to_string(n % 700))});
    s.SetValue(k, {"ConfigFlags", kRegDword, Dword(0)});
    c.values += 12;
    s.SetValue(s.CreatePath(path + "\\Device Parameters"), {"EnhancedPowerManagementEnabled", kRegDword, Dword(1)});
    s.CreatePath(path + "\\LogConf");
    c.keys += 3;
    // Device properties: one key per property with a typed default value, as Windows keeps them.
    for (unsigned p = 0; p < 14; ++p) {
        const std::string prop = path + "\\Properties\\" + Guid(200 + p % 5) + "\\" + std::to_string(10000 + p).substr(1);
        s.SetValue(s.CreatePath(prop), {"", 0xFFFF0000u | (p % 3 ? 0x12u : 0x10u),
                                         p % 3 ? Sz("property text " + std::to_string(n * 14 + p)) : std::string(8, '\x01')});
        ++c.values;
        ++c.keys;
    }
    c.keys += 6;
    ++c.devices;
}

// A SYSTEM-like tree: Select, Enum with its device instances, Control\Class, Services.
Counts Fill(RegFileStore& s) {
    Counts c;
    const KeyId select = s.CreatePath("Select");
    for (auto [name, v] : {std::pair{"Current", 1u}, {"Default", 1u}, {"LastKnownGood", 2u}, {"Failed", 0u}})
        s.SetValue(select, {name, kRegDword, Dword(v)});
    const char* buses[] = {"PCI", "USB", "HID", "ACPI", "ROOT", "SWD", "STORAGE", "HDAUDIO", "DISPLAY", "BTHENUM"};
    unsigned n = 0;
    for (unsigned b = 0; b < 10; ++b) {
        for (unsigned d = 0; d < 130; ++d) {
            char id[64];
            std::snprintf(id, sizeof id, "VEN_%04X&DEV_%04X", 0x8000 + b * 37, 0x1000 + d * 13);
            for (unsigned i = 0; i < 1 + d % 3; ++i)
                Device(s, buses[b], id, std::to_string(3 + i) + "&" + std::to_string(0x1158 * (d + 1)) + "&0&" + std::to_string(i), n++, c);
        }
    }
    for (unsigned g = 0; g < 60; ++g) {
        const std::string cls = "ControlSet001\\Control\\Class\\" + Guid(g);
        s.SetValue(s.CreatePath(cls), {"Class", kRegSz, Sz("SyntheticClass" + std::to_string(g))});
        for (unsigned i = 0; i < 25; ++i) {
            const KeyId k = s.CreatePath(cls + "\\" + std::to_string(10000 + i).substr(1));
            s.SetValue(k, {"DriverDesc", kRegSz, Sz("Synthetic driver " + std::to_string(g * 100 + i))});
            s.SetValue(k, {"ProviderName", kRegSz, Sz("Synthetic Devices Inc.")});
            s.SetValue(k, {"DriverVersion", kRegSz, Sz("10.0." + std::to_string(19041 + i) + ".1")});
            s.SetValue(k, {"DriverDate", kRegSz, Sz("6-21-2006")});
            s.SetValue(k, {"DriverDateData", kRegBinary, std::string("\x00\x80\x8c\xa3\xc5\x94\xc6\x01", 8)});
            s.SetValue(k, {"InfPath", kRegSz, Sz("oem" + std::to_string(i) + ".inf")});
            s.SetValue(k, {"InfSection", kRegSz, Sz("Synthetic_Install.NT")});
            s.SetValue(k, {"MatchingDeviceId", kRegSz, Sz("pci\\ven_8086&dev_" + std::to_string(1000 + i))});
            c.values += 8;
            ++c.keys;
        }
    }
    for (unsigned i = 0; i < 700; ++i) {
        const std::string svc = "ControlSet001\\Services\\svc" + std::to_string(i);
        const KeyId k = s.CreatePath(svc);
        s.SetValue(k, {"Type", kRegDword, Dword(1)});
        s.SetValue(k, {"Start", kRegDword, Dword(3)});
        s.SetValue(k, {"ErrorControl", kRegDword, Dword(1)});
        s.SetValue(k, {"ImagePath", kRegExpandSz, Sz("\\SystemRoot\\System32\\drivers\\svc" + std::to_string(i) + ".sys")});
        s.SetValue(k, {"DisplayName", kRegSz, Sz("@oem1.inf,%svc" + std::to_string(i) + "%;Synthetic Service")});
        s.SetValue(k, {"Owners", kRegMultiSz, Multi({"oem" + std::to_string(i % 90) + ".inf"})});
        s.SetValue(s.CreatePath(svc + "\\Parameters"), {"BusType", kRegDword, Dword(i % 7)});
        c.values += 7;
        c.keys += 2;
    }
    return c;
}

struct Fixture {
    fs::path dir, file;
    Counts counts;
    uintmax_t bytes = 0;
    Fixture() {
        std::string tmpl = (fs::temp_directory_path() / "vornel-hive-bench-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        dir = tmpl;
        file = dir / "SYSTEM";
        RegFileStore s;
        counts = Fill(s);
        std::string error;
        if (!WriteHive(s, s.Root(), file, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        bytes = fs::file_size(file);
    }
    ~Fixture() { fs::remove_all(dir); }
};

const Fixture& Hive() {
    static Fixture f;
    return f;
}

size_t Walk(const RegistryStore& s, KeyId k) {
    std::vector<RegValue> values;
    s.Values(k, values);
    size_t n = values.size();
    for (const auto& v : values) benchmark::DoNotOptimize(v.data.data());
    std::vector<std::string> names;
    s.SubKeyNames(k, names);
    for (const auto& name : names) n += 1 + Walk(s, s.Child(k, name));
    return n;
}

// Open plus a full walk, every key and every value read, as one `reg dump` does.
void BM_HiveOpenAndDump(benchmark::State& state) {
    const Fixture& f = Hive();
    size_t items = 0;
    for (auto _ : state) {
        std::string error;
        auto h = HiveStore::Open(f.file, &error);
        if (!h) state.SkipWithError(error.c_str());
        items = Walk(*h, h->Root());
    }
    state.counters["hive_MB"] = static_cast<double>(f.bytes) / (1 << 20);
    state.counters["keys+values"] = static_cast<double>(items);
    state.counters["devices"] = static_cast<double>(f.counts.devices);
}
BENCHMARK(BM_HiveOpenAndDump)->Unit(benchmark::kMillisecond);

// Opening alone: reading the file and checking every structure before hivex sees it.
void BM_HiveOpen(benchmark::State& state) {
    const Fixture& f = Hive();
    for (auto _ : state) {
        std::string error;
        benchmark::DoNotOptimize(HiveStore::Open(f.file, &error));
    }
}
BENCHMARK(BM_HiveOpen)->Unit(benchmark::kMillisecond);

// The device scan's pattern: every device instance looked up by path, a few values read.
void BM_HiveDeviceLookups(benchmark::State& state) {
    const Fixture& f = Hive();
    std::string error;
    auto h = HiveStore::Open(f.file, &error);
    if (!h) state.SkipWithError(error.c_str());
    std::vector<std::string> paths;
    std::vector<std::string> buses, ids, insts;
    const KeyId enumKey = h->Walk(h->Root(), "ControlSet001\\Enum");
    h->SubKeyNames(enumKey, buses);
    for (const auto& b : buses) {
        h->SubKeyNames(h->Child(enumKey, b), ids);
        for (const auto& id : ids) {
            h->SubKeyNames(h->Walk(enumKey, b + "\\" + id), insts);
            for (const auto& i : insts) paths.push_back("CONTROLSET001\\ENUM\\" + b + "\\" + id + "\\" + i);
        }
    }
    for (auto _ : state) {
        RegValue v;
        for (const auto& p : paths) {
            const KeyId k = h->Walk(h->Root(), p);
            for (const char* name : {"HardwareID", "CompatibleIDs", "Driver", "ClassGUID", "Service", "Missing"})
                benchmark::DoNotOptimize(h->FindValue(k, name, v));
        }
    }
    state.counters["devices"] = static_cast<double>(paths.size());
}
BENCHMARK(BM_HiveDeviceLookups)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
