// make-pe: writes Windows images carrying a version resource, and lays out the driver files
// of a sample installation from its manifest.
//
//   make-pe OUT VERSION [--pe64] [--kind driver|dll|exe] [--company T] [--description T]
//           [--product T] [--os 5.1] [--date YYYY-MM-DD]
//       one image; VERSION "-" writes an image without a version resource.
//   make-pe --manifest FILE --root DIR
//       applies a manifest to an installation root: writes the images and data files it
//       names, converts the files it marks utf16, and sets every file's modification time.
//
// Manifest lines (blank lines and lines starting with '#' are ignored; a text holding
// blanks is written in double quotes):
//   default-date YYYY-MM-DD   the date of every file under the root that no line names
//   company TEXT | product TEXT | os MAJOR.MINOR | arch x86|x64
//                             settings for the images named after them
//   PATH VERSION DATE [utf16] [desc=TEXT]
//       PATH is a Windows path below the root ("WINDOWS\system32\drivers\x.sys"), matched
//       against existing folders without regard to case. VERSION "a.b.c.d" writes an image
//       with that file version (.sys a driver, .exe a program, anything else a library);
//       "-" keeps a file already there (copied from the sample's root/) or writes a data
//       file, or for an image name an image without a version resource. utf16 re-encodes an
//       existing text file as UTF-16LE with a byte-order mark, as many vendors ship INFs.
// Dates are set at 12:00 UTC, so the date reads the same in every time zone within eleven
// hours of UTC. Exit status: 0 done, 1 a file could not be written, 2 unusable input.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pe_image_writer.h"

namespace {

namespace fs = std::filesystem;
using vornel::tools::PeImageSpec;
using vornel::tools::PeKind;

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

// "YYYY-MM-DD" as noon UTC of that day.
bool ParseDate(const std::string& text, std::time_t& out) {
    unsigned y = 0, m = 0, d = 0;
    char a = 0, b = 0;
    std::istringstream in(text);
    if (!(in >> y >> a >> m >> b >> d) || a != '-' || b != '-' || !in.eof()) return false;
    if (y < 1980 || y > 2100 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    out = static_cast<std::time_t>(DaysFromCivil(y, m, d) * 86400L + 12 * 3600L);
    return true;
}

bool SetModified(const fs::path& file, std::time_t when) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = when;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

bool WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool ReadFile(const fs::path& file, std::string& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return true;
}

PeKind KindOf(const std::string& name) {
    const std::string ext = Lower(fs::path(name).extension().string());
    if (ext == ".sys") return PeKind::kDriver;
    if (ext == ".exe") return PeKind::kExe;
    return PeKind::kDll;
}

bool IsImageName(const std::string& name) {
    static const std::set<std::string> kImages = {".sys", ".dll", ".exe", ".drv", ".cpl", ".ax", ".ocx", ".acm", ".tsp"};
    return kImages.count(Lower(fs::path(name).extension().string())) > 0;
}

// Splits a line into words; a word in double quotes may hold blanks ("desc=" prefixes too).
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) words.push_back(cur), cur.clear(), any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) words.push_back(cur);
    return words;
}

// The host path of a Windows path below `root`, each component matched to an existing
// entry without regard to case; missing folders are created when `create` is set.
bool HostPath(const fs::path& root, const std::string& windowsPath, bool create, fs::path& out) {
    fs::path cur = root;
    std::vector<std::string> parts;
    std::string part;
    for (char c : windowsPath + "\\") {
        if (c == '\\' || c == '/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (parts.empty()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        fs::path next = cur / parts[i];
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(cur, ec))
            if (Lower(e.path().filename().string()) == Lower(parts[i])) {
                next = e.path();
                break;
            }
        const bool last = i + 1 == parts.size();
        if (!last && !fs::is_directory(next, ec)) {
            if (!create || !fs::create_directory(next, ec)) return false;
        }
        cur = next;
    }
    out = cur;
    return true;
}

std::string Utf16WithBom(const std::string& text) {
    std::string out("\xFF\xFE", 2);
    for (unsigned char c : text) out += static_cast<char>(c), out += '\0';
    return out;
}

