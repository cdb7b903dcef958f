// Draws and writes a large synthetic installation (see synthetic_installation.h).
#include "synthetic_installation.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>

#include "pe_image_writer.h"
#include "synthetic_plan.h"
#include "synthetic_registry.h"

namespace vornel::bench {

namespace fs = std::filesystem;
using namespace synth;

namespace {

constexpr int64_t kFirstDate = 994003200;  // 2001-07-01
constexpr int64_t kDateSpan = 8 * 365;     // days

int64_t NoonOf(int64_t day) { return kFirstDate + day * 86400 + 12 * 3600; }

std::string VendorName(size_t v) {
    static const char* kHead[] = {"Hal", "Cor", "Lum", "Ked", "Bri", "Ves", "Tor", "Ari", "Nol", "Sen", "Tac", "Orl",
                                  "Dra", "Mer", "Qui", "Zen", "Pal", "Rho", "Cas", "Fen"};
    static const char* kTail[] = {"vorn", "vane", "etra", "wick", "tel", "onix", "ara", "ith"};
    return std::string(kHead[v % 20]) + kTail[(v / 20) % 8] + (v >= 160 ? std::to_string(v / 160) : "");
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

const char* ProductOf(int cls) {
    static const char* kProducts[] = {"System Controller", "USB Controller", "Input Device", "Pointing Device",
                                      "Keyboard", "Disk", "Volume Manager", "Network Adapter", "Audio",
                                      "Graphics", "Display", "Camera", "Serial Port", "Processor", "Storage Controller",
                                      "Optical Drive", "Modem", "Printer"};
    return kProducts[cls];
}

const char* InboxPrefix(int cls) {
    static const char* kPrefixes[] = {"machine", "usbport", "input", "msmouse", "keyboard", "disk", "volume", "net",
                                      "wdma", "display", "monitor", "image", "msports", "cpu", "mshdc", "cdrom",
                                      "mdm", "prn"};
    return kPrefixes[cls];
}

int DrawClass(Rng& rng, bool forInf) {
    const auto& classes = Classes();
    unsigned total = 0;
    for (size_t c = 0; c < classes.size(); ++c) total += classes[c].weight + (forInf && static_cast<int>(c) == PrinterClass() ? 8 : 0);
    unsigned pick = static_cast<unsigned>(rng.Below(total));
    for (size_t c = 0; c < classes.size(); ++c) {
        const unsigned w = classes[c].weight + (forInf && static_cast<int>(c) == PrinterClass() ? 8 : 0);
        if (pick < w) return static_cast<int>(c);
        pick -= w;
    }
    return 0;
}

std::string DrawBus(Rng& rng, int cls) {
    std::vector<std::string> buses;
    std::string all = Classes()[static_cast<size_t>(cls)].buses;
    size_t start = 0;
    for (size_t bar = all.find('|'); ; bar = all.find('|', start)) {
        buses.push_back(all.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return buses[rng.Below(buses.size())];
}

void SetVersion(FileSpec& f, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    f.version[0] = a, f.version[1] = b, f.version[2] = c, f.version[3] = d;
}

// The INF files and the driver files they name.
void DrawInfsAndFiles(const SyntheticOptions& o, Rng& rng, Plan& plan) {
    const size_t infCount = std::max<size_t>(o.infs, 1);
    std::vector<unsigned> weights(infCount);
    uint64_t total = 0;
    for (auto& w : weights) total += (w = rng.Chance(10) ? static_cast<unsigned>(rng.Between(30, 90))
                                                          : static_cast<unsigned>(rng.Between(1, 10)));
    const size_t missingTarget = o.files * 3 / 100;
    const size_t fileTarget = o.files + missingTarget;
    size_t oemCounter = 0, assigned = 0;
    uint64_t acc = 0;
    for (size_t i = 0; i < infCount; ++i) {
        InfSpec inf;
        inf.cls = DrawClass(rng, true);
        inf.bus = DrawBus(rng, inf.cls);
        const size_t vendor = rng.Below(std::max<size_t>(infCount / 25, 8));
        inf.vendor = VendorName(vendor);
        inf.product = ProductOf(inf.cls);
        inf.base = inf.vendor.substr(0, 3) + std::to_string(i) + "_Inst";
        const bool oem = rng.Chance(30);
        inf.other = !oem && rng.Chance(3);
        inf.name = oem ? "oem" + std::to_string(oemCounter++) + ".inf"
                       : inf.other ? Lower(inf.vendor) + std::to_string(i) + ".inf"
                                   : std::string(InboxPrefix(inf.cls)) + std::to_string(i) + ".inf";
        inf.utf16 = rng.Chance(5);
        const unsigned d = static_cast<unsigned>(rng.Below(100));
        inf.decoration = d < 60 ? Decoration::kNT : d < 80 ? Decoration::kNTx86 : Decoration::kNone;
        const unsigned p = static_cast<unsigned>(rng.Below(100));
        inf.driverVer = p < 63 ? DriverVerPlace::kVersion : p < 70 ? DriverVerPlace::kVersionWithComment
                        : p < 80 ? DriverVerPlace::kInstallSection : p < 88 ? DriverVerPlace::kDateOnly : DriverVerPlace::kNone;
        const int64_t day = static_cast<int64_t>(rng.Below(kDateSpan));
        inf.date = DateText(NoonOf(day));
        const uint16_t major = static_cast<uint16_t>(1 + vendor % 12), minor = static_cast<uint16_t>(rng.Below(20));
        const uint16_t build = static_cast<uint16_t>(rng.Below(9000) + 100), rev = static_cast<uint16_t>(rng.Below(999));
        inf.version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." + std::to_string(rev);
        inf.modified = NoonOf(std::min<int64_t>(kDateSpan, day + static_cast<int64_t>(rng.Below(30))));
        const unsigned size = static_cast<unsigned>(rng.Below(100));
        inf.models = size < 60 ? rng.Between(1, 12) : size < 90 ? rng.Between(12, 80) : rng.Between(80, 600);
        inf.addReg = size < 60 ? rng.Between(4, 40) : size < 90 ? rng.Between(40, 200) : rng.Between(150, 900);
        inf.copyFiles = !rng.Chance(8);
        inf.atFile = rng.Chance(10);
        inf.coInstaller = rng.Chance(15);

        // This INF's share of the files.
        acc += weights[i];
        const size_t upTo = static_cast<size_t>(acc * fileTarget / total);
        const std::string folder = inf.vendor + "\\" + inf.product;
        for (size_t k = 0; assigned < upTo; ++k, ++assigned) {
            FileSpec f;
            const size_t j = plan.files.size();
            const std::string stem = Lower(inf.vendor.substr(0, 3)) + std::to_string(j);
            const unsigned e = static_cast<unsigned>(rng.Below(100));
            if (inf.cls == PrinterClass()) {
                static const char* kExt[] = {".dll", ".dll", ".dll", ".gpd", ".ppd", ".ini", ".hlp"};
                f.name = stem + kExt[k < 2 ? 0 : rng.Below(7)];
                f.folder = 3;
            } else if (inf.cls == 10) {  // monitors: colour profiles
                f.name = stem + ".icm";
                f.folder = 4;
            } else if (k == 0 || e < 38) {
                f.name = stem + ".sys";
                f.folder = 0;
            } else if (e < 80) {
                static const char* kExt[] = {".dll", ".dll", ".dll", ".exe", ".ax", ".cpl"};
                f.name = stem + kExt[rng.Below(6)];
                const unsigned where = static_cast<unsigned>(rng.Below(100));
                f.folder = where < 80 ? 1 : where < 90 ? 7 : 2;
                if (f.folder == 7) f.programFolder = folder;
            } else if (e < 86) {
                f.name = stem + ".hlp";
                f.folder = 5;
            } else if (e < 92) {
                f.name = stem + ".cat";
                f.folder = 6;
            } else {
                f.name = stem + ".dat";
                f.folder = 0;
            }
            const std::string ext = f.name.substr(f.name.rfind('.'));
            f.image = ext == ".sys" || ext == ".dll" || ext == ".exe" || ext == ".ax" || ext == ".cpl";
            f.versioned = f.image && !rng.Chance(3);
            const int roll = static_cast<int>(rng.Below(100));
            if (roll < 70) SetVersion(f, major, minor, build, rev);
            else SetVersion(f, major, minor, static_cast<uint16_t>(build + rng.Below(40)), static_cast<uint16_t>(rng.Below(999)));
            f.modified = NoonOf(std::max<int64_t>(0, day - static_cast<int64_t>(rng.Below(60))));
            f.bytes = f.image ? static_cast<uint32_t>(rng.Between(2, 48) * 512) : static_cast<uint32_t>(rng.Between(1024, 12288));
            inf.files.push_back(j);
            plan.files.push_back(std::move(f));
        }
        plan.infs.push_back(std::move(inf));
    }
    // Some INFs also name files of the first INFs (shared components, as ks.inf's).
    for (auto& inf : plan.infs)
        if (rng.Chance(10) && !plan.files.empty()) inf.files.push_back(rng.Below(std::min<size_t>(plan.files.size(), 60)));
    // Files the INFs name that are not on disk, spread over all of them (selection sampling).
    const size_t need = plan.files.size() - std::min(plan.files.size(), o.files);
    size_t missing = 0;
    for (size_t j = 0; j < plan.files.size() && missing < need; ++j)
        if (rng.Below(plan.files.size() - j) < need - missing) {
            plan.files[j].written = false;
            ++missing;
        }
}

bool WriteBytes(const fs::path& file, const std::string& bytes, int64_t modified) {
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) return false;
    }
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(modified);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

fs::path HostFolder(const fs::path& root, const std::string& windowsFolder) {
    fs::path p = root;
    size_t start = 0;
    for (size_t bs = windowsFolder.find('\\'); ; bs = windowsFolder.find('\\', start)) {
        p /= windowsFolder.substr(start, bs - start);
        if (bs == std::string::npos) break;
        start = bs + 1;
    }
    return p;
}

std::string Utf16(const std::string& ansi) {
    std::string out("\xFF\xFE", 2);
    for (unsigned char c : ansi) out += static_cast<char>(c), out += '\0';
    return out;
}

}  // namespace

bool GenerateInstallation(const SyntheticOptions& o, SyntheticReport* report, std::string* why) {
    const auto started = std::chrono::steady_clock::now();
    SyntheticReport r;
    std::error_code ec;
    if (fs::exists(o.root, ec) && !fs::is_empty(o.root, ec)) {
        if (why) *why = o.root.string() + " exists and is not empty";
        return false;
    }
    Rng rng(o.seed);
    Plan plan;
    DrawInfsAndFiles(o, rng, plan);

    // Driver files and INFs.
    std::set<fs::path> made;
    auto folderOf = [&](const std::string& windowsFolder) -> fs::path {
        const fs::path host = HostFolder(o.root, windowsFolder);
        if (made.insert(host).second) fs::create_directories(host, ec);
        return host;
    };
    for (const FileSpec& f : plan.files) {
        if (!f.written) {
            ++r.missingFiles;
            continue;
        }
        std::string folder = Folders()[static_cast<size_t>(f.folder)].path;
        if (!f.programFolder.empty()) folder += "\\" + f.programFolder;
        std::string bytes;
        if (f.image) {
            tools::PeImageSpec image;
            image.kind = f.name.ends_with(".sys") ? tools::PeKind::kDriver
                        : f.name.ends_with(".exe") ? tools::PeKind::kExe : tools::PeKind::kDll;
            image.hasVersion = f.versioned;
            for (int k = 0; k < 4; ++k) image.fileVersion[static_cast<size_t>(k)] = f.version[k];
            image.companyName = "Synthetic Devices";
            image.originalFilename = f.name;
            image.timeDateStamp = static_cast<uint32_t>(f.modified - 86400);
            image.codeBytes = f.bytes;
            bytes = tools::BuildPeImage(image);
            ++r.images;
            r.unversionedImages += !f.versioned;
        } else {
            bytes.assign(f.bytes, '\0');
            for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>("synthetic data \r\n"[k % 17]);
            ++r.dataFiles;
        }
        if (!WriteBytes(folderOf(folder) / f.name, bytes, f.modified)) {
            if (why) *why = "cannot write " + (folderOf(folder) / f.name).string();
            return false;
        }
        ++r.driverFiles;
        r.driverBytes += bytes.size();
    }
    std::vector<uint64_t> infSizes;
    for (size_t i = 0; i < plan.infs.size(); ++i) {
        const InfSpec& inf = plan.infs[i];
        std::string text = InfText(plan, i);
        if (inf.utf16) text = Utf16(text), ++r.utf16Infs;
        const fs::path file = folderOf(inf.other ? "WINDOWS\\inf\\Other" : "WINDOWS\\inf") / inf.name;
        if (!WriteBytes(file, text, inf.modified)) {
            if (why) *why = "cannot write " + file.string();
            return false;
        }
        infSizes.push_back(text.size());
        r.infBytes += text.size();
    }
    r.infFiles = infSizes.size();
    if (!infSizes.empty()) {
        std::sort(infSizes.begin(), infSizes.end());
        r.infSmallest = infSizes.front();
        r.infLargest = infSizes.back();
        r.infMedian = infSizes[infSizes.size() / 2];
    }
    {
        tools::PeImageSpec kernel;
        kernel.kind = tools::PeKind::kDll;
        tools::ParsePeVersion("5.1.2600.5512", kernel.fileVersion);
        kernel.companyName = "Microsoft Corporation";
        kernel.originalFilename = "kernel32.dll";
        if (!WriteBytes(folderOf("WINDOWS\\system32") / "kernel32.dll", tools::BuildPeImage(kernel), NoonOf(2480))) {
            if (why) *why = "cannot write kernel32.dll";
            return false;
        }
    }

    // The hives.
    if (!WriteRegistry(o, plan, rng, folderOf("WINDOWS\\system32\\config"), r, why)) return false;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (report) *report = r;
    return true;
}

std::string DescribeReport(const SyntheticOptions& o, const SyntheticReport& r) {
    char b[1600];
    auto mb = [](uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); };
    auto kb = [](uint64_t bytes) { return static_cast<double>(bytes) / 1024.0; };
    std::snprintf(b, sizeof b,
                  "wrote %s (seed %llu)\n"
                  "  device tree: %zu instances of %zu devices on %zu buses; %zu driver keys in %zu classes\n"
                  "               %zu instances a scan skips (SW, HTREE, legacy root, printer class), %zu without a driver\n"
                  "  printers:    %zu\n"
                  "  INF files:   %zu (%zu named by a driver key), %.1f MB; smallest %.1f KB, median %.1f KB, largest %.1f KB; %zu UTF-16\n"
                  "  driver files: %zu written, %.1f MB: %zu images (%zu without a version resource), %zu data files;\n"
                  "               %zu more are named by INFs but missing\n"
                  "  hives:       SYSTEM %.1f MB, SOFTWARE %.2f MB\n"
                  "  took %.1f s\n",
                  o.root.string().c_str(), static_cast<unsigned long long>(o.seed), r.instances, r.deviceKinds, r.buses,
                  r.driverKeys, r.classes, r.skippedInstances, r.unknownInstances, r.printers, r.infFiles, r.infsInUse,
                  mb(r.infBytes), kb(r.infSmallest), kb(r.infMedian), kb(r.infLargest), r.utf16Infs, r.driverFiles,
                  mb(r.driverBytes), r.images, r.unversionedImages, r.dataFiles, r.missingFiles, mb(r.systemHiveBytes),
                  mb(r.softwareHiveBytes), r.seconds);
    return b;
}


bool SetSyntheticOption(const std::string& option, const char* value, SyntheticOptions& options) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(value, &end, 10);
    if (!end || *end || end == value) return false;
    if (option == "--devices") options.devices = v;
    else if (option == "--infs") options.infs = v;
    else if (option == "--files") options.files = v;
    else if (option == "--seed") options.seed = v;
    else return false;
    return true;
}

}  // namespace vornel::bench
