#include "pe_builder.h"

namespace vornel::test {

namespace {

void Put16(std::string& b, size_t off, uint32_t v) {
    if (b.size() < off + 2) b.resize(off + 2);
    b[off] = static_cast<char>(v & 0xFF);
    b[off + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& b, size_t off, uint32_t v) {
    Put16(b, off, v & 0xFFFF);
    Put16(b, off + 2, v >> 16);
}

// VS_VERSIONINFO holding only its VS_FIXEDFILEINFO.
std::string VersionBlock(FileVersion v) {
    std::string b;
    Put16(b, 2, 52);
    size_t pos = 6;
    for (char c : std::string("VS_VERSION_INFO")) Put16(b, (pos += 2) - 2, static_cast<uint8_t>(c));
    Put16(b, pos, 0);
    pos = (pos + 2 + 3) / 4 * 4;
    Put32(b, pos, 0xFEEF04BD);
    Put32(b, pos + 4, 0x10000);
    Put32(b, pos + 8, static_cast<uint32_t>(v.major) << 16 | v.minor);
    Put32(b, pos + 12, static_cast<uint32_t>(v.build) << 16 | v.revision);
    Put32(b, pos + 16, static_cast<uint32_t>(v.major) << 16 | v.minor);
    Put32(b, pos + 20, static_cast<uint32_t>(v.build) << 16 | v.revision);
    b.resize(pos + 52);
    Put16(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

// Resource section at RVA 0x2000: the directories type 16 -> name 1 -> language 1033, one
// data entry, then the data.
std::string ResourceSection(const std::string& data, uint32_t rva) {
    std::string s(0x58, '\0');
    auto directory = [&](size_t at, uint32_t id, uint32_t target) {
        Put16(s, at + 14, 1);  // one entry with an ID
        Put32(s, at + 16, id);
        Put32(s, at + 20, target);
    };
    directory(0x00, 16, 0x80000000u | 0x18);
    directory(0x18, 1, 0x80000000u | 0x30);
    directory(0x30, 1033, 0x48);
    Put32(s, 0x48, rva + 0x58);
    Put32(s, 0x4C, static_cast<uint32_t>(data.size()));
    return s + data;
}

std::string Image(const std::string* versionBlock) {
    constexpr uint32_t kRsrcRva = 0x2000;
    const std::string rsrc = versionBlock ? ResourceSection(*versionBlock, kRsrcRva) : std::string();
    std::string b(0x600 + (rsrc.size() + 0x1FF) / 0x200 * 0x200, '\0');
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, 0x80);
    b.replace(0x80, 4, std::string("PE\0\0", 4));
    Put16(b, 0x84, 0x14C);  // i386
    Put16(b, 0x86, 2);      // sections
    Put16(b, 0x94, 224);    // optional header size
    Put16(b, 0x96, 0x102);
    const size_t opt = 0x98, dirs = opt + 96;
    Put16(b, opt, 0x10B);
    Put32(b, opt + 16, 0x1000);
    Put32(b, opt + 32, 0x1000);
    Put32(b, opt + 36, 0x200);
    Put16(b, opt + 48, 4);
    Put32(b, opt + 56, 0x3000);
    Put32(b, opt + 60, 0x400);
    Put16(b, opt + 68, 2);
    Put32(b, dirs - 4, 16);
    if (!rsrc.empty()) Put32(b, dirs + 16, kRsrcRva), Put32(b, dirs + 20, static_cast<uint32_t>(rsrc.size()));
    const size_t sec = opt + 224;
    b.replace(sec, 5, ".text");
    Put32(b, sec + 8, 0x10), Put32(b, sec + 12, 0x1000), Put32(b, sec + 16, 0x200), Put32(b, sec + 20, 0x400);
    b.replace(sec + 40, 5, ".rsrc");
    Put32(b, sec + 48, static_cast<uint32_t>(rsrc.size()));
    Put32(b, sec + 52, kRsrcRva);
    Put32(b, sec + 56, static_cast<uint32_t>(b.size() - 0x600));
    Put32(b, sec + 60, 0x600);
    b.replace(0x600, rsrc.size(), rsrc);
    return b;
}

}  // namespace

std::string PeWithVersion(FileVersion version) {
    const std::string block = VersionBlock(version);
    return Image(&block);
}

std::string PeWithoutVersion() { return Image(nullptr); }

}  // namespace vornel::test
