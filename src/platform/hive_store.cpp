#include "platform/hive_store.h"

#include <hivex.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "platform/atomic_file.h"
#include "platform/mapped_file.h"
#include "platform/hive_image.h"
#include "support/last_error.h"
#include "support/text.h"

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {

static_assert(sizeof(hive_type) == sizeof(uint32_t));

// Hive offsets are 32-bit; anything larger is not a hive.
constexpr uintmax_t kMaxHiveBytes = 0xFFFFFFFFu;
// Keys whose subkeys and value names are cached; past this the cache starts afresh (key
// ids stay valid: they are file offsets).
constexpr size_t kMaxCachedKeys = 65536;
// Transaction logs are a few megabytes; reading stops here.
constexpr uintmax_t kMaxLogBytes = 64u << 20;

struct Node {
    bool kidsLoaded = false, valuesLoaded = false;
    std::vector<std::string> kidNames;  // stored order
    std::vector<hive_node_h> kids;
    std::vector<uint32_t> byName;  // indexes into kids, by ICompare
    std::vector<std::string> valueNames;
    std::vector<hive_value_h> values;
};

// The newest log entry sequence number in a transaction log of the current format (the
// one LOG1/LOG2 use), or -1 when the file holds no entries.
int64_t NewestLogEntry(const fs::path& log) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(log, ec);
    if (ec || size < 1024 || size > kMaxLogBytes || !fs::is_regular_file(log, ec)) return -1;
    std::string b;
    if (!ReadWholeFile(log, b) || b.substr(0, 4) != "regf" || hive::Get32(b, hive::base::kType) != 6) return -1;
    int64_t newest = -1;
    for (size_t at = 512; at + 40 <= b.size();) {
        const uint32_t len = hive::Get32(b, at + 4);
        if (b.substr(at, 4) != "HvLE" || len < 40 || len % 512 || len > b.size() - at) break;
        newest = std::max<int64_t>(newest, hive::Get32(b, at + 12));
        at += len;
    }
    return newest;
}

// Why the hive may lack its latest changes, or "" when nothing says so. The registry marks
// a hive dirty (unequal sequence numbers) while changes sit in its logs; a log entry newer
// than the hive also means the hive was copied before the logs were applied.
std::string StaleReason(const fs::path& file, uint32_t seq1, uint32_t seq2) {
    std::vector<std::string> logs, newer;
    std::error_code ec;
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const std::string base = file.filename().string();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!text::IEquals(name, base + ".LOG1") && !text::IEquals(name, base + ".LOG2")) continue;
        const int64_t newest = NewestLogEntry(it->path());
        if (newest < 0) continue;
        logs.push_back(name);
        if (newest > int64_t{seq1}) newer.push_back(name);
    }
    std::sort(logs.begin(), logs.end());
    std::sort(newer.begin(), newer.end());
    if (seq1 != seq2)
        return "the hive was not saved cleanly (sequence numbers " + std::to_string(seq1) + " and " +
               std::to_string(seq2) + ") and its transaction logs are not applied" +
               (logs.empty() ? std::string(" (none found beside it)") : " (" + text::Join(logs, ", ") + ")") +
               "; some values may be out of date";
    if (!newer.empty())
        return "its transaction logs (" + text::Join(newer, ", ") +
               ") hold changes newer than the hive that are not applied; some values may be out of date";
    return {};
}

}  // namespace

struct HiveStore::Impl {
    fs::path file;
    // The file as checked, kept for the names: hivex converts every name it gives through
    // iconv into a string of its own, which cost a twentieth of a scan. hivex maps the same
    // file again for everything else.
    MappedFile mapped;
    hive::Image image;
    hive_h* h = nullptr;
    hive_node_h root = 0;
    // Subkey lists of keys with more subkeys than hivex lists.
    std::unordered_map<uint64_t, std::vector<uint64_t>> kidLists;
    std::unordered_map<KeyId, Node> cache;
    // The keys asked about last and their nodes (which stay put until a clear).
    std::array<std::pair<KeyId, Node*>, 4> recent{};
    size_t recentNext = 0;

    ~Impl() {
        if (h) hivex_close(h);
    }

    Node& Cached(KeyId key) {
        // A reader goes back and forth between a few keys.
        for (const auto& [k, node] : recent)
            if (node && k == key) return *node;
        if (cache.size() >= kMaxCachedKeys && !cache.count(key)) {
            cache.clear();
            recent.fill({0, nullptr});
        }
        Node& node = cache[key];
        recent[recentNext] = {key, &node};
        recentNext = (recentNext + 1) % recent.size();
        return node;
    }

