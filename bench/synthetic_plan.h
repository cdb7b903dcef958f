#pragma once
// The plan of a synthetic installation, shared by the part that draws it and the part that
// writes its INF files. Internal to the generator.
#include <cstdint>
#include <string>
#include <vector>

namespace vornel::bench::synth {

// splitmix64: the same sequence on every platform and standard library.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    bool Chance(unsigned percent) { return Below(1000) < percent * 10u; }

private:
    uint64_t state_;
};

// Setup classes the generator uses, with the buses their devices sit on.
struct ClassInfo {
    const char* guid;
    const char* name;     // the class key's "Class"
    const char* display;  // the class key's default value
    const char* buses;    // '|'-separated
    unsigned weight;      // share of device kinds
};
const std::vector<ClassInfo>& Classes();
int PrinterClass();

// Windows folders (below the root) and the DestinationDirs code or path that names them.
struct FolderInfo {
    const char* path;
    const char* destination;
};
const std::vector<FolderInfo>& Folders();

struct FileSpec {
    std::string name;
    int folder = 0;             // index into Folders(); program folders use vendor below
    std::string programFolder;  // "Vendor\Product" for files under Program Files
    bool image = false;
    bool versioned = true;
    bool written = true;        // false: INFs name it but it is not on disk
    uint16_t version[4] = {};
    int64_t modified = 0;       // seconds since 1970, noon UTC
    uint32_t bytes = 0;         // code size of an image, or the data file's size
};

enum class DriverVerPlace { kVersion, kVersionWithComment, kInstallSection, kDateOnly, kNone };
enum class Decoration { kNone, kNT, kNTx86 };

struct InfSpec {
    std::string name;      // "net0412.inf", "oem17.inf"
    bool other = false;    // in inf\Other
    bool utf16 = false;
    int cls = 0;
    std::string bus;       // the bus its models sit on
    std::string vendor, product, base;  // base: the install section's undecorated name
    Decoration decoration = Decoration::kNT;
    DriverVerPlace driverVer = DriverVerPlace::kVersion;
    std::string date;      // MM/DD/YYYY
    std::string version;   // a.b.c.d
    std::vector<size_t> files;  // indexes into the plan's files
    size_t models = 1, addReg = 4;
    bool copyFiles = true;      // false: the install section copies nothing itself
    bool atFile = false;        // the first file is named with "@" in CopyFiles
    bool coInstaller = false;   // the last image is copied by a .CoInstallers section
    bool catalog = false;
    int64_t modified = 0;
};

struct Plan {
    std::vector<FileSpec> files;
    std::vector<InfSpec> infs;
};

// The hardware identifier of model `m` of INF `inf`, as its models section and the
// device tree both spell it.
std::string ModelHardwareId(const InfSpec& inf, size_t infIndex, size_t m);
std::string ModelName(const InfSpec& inf, size_t m);

// The INF's text (CR LF line ends, ANSI); the caller converts UTF-16 ones.
std::string InfText(const Plan& plan, size_t infIndex);

std::string DateText(int64_t secondsSince1970);  // MM/DD/YYYY

}  // namespace vornel::bench::synth
