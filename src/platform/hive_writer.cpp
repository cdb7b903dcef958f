#include "platform/hive_writer.h"

#include <hivex.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/hive_image.h"
#include "support/text.h"

namespace vornel::platform {

namespace fs = std::filesystem;
using namespace hive;

namespace {

static_assert(sizeof(hive_type) == sizeof(uint32_t));

// 2020-01-01 00:00 UTC as a FILETIME: generated hives come out byte for byte the same.
constexpr uint64_t kFixedTime = 132223104000000000ull;
constexpr uint32_t kMinorVersion = 5;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
// hivex allocates no cell over 1,000,000 bytes, header included.
constexpr size_t kMaxValueBytes = 1000000 - 4;

size_t Round8(size_t n) { return (n + 7) & ~size_t{7}; }

// A self-relative security descriptor: owner Administrators, group SYSTEM; full control for
// SYSTEM and Administrators, read for Everyone.
std::string SecurityDescriptor() {
    const std::string system("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
    const std::string admins("\x01\x02\0\0\0\0\0\x05\x20\0\0\0\x20\x02\0\0", 16);
    const std::string everyone("\x01\x01\0\0\0\0\0\x01\0\0\0\0", 12);
    std::string acl(8, '\0');
    auto ace = [&](const std::string& sid, uint32_t mask) {
        std::string a(8, '\0');
        a[1] = 0x02;  // inherited by subkeys
        Put16(a, 2, static_cast<uint16_t>(8 + sid.size()));
        Put32(a, 4, mask);
        acl += a + sid;
    };
    ace(system, 0xF003F);
    ace(admins, 0xF003F);
    ace(everyone, 0x20019);
    acl[0] = 2;
    Put16(acl, 2, static_cast<uint16_t>(acl.size()));
    Put16(acl, 4, 3);
    std::string sd(20, '\0');
    sd[0] = 1;
    Put16(sd, 2, 0x8004);  // self-relative, DACL present
    Put32(sd, 4, 20);
    Put32(sd, 8, static_cast<uint32_t>(20 + admins.size()));
    Put32(sd, 16, static_cast<uint32_t>(20 + admins.size() + system.size()));
    return sd + admins + system + acl;
}

// Hive bins being laid out: cells go one after another, a new bin opens when a cell does
// not fit, and the rest of a closed bin becomes one free cell.
class Bins {
public:
    uint32_t Alloc(size_t payload) {
        const size_t size = Round8(payload + 4);
        if (next_ + size > end_) {
            Close();
            const size_t binSize = (size + kBinHeaderSize + 4095) / 4096 * 4096;
            const size_t start = data_.size();
            data_.resize(start + binSize, '\0');
            std::memcpy(&data_[start], "hbin", 4);
            Put32(data_, start + 4, static_cast<uint32_t>(start));
            Put32(data_, start + 8, static_cast<uint32_t>(binSize));
            next_ = start + kBinHeaderSize;
            end_ = start + binSize;
        }
        const size_t cell = next_;
        Put32(data_, cell, static_cast<uint32_t>(-static_cast<int32_t>(size)));
        next_ += size;
        return static_cast<uint32_t>(cell);
    }
    void Close() {
        if (next_ < end_) Put32(data_, next_, static_cast<uint32_t>(end_ - next_));
        next_ = end_;
    }
    std::string& data() { return data_; }
    static size_t P(uint32_t cell) { return size_t{cell} + 4; }  // payload offset in data()

private:
    std::string data_;
    size_t next_ = 0, end_ = 0;
};

// The registry's order and lh hashes use upper-cased UTF-16 code units. This upcases ASCII,
// Latin-1, Greek and Cyrillic letters; other characters compare as they are.
uint16_t Upcase(uint16_t u) {
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F))
        return static_cast<uint16_t>(u - 0x20);
    if (u == 0xFF) return 0x178;
    if (u >= 0x450 && u <= 0x45F) return static_cast<uint16_t>(u - 0x50);
    return u;
}

std::u16string UpperUnits(const StoredName& n) {
    std::u16string s;
    if (n.latin1) {
        for (unsigned char c : n.bytes) s.push_back(static_cast<char16_t>(Upcase(c)));
    } else {
        for (size_t i = 0; i + 1 < n.bytes.size(); i += 2) s.push_back(static_cast<char16_t>(Upcase(Get16(n.bytes, i))));
    }
    return s;
}

uint32_t NameHash(const std::u16string& upper) {
    uint32_t h = 0;
    for (char16_t c : upper) h = h * 37 + c;
    return h;
}

size_t Utf16Bytes(const StoredName& n) { return n.latin1 ? n.bytes.size() * 2 : n.bytes.size(); }

// Stores the header checksum. hivex compares the plain XOR, which the registry stores
// remapped when it is 0 or ~0; a reserved dword then takes a bit so that both agree.
void Seal(std::string& file) {
    uint32_t plain = 0;
    for (size_t i = 0; i < base::kChecksum; i += 4) plain ^= Get32(file, i);
    if (plain == 0 || plain == 0xFFFFFFFF) Put32(file, base::kChecksum - 4, Get32(file, base::kChecksum - 4) ^ 0x10);
    Put32(file, base::kChecksum, BaseBlockChecksum(file));
}

// The base block in front of the bins: both sequence numbers equal, so nothing waits for
// a log to be replayed.
std::string WithBaseBlock(const std::string& d, uint32_t root, uint64_t time) {
    std::string file(kBaseBlockSize, '\0');
    std::memcpy(&file[0], "regf", 4);
    Put32(file, base::kSeq1, 1);
    Put32(file, base::kSeq2, 1);
    Put64(file, base::kTimestamp, time);
    Put32(file, base::kMajor, 1);
    Put32(file, base::kMinor, kMinorVersion);
    Put32(file, base::kFormat, 1);
    Put32(file, base::kRoot, root);
    Put32(file, base::kDataSize, static_cast<uint32_t>(d.size()));
    Put32(file, base::kCluster, 1);
    Seal(file);
    return file + d;
}

// Lays out the key tree of a checked hive image afresh (see WriteHive).
std::string Relayout(const Image& in) {
    Bins bins;
    const std::string sd = SecurityDescriptor();
    const uint32_t sk = bins.Alloc(16 + sd.size());
    std::string& d = bins.data();
    auto nkCell = [&](const StoredName& name) { return bins.Alloc(nk::kName + name.bytes.size()); };

    const uint32_t root = nkCell(in.KeyName(in.RootCell()));
    struct Work {
        uint32_t src, dst, parent;
    };
    std::vector<Work> stack{{in.RootCell(), root, kNoCell}};
    std::vector<uint32_t> kids, values;
    uint32_t keyCount = 0;
    while (!stack.empty()) {
        const Work w = stack.back();
        stack.pop_back();
        ++keyCount;
        const StoredName name = in.KeyName(w.src);
        size_t p = Bins::P(w.dst);
        std::memcpy(&d[p], "nk", 2);
        uint16_t flags = name.latin1 ? nk::kCompressedName : 0;
        if (w.parent == kNoCell) flags |= nk::kHiveEntry | nk::kNoDelete;
        Put16(d, p + nk::kFlags, flags);
        Put64(d, p + nk::kTimestamp, in.KeyTimestamp(w.src));
        Put32(d, p + nk::kParent, w.parent == kNoCell ? 0 : w.parent);
        for (size_t f : {nk::kSubKeyList, nk::kVolatileSubKeyList, nk::kValueList, nk::kClass}) Put32(d, p + f, kNoCell);
        Put32(d, p + nk::kSecurity, sk);
        Put16(d, p + nk::kNameLen, static_cast<uint16_t>(name.bytes.size()));
        std::memcpy(&d[p + nk::kName], name.bytes.data(), name.bytes.size());

        // Values, in their stored order.
        in.ValueCells(w.src, values);
        if (!values.empty()) {
            const uint32_t list = bins.Alloc(4 * values.size());
            size_t maxName = 0, maxData = 0;
            for (size_t i = 0; i < values.size(); ++i) {
                const StoredName vn = in.ValueName(values[i]);
                const std::string data = in.ValueData(values[i]);
                const uint32_t v = bins.Alloc(vk::kName + vn.bytes.size());
                const size_t q = Bins::P(v);
                std::memcpy(&d[q], "vk", 2);
                Put16(d, q + vk::kNameLen, static_cast<uint16_t>(vn.bytes.size()));
                Put32(d, q + vk::kType, in.ValueType(values[i]));
                Put16(d, q + vk::kFlags, vn.latin1 && !vn.bytes.empty() ? vk::kCompressedName : 0);
                std::memcpy(&d[q + vk::kName], vn.bytes.data(), vn.bytes.size());
                const auto len = static_cast<uint32_t>(data.size());
                if (len <= 4) {
                    Put32(d, q + vk::kDataLen, len | vk::kInline);
                    std::memcpy(&d[q + vk::kData], data.data(), len);
                } else if (len <= kBigDataChunk) {
                    const uint32_t cell = bins.Alloc(len);
                    std::memcpy(&d[Bins::P(cell)], data.data(), len);
                    Put32(d, q + vk::kDataLen, len);
                    Put32(d, q + vk::kData, cell);
                } else {
                    // Each segment's cell is 4 bytes longer than its share of the data, as
                    // the registry allocates them (and as hivex expects when reading).
                    const size_t count = (len + kBigDataChunk - 1) / kBigDataChunk;
                    const uint32_t db = bins.Alloc(12);
                    const uint32_t segList = bins.Alloc(4 * count);
                    std::memcpy(&d[Bins::P(db)], "db", 2);
                    Put16(d, Bins::P(db) + 2, static_cast<uint16_t>(count));
                    Put32(d, Bins::P(db) + 4, segList);
                    for (size_t s = 0; s < count; ++s) {
                        const size_t from = s * kBigDataChunk;
                        const size_t take = std::min<size_t>(kBigDataChunk, len - from);
                        const uint32_t seg = bins.Alloc(take + 4);
                        std::memcpy(&d[Bins::P(seg)], data.data() + from, take);
                        Put32(d, Bins::P(segList) + 4 * s, seg);
                    }
                    Put32(d, q + vk::kDataLen, len);
                    Put32(d, q + vk::kData, db);
                }
                Put32(d, Bins::P(list) + 4 * i, v);
                maxName = std::max(maxName, Utf16Bytes(vn));
                maxData = std::max<size_t>(maxData, len);
            }
            p = Bins::P(w.dst);
            Put32(d, p + nk::kValues, static_cast<uint32_t>(values.size()));
            Put32(d, p + nk::kValueList, list);
            Put32(d, p + nk::kMaxValueNameLen, static_cast<uint32_t>(maxName));
            Put32(d, p + nk::kMaxValueDataLen, static_cast<uint32_t>(maxData));
        }

        // Subkeys sorted as the registry sorts them, each key's cell placed now so that the
        // index can point at it; their contents follow when they come off the stack.
        in.SubKeys(w.src, kids);
        if (kids.empty()) continue;
        struct Kid {
            uint32_t src, dst;
            std::u16string upper;
        };
        std::vector<Kid> sorted;
        size_t maxName = 0;
        for (uint32_t k : kids) {
            const StoredName kn = in.KeyName(k);
            sorted.push_back({k, 0, UpperUnits(kn)});
            maxName = std::max(maxName, Utf16Bytes(kn));
        }
        std::stable_sort(sorted.begin(), sorted.end(), [](const Kid& a, const Kid& b) { return a.upper < b.upper; });
        for (Kid& k : sorted) k.dst = nkCell(in.KeyName(k.src));
        auto leaf = [&](size_t from, size_t n) {
            const uint32_t c = bins.Alloc(4 + 8 * n);
            std::memcpy(&d[Bins::P(c)], "lh", 2);
            Put16(d, Bins::P(c) + 2, static_cast<uint16_t>(n));
            for (size_t i = 0; i < n; ++i) {
                Put32(d, Bins::P(c) + 4 + 8 * i, sorted[from + i].dst);
                Put32(d, Bins::P(c) + 8 + 8 * i, NameHash(sorted[from + i].upper));
            }
            return c;
        };
        uint32_t index;
        if (sorted.size() <= kMaxLeafEntries) {
            index = leaf(0, sorted.size());
        } else {
            const size_t leaves = (sorted.size() + kMaxLeafEntries - 1) / kMaxLeafEntries;
            index = bins.Alloc(4 + 4 * leaves);
            std::memcpy(&d[Bins::P(index)], "ri", 2);
            Put16(d, Bins::P(index) + 2, static_cast<uint16_t>(leaves));
            for (size_t l = 0; l < leaves; ++l) {
                const size_t from = l * kMaxLeafEntries;
                const uint32_t c = leaf(from, std::min(kMaxLeafEntries, sorted.size() - from));
                Put32(d, Bins::P(index) + 4 + 4 * l, c);
            }
        }
        p = Bins::P(w.dst);
        Put32(d, p + nk::kSubKeys, static_cast<uint32_t>(sorted.size()));
        Put32(d, p + nk::kSubKeyList, index);
        Put32(d, p + nk::kMaxNameLen, static_cast<uint32_t>(maxName));
        for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) stack.push_back({it->src, it->dst, w.dst});
    }
    bins.Close();

