// The device tree, driver keys, printers and Windows facts of a synthetic installation,
// written as SYSTEM and SOFTWARE hives.
#include "synthetic_registry.h"

#include <cstdio>
#include <set>
#include <tuple>
#include <utility>

#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"

namespace vornel::bench::synth {

namespace fs = std::filesystem;
using platform::KeyId;
using platform::RegFileStore;

namespace {

constexpr const char* kUnknownClass = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kLegacyClass = "{8ECC055D-047F-11D1-A537-0000F8753ED1}";
constexpr const char* kUsbDeviceInterface = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kDiskInterface = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Wide(const std::string& ascii) {
    std::string w;
    w.reserve(ascii.size() * 2 + 2);
    for (unsigned char c : ascii) w += static_cast<char>(c), w += '\0';
    return w + std::string(2, '\0');
}

class Hive {
public:
    KeyId Key(const std::string& path) { return store_.CreatePath(path); }
    void Sz(KeyId k, const std::string& name, const std::string& v) { store_.SetValue(k, {name, platform::kRegSz, Wide(v)}); }
    void Dword(KeyId k, const std::string& name, uint32_t v) {
        store_.SetValue(k, {name, platform::kRegDword,
                            std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                                        static_cast<char>(v >> 24)}});
    }
    void Multi(KeyId k, const std::string& name, const std::vector<std::string>& items) {
        std::string data;
        for (const auto& i : items) data += Wide(i);
        store_.SetValue(k, {name, platform::kRegMultiSz, data + std::string(2, '\0')});
    }
    bool Write(const fs::path& file, uint64_t& bytes, std::string* why) {
        std::string error;
        if (!platform::WriteHive(store_, store_.Root(), file, &error)) {
            if (why) *why = "cannot write " + file.string() + ": " + error;
            return false;
        }
        std::error_code ec;
        bytes = fs::file_size(file, ec);
        fs::last_write_time(file, fs::last_write_time(file.parent_path().parent_path() / "kernel32.dll", ec), ec);
        return true;
    }

private:
    RegFileStore store_;
};

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

std::string RegistryDate(const std::string& mmddyyyy) {  // "07/01/2001" as "7-1-2001"
    return std::to_string(std::stoi(mmddyyyy.substr(0, 2))) + "-" + std::to_string(std::stoi(mmddyyyy.substr(3, 2))) +
           "-" + mmddyyyy.substr(6);
}

class TreeWriter {
public:
    TreeWriter(const Plan& plan, Rng& rng, SyntheticReport& r) : plan_(plan), rng_(rng), r_(r) {
        byClass_.resize(Classes().size());
        for (size_t i = 0; i < plan.infs.size(); ++i) byClass_[static_cast<size_t>(plan.infs[i].cls)].push_back(i);
        nextDriver_.assign(Classes().size(), 0);
    }

    void Devices(size_t wanted) {
        Instance("HTREE", "ROOT", "0", {}, false, true);
        ++r_.deviceKinds;
        while (r_.instances < wanted) {
            ++r_.deviceKinds;
            const unsigned roll = static_cast<unsigned>(rng_.Below(1000));
            const std::string n = std::to_string(r_.deviceKinds);
            if (roll < 20) {
                Instance("SW", "{b7eafdc0-a680-11d0-96d8-00aa0051e51d}", "{" + Guid(r_.deviceKinds) + "}",
                         {{"DeviceDesc", "Kernel Streaming Device " + n}, {"Class", "MEDIA"}}, false, true);
            } else if (roll < 50) {
                Instance("Root", "LEGACY_SVC" + n, "0000",
                         {{"DeviceDesc", "Service " + n}, {"Class", "LegacyDriver"}, {"ClassGUID", kLegacyClass}}, false, true);
            } else if (roll < 70) {
                const bool pci = rng_.Chance(50);
                Instance(pci ? "PCI" : "USB", (pci ? "VEN_8086&DEV_" : "VID_0A5C&PID_") + Hex4(static_cast<unsigned>(r_.deviceKinds)),
                         InstanceId(),
                         rng_.Chance(50) ? Values{{"DeviceDesc", pci ? "PCI Device" : "Unknown Device"}, {"ClassGUID", kUnknownClass}}
                                         : Values{{"DeviceDesc", pci ? "PCI Simple Communications Controller" : "USB Device"}},
                         rng_.Chance(85), false);
                ++r_.unknownInstances;
            } else if (roll < 75) {
                Instance("ACPI", "VND" + Hex4(static_cast<unsigned>(r_.deviceKinds)), InstanceId(), {}, false, false);
            } else {
                Regular(wanted);
            }
        }
    }

