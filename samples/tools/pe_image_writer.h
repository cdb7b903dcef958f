#pragma once
// Writes small but complete Windows images (PE32 or PE32+) that carry a version resource,
// for the sample installations and the synthetic large installations: a DOS header and
// stub, the NT headers with a correct checksum, a code section whose entry point returns
// success, and a resource section holding one VS_VERSIONINFO (VS_FIXEDFILEINFO,
// StringFileInfo for language 0409 code page 04B0, VarFileInfo) under RT_VERSION, name 1.
// Header-only, standard library only, so both make-pe and gen-installation use it.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornel::tools {

enum class PeKind { kDriver, kDll, kExe };

struct PeImageSpec {
    bool pe64 = false;
    PeKind kind = PeKind::kDriver;
    bool hasVersion = true;                       // false: no resource section at all
    std::array<uint16_t, 4> fileVersion{};        // major, minor, build, revision
    std::array<uint16_t, 4> productVersion{};     // all zero: the file version
    std::string companyName, fileDescription, productName, originalFilename, legalCopyright;
    uint32_t timeDateStamp = 0;                   // link time, seconds since 1970
    uint16_t osMajor = 5, osMinor = 1;            // the Windows version the image is built for
    size_t codeBytes = 0x200;                     // raw size of the code section (rounded up)
};

// "5.1.2600.5512" (one to four numbers, each below 65536) into four numbers.
inline bool ParsePeVersion(std::string_view text, std::array<uint16_t, 4>& out) {
    out = {};
    size_t part = 0;
    uint32_t value = 0;
    bool digit = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (!digit || part >= 4) return false;
            out[part++] = static_cast<uint16_t>(value);
            value = 0;
            digit = false;
        } else if (text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            if (value > 0xFFFF) return false;
            digit = true;
        } else {
            return false;
        }
    }
    return part > 0;
}

namespace pe_detail {

inline void Put16(std::string& b, size_t at, uint32_t v) {
    if (b.size() < at + 2) b.resize(at + 2, '\0');
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}
inline void Put64(std::string& b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
inline size_t Align(size_t n, size_t a) { return (n + a - 1) / a * a; }
inline void Pad4(std::string& b) { b.resize(Align(b.size(), 4), '\0'); }

// ASCII (or Latin-1) text as UTF-16LE with its terminating NUL.
inline std::string Wide(std::string_view s) {
    std::string w;
    for (unsigned char c : s) w += static_cast<char>(c), w += '\0';
    return w + std::string(2, '\0');
}

// One node of a version resource: wLength, wValueLength, wType, key, padding, value,
// padding, children. wValueLength counts WCHARs for text values, bytes otherwise.
inline std::string VersionNode(std::string_view key, bool textValue, const std::string& value,
                               const std::vector<std::string>& children) {
    std::string b(6, '\0');
    b += Wide(key);
    Pad4(b);
    b += value;
    for (const auto& child : children) {
        Pad4(b);
        b += child;
    }
    Put16(b, 0, static_cast<uint32_t>(b.size()));
    Put16(b, 2, static_cast<uint32_t>(textValue ? value.size() / 2 : value.size()));
    Put16(b, 4, textValue ? 1 : 0);
    return b;
}

inline std::string VersionText(const std::array<uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

inline std::string VersionResource(const PeImageSpec& s) {
    const auto& fv = s.fileVersion;
    const auto pv = s.productVersion == std::array<uint16_t, 4>{} ? s.fileVersion : s.productVersion;
    std::string fixed(52, '\0');
    Put32(fixed, 0, 0xFEEF04BDu);                      // signature
    Put32(fixed, 4, 0x00010000u);                      // structure version 1.0
    Put32(fixed, 8, (uint32_t{fv[0]} << 16) | fv[1]);  // file version
    Put32(fixed, 12, (uint32_t{fv[2]} << 16) | fv[3]);
    Put32(fixed, 16, (uint32_t{pv[0]} << 16) | pv[1]);  // product version
    Put32(fixed, 20, (uint32_t{pv[2]} << 16) | pv[3]);
    Put32(fixed, 24, 0x3F);                            // flags mask; no flags set
    Put32(fixed, 32, 0x00040004u);                     // VOS_NT_WINDOWS32
    Put32(fixed, 36, s.kind == PeKind::kDriver ? 3 : s.kind == PeKind::kDll ? 2 : 1);
    Put32(fixed, 40, s.kind == PeKind::kDriver ? 7 : 0);  // VFT2_DRV_SYSTEM

    std::vector<std::string> strings;
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty()) strings.push_back(VersionNode(name, true, Wide(value), {}));
    };
    add("CompanyName", s.companyName);
    add("FileDescription", s.fileDescription);
    add("FileVersion", VersionText(fv));
    add("InternalName", s.originalFilename);
    add("LegalCopyright", s.legalCopyright);
    add("OriginalFilename", s.originalFilename);
    add("ProductName", s.productName);
    add("ProductVersion", VersionText(pv));
    const std::string table = VersionNode("040904B0", true, std::string(), strings);
    const std::string stringInfo = VersionNode("StringFileInfo", true, std::string(), {table});
    std::string translation(4, '\0');
    Put16(translation, 0, 0x0409);
    Put16(translation, 2, 0x04B0);
    const std::string var = VersionNode("Translation", false, translation, {});
    const std::string varInfo = VersionNode("VarFileInfo", true, std::string(), {var});
    return VersionNode("VS_VERSION_INFO", false, fixed, {stringInfo, varInfo});
}

// The resource section: three directory levels (type 16, name 1, language 0409), one data
// entry, then the version block. `rva` is where the section is mapped.
inline std::string ResourceSection(const std::string& version, uint32_t rva) {
    std::string s(16 * 3 + 8 * 3 + 16, '\0');
    // Root directory at 0: one ID entry, type RT_VERSION -> directory at 24.
    Put16(s, 14, 1);
    Put32(s, 16, 16);
    Put32(s, 20, 0x80000000u | 24);
    // Name directory at 24: one ID entry, name 1 -> directory at 48.
    Put16(s, 24 + 14, 1);
    Put32(s, 40, 1);
    Put32(s, 44, 0x80000000u | 48);
    // Language directory at 48: one ID entry, 0409 -> data entry at 72.
    Put16(s, 48 + 14, 1);
    Put32(s, 64, 0x0409);
    Put32(s, 68, 72);
    // Data entry at 72: RVA, size, code page, reserved; the data follows at 88.
    const size_t dataAt = 88;
    Put32(s, 72, static_cast<uint32_t>(rva + dataAt));
    Put32(s, 76, static_cast<uint32_t>(version.size()));
    s.resize(dataAt);
    s += version;
    return s;
}

// The image checksum as the loader checks it: 16-bit one's-complement style sum of the
// file with the checksum field taken as zero, plus the file's length.
inline uint32_t ImageChecksum(const std::string& b, size_t checksumAt) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == checksumAt || i == checksumAt + 2) continue;
        uint32_t word = static_cast<unsigned char>(b[i]);
        if (i + 1 < b.size()) word |= static_cast<uint32_t>(static_cast<unsigned char>(b[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + b.size());
}

}  // namespace pe_detail