// Contents of a data file that the manifest names but the sample does not hold.
std::string DataFileBytes(const std::string& name) {
    std::string text = "Data file " + name + " of a sample installation.\r\n";
    while (text.size() < 512) text += "................................................................\r\n";
    return text;
}

struct Settings {
    std::string company = "Sample Devices", product, os = "5.1";
    bool pe64 = false;
};

PeImageSpec SpecFor(const Settings& set, const std::string& name, const std::string& version, std::time_t date,
                    const std::string& desc) {
    PeImageSpec image;
    image.pe64 = set.pe64;
    image.kind = KindOf(name);
    image.hasVersion = version != "-";
    if (image.hasVersion) vornel::tools::ParsePeVersion(version, image.fileVersion);
    image.companyName = set.company;
    image.productName = set.product.empty() ? set.company + " drivers" : set.product;
    image.originalFilename = name;
    image.fileDescription = desc.empty() ? name + (image.kind == PeKind::kDriver ? " driver" : " library") : desc;
    std::tm tm{};
    const std::time_t when = date;
    gmtime_r(&when, &tm);
    image.legalCopyright = "Copyright (C) " + std::to_string(tm.tm_year + 1900) + " " + set.company;
    image.timeDateStamp = static_cast<uint32_t>(date - 3 * 86400);  // linked a few days before release
    const size_t dot = set.os.find('.');
    image.osMajor = static_cast<uint16_t>(std::stoi(set.os.substr(0, dot)));
    image.osMinor = static_cast<uint16_t>(dot == std::string::npos ? 0 : std::stoi(set.os.substr(dot + 1)));
    // A few hundred bytes to some tens of kilobytes of code, by name, as real drivers vary.
    size_t h = 0;
    for (char c : name) h = h * 31 + static_cast<unsigned char>(c);
    image.codeBytes = 0x200 * (1 + h % 48);
    return image;
}