    // Cells hivex hands out are cells the check reached (it follows the same lists).
    std::string Name(uint64_t cell, bool value) const {
        const auto at = static_cast<uint32_t>(cell - hive::kBaseBlockSize);
        return hive::NameToUtf8(value ? image.ValueName(at) : image.KeyName(at));
    }

    const Node& Kids(KeyId key) {
        Node& n = Cached(key);
        if (n.kidsLoaded) return n;
        n.kidsLoaded = true;
        if (auto it = kidLists.find(key); it != kidLists.end()) {
            n.kids.assign(it->second.begin(), it->second.end());
        } else if (hive_node_h* kids = hivex_node_children(h, key)) {
            size_t count = 0;
            while (kids[count]) ++count;
            n.kids.assign(kids, kids + count);
            std::free(kids);
        }
        n.kidNames.reserve(n.kids.size());
        for (hive_node_h k : n.kids) n.kidNames.push_back(Name(k, false));
        n.byName.resize(n.kids.size());
        for (uint32_t i = 0; i < n.byName.size(); ++i) n.byName[i] = i;
        std::sort(n.byName.begin(), n.byName.end(),
                  [&](uint32_t a, uint32_t b) { return text::ICompare(n.kidNames[a], n.kidNames[b]) < 0; });
        return n;
    }

    const Node& ValueList(KeyId key) {
        Node& n = Cached(key);
        if (n.valuesLoaded) return n;
        n.valuesLoaded = true;
        // Straight from the checked image: the check followed every value list and would
        // have refused the hive for a bad one, so this is the list hivex gives (and the
        // whole of a list longer than hivex gives), without hivex's copy to free.
        image.ValueCells(static_cast<uint32_t>(key - hive::kBaseBlockSize), scratchCells);
        n.values.resize(scratchCells.size());
        for (size_t i = 0; i < scratchCells.size(); ++i) n.values[i] = hive::kBaseBlockSize + uint64_t{scratchCells[i]};
        n.valueNames.reserve(n.values.size());
        for (hive_value_h v : n.values) n.valueNames.push_back(Name(v, true));
        return n;
    }

    // A key with a few subkeys and no list of them yet is searched along its stored list:
    // a scan opens known subkeys ("Control", "Device Parameters") of thousands of keys it
    // never lists, and naming and sorting every child of each costs more than the look.
    // nullopt: too many subkeys for that.
    std::optional<KeyId> FindKidInList(KeyId parent, std::string_view name) {
        constexpr size_t kLookAlongUpTo = 8;
        const auto cell = static_cast<uint32_t>(parent - hive::kBaseBlockSize);
        image.SubKeys(cell, scratchKids);
        if (scratchKids.size() > kLookAlongUpTo) return std::nullopt;
        for (const uint32_t kid : scratchKids)
            if (NameIs(image.KeyName(kid), name)) return KeyId{kid} + hive::kBaseBlockSize;
        return KeyId{0};
    }

    // Whether a stored name equals `name` as the sorted lists compare them (ASCII case
    // ignored), without converting an ASCII name.
    static bool NameIs(const hive::StoredName& stored, std::string_view name) {
        if (stored.latin1 && stored.bytes.size() == name.size()) {
            bool ascii = true;
            for (const char c : stored.bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
            if (ascii) return text::IEquals(stored.bytes, name);
        }
        return text::IEquals(hive::NameToUtf8(stored), name);
    }
    std::vector<uint32_t> scratchKids, scratchCells;

    // Straight from the checked image: it reads every value as hivex does, and faithfully
    // where hivex would not, without a copy of its own to free.
    bool Read(hive_value_h v, const std::string& name, RegValue& out) const {
        const auto cell = static_cast<uint32_t>(v - hive::kBaseBlockSize);
        const uint32_t type = image.ValueType(cell);
        std::memcpy(&out.type, &type, sizeof out.type);  // types beyond the named ones stay as they are
        out.name = name;
        image.ValueData(cell, out.data);
        return true;
    }
};

HiveStore::HiveStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HiveStore::~HiveStore() = default;

std::unique_ptr<HiveStore> HiveStore::Open(const fs::path& file, std::string* error,
                                           std::vector<std::string>* warnings) {
    auto fail = [&](const std::string& why, uint32_t code) -> std::unique_ptr<HiveStore> {
        if (error) *error = file.string() + ": " + why;
        SetLastErrorCode(code);
        return nullptr;
    };
    std::error_code ec;
    const fs::file_status st = fs::status(file, ec);
    if (ec || !fs::exists(st)) return fail("no such file", win::kFileNotFound);
    if (!fs::is_regular_file(st)) return fail("not a regular file, so not a registry hive", win::kRegistryCorrupt);
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) return fail("cannot read: " + ec.message(), win::kAccessDenied);
    if (size > kMaxHiveBytes) return fail("too large to be a registry hive", win::kRegistryCorrupt);