    void Printers(Hive& system, Hive& software, size_t count) {
        const auto& pool = byClass_[static_cast<size_t>(PrinterClass())];
        if (pool.empty()) return;
        const std::string env = "ControlSet001\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3\\";
        const std::string printers = "Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers\\";
        for (size_t p = 0; p < count; ++p) {
            const size_t i = pool[p % pool.size()];
            const InfSpec& inf = plan_.infs[i];
            const std::string driver = ModelName(inf, 0);
            std::vector<std::string> dlls, data, help;
            for (size_t f : inf.files) {
                const std::string& name = plan_.files[f].name;
                (name.ends_with(".dll") ? dlls : name.ends_with(".hlp") ? help : data).push_back(name);
            }
            const KeyId d = system.Key(env + driver);
            system.Sz(d, "Driver", dlls.empty() ? "unidrv.dll" : dlls[0]);
            system.Sz(d, "Configuration File", dlls.size() > 1 ? dlls[1] : "unidrvui.dll");
            system.Sz(d, "Data File", data.empty() ? "stdnames.gpd" : data[0]);
            system.Sz(d, "Help File", help.empty() ? "unidrv.hlp" : help[0]);
            std::vector<std::string> deps(dlls.size() > 2 ? dlls.begin() + 2 : dlls.end(), dlls.end());
            if (data.size() > 1) deps.insert(deps.end(), data.begin() + 1, data.end());
            system.Multi(d, "Dependent Files", deps);
            system.Dword(d, "Version", 3);
            system.Sz(d, "Manufacturer", inf.vendor);
            const KeyId c = system.Key("ControlSet001\\Control\\Class\\" + std::string(Classes()[static_cast<size_t>(PrinterClass())].guid) +
                                       "\\" + Num4(nextDriver_[static_cast<size_t>(PrinterClass())]++));
            DriverKey(system, c, inf, 0);
            ++r_.driverKeys;
            const std::string name = driver + (p < pool.size() ? "" : " (Copy " + std::to_string(p / pool.size() + 1) + ")");
            const bool remote = p == count - 1 && count > 2;
            const std::string key = remote ? "Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\LanMan Print Services\\Servers\\"
                                             "printsrv01\\Printers\\" + name
                                           : printers + name;
            const KeyId k = software.Key(key);
            software.Sz(k, "Name", remote ? "\\\\printsrv01\\" + name : name);
            software.Sz(k, "Printer Driver", driver);
            software.Sz(k, "Port", remote ? "IP_10.0.0.9" : "USB00" + std::to_string(p % 10));
            software.Sz(k, "Datatype", "RAW");
            software.Sz(k, "Location", "Floor " + std::to_string(p % 7));
            software.Dword(k, "dnsTimeout", 15000);
            software.Dword(k, "txTimeout", 45000);
            software.Sz(software.Key(key + "\\PrinterDriverData"), "Printer Model", driver);
            if (remote) software.Sz(software.Key(key + "\\DsSpooler"), "serverName", "printsrv01.example");
            ++r_.printers;
        }
    }

    void Write(Hive& system) {
        for (const auto& d : devices_) {
            const KeyId k = system.Key("ControlSet001\\Enum\\" + d.path);
            for (const auto& [name, value] : d.values) {
                if (name == "HardwareID" || name == "CompatibleIDs") system.Multi(k, name, Split(value));
                else if (name == "Capabilities" || name == "ConfigFlags") system.Dword(k, name, static_cast<uint32_t>(std::stoul(value)));
                else system.Sz(k, name, value);
            }
            system.Key("ControlSet001\\Enum\\" + d.path + "\\LogConf");
            if (d.present && d.symbolic.empty()) system.Key("ControlSet001\\Enum\\" + d.path + "\\Control");
            if (!d.symbolic.empty()) {
                system.Sz(system.Key("ControlSet001\\Enum\\" + d.path + "\\Device Parameters"), "SymbolicName", d.symbolic);
                const std::string link = "ControlSet001\\Control\\DeviceClasses\\" +
                                         d.symbolic.substr(d.symbolic.rfind('#') + 1) + "\\##?#" + d.symbolic.substr(4);
                system.Sz(system.Key(link), "DeviceInstance", d.path);
                system.Dword(system.Key(link + "\\#\\Control"), "Linked", d.present ? 1 : 0);
            }
        }
        std::set<std::string> buses;
        for (const auto& d : devices_) buses.insert(d.path.substr(0, d.path.find('\\')));
        r_.buses = buses.size();
        for (size_t c = 0; c < Classes().size(); ++c) {
            const KeyId k = system.Key("ControlSet001\\Control\\Class\\" + std::string(Classes()[c].guid));
            system.Sz(k, "", Classes()[c].display);
            system.Sz(k, "Class", Classes()[c].name);
        }
        for (const auto& [guid, display, name] : {std::tuple{kUnknownClass, "Other devices", "Unknown"},
                                                  std::tuple{kLegacyClass, "Non-Plug and Play Drivers", "LegacyDriver"}}) {
            const KeyId k = system.Key("ControlSet001\\Control\\Class\\" + std::string(guid));
            system.Sz(k, "", display);
            system.Sz(k, "Class", name);
        }
        r_.classes = Classes().size() + 2;
        for (const auto& [key, inf, model, empty] : driverKeys_) {
            const KeyId k = system.Key(key);
            if (!empty) DriverKey(system, k, plan_.infs[inf], model);
        }
        r_.infsInUse = usedInfs_.size();
    }

private:
    using Values = std::vector<std::pair<std::string, std::string>>;
    struct Device {
        std::string path;
        Values values;
        bool present = false;
        std::string symbolic;
    };

