// Hive files written from stores and read back through the hive store, and damaged hive
// files, which must give a clear error naming the file and never a crash or a wrong read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/hive_image.h"
#include "platform/hive_store.h"
#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"
#include "support/text.h"
#include "test_support.h"

namespace vornel::platform {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string U16(const std::string& s) { return text::Utf8ToUtf16Le(s); }
std::string Sz(const std::string& s) { return U16(s) + std::string(2, '\0'); }

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return s;
}

constexpr const char* kFixture = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\VEN_8086&DEV_1234\3&11583659&0&10]
@="default text"
"DeviceDesc"="@oem3.inf,%dev%;Intel® Device"
"HardwareID"=hex(7):50,00,43,00,49,00,00,00,41,00,00,00,00,00
"Capabilities"=dword:00000080
"ConfigFlags"=hex(b):01,00,00,00,00,00,00,00
"Empty"=""
"BigEndian"=hex(5):12,34,56,78
"Café"="latin-1 name"
"Ж€"="utf-16 name"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\b]
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\A]
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\alpha]
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\Zeta]
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\PCI\_x]
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\Ключ\Café]

[HKEY_LOCAL_MACHINE\SOFTWARE\Other]
"x"="not in the SYSTEM hive"
)";

constexpr const char* kDevice = "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_1234\\3&11583659&0&10";
constexpr size_t kManyKeys = kMaxLeafEntries + 100;  // more than one subkey leaf holds: an index root

// The fixture, plus what .reg text cannot say briefly: empty, odd-typed, large and big-data
// values and a key with many subkeys.
std::unique_ptr<RegFileStore> RichStore() {
    auto s = std::make_unique<RegFileStore>();
    std::string error;
    EXPECT_TRUE(s->Import("\xFF\xFE" + U16(kFixture), "fixture.reg", &error)) << error;
    const KeyId dev = s->CreatePath(std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\") + kDevice);
    s->SetValue(dev, {"EmptyBinary", kRegBinary, ""});
    s->SetValue(dev, {"NoneType", kRegNone, ""});
    s->SetValue(dev, {"DevProp", 0xFFFF0012u, "\x01\x02\x03"});
    s->SetValue(dev, {"Five", kRegBinary, "12345"});
    s->SetValue(dev, {"OneCell", kRegBinary, Pattern(hive::kBigDataChunk)});
    s->SetValue(dev, {"TwoSegments", kRegBinary, Pattern(hive::kBigDataChunk + 1)});
    s->SetValue(dev, {"ThreeSegments", kRegMultiSz, Pattern(40000)});
    s->SetValue(dev, {"\xF0\x9F\x98\x80", kRegSz, Sz("surrogate pair name")});
    const KeyId many = s->CreatePath("HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services");
    for (size_t i = 0; i < kManyKeys; ++i) {
        // Inserted out of order and in mixed case; the hive must list them sorted.
        const size_t n = (i * 7919) % kManyKeys;
        char name[32];
        std::snprintf(name, sizeof name, n % 2 ? "svc%04zu" : "Svc%04zu", n);
        KeyId k = 0;
        bool existed = false;
        s->CreateChild(many, name, k, existed);
        s->SetValue(k, {"Start", kRegDword, std::string("\x03\0\0\0", 4)});
    }
    return s;
}

// Every key and value below `k` in order, data in hex.
std::string Dump(const RegistryStore& s, KeyId k, const std::string& indent = "") {
    std::string out;
    std::vector<RegValue> values;
    s.Values(k, values);
    for (const auto& v : values) {
        out += indent + "\"" + v.name + "\" " + std::to_string(v.type) + " ";
        for (unsigned char c : v.data) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
        out += "\n";
    }
    std::vector<std::string> names;
    s.SubKeyNames(k, names);
    for (const auto& n : names) out += indent + "[" + n + "]\n" + Dump(s, s.Child(k, n), indent + " ");
    return out;
}

fs::path WriteFrom(const RegistryStore& s, const std::string& path, const fs::path& out) {
    std::string error;
    EXPECT_TRUE(WriteHive(s, s.Walk(s.Root(), path), out, &error)) << error;
    return out;
}

std::unique_ptr<HiveStore> OpenOk(const fs::path& p, std::vector<std::string>* warnings = nullptr) {
    std::string error;
    auto h = HiveStore::Open(p, &error, warnings);
    EXPECT_TRUE(h) << error;
    return h;
}

// The error for a file that must not open; it names the file.
std::string OpenError(const fs::path& p) {
    std::string error;
    auto h = HiveStore::Open(p, &error);
    EXPECT_FALSE(h) << p;
    EXPECT_EQ(error.rfind(p.string() + ": ", 0), 0u) << error;
    return error;
}

class HiveRoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        source_ = RichStore().release();
        file_ = new fs::path(WriteFrom(*source_, "HKEY_LOCAL_MACHINE\\SYSTEM", dir_->path() / "SYSTEM"));
        bytes_ = new std::string(test::ReadFile(*file_));
    }
    static void TearDownTestSuite() {
        delete bytes_;
        delete file_;
        delete source_;
        delete dir_;
    }
    static inline TempDir* dir_ = nullptr;
    static inline RegFileStore* source_ = nullptr;
    static inline fs::path* file_ = nullptr;
    static inline std::string* bytes_ = nullptr;
};