    // The whole file is checked first, mapped rather than copied; hivex maps it again
    // afterwards. Only a file that starts like a hive is checked in full.
    auto impl = std::make_unique<Impl>();
    std::string why;
    if (!impl->mapped.Open(file, &why)) return fail("cannot read: " + why, win::kAccessDenied);
    std::string_view bytes = impl->mapped.Bytes();
    if (bytes.size() < hive::kBaseBlockSize || bytes.substr(0, 4) != "regf")
        bytes = bytes.substr(0, std::min<size_t>(bytes.size(), hive::kBaseBlockSize));
    const hive::Image& image = impl->image;
    if (!impl->image.Check(bytes, &why)) return fail(why, win::kRegistryCorrupt);

    impl->file = file;
    impl->h = hivex_open(file.c_str(), 0);
    if (!impl->h) return fail(std::string("hivex cannot open it: ") + std::strerror(errno), win::kRegistryCorrupt);
    impl->root = hivex_root(impl->h);
    if (impl->root != hive::kBaseBlockSize + uint64_t{image.RootCell()})
        return fail("the file changed while it was being opened", win::kRegistryCorrupt);
    std::vector<uint32_t> cells;
    auto fileOffsets = [&] {
        std::vector<uint64_t> r;
        for (uint32_t c : cells) r.push_back(hive::kBaseBlockSize + uint64_t{c});
        return r;
    };
    for (uint32_t c : image.LongLists()) {
        image.SubKeys(c, cells);
        impl->kidLists[hive::kBaseBlockSize + c] = fileOffsets();
    }

    const std::string stale = StaleReason(file, image.Sequence1(), image.Sequence2());
    if (!stale.empty() && warnings) warnings->push_back(file.string() + ": " + stale);
    return std::unique_ptr<HiveStore>(new HiveStore(std::move(impl)));
}

std::string HiveStore::Source() const { return "hive file " + impl_->file.string(); }

KeyId HiveStore::Root() const { return impl_->root; }

KeyId HiveStore::Child(KeyId parent, std::string_view name) const {
    if (!parent) return 0;
    if (!impl_->Cached(parent).kidsLoaded)
        if (const std::optional<KeyId> kid = impl_->FindKidInList(parent, name)) return *kid;
    const Node& n = impl_->Kids(parent);
    auto it = std::lower_bound(n.byName.begin(), n.byName.end(), name,
                               [&](uint32_t i, std::string_view x) { return text::ICompare(n.kidNames[i], x) < 0; });
    if (it == n.byName.end() || !text::IEquals(n.kidNames[*it], name)) return 0;
    return n.kids[*it];
}

void HiveStore::SubKeyNames(KeyId key, std::vector<std::string>& out) const {
    out.clear();
    if (key) out = impl_->Kids(key).kidNames;
}

void HiveStore::Values(KeyId key, std::vector<RegValue>& out) const {
    out.clear();
    if (!key) return;
    const Node& n = impl_->ValueList(key);
    out.reserve(n.values.size());
    RegValue v;
    for (size_t i = 0; i < n.values.size(); ++i)
        if (impl_->Read(n.values[i], n.valueNames[i], v)) out.push_back(std::move(v));
}

void HiveStore::ValueNames(KeyId key, std::vector<std::string>& out) const {
    out.clear();
    if (!key) return;
    // Every value the check reached reads, so the names are those Values gives.
    out = impl_->ValueList(key).valueNames;
}

bool HiveStore::FindValue(KeyId key, std::string_view name, RegValue& out) const {
    if (!key) return false;
    const Node& n = impl_->ValueList(key);
    // A scan reads two dozen values of each key it visits: most names differ in length,
    // which is told without a call.
    for (size_t i = 0; i < n.values.size(); ++i)
        if (n.valueNames[i].size() == name.size() && text::IEquals(n.valueNames[i], name))
            return impl_->Read(n.values[i], n.valueNames[i], out);
    return false;
}

}  // namespace vornel::platform