int RunManifest(const fs::path& manifest, const fs::path& root) {
    std::ifstream in(manifest);
    if (!in) {
        std::cerr << "make-pe: cannot read " << manifest << "\n";
        return 2;
    }
    if (!fs::is_directory(root)) {
        std::cerr << "make-pe: no such folder " << root << "\n";
        return 2;
    }
    Settings set;
    std::time_t defaultDate = 0;
    std::set<std::string> named;  // host paths the manifest dated
    size_t images = 0, dataFiles = 0, kept = 0, converted = 0, defaulted = 0;
    std::string line;
    size_t lineNo = 0;
    auto bad = [&](const std::string& why) {
        std::cerr << manifest.string() << ":" << lineNo << ": " << why << "\n";
        return 2;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto w = Words(line);
        if (w.empty() || w[0][0] == '#') continue;
        if (w[0] == "default-date") {
            if (w.size() != 2 || !ParseDate(w[1], defaultDate)) return bad("default-date takes YYYY-MM-DD");
            continue;
        }
        if (w[0] == "company" || w[0] == "product" || w[0] == "os" || w[0] == "arch") {
            if (w.size() != 2) return bad(w[0] + " takes one value");
            if (w[0] == "company") set.company = w[1];
            else if (w[0] == "product") set.product = w[1];
            else if (w[0] == "os") set.os = w[1];
            else if (w[1] == "x86" || w[1] == "x64") set.pe64 = w[1] == "x64";
            else return bad("arch is x86 or x64");
            continue;
        }
        if (w.size() < 3) return bad("expected PATH VERSION DATE");
        const std::string& path = w[0];
        const std::string& version = w[1];
        std::time_t date = 0;
        if (!ParseDate(w[2], date)) return bad("bad date " + w[2] + " (YYYY-MM-DD)");
        std::array<uint16_t, 4> parsed{};
        if (version != "-" && !vornel::tools::ParsePeVersion(version, parsed)) return bad("bad version " + version);
        bool utf16 = false;
        std::string desc;
        for (size_t i = 3; i < w.size(); ++i) {
            if (w[i] == "utf16") utf16 = true;
            else if (w[i].rfind("desc=", 0) == 0) desc = w[i].substr(5);
            else return bad("unknown word " + w[i]);
        }
        fs::path host;
        if (!HostPath(root, path, true, host)) return bad("cannot make the folders of " + path);
        if (!named.insert(host.string()).second) return bad(path + " is named twice");
        const std::string name = host.filename().string();
        const bool exists = fs::is_regular_file(host);
        if (version != "-") {
            if (exists) return bad(path + " is in the sample's root already; an image is written, not copied");
            if (!WriteFile(host, vornel::tools::BuildPeImage(SpecFor(set, name, version, date, desc)))) {
                std::cerr << "make-pe: cannot write " << host << "\n";
                return 1;
            }
            ++images;
        } else if (exists) {
            if (utf16) {
                std::string text;
                if (!ReadFile(host, text) || !WriteFile(host, Utf16WithBom(text))) {
                    std::cerr << "make-pe: cannot convert " << host << "\n";
                    return 1;
                }
                ++converted;
            }
            ++kept;
        } else {
            if (utf16) return bad(path + " is marked utf16 but the sample's root does not hold it");
            const std::string bytes = IsImageName(name) ? vornel::tools::BuildPeImage(SpecFor(set, name, "-", date, desc))
                                                        : DataFileBytes(name);
            if (!WriteFile(host, bytes)) {
                std::cerr << "make-pe: cannot write " << host << "\n";
                return 1;
            }
            IsImageName(name) ? ++images : ++dataFiles;
        }
        if (!SetModified(host, date)) {
            std::cerr << "make-pe: cannot set the date of " << host << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    if (defaultDate != 0) {
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (!e.is_regular_file() || named.count(e.path().string())) continue;
            if (!SetModified(e.path(), defaultDate)) {
                std::cerr << "make-pe: cannot set the date of " << e.path() << "\n";
                return 1;
            }
            ++defaulted;
        }
    }
    std::cout << "make-pe: " << root.string() << ": " << images << " images, " << dataFiles << " data files written; "
              << kept << " sample files dated (" << converted << " made UTF-16); " << defaulted
              << " files at the default date\n";
    return 0;
}

int RunOne(int argc, char** argv) {
    const fs::path out = argv[1];
    const std::string version = argv[2];
    Settings set;
    std::string desc, dateText;
    PeKind kind = KindOf(out.filename().string());
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--pe64") set.pe64 = true;
        else if (a == "--company") set.company = next();
        else if (a == "--description") desc = next();
        else if (a == "--product") set.product = next();
        else if (a == "--os") set.os = next();
        else if (a == "--date") dateText = next();
        else if (a == "--kind") {
            const std::string k = next();
            if (k == "driver") kind = PeKind::kDriver;
            else if (k == "dll") kind = PeKind::kDll;
            else if (k == "exe") kind = PeKind::kExe;
            else {
                std::cerr << "make-pe: --kind is driver, dll or exe\n";
                return 2;
            }
        } else {
            std::cerr << "make-pe: unknown option " << a << "\n";
            return 2;
        }
    }
    std::array<uint16_t, 4> parsed{};
    if (version != "-" && !vornel::tools::ParsePeVersion(version, parsed)) {
        std::cerr << "make-pe: bad version " << version << "\n";
        return 2;
    }
    std::time_t date = std::time(nullptr);
    if (!dateText.empty() && !ParseDate(dateText, date)) {
        std::cerr << "make-pe: bad date " << dateText << " (YYYY-MM-DD)\n";
        return 2;
    }
    PeImageSpec image = SpecFor(set, out.filename().string(), version, date, desc);
    image.kind = kind;
    if (!WriteFile(out, vornel::tools::BuildPeImage(image)) || (!dateText.empty() && !SetModified(out, date))) {
        std::cerr << "make-pe: cannot write " << out << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--manifest" && std::string(argv[3]) == "--root")
        return RunManifest(argv[2], argv[4]);
    if (argc >= 3 && argv[1][0] != '-') return RunOne(argc, argv);
    std::cerr << "usage: make-pe OUT VERSION [--pe64] [--kind driver|dll|exe] [--company T] [--description T]\n"
                 "               [--product T] [--os 5.1] [--date YYYY-MM-DD]\n"
                 "       make-pe --manifest FILE --root DIR\n";
    return 2;
}
