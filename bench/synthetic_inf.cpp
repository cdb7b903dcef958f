// The INF files of a synthetic installation: the sections real driver INFs carry ([Version],
// [Manufacturer], models, install sections with their decorations, CopyFiles, file lists,
// DestinationDirs, SourceDisksNames/Files, services, AddReg, [Strings]), sized by the
// number of models and registry lines the plan gives each INF.
#include <cstdio>
#include <ctime>
#include <map>

#include "synthetic_plan.h"

namespace vornel::bench::synth {

const std::vector<ClassInfo>& Classes() {
    static const std::vector<ClassInfo> kClasses = {
        {"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System", "System devices", "ACPI|PCI|Root", 18},
        {"{36FC9E60-C465-11CF-8056-444553540000}", "USB", "Universal Serial Bus controllers", "USB|PCI", 12},
        {"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "HIDClass", "Human Interface Devices", "USB", 8},
        {"{4D36E96F-E325-11CE-BFC1-08002BE10318}", "Mouse", "Mice and other pointing devices", "HID|ACPI", 4},
        {"{4D36E96B-E325-11CE-BFC1-08002BE10318}", "Keyboard", "Keyboards", "HID|ACPI", 3},
        {"{4D36E967-E325-11CE-BFC1-08002BE10318}", "DiskDrive", "Disk drives", "IDE|USBSTOR|SCSI", 6},
        {"{71A27CDD-812A-11D0-BEC7-08002BE2092F}", "Volume", "Storage volumes", "STORAGE", 4},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}", "Net", "Network adapters", "PCI|USB|Root", 8},
        {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", "MEDIA", "Sound, video and game controllers", "HDAUDIO|PCI|USB", 6},
        {"{4D36E968-E325-11CE-BFC1-08002BE10318}", "Display", "Display adapters", "PCI", 2},
        {"{4D36E96E-E325-11CE-BFC1-08002BE10318}", "Monitor", "Monitors", "DISPLAY", 3},
        {"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "Image", "Imaging devices", "USB", 3},
        {"{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports", "Ports (COM & LPT)", "ACPI", 2},
        {"{50127DC3-0F36-415E-A6CC-4CB3BE910B65}", "Processor", "Processors", "ACPI", 2},
        {"{4D36E96A-E325-11CE-BFC1-08002BE10318}", "hdc", "IDE ATA/ATAPI controllers", "PCI|PCIIDE", 3},
        {"{4D36E965-E325-11CE-BFC1-08002BE10318}", "CDROM", "DVD/CD-ROM drives", "IDE|SCSI", 1},
        {"{4D36E96D-E325-11CE-BFC1-08002BE10318}", "Modem", "Modems", "HDAUDIO|USB", 1},
        {"{4D36E979-E325-11CE-BFC1-08002BE10318}", "Printer", "Printers", "LPTENUM|USBPRINT", 1},
    };
    return kClasses;
}

int PrinterClass() { return static_cast<int>(Classes().size()) - 1; }

const std::vector<FolderInfo>& Folders() {
    static const std::vector<FolderInfo> kFolders = {
        {"WINDOWS\\system32\\drivers", "12"},
        {"WINDOWS\\system32", "11"},
        {"WINDOWS", "10"},
        {"WINDOWS\\system32\\spool\\drivers\\w32x86\\3", "66000"},
        {"WINDOWS\\system32\\spool\\drivers\\color", "23"},
        {"WINDOWS\\Help", "18"},
        {"WINDOWS\\system32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}",
         "11,CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"},
        {"Program Files", "16422"},
    };
    return kFolders;
}

namespace {

std::string Hex(unsigned v, int digits) {
    char b[16];
    std::snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}
std::string Num(size_t v, int digits) {
    char b[24];
    std::snprintf(b, sizeof b, "%0*zu", digits, v);
    return b;
}

// The text of a Windows folder's DestinationDirs entry.
std::string Destination(const FileSpec& f) {
    const FolderInfo& folder = Folders()[static_cast<size_t>(f.folder)];
    if (f.programFolder.empty()) return folder.destination;
    return std::string(folder.destination) + ",\"" + f.programFolder + "\"";
}

struct Writer {
    std::string text;
    Writer& operator<<(const std::string& s) {
        text += s;
        return *this;
    }
    void Line(const std::string& s = std::string()) { text += s + "\r\n"; }
};

}  // namespace

std::string DateText(int64_t t) {
    const std::time_t when = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&when, &tm);
    char b[48];
    std::snprintf(b, sizeof b, "%02d/%02d/%04d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    return b;
}

std::string ModelHardwareId(const InfSpec& inf, size_t i, size_t m) {
    const unsigned vendor = 0x1000 + static_cast<unsigned>((i * 7919) % 0xE000);
    const unsigned device = static_cast<unsigned>((m * 131 + i * 17) & 0xFFFF);
    const std::string& bus = inf.bus;
    if (bus == "PCI") return "PCI\\VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4) + "&SUBSYS_" + Hex(device, 4) + Hex(vendor, 4);
    if (bus == "USB") return "USB\\VID_" + Hex(vendor, 4) + "&PID_" + Hex(device, 4);
    if (bus == "HID") return "HID\\VID_" + Hex(vendor, 4) + "&PID_" + Hex(device, 4);
    if (bus == "HDAUDIO") return "HDAUDIO\\FUNC_01&VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4);
    if (bus == "ACPI") return "ACPI\\" + inf.vendor.substr(0, 3) + Hex(device, 4);
    const std::string kind = inf.cls == 15 ? "CdRom" : "Disk";  // optical drives
    if (bus == "IDE") return "IDE\\" + kind + inf.vendor + "_" + Num(i, 4) + "_" + Num(m, 3) + "____________1.00____";
    if (bus == "USBSTOR") return "USBSTOR\\Disk" + inf.vendor + "__Model" + Num(i, 4) + Num(m, 3) + "____1.00";
    if (bus == "SCSI") return "SCSI\\" + kind + inf.vendor + "_Model" + Num(i, 4) + Num(m, 3);
    if (bus == "STORAGE") return "STORAGE\\Volume";
    if (bus == "DISPLAY") return "Monitor\\" + inf.vendor.substr(0, 3) + Hex(device, 4);
    if (bus == "PCIIDE") return "PCIIDE\\IDEChannel" + Num(i, 4);
    if (bus == "LPTENUM") return "LPTENUM\\" + inf.vendor + "Printer" + Num(i, 4) + Num(m, 3);
    if (bus == "USBPRINT") return "USBPRINT\\" + inf.vendor + "Printer" + Num(i, 4) + Num(m, 3);
    return "ROOT\\" + inf.vendor.substr(0, 3) + "_" + Num(i, 4) + "_" + Num(m, 3);  // Root
}

std::string ModelName(const InfSpec& inf, size_t m) {
    return inf.vendor + " " + inf.product + (m == 0 ? std::string() : " " + std::to_string(100 + m * 10));
}

std::string InfText(const Plan& plan, size_t index) {
    const InfSpec& inf = plan.infs[index];
    const ClassInfo& cls = Classes()[static_cast<size_t>(inf.cls)];
    const std::string decorated =
        inf.base + (inf.decoration == Decoration::kNT ? ".NT" : inf.decoration == Decoration::kNTx86 ? ".NTx86" : "");
    Writer w;
    w.Line(";");
    w.Line("; " + inf.name + " -- " + inf.vendor + " " + inf.product + " driver");
    w.Line("; Copyright (c) " + inf.vendor + ". All rights reserved.");
    w.Line(";");
    w.Line();
    w.Line("[Version]");
    w.Line("Signature=\"$WINDOWS NT$\"");
    w.Line(std::string("Class=") + cls.name);
    w.Line(std::string("ClassGUID=") + cls.guid);
    w.Line("Provider=%VENDOR%");
    std::string catalog;
    for (size_t f : inf.files)
        if (plan.files[f].name.size() > 4 && plan.files[f].name.compare(plan.files[f].name.size() - 4, 4, ".cat") == 0)
            catalog = plan.files[f].name;
    if (!catalog.empty()) w.Line("CatalogFile=" + catalog);
    const std::string driverVer = inf.date + "," + inf.version;
    switch (inf.driverVer) {
        case DriverVerPlace::kVersion: w.Line("DriverVer=" + driverVer); break;
        case DriverVerPlace::kVersionWithComment: w.Line("DriverVer=" + driverVer + " ; build " + inf.version); break;
        case DriverVerPlace::kDateOnly: w.Line("DriverVer=" + inf.date); break;
        default: break;
    }
    w.Line();

    // File lists by destination; a co-installer's file goes to a list of its own.
    std::map<std::string, std::vector<size_t>> lists;
    std::vector<size_t> coFiles;
    for (size_t k = 0; k < inf.files.size(); ++k) {
        const FileSpec& f = plan.files[inf.files[k]];
        if (inf.coInstaller && k + 1 == inf.files.size() && f.image) coFiles.push_back(inf.files[k]);
        else lists[Destination(f)].push_back(inf.files[k]);
    }
    std::vector<std::pair<std::string, std::string>> listNames;  // section, destination
    for (const auto& [dest, files] : lists) listNames.emplace_back(inf.base + ".Copy" + std::to_string(listNames.size() + 1), dest);

    w.Line("[SourceDisksNames]");
    w.Line("1 = %DISK%,,,");
    w.Line();
    w.Line("[SourceDisksFiles]");
    for (size_t f : inf.files) w.Line(plan.files[f].name + "=1");
    w.Line();
    w.Line("[DestinationDirs]");
    w.Line("DefaultDestDir = 12");
    for (const auto& [section, dest] : listNames) w.Line(section + " = " + dest);
    if (!coFiles.empty()) w.Line(inf.base + ".CoInstallerFiles = 11");
    w.Line();
    w.Line("[Manufacturer]");
    w.Line("%VENDOR% = Models, NTx86");
    w.Line();
    for (const char* suffix : {"", ".NTx86"}) {
        w.Line(std::string("[Models") + suffix + "]");
        for (size_t m = 0; m < inf.models; ++m)
            w.Line("%Model" + Num(m, 4) + "% = " + inf.base + ", " + ModelHardwareId(inf, index, m));
        w.Line();
    }

    std::string copy;
    if (inf.atFile && !inf.files.empty()) copy = "@" + plan.files[inf.files.front()].name;
    for (const auto& ls : listNames) copy += (copy.empty() ? "" : ", ") + ls.first;
    w.Line("[" + decorated + "]");
    if (inf.driverVer == DriverVerPlace::kInstallSection) w.Line("DriverVer = " + driverVer);
    if (inf.copyFiles && !copy.empty()) w.Line("CopyFiles = " + copy);
    w.Line("AddReg = " + inf.base + ".AddReg");
    w.Line();
    if (!inf.copyFiles && !copy.empty()) {
        // Files copied by a shared section that the install section does not name itself.
        w.Line("[" + inf.base + ".Common]");
        w.Line("CopyFiles = " + copy);
        w.Line();
    }
    w.Line("[" + decorated + ".Services]");
    w.Line("AddService = " + inf.base + ", 0x00000002, " + inf.base + ".Service");
    w.Line();
    if (!coFiles.empty()) {
        w.Line("[" + decorated + ".CoInstallers]");
        w.Line("AddReg = " + inf.base + ".CoInstallers.AddReg");
        w.Line("CopyFiles = " + inf.base + ".CoInstallerFiles");
        w.Line();
        w.Line("[" + inf.base + ".CoInstallers.AddReg]");
        w.Line("HKR,,CoInstallers32,0x00010000,\"" + plan.files[coFiles.front()].name + ",CoInstallerEntry\"");
        w.Line();
        w.Line("[" + inf.base + ".CoInstallerFiles]");
        w.Line(plan.files[coFiles.front()].name + ",,,0x10");
        w.Line();
    }
    size_t n = 0;
    for (const auto& [dest, files] : lists) {
        w.Line("[" + listNames[n++].first + "]");
        for (size_t f : files) w.Line(plan.files[f].name + (plan.files[f].image ? ",,,0x100" : ""));
        w.Line();
    }
    w.Line("[" + inf.base + ".AddReg]");
    for (size_t k = 0; k < inf.addReg; ++k)
        w.Line("HKR,Parameters\\Group" + Num(k / 8, 2) + ",Setting" + Num(k, 4) + ",0x00010001," + std::to_string(k * 37 % 1000));
    w.Line();
    w.Line("[" + inf.base + ".Service]");
    w.Line("DisplayName    = %SVCDESC%");
    w.Line("ServiceType    = 1");
    w.Line("StartType      = 3");
    w.Line("ErrorControl   = 1");
    const std::string binary = inf.files.empty() ? inf.base + ".sys" : plan.files[inf.files.front()].name;
    w.Line("ServiceBinary  = %12%\\" + binary);
    w.Line();
    w.Line("[Strings]");
    w.Line("VENDOR  = \"" + inf.vendor + "\"");
    w.Line("DISK    = \"" + inf.vendor + " Driver Disk\"");
    w.Line("SVCDESC = \"" + inf.vendor + " " + inf.product + " Service\"");
    for (size_t m = 0; m < inf.models; ++m) w.Line("Model" + Num(m, 4) + " = \"" + ModelName(inf, m) + "\"");
    return w.text;
}

}  // namespace vornel::bench::synth
