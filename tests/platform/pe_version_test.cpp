#include "platform/pe_version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <vector>

#include "platform/folder_handles.h"
#include "support/last_error.h"
#include "test_support.h"

namespace vornel::platform {
namespace {

namespace fs = std::filesystem;

void Put16(std::string& b, size_t off, uint32_t v) {
    if (b.size() < off + 2) b.resize(off + 2);
    b[off] = static_cast<char>(v & 0xFF);
    b[off + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& b, size_t off, uint32_t v) {
    Put16(b, off, v & 0xFFFF);
    Put16(b, off + 2, v >> 16);
}
size_t Align(size_t n, size_t a) { return (n + a - 1) / a * a; }

// VS_VERSIONINFO holding only its VS_FIXEDFILEINFO.
std::string VersionBlock(uint32_t fileMs, uint32_t fileLs, uint32_t productMs = 0,
                         uint32_t productLs = 0) {
    std::string b;
    Put16(b, 2, 52);
    size_t pos = 6;
    for (char c : std::string("VS_VERSION_INFO")) Put16(b, (pos += 2) - 2, static_cast<uint8_t>(c));
    Put16(b, pos, 0);
    pos = Align(pos + 2, 4);
    Put32(b, pos, 0xFEEF04BD);
    Put32(b, pos + 4, 0x10000);
    Put32(b, pos + 8, fileMs);
    Put32(b, pos + 12, fileLs);
    Put32(b, pos + 16, productMs);
    Put32(b, pos + 20, productLs);
    b.resize(pos + 52);
    Put16(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

// A resource key: a number, or a name when text is set.
struct Key {
    uint32_t id = 0;
    std::string text;
    bool operator<(const Key& o) const {  // named entries come first, then ascending IDs
        if (text.empty() != o.text.empty()) return !text.empty();
        return text.empty() ? id < o.id : text < o.text;
    }
};
struct Resource {
    Key type, name;
    std::string data;
};

// The resource section: type, name and language directories, data entries, names, data.
// Returns the section; *blobAt gets each resource's offset in it.
std::string ResourceSection(const std::vector<Resource>& res, uint32_t rva,
                            std::vector<size_t>* blobAt) {
    std::map<Key, std::map<Key, std::vector<size_t>>> tree;
    for (size_t i = 0; i < res.size(); ++i) tree[res[i].type][res[i].name].push_back(i);
    size_t cur = 16 + 8 * tree.size();
    std::map<std::pair<Key, Key>, size_t> dirAt;
    for (auto& [type, names] : tree) dirAt[{type, {}}] = cur, cur += 16 + 8 * names.size();
    for (auto& [type, names] : tree)
        for (auto& [name, langs] : names) dirAt[{type, name}] = cur, cur += 16 + 8 * langs.size();
    const size_t entriesAt = cur;
    cur += 16 * res.size();
    std::string s(cur, '\0');
    auto keyField = [&s](const Key& k) -> uint32_t {
        if (k.text.empty()) return k.id;
        const size_t at = s.size();
        Put16(s, at, static_cast<uint32_t>(k.text.size()));
        for (size_t i = 0; i < k.text.size(); ++i)
            Put16(s, at + 2 + 2 * i, static_cast<uint8_t>(k.text[i]));
        return 0x80000000u | static_cast<uint32_t>(at);
    };
    auto directory = [&](size_t at, size_t count, size_t named) {
        Put16(s, at + 12, static_cast<uint32_t>(named));
        Put16(s, at + 14, static_cast<uint32_t>(count - named));
    };
    auto countNamed = [](const auto& m) {
        size_t n = 0;
        for (auto& kv : m) n += !kv.first.text.empty();
        return n;
    };
    directory(0, tree.size(), countNamed(tree));
    size_t t = 0;
    for (auto& [type, names] : tree) {
        const size_t typeDir = dirAt[{type, {}}];
        Put32(s, 16 + 8 * t, keyField(type));
        Put32(s, 16 + 8 * t++ + 4, 0x80000000u | static_cast<uint32_t>(typeDir));
        directory(typeDir, names.size(), countNamed(names));
        size_t n = 0;
        for (auto& [name, langs] : names) {
            const size_t nameDir = dirAt[{type, name}];
            Put32(s, typeDir + 16 + 8 * n, keyField(name));
            Put32(s, typeDir + 16 + 8 * n++ + 4, 0x80000000u | static_cast<uint32_t>(nameDir));
            directory(nameDir, langs.size(), 0);
            for (size_t l = 0; l < langs.size(); ++l) {
                Put32(s, nameDir + 16 + 8 * l, 1033);
                Put32(s, nameDir + 16 + 8 * l + 4,
                      static_cast<uint32_t>(entriesAt + 16 * langs[l]));
            }
        }
    }
    blobAt->assign(res.size(), 0);
    for (size_t i = 0; i < res.size(); ++i) {
        const size_t at = Align(s.size(), 4);
        s.resize(at);
        s += res[i].data;
        (*blobAt)[i] = at;
        Put32(s, entriesAt + 16 * i, static_cast<uint32_t>(rva + at));
        Put32(s, entriesAt + 16 * i + 4, static_cast<uint32_t>(res[i].data.size()));
    }
    return s;
}

struct Pe {
    std::string bytes;
    size_t ntAt = 0x80, rsrcAt = 0x600;
    size_t lastBlobEnd = 0;  // file offset just past the last resource's data
};

// A minimal image: headers, an empty .text section and .rsrc at RVA 0x2000, file 0x600.
Pe BuildPe(bool pe64, const std::vector<Resource>& res) {
    Pe pe;
    std::string& b = pe.bytes;
    constexpr uint32_t kRsrcRva = 0x2000;
    std::vector<size_t> blobAt;
    const std::string rsrc = res.empty() ? "" : ResourceSection(res, kRsrcRva, &blobAt);
    b.assign(0x600 + Align(rsrc.size(), 0x200), '\0');
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, 0x80);
    b.replace(0x80, 4, std::string("PE\0\0", 4));
    const uint32_t optSize = pe64 ? 240 : 224;
    Put16(b, 0x84, pe64 ? 0x8664 : 0x14C);
    Put16(b, 0x86, 2);
    Put16(b, 0x94, optSize);
    Put16(b, 0x96, pe64 ? 0x22 : 0x102);
    const size_t opt = 0x98, dirs = opt + (pe64 ? 112 : 96);
    Put16(b, opt, pe64 ? 0x20B : 0x10B);
    Put32(b, opt + 16, 0x1000);  // entry point
    Put32(b, opt + 32, 0x1000);  // section alignment
    Put32(b, opt + 36, 0x200);   // file alignment
    Put16(b, opt + 48, 4);
    Put32(b, opt + 56, 0x3000);  // image size
    Put32(b, opt + 60, 0x400);   // header size
    Put16(b, opt + 68, 2);
    Put32(b, dirs - 4, 16);
    if (!res.empty())
        Put32(b, dirs + 16, kRsrcRva), Put32(b, dirs + 20, static_cast<uint32_t>(rsrc.size()));
    const size_t sec = opt + optSize;
    b.replace(sec, 5, ".text");
    Put32(b, sec + 8, 0x10), Put32(b, sec + 12, 0x1000), Put32(b, sec + 16, 0x200),
        Put32(b, sec + 20, 0x400);
    b.replace(sec + 40, 5, ".rsrc");
    Put32(b, sec + 48, static_cast<uint32_t>(rsrc.size()));
    Put32(b, sec + 52, kRsrcRva);
    Put32(b, sec + 56, static_cast<uint32_t>(b.size() - 0x600));
    Put32(b, sec + 60, 0x600);
    b.replace(0x600, rsrc.size(), rsrc);
    if (!res.empty()) pe.lastBlobEnd = 0x600 + blobAt.back() + res.back().data.size();
    return pe;
}

Resource Version(uint32_t ms, uint32_t ls, Key name = {1, ""}) {
    return {{16, ""}, std::move(name), VersionBlock(ms, ls, ms + 1, ls)};
}
Resource Manifest() { return {{24, ""}, {1, ""}, "<assembly/>"}; }

// A copy of exactly `n` bytes, so that the sanitizers see any read past them.
std::string ParsePrefix(const std::string& bytes, size_t n) {
    std::vector<char> exact(bytes.begin(), bytes.begin() + static_cast<long>(n));
    return ReadPeVersionInfo(std::string_view(exact.data(), exact.size())).fileVersion;
}

TEST(PeVersion, ReadsFixedFileInfoOf32And64BitImages) {
    for (bool pe64 : {false, true}) {
        const Pe pe = BuildPe(pe64, {Manifest(), Version(0x00050001, 0x0A281580)});
        const PeVersionInfo info = ReadPeVersionInfo(pe.bytes);
        EXPECT_EQ(info.fileVersion, "5.1.2600.5504") << pe64;
        EXPECT_EQ(info.productVersion, "5.2.2600.5504") << pe64;
        EXPECT_EQ(
            ReadPeVersionInfo(BuildPe(pe64, {Version(0xFFFFFFFF, 0xFFFF0000)}).bytes).fileVersion,
            "65535.65535.65535.0");
        if (const char* dir = std::getenv("VORNEL_PE_FIXTURE_DIR"))  // seeds for the fuzzer
            std::ofstream(fs::path(dir) / (pe64 ? "tiny64.exe" : "tiny32.exe"), std::ios::binary)
                << pe.bytes;
    }
}

TEST(PeVersion, PicksTheVersionResourceAmongOthers) {
    // Named entries precede numbered ones; the reader must still find type 16 and name 1.
    EXPECT_EQ(ReadPeVersionInfo(BuildPe(false, {{{0, "MUI"}, {1, ""}, "x"},
                                                Manifest(),
                                                Version(0x10002, 0x30004, {0, "ABC"}),
                                                Version(0x20002, 0x30004)})
                                    .bytes)
                  .fileVersion,
              "2.2.3.4");
    // A version resource under another number than 1 is still the version resource.
    EXPECT_EQ(
        ReadPeVersionInfo(BuildPe(true, {Version(0x10001, 0xE, {102, ""})}).bytes).fileVersion,
        "1.1.0.14");
    SetLastErrorCode(0);
    EXPECT_EQ(ReadPeVersionInfo(BuildPe(true, {Manifest()}).bytes).fileVersion, "");
    EXPECT_EQ(GetLastErrorCode(), 1813u);
    EXPECT_EQ(ReadPeVersionInfo(BuildPe(false, {}).bytes).fileVersion, "");
}

TEST(PeVersion, EveryTruncationGivesNothingUntilTheBlockIsWhole) {
    for (bool pe64 : {false, true}) {
        const Pe pe = BuildPe(pe64, {Manifest(), Version(0x00050001, 0x0A281580)});
        for (size_t n = 0; n <= pe.bytes.size(); ++n)
            ASSERT_EQ(ParsePrefix(pe.bytes, n), n < pe.lastBlobEnd ? "" : "5.1.2600.5504") << n;
    }
}

TEST(PeVersion, HostileFieldsGiveEmptyText) {
    const Pe good = BuildPe(false, {Version(0x10002, 0x30004)});
    const size_t root = good.rsrcAt, sections = 0x98 + 224;
    auto with = [&good](std::initializer_list<std::pair<size_t, uint32_t>> patches,
                        bool wide = true) {
        std::string b = good.bytes;
        for (auto [at, v] : patches) wide ? Put32(b, at, v) : Put16(b, at, v);
        return ReadPeVersionInfo(b).fileVersion;
    };
    ASSERT_EQ(with({}), "1.2.3.4");
    EXPECT_EQ(with({{0x3C, 0xFFFFFFF0}}), "");     // header beyond the end
    EXPECT_EQ(with({{0x86, 0xFFFF}}, false), "");  // 65535 sections
    EXPECT_EQ(with({{0x94, 0xFFFF}}, false), "");  // optional header too long
    EXPECT_EQ(with({{0x98, 0x107}}, false), "");   // unknown magic
    EXPECT_EQ(with({{root + 12, 0xFFFF}, {root + 14, 0xFFFF}}, false), "");  // endless entry lists
    EXPECT_EQ(with({{root + 20, 0x80000000}}), "");           // type directory is the root
    EXPECT_EQ(with({{sections + 40 + 20, 0xFFFFFF00}}), "");  // raw data past the end
    EXPECT_EQ(with({{0x98 + 96 + 16, 0xFFFFFFF8}}), "");      // rsrc RVA wraps 4 GiB
    EXPECT_EQ(with({{sections + 40 + 12, 0xFFFFF000}}), "");
    // Section data cut short before the block ends: the rest would be zeros in memory.
    EXPECT_EQ(with({{sections + 40 + 16, static_cast<uint32_t>(good.lastBlobEnd - root - 4)}}),
              "");  // rsrc RVA near 4 GiB
    // The data entry follows the three directories; point it away, then lie about sizes.
    const size_t entry = root + 16 + 8 + 16 + 8 + 16 + 8;
    EXPECT_EQ(with({{entry, 0xFFFFFFF0}}), "");
    EXPECT_EQ(with({{entry + 4, 10}}), "");
    EXPECT_EQ(with({{entry + 4, 0xFFFFFFFF}}), "1.2.3.4");  // the block's own length caps it
    const size_t block = good.lastBlobEnd - 92;
    EXPECT_EQ(with({{block, 20}}, false), "");        // block shorter than its key
    EXPECT_EQ(with({{block + 2, 10}}, false), "");    // value too short to be the info
    EXPECT_EQ(with({{block + 40, 0xFEEF04BC}}), "");  // wrong signature
}

TEST(PeVersion, RealImagesShippedByDebianPackages) {
    // Program launchers that a Debian package ships. The expected text is what their own
    // StringFileInfo says in "FileVersion", not anything the reader computed.
    EXPECT_EQ(PeFileVersion(test::TestData("pe/versioned-32.exe")), "1.1.0.14");
    EXPECT_EQ(PeFileVersion(test::TestData("pe/versioned-64.exe")), "1.1.0.14");
    EXPECT_EQ(ReadPeVersionInfoFile(test::TestData("pe/versioned-64.exe")).productVersion,
              "1.1.0.14");
    SetLastErrorCode(0);
    EXPECT_EQ(PeFileVersion(test::TestData("pe/unversioned-32.exe")), "");
    EXPECT_EQ(GetLastErrorCode(), 1813u);  // a manifest but no version resource
    EXPECT_EQ(PeFileVersion(test::TestData("pe/unversioned-64.exe")), "");

    const std::string real = test::ReadFile(test::TestData("pe/versioned-32.exe"));
    ASSERT_GT(real.size(), 4096u);
    for (size_t n = 0; n < real.size(); n += 61) {
        const std::string v = ParsePrefix(real, n);
        ASSERT_TRUE(v.empty() || v == "1.1.0.14") << n;
    }
}

// A file's end is learnt from its reads, through a window shared with the file read before:
// a file cut anywhere, around the window's edges too, reads as the same bytes in memory.
TEST(PeVersion, CutFilesReadAsTheirBytesDo) {
    test::TempDir dir;
    const std::string real = test::ReadFile(test::TestData("pe/versioned-32.exe"));
    std::vector<size_t> cuts;
    for (size_t n = 0; n < real.size(); n += 4099) cuts.push_back(n);
    for (size_t edge : {16384u, 32768u, 65536u})
        for (size_t n = edge - 2; n <= edge + 2; ++n) cuts.push_back(n);
    cuts.push_back(real.size());
    const fs::path whole = test::TestData("pe/versioned-32.exe");
    for (size_t n : cuts) {
        ASSERT_EQ(PeFileVersion(whole), "1.1.0.14");  // fills the shared window first
        const fs::path cut = dir.Write("cut.exe", real.substr(0, n));
        EXPECT_EQ(PeFileVersion(cut), ParsePrefix(real, n)) << n;
    }
}

// Each file is read by its whole path and by its name in its folder held open, as a scan's
// threads read them: both ways give the same text and the same reason.
TEST(PeVersion, FilesThatAreNotImages) {
    test::TempDir dir;
    FolderHandles folders(1);
    auto read = [&](const fs::path& file, uint32_t error) {
        SetLastErrorCode(0);
        const std::string byPath = PeFileVersion(file);
        EXPECT_EQ(GetLastErrorCode(), error) << file;
        SetLastErrorCode(0);
        EXPECT_EQ(PeFileVersion(file.string(), folders), byPath) << file;
        EXPECT_EQ(GetLastErrorCode(), error) << file;
        return byPath;
    };
    EXPECT_EQ(read(dir.path() / "missing.dll", 2), "");
    EXPECT_EQ(read(dir.path(), 2), "");  // a folder
    EXPECT_EQ(read(dir.Write("text.sys", "MZ but nothing else"), 11), "");
    // A FIFO must not block the reader.
    const fs::path fifo = dir.path() / "pipe.dll";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(read(fifo, 2), "");
    EXPECT_EQ(read(dir.Write("ok.dll", BuildPe(true, {Version(0x60001, 0x1DB10000)}).bytes), 0), "6.1.7601.0");
    // Another folder takes the one handle; the first folder's files still read.
    EXPECT_EQ(read(test::TestData("pe/versioned-64.exe"), 0), "1.1.0.14");
    EXPECT_EQ(read(dir.path() / "ok.dll", 0), "6.1.7601.0");
}

}  // namespace
}  // namespace vornel::platform