    const size_t s = Bins::P(sk);
    std::memcpy(&d[s], "sk", 2);
    Put32(d, s + 4, sk);
    Put32(d, s + 8, sk);
    Put32(d, s + 12, keyCount);
    Put32(d, s + 16, static_cast<uint32_t>(sd.size()));
    std::memcpy(&d[s + 20], sd.data(), sd.size());
    Put64(d, 20, in.Timestamp());  // the first bin keeps a copy of the header's time

    return WithBaseBlock(d, root, in.Timestamp());
}

// The smallest hive hivex will open for writing: header, one bin, a root key and the
// security cell every key needs.
std::string MinimalHive() {
    Bins bins;
    const std::string sd = SecurityDescriptor();
    const std::string name = "ROOT";
    const uint32_t root = bins.Alloc(nk::kName + name.size());
    const uint32_t sk = bins.Alloc(16 + sd.size());
    bins.Close();
    std::string& d = bins.data();
    size_t p = Bins::P(root);
    std::memcpy(&d[p], "nk", 2);
    Put16(d, p + nk::kFlags, nk::kHiveEntry | nk::kNoDelete | nk::kCompressedName);
    Put64(d, p + nk::kTimestamp, kFixedTime);
    for (size_t f : {nk::kSubKeyList, nk::kVolatileSubKeyList, nk::kValueList, nk::kClass}) Put32(d, p + f, kNoCell);
    Put32(d, p + nk::kSecurity, sk);
    Put16(d, p + nk::kNameLen, static_cast<uint16_t>(name.size()));
    std::memcpy(&d[p + nk::kName], name.data(), name.size());
    p = Bins::P(sk);
    std::memcpy(&d[p], "sk", 2);
    Put32(d, p + 4, sk);
    Put32(d, p + 8, sk);
    Put32(d, p + 12, 1);
    Put32(d, p + 16, static_cast<uint32_t>(sd.size()));
    std::memcpy(&d[p + 20], sd.data(), sd.size());
    Put64(d, 20, kFixedTime);

    return WithBaseBlock(d, root, kFixedTime);
}