TEST_F(HiveRoundTrip, EveryKeyValueTypeAndByteComesBack) {
    auto hive = OpenOk(*file_);
    ASSERT_TRUE(hive);
    EXPECT_EQ(Dump(*hive, hive->Root()), Dump(*source_, source_->Walk(source_->Root(), "HKEY_LOCAL_MACHINE\\SYSTEM")));

    std::vector<std::string> names;
    hive->SubKeyNames(hive->Root(), names);
    EXPECT_EQ(names, (std::vector<std::string>{"ControlSet001", "Select"}));
    hive->SubKeyNames(hive->Walk(hive->Root(), "ControlSet001\\Enum\\PCI"), names);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "alpha", "b", "VEN_8086&DEV_1234", "Zeta", "_x"}));
    hive->SubKeyNames(hive->Walk(hive->Root(), "ControlSet001\\Enum\\Ключ"), names);
    EXPECT_EQ(names, std::vector<std::string>{"Café"});

    const KeyId dev = hive->Walk(hive->Root(), text::UpperAscii(kDevice));
    ASSERT_NE(dev, 0u);
    RegValue v;
    ASSERT_TRUE(hive->FindValue(dev, "", v));
    EXPECT_EQ(v.data, Sz("default text"));
    ASSERT_TRUE(hive->FindValue(dev, "DEVICEDESC", v));
    EXPECT_EQ(v.type, kRegSz);
    EXPECT_EQ(v.data, Sz("@oem3.inf,%dev%;Intel® Device"));
    ASSERT_TRUE(hive->FindValue(dev, "Ж€", v));
    EXPECT_EQ(v.name, "Ж€");
    ASSERT_TRUE(hive->FindValue(dev, "DevProp", v));
    EXPECT_EQ(v.type, 0xFFFF0012u);
    ASSERT_TRUE(hive->FindValue(dev, "EmptyBinary", v));
    EXPECT_EQ(v.data, "");
    ASSERT_TRUE(hive->FindValue(dev, "ThreeSegments", v));
    EXPECT_EQ(v.data, Pattern(40000));
    EXPECT_FALSE(hive->FindValue(dev, "Missing", v));
    EXPECT_EQ(hive->Child(dev, "Missing"), 0u);
    EXPECT_EQ(hive->Walk(hive->Root(), "SOFTWARE"), 0u);

    std::vector<RegValue> values;
    hive->Values(dev, values);
    ASSERT_GE(values.size(), 3u);
    EXPECT_EQ(values[0].name, "");
    EXPECT_EQ(values[1].name, "DeviceDesc");
    EXPECT_EQ(values[2].name, "HardwareID");
}