    static std::string Hex4(unsigned v) {
        char b[8];
        std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
        return b;
    }
    static std::string Num4(size_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "%04zu", v);
        return b;
    }
    static std::string Guid(size_t n) {
        char b[48];
        std::snprintf(b, sizeof b, "%08llX-165F-11D0-A195-%012llX", static_cast<unsigned long long>(0x9B365890u + n),
                      static_cast<unsigned long long>(n) * 2654435761ull % 0xFFFFFFFFFFFFull);
        return b;
    }
    static std::vector<std::string> Split(const std::string& joined) {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t bar = joined.find('|'); ; bar = joined.find('|', start)) {
            out.push_back(joined.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        return out;
    }
    std::string InstanceId() {
        char b[48];
        std::snprintf(b, sizeof b, "%u&%08llx&0&%zu", static_cast<unsigned>(1 + counter_ % 7),
                      static_cast<unsigned long long>(rng_.Next() & 0xFFFFFFF), counter_);
        ++counter_;
        return b;
    }

    void Instance(const std::string& bus, const std::string& device, const std::string& instance, Values values,
                  bool present, bool skipped, const std::string& symbolic = std::string()) {
        values.insert(values.begin() + std::min<size_t>(values.size(), 1), {"Capabilities", std::to_string(0x30)});
        devices_.push_back({bus + "\\" + device + "\\" + instance, std::move(values), present, symbolic});
        ++r_.instances;
        r_.skippedInstances += skipped;
    }

    void Regular(size_t wanted) {
        const int cls = DrawClass();
        const auto& pool = byClass_[static_cast<size_t>(cls)];
        if (pool.empty()) return;
        const uint64_t u = rng_.Below(1000);
        const size_t infIndex = pool[static_cast<size_t>(u * u * pool.size() / 1000000)];
        const InfSpec& inf = plan_.infs[infIndex];
        const size_t model = rng_.Below(inf.models);
        const std::string hwid = ModelHardwareId(inf, infIndex, model);
        const std::string bus = hwid.substr(0, hwid.find('\\'));
        // The device key and the identifiers, most specific first, as each bus reports them.
        const std::string rest = hwid.substr(bus.size() + 1);
        std::string device = rest, ids = hwid;
        if (bus == "PCI" || bus == "HDAUDIO") {
            device = rest + (bus == "PCI" ? "&REV_01" : "&REV_1001");
            ids = bus + "\\" + device + "|" + hwid;
        } else if (bus == "USB" || bus == "HID") {
            ids = hwid + "&REV_0100|" + hwid;
        } else if (bus == "ACPI") {
            ids = hwid + "|*" + rest;
        }
        const unsigned many = static_cast<unsigned>(rng_.Below(100));
        size_t count = many < 80 ? 1 : many < 92 ? 2 : rng_.Between(3, 6);
        count = std::min(count, wanted - r_.instances);
        const ClassInfo& ci = Classes()[static_cast<size_t>(cls)];
        for (size_t k = 0; k < count; ++k) {
            const std::string driverKey = std::string(ci.guid) + "\\" + Num4(nextDriver_[static_cast<size_t>(cls)]++);
            const unsigned odd = static_cast<unsigned>(rng_.Below(100));
            driverKeys_.push_back({"ControlSet001\\Control\\Class\\" + driverKey, infIndex, model, odd == 0});
            usedInfs_.insert(infIndex);
            ++r_.driverKeys;
            Values v{{"DeviceDesc", ModelName(inf, model)},
                     {"HardwareID", ids},
                     {"CompatibleIDs", bus + "\\CC_0C03|" + bus + "\\CLASS_" + ci.name},
                     {"ConfigFlags", "0"},
                     {"Class", ci.name},
                     {"ClassGUID", ci.guid},
                     {"Driver", driverKey},
                     {"Mfg", inf.vendor},
                     {"Service", inf.base}};
            if (cls == 5 || cls == 15) v.push_back({"FriendlyName", ModelName(inf, model) + " Device"});
            const bool present = rng_.Chance(85);
            const std::string instance = InstanceId();
            std::string symbolic;
            if (bus == "USB" || bus == "USBSTOR")
                symbolic = "\\??\\" + bus + "#" + device + "#" + instance + "#" + (bus == "USB" ? kUsbDeviceInterface : kDiskInterface);
            Instance(bus, device, instance, std::move(v), present, cls == PrinterClass(), symbolic);
        }
    }

    int DrawClass() {
        unsigned total = 0;
        for (const auto& c : Classes()) total += c.weight;
        unsigned pick = static_cast<unsigned>(rng_.Below(total));
        for (size_t c = 0; c < Classes().size(); ++c) {
            if (pick < Classes()[c].weight) return static_cast<int>(c);
            pick -= Classes()[c].weight;
        }
        return 0;
    }

    void DriverKey(Hive& h, KeyId k, const InfSpec& inf, size_t model) {
        h.Sz(k, "InfPath", inf.name);
        h.Sz(k, "InfSection", inf.base);
        if (inf.decoration != Decoration::kNone) h.Sz(k, "InfSectionExt", inf.decoration == Decoration::kNT ? ".NT" : ".NTx86");
        h.Sz(k, "ProviderName", inf.vendor);
        h.Sz(k, "DriverDate", RegistryDate(inf.date));
        h.Sz(k, "DriverVersion", inf.version);
        h.Sz(k, "MatchingDeviceId", Lower(ModelHardwareId(inf, static_cast<size_t>(&inf - plan_.infs.data()), model)));
        h.Sz(k, "DriverDesc", ModelName(inf, model));
    }

    const Plan& plan_;
    Rng& rng_;
    SyntheticReport& r_;
    std::vector<std::vector<size_t>> byClass_;
    std::vector<size_t> nextDriver_;
    std::vector<Device> devices_;
    std::vector<std::tuple<std::string, size_t, size_t, bool>> driverKeys_;
    std::set<size_t> usedInfs_;
    size_t counter_ = 0;
};

void WindowsFacts(Hive& system, Hive& software) {
    const KeyId select = system.Key("Select");
    for (const auto& [name, v] : {std::pair{"Current", 1u}, {"Default", 1u}, {"Failed", 0u}, {"LastKnownGood", 1u}})
        system.Dword(select, name, v);
    system.Sz(system.Key("ControlSet001\\Control\\ComputerName\\ComputerName"), "ComputerName", "BENCHBOX");
    system.Sz(system.Key("ControlSet001\\Control\\ProductOptions"), "ProductType", "WinNT");
    system.Sz(system.Key("ControlSet001\\Control\\Session Manager\\Environment"), "PROCESSOR_ARCHITECTURE", "x86");
    const KeyId nt = software.Key("Microsoft\\Windows NT\\CurrentVersion");
    for (const auto& [name, v] : {std::pair{"CurrentVersion", "5.1"}, {"CurrentBuildNumber", "2600"},
                                  {"CSDVersion", "Service Pack 3"}, {"SystemRoot", "C:\\WINDOWS"},
                                  {"ProductName", "Microsoft Windows XP"}})
        software.Sz(nt, name, v);
    const KeyId profiles = software.Key("Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    software.Sz(profiles, "ProfilesDirectory", "C:\\Documents and Settings");
    software.Sz(profiles, "AllUsersProfile", "All Users");
    const KeyId wv = software.Key("Microsoft\\Windows\\CurrentVersion");
    software.Sz(wv, "ProgramFilesDir", "C:\\Program Files");
    software.Sz(wv, "DevicePath", "C:\\WINDOWS\\inf");
    const std::string au = "C:\\Documents and Settings\\All Users";
    const KeyId shell = software.Key("Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
    for (const auto& [name, sub] : {std::pair{"Common AppData", "\\Application Data"}, {"Common Desktop", "\\Desktop"},
                                    {"Common Documents", "\\Documents"}, {"Common Programs", "\\Start Menu\\Programs"},
                                    {"Common Start Menu", "\\Start Menu"}, {"Common Templates", "\\Templates"}})
        software.Sz(shell, name, au + sub);
    const KeyId oem = software.Key("Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\OemInfo");
    software.Sz(oem, "WbemOem", "Synthetic Systems");
    software.Sz(oem, "WbemProduct", "Bench 2000");
}

}  // namespace

bool WriteRegistry(const SyntheticOptions& o, const Plan& plan, Rng& rng, const fs::path& config, SyntheticReport& r,
                   std::string* why) {
    Hive system, software;
    WindowsFacts(system, software);
    TreeWriter tree(plan, rng, r);
    tree.Devices(o.devices);
    tree.Printers(system, software, std::max<size_t>(2, o.devices / 400));
    tree.Write(system);
    return system.Write(config / "SYSTEM", r.systemHiveBytes, why) &&
           software.Write(config / "SOFTWARE", r.softwareHiveBytes, why);
}

}  // namespace vornel::bench::synth