struct HiveCloser {
    void operator()(hive_h* h) const { hivex_close(h); }
};

// A private scratch folder, removed with everything in it.
struct ScratchDir {
    fs::path path;
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Copies the store's subtree into the hive open in `h`.
bool Build(const RegistryStore& src, KeyId from, hive_h* h, std::string* why) {
    std::vector<std::pair<KeyId, hive_node_h>> stack{{from, hivex_root(h)}};
    std::vector<std::string> names;
    std::vector<RegValue> values;
    std::vector<hive_set_value> set;
    while (!stack.empty()) {
        const auto [key, node] = stack.back();
        stack.pop_back();
        src.Values(key, values);
        set.clear();
        for (RegValue& v : values) {
            if (v.name.find('\0') != std::string::npos || text::DecodeUtf8(v.name).size() > kMaxValueNameChars) {
                *why = "value name too long or holding a NUL: " + v.name.substr(0, 64);
                return false;
            }
            if (v.data.size() > kMaxValueBytes) {
                *why = "value " + v.name.substr(0, 64) + " holds " + std::to_string(v.data.size()) +
                       " bytes, more than hivex writes (" + std::to_string(kMaxValueBytes) + ")";
                return false;
            }
            hive_set_value s{};
            s.key = v.name.data();
            std::memcpy(&s.t, &v.type, sizeof v.type);  // any 32-bit type, not only hivex's named ones
            s.len = v.data.size();
            s.value = v.data.data();
            set.push_back(s);
        }
        if (hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0) {
            *why = Errno("cannot store the values of a key");
            return false;
        }
        src.SubKeyNames(key, names);
        // Added last first: hivex then finds each new key's place at the front of the list.
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            if (it->empty() || it->find('\0') != std::string::npos || text::DecodeUtf8(*it).size() > kMaxKeyNameChars) {
                *why = "key name empty, too long or holding a NUL: " + it->substr(0, 64);
                return false;
            }
            const KeyId child = src.Child(key, *it);
            const hive_node_h added = child ? hivex_node_add_child(h, node, it->c_str()) : 0;
            if (!added) {
                *why = Errno("cannot add key " + *it);
                return false;
            }
            stack.emplace_back(child, added);
        }
    }
    return true;
}

}  // namespace