TEST_F(HiveRoundTrip, AChildIsFoundAlikeBeforeAndAfterItsParentIsListed) {
    // A key with few subkeys is searched along its stored list until it is listed; a
    // listed one through its sorted names. Both must give the same child, case aside for
    // ASCII letters only.
    const std::vector<std::pair<std::string, std::string>> asks = {
        {"ControlSet001\\Enum\\PCI", "ALPHA"},  {"ControlSet001\\Enum\\PCI", "a"},
        {"ControlSet001\\Enum\\PCI", "alph"},   {"ControlSet001\\Enum\\PCI", "ven_8086&DEV_1234"},
        {"ControlSet001\\Enum\\PCI", "_X"},     {"ControlSet001\\Enum\\PCI", "Missing"},
        {"ControlSet001\\Enum\\Ключ", "CAFé"},  {"ControlSet001\\Enum\\Ключ", "CAFÉ"},
        {"ControlSet001\\Enum", "ключ"},          {"ControlSet001\\Enum", "Ключ"},
        {"ControlSet001\\Services", "SVC0003"},   {"ControlSet001\\Services", "svc9999"},
    };
    std::vector<KeyId> fresh, listed;
    for (const bool list : {false, true}) {
        auto hive = OpenOk(*file_);
        ASSERT_TRUE(hive);
        if (list) Dump(*hive, hive->Root());
        for (const auto& [parent, name] : asks)
            (list ? listed : fresh).push_back(hive->Child(hive->Walk(hive->Root(), parent), name));
    }
    EXPECT_EQ(fresh, listed);
    const std::vector<bool> found = {true, true, false, true, true, false, true, false, false, true, true, false};
    for (size_t i = 0; i < asks.size(); ++i) EXPECT_EQ(fresh[i] != 0, found[i]) << asks[i].first << " " << asks[i].second;
}

TEST_F(HiveRoundTrip, ManySubkeysGoUnderAnIndexRootAndBigValuesIntoSegments) {
    // The writer lays them out as the registry does, so the reader meets both forms.
    hive::Image image;
    std::string why;
    ASSERT_TRUE(image.Check(*bytes_, &why)) << why;
    auto sig = [&](uint32_t cell) { return bytes_->substr(hive::kBaseBlockSize + cell + 4, 2); };
    auto field = [&](uint32_t cell, size_t at) { return hive::Get32(*bytes_, hive::kBaseBlockSize + cell + 4 + at); };
    std::vector<uint32_t> kids;
    image.SubKeys(image.RootCell(), kids);
    uint32_t cs = 0;
    for (uint32_t k : kids)
        if (hive::NameToUtf8(image.KeyName(k)) == "ControlSet001") cs = k;
    image.SubKeys(cs, kids);
    ASSERT_EQ(hive::NameToUtf8(image.KeyName(kids[1])), "Services");
    EXPECT_EQ(sig(field(kids[1], hive::nk::kSubKeyList)), "ri");

    auto hive = OpenOk(*file_);
    ASSERT_TRUE(hive);
    std::vector<std::string> names;
    const KeyId services = hive->Walk(hive->Root(), "ControlSet001\\Services");
    hive->SubKeyNames(services, names);
    ASSERT_EQ(names.size(), kManyKeys);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(),
                               [](const std::string& a, const std::string& b) { return text::ICompare(a, b) < 0; }));
    for (size_t i = 0; i < kManyKeys; i += 97) EXPECT_NE(hive->Child(services, text::LowerAscii(names[i])), 0u);

    const KeyId dev = hive->Walk(hive->Root(), kDevice);
    RegValue v;
    ASSERT_TRUE(hive->FindValue(dev, "TwoSegments", v));
    EXPECT_EQ(v.data, Pattern(hive::kBigDataChunk + 1));
    const uint32_t vkCell = [&] {
        std::vector<uint32_t> cells;
        image.ValueCells(static_cast<uint32_t>(dev - hive::kBaseBlockSize), cells);
        for (uint32_t c : cells)
            if (hive::NameToUtf8(image.ValueName(c)) == "TwoSegments") return c;
        return 0u;
    }();
    EXPECT_EQ(sig(field(vkCell, hive::vk::kData)), "db");
}

TEST_F(HiveRoundTrip, WritingIsRepeatableAndRefusesWhatAHiveCannotHold) {
    TempDir dir;
    RegFileStore small;
    std::string error;
    ASSERT_TRUE(small.Import("\xFF\xFE" + U16(kFixture), "fixture.reg", &error)) << error;
    EXPECT_EQ(test::ReadFile(WriteFrom(small, "HKEY_LOCAL_MACHINE", dir.path() / "one")),
              test::ReadFile(WriteFrom(small, "HKEY_LOCAL_MACHINE", dir.path() / "two")));

    RegFileStore bad;
    bad.SetValue(bad.CreatePath("K"), {std::string("a\0b", 3), kRegSz, Sz("x")});
    EXPECT_FALSE(WriteHive(bad, bad.Walk(bad.Root(), "K"), dir.path() / "bad", &error));
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir.path() / "bad"));
    RegFileStore huge;
    huge.SetValue(huge.CreatePath("K"), {"v", kRegBinary, std::string(1000000, 'x')});
    EXPECT_FALSE(WriteHive(huge, huge.Walk(huge.Root(), "K"), dir.path() / "huge", &error));
    EXPECT_NE(error.find("1000000 bytes"), std::string::npos) << error;
    EXPECT_FALSE(WriteHive(small, small.Root(), dir.path() / "no" / "such" / "dir", &error));
    EXPECT_NE(error.find("no/such/dir"), std::string::npos) << error;
}