// The bytes of the image.
inline std::string BuildPeImage(const PeImageSpec& s) {
    using namespace pe_detail;
    constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kHeaders = 0x400, kCodeRva = 0x1000;
    const size_t codeRaw = Align(s.codeBytes == 0 ? 1 : s.codeBytes, kFileAlign);
    const uint32_t rsrcRva = static_cast<uint32_t>(kCodeRva + Align(codeRaw, kSectionAlign));
    const std::string rsrc = s.hasVersion ? ResourceSection(VersionResource(s), rsrcRva) : std::string();
    const size_t rsrcRaw = Align(rsrc.size(), kFileAlign);
    const uint16_t sections = s.hasVersion ? 2 : 1;

    std::string b(kHeaders + codeRaw + rsrcRaw, '\0');
    // DOS header and stub.
    b[0] = 'M', b[1] = 'Z';
    Put16(b, 0x02, 0x90), Put16(b, 0x04, 3), Put16(b, 0x08, 4), Put16(b, 0x0C, 0xFFFF), Put16(b, 0x10, 0xB8);
    Put16(b, 0x18, 0x40);
    Put32(b, 0x3C, 0x80);
    const std::string stub("\x0E\x1F\xBA\x0E\x00\xB4\x09\xCD\x21\xB8\x01\x4C\xCD\x21", 14);
    b.replace(0x40, stub.size(), stub);
    const std::string message = "This program cannot be run in DOS mode.\r\r\n$";
    b.replace(0x4E, message.size(), message);

    // NT headers.
    const size_t nt = 0x80, opt = nt + 24;
    const uint32_t optSize = s.pe64 ? 240 : 224;
    b.replace(nt, 4, std::string("PE\0\0", 4));
    Put16(b, nt + 4, s.pe64 ? 0x8664 : 0x014C);
    Put16(b, nt + 6, sections);
    Put32(b, nt + 8, s.timeDateStamp);
    Put16(b, nt + 20, optSize);
    uint32_t characteristics = s.pe64 ? 0x0022 : 0x0102;  // executable; 32-bit or large-address aware
    if (s.kind == PeKind::kDll) characteristics |= 0x2000;
    Put16(b, nt + 22, characteristics);

    const uint32_t imageSize = static_cast<uint32_t>(Align(rsrcRva + (s.hasVersion ? rsrc.size() : 0), kSectionAlign));
    Put16(b, opt, s.pe64 ? 0x20B : 0x10B);
    b[opt + 2] = 8;                                   // linker 8.0
    Put32(b, opt + 4, static_cast<uint32_t>(codeRaw));
    Put32(b, opt + 8, static_cast<uint32_t>(rsrcRaw));
    Put32(b, opt + 16, kCodeRva);                     // entry point
    Put32(b, opt + 20, kCodeRva);                     // base of code
    uint64_t imageBase = s.kind == PeKind::kDriver ? 0x10000 : s.kind == PeKind::kDll ? 0x10000000 : 0x400000;
    if (s.pe64) imageBase = s.kind == PeKind::kDll ? 0x180000000ull : 0x140000000ull;
    if (s.pe64) {
        Put64(b, opt + 24, imageBase);
    } else {
        Put32(b, opt + 24, rsrcRva);  // base of data
        Put32(b, opt + 28, static_cast<uint32_t>(imageBase));
    }
    Put32(b, opt + 32, kSectionAlign);
    Put32(b, opt + 36, kFileAlign);
    Put16(b, opt + 40, s.osMajor), Put16(b, opt + 42, s.osMinor);  // operating system
    Put16(b, opt + 44, s.fileVersion[0]), Put16(b, opt + 46, s.fileVersion[1]);  // image version
    Put16(b, opt + 48, s.osMajor), Put16(b, opt + 50, s.osMinor);  // subsystem version
    Put32(b, opt + 56, imageSize);
    Put32(b, opt + 60, kHeaders);
    const size_t checksumAt = opt + 64;
    Put16(b, opt + 68, s.kind == PeKind::kDriver ? 1 : 2);  // native or Windows GUI
    const size_t stack = opt + 72;
    if (s.pe64) {
        Put64(b, stack, 0x100000), Put64(b, stack + 8, 0x1000), Put64(b, stack + 16, 0x100000), Put64(b, stack + 24, 0x1000);
        Put32(b, stack + 36, 16);
    } else {
        Put32(b, stack, 0x100000), Put32(b, stack + 4, 0x1000), Put32(b, stack + 8, 0x100000), Put32(b, stack + 12, 0x1000);
        Put32(b, stack + 20, 16);
    }
    const size_t dirs = opt + (s.pe64 ? 112 : 96);
    if (s.hasVersion) Put32(b, dirs + 16, rsrcRva), Put32(b, dirs + 20, static_cast<uint32_t>(rsrc.size()));

    // Section table.
    const size_t sec = opt + optSize;
    b.replace(sec, 5, ".text");
    Put32(b, sec + 8, 0x10), Put32(b, sec + 12, kCodeRva);
    Put32(b, sec + 16, static_cast<uint32_t>(codeRaw)), Put32(b, sec + 20, kHeaders);
    Put32(b, sec + 36, 0x60000020u);  // code, execute, read
    if (s.hasVersion) {
        b.replace(sec + 40, 5, ".rsrc");
        Put32(b, sec + 48, static_cast<uint32_t>(rsrc.size())), Put32(b, sec + 52, rsrcRva);
        Put32(b, sec + 56, static_cast<uint32_t>(rsrcRaw)), Put32(b, sec + 60, static_cast<uint32_t>(kHeaders + codeRaw));
        Put32(b, sec + 76, 0x40000040u);  // initialised data, read
    }

    // Code: the entry point returns success (STATUS_SUCCESS for a driver, TRUE otherwise),
    // the rest is filled with breakpoints.
    std::string code;
    if (s.kind == PeKind::kDriver) code = s.pe64 ? std::string("\x33\xC0\xC3", 3) : std::string("\x33\xC0\xC2\x08\x00", 5);
    else if (s.kind == PeKind::kDll) code = s.pe64 ? std::string("\xB8\x01\x00\x00\x00\xC3", 6)
                                                   : std::string("\xB8\x01\x00\x00\x00\xC2\x0C\x00", 8);
    else code = std::string("\x33\xC0\xC3", 3);
    code.resize(codeRaw, '\xCC');
    b.replace(kHeaders, codeRaw, code);
    if (s.hasVersion) b.replace(kHeaders + codeRaw, rsrc.size(), rsrc);

    Put32(b, checksumAt, ImageChecksum(b, checksumAt));
    return b;
}

}  // namespace vornel::tools