bool WriteHive(const RegistryStore& src, KeyId from, const fs::path& out, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "cannot write hive " + out.string() + ": " + why;
        return false;
    };
    if (!from) return fail("the source key does not exist");
    std::error_code ec;
    if (out.has_parent_path() && !fs::is_directory(out.parent_path(), ec))
        return fail("no such folder " + out.parent_path().string());

    ScratchDir scratch;
    std::string tmpl = (fs::temp_directory_path() / "vornel-hive-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return fail(Errno("cannot create a scratch folder"));
    scratch.path = tmpl;
    const fs::path seed = scratch.path / "seed.hive";
    const fs::path built = scratch.path / "built.hive";
    std::string why;
    {
        const std::string minimal = MinimalHive();
        std::FILE* f = std::fopen(seed.c_str(), "wb");
        const bool ok = f && std::fwrite(minimal.data(), 1, minimal.size(), f) == minimal.size();
        if (!f || std::fclose(f) != 0 || !ok) return fail(Errno("cannot write " + seed.string()));
    }

    {
        std::unique_ptr<hive_h, HiveCloser> h(hivex_open(seed.c_str(), HIVEX_OPEN_WRITE));
        if (!h) return fail(Errno("hivex cannot open the starting hive"));
        if (!Build(src, from, h.get(), &why)) return fail(why);
        if (hivex_commit(h.get(), built.c_str(), 0) != 0) return fail(Errno("hivex cannot save the hive"));
    }

    std::string bytes;
    if (!ReadWholeFile(built, bytes, &why)) return fail(why);
    Image image;
    if (!image.Check(bytes, &why)) return fail("the hive hivex wrote does not read back: " + why);
    const std::string laidOut = Relayout(image);
    Image check;
    if (!check.Check(laidOut, &why)) return fail("the laid-out hive does not read back: " + why);
    if (!WriteFileAtomically(out, laidOut, 0644, &why)) return fail(why);
    return true;
}

}  // namespace vornel::platform