TEST_F(HiveRoundTrip, NonHiveEmptyAndTruncatedFilesAreRefused) {
    TempDir dir;
    EXPECT_NE(OpenError(dir.Write("empty", "")).find("empty"), std::string::npos);
    EXPECT_NE(OpenError(dir.Write("text", "hello, not a hive")).find("not a registry hive"), std::string::npos);
    EXPECT_NE(OpenError(dir.path() / "missing").find("no such file"), std::string::npos);
    OpenError(dir.path());
    std::string log = bytes_->substr(0, 4096);
    hive::Put32(log, hive::base::kType, 6);
    hive::Put32(log, hive::base::kChecksum, hive::BaseBlockChecksum(log));
    EXPECT_NE(OpenError(dir.Write("log", log)).find("transaction log"), std::string::npos);

    for (size_t cut : {size_t{100}, size_t{4095}, size_t{4096}, size_t{4096 + 100}, bytes_->size() / 2,
                       bytes_->size() - 1}) {
        const std::string e = OpenError(dir.Write("cut" + std::to_string(cut), bytes_->substr(0, cut)));
        EXPECT_NE(e.find("truncated"), std::string::npos) << cut << ": " << e;
    }
}

TEST_F(HiveRoundTrip, DamagedStructuresAreRefusedAndNoDamageCrashes) {
    TempDir dir;
    const uint32_t root = hive::Get32(*bytes_, hive::base::kRoot);
    const size_t rootNk = hive::kBaseBlockSize + root + 4;
    auto damaged = [&](size_t at, uint32_t value) {
        std::string b = *bytes_;
        hive::Put32(b, at, value);
        return OpenError(dir.Write("damaged", b));
    };
    EXPECT_NE(damaged(40, 0).find("checksum"), std::string::npos);
    EXPECT_NE(damaged(hive::kBaseBlockSize, 0).find("hbin"), std::string::npos);
    EXPECT_NE(damaged(hive::kBaseBlockSize + 32, 0x7FFFFFF8).find("cell has an invalid size"), std::string::npos);
    EXPECT_NE(damaged(rootNk + hive::nk::kSubKeyList, 0x12345).find("subkey list"), std::string::npos);
    EXPECT_NE(damaged(rootNk + hive::nk::kSubKeys, 7).find("subkeys"), std::string::npos);
    EXPECT_NE(damaged(rootNk + hive::nk::kValues, 3).find("value list"), std::string::npos);

    // A child whose subkey list is its parent's: the tree loops back on itself.
    {
        hive::Image image;
        ASSERT_TRUE(image.Check(*bytes_, nullptr));
        std::vector<uint32_t> kids;
        image.SubKeys(image.RootCell(), kids);
        std::string b = *bytes_;
        const size_t child = hive::kBaseBlockSize + kids[1] + 4;
        hive::Put32(b, child + hive::nk::kSubKeys, hive::Get32(b, rootNk + hive::nk::kSubKeys));
        hive::Put32(b, child + hive::nk::kSubKeyList, hive::Get32(b, rootNk + hive::nk::kSubKeyList));
        EXPECT_NE(OpenError(dir.Write("loop", b)).find("listed twice"), std::string::npos);
    }

    // Bytes at the start of many cells (signatures, counts, offsets, sizes), each changed in
    // turn: the file is refused or reads without a crash (the sanitizer build checks reads).
    size_t refused = 0, tried = 0;
    const std::string original = *bytes_;
    for (size_t bin = hive::kBaseBlockSize; bin < original.size(); bin += hive::Get32(original, bin + 8)) {
        const size_t end = bin + hive::Get32(original, bin + 8);
        size_t n = 0;
        for (size_t cell = bin + 32; cell < end; cell += std::abs(static_cast<int32_t>(hive::Get32(original, cell))), ++n) {
            if (n % 13) continue;
            std::string b = original;
            const size_t at = cell + (tried * 3) % 48;
            b[at] = static_cast<char>(tried % 3 == 0 ? 0xFF : tried % 3 == 1 ? 0x00 : b[at] ^ 0x80);
            ++tried;
            const fs::path p = dir.Write("flip", b);
            std::string error;
            if (auto h = HiveStore::Open(p, &error)) {
                Dump(*h, h->Root());
            } else {
                ++refused;
                EXPECT_EQ(error.rfind(p.string() + ": ", 0), 0u) << error;
            }
        }
    }
    EXPECT_GT(tried, 150u);
    EXPECT_GT(refused, tried / 4);
}

TEST_F(HiveRoundTrip, UnappliedTransactionLogsGiveAWarning) {
    TempDir dir;
    std::vector<std::string> warnings;
    OpenOk(dir.Write("SYSTEM", *bytes_), &warnings);
    EXPECT_TRUE(warnings.empty());

    // A log of the current format with one entry of the given sequence number.
    auto log = [&](uint32_t seq) {
        std::string b = bytes_->substr(0, 512) + std::string(512, '\0');
        hive::Put32(b, hive::base::kType, 6);
        std::memcpy(&b[512], "HvLE", 4);
        hive::Put32(b, 512 + 4, 512);
        hive::Put32(b, 512 + 12, seq);
        return b;
    };
    dir.Write("system.log1", log(hive::Get32(*bytes_, hive::base::kSeq1) - 1));  // already in the hive
    OpenOk(dir.path() / "SYSTEM", &warnings);
    EXPECT_TRUE(warnings.empty());
    dir.Write("SYSTEM.LOG2", log(hive::Get32(*bytes_, hive::base::kSeq1) + 5));
    OpenOk(dir.path() / "SYSTEM", &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("SYSTEM.LOG2"), std::string::npos) << warnings[0];
    EXPECT_EQ(warnings[0].find("system.log1"), std::string::npos) << warnings[0];

    std::string dirty = *bytes_;
    hive::Put32(dirty, hive::base::kSeq1, hive::Get32(dirty, hive::base::kSeq2) + 1);
    hive::Put32(dirty, hive::base::kChecksum, hive::BaseBlockChecksum(dirty));
    warnings.clear();
    auto h = OpenOk(dir.Write("SYSTEM", dirty), &warnings);
    ASSERT_TRUE(h);
    EXPECT_NE(h->Walk(h->Root(), kDevice), 0u);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("not saved cleanly"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("system.log1"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("SYSTEM.LOG2"), std::string::npos) << warnings[0];
}

TEST(HiveNames, NamesHivexWouldCutOrRejectAreReadFaithfully) {
    RegFileStore s;
    const KeyId k = s.CreatePath("K\\ЖЖ");
    s.SetValue(k, {"ЯЯ", kRegSz, Sz("v")});
    TempDir dir;
    std::string b = test::ReadFile(WriteFrom(s, "K", dir.path() / "h"));
    // Same lengths, so the cells stay valid: a key name with a NUL inside, a value name with
    // an unpaired surrogate.
    auto patch = [&](const std::string& from, const std::string& to) {
        const size_t at = b.find(from);
        ASSERT_NE(at, std::string::npos);
        b.replace(at, from.size(), to);
    };
    patch(U16("ЖЖ"), std::string("A\0\0\0", 4));
    patch(U16("ЯЯ"), std::string("\x00\xD8\x42\x00", 4));
    auto h = OpenOk(dir.Write("patched", b));
    ASSERT_TRUE(h);
    std::vector<std::string> names;
    h->SubKeyNames(h->Root(), names);
    EXPECT_EQ(names, std::vector<std::string>{std::string("A\0", 2)});
    std::vector<RegValue> values;
    h->Values(h->Child(h->Root(), names[0]), values);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "\xEF\xBF\xBD" "B");
}

TEST(HiveNames, NonAsciiNamesSortByUpperCasedCharacters) {
    // The registry upper-cases every letter before comparing, not only ASCII ones: "éa"
    // comes before "Éb" although its UTF-8 bytes sort after.
    RegFileStore s;
    for (const char* name : {"Éb", "Z", "éa", "Ea", "Ж", "а"}) s.CreatePath(std::string("K\\") + name);
    TempDir dir;
    auto h = OpenOk(WriteFrom(s, "K", dir.path() / "h"));
    ASSERT_TRUE(h);
    std::vector<std::string> names;
    h->SubKeyNames(h->Root(), names);
    EXPECT_EQ(names, (std::vector<std::string>{"Ea", "Z", "éa", "Éb", "а", "Ж"}));
}

}  // namespace
}  // namespace vornel::platform
