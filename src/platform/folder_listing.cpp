#include "platform/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "platform/heap_tuning.h"
#include "platform/path_fold.h"

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {
// One entry while a folder is read: its name and key in the two buffers below.
struct Raw {
    uint32_t name, nameSize, key, keySize;
    EntryKind kind;
};

uint64_t KeyPrefix(std::string_view key) {
    uint64_t p = 0;
    for (size_t i = 0; i < 8; ++i) p = (p << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
    return p;
}
// Reused by every listing of a thread: a folder of ten thousand names is read, keyed and
// sorted here before its entries are built once, in order, with nothing moved after.
thread_local std::vector<Raw> t_raw;
struct Order {
    uint64_t prefix;  // the key's first eight bytes, big-endian: most pairs differ there
    uint32_t index;   // into t_raw
};
thread_local std::vector<Order> t_order;
thread_local std::string t_names, t_keys;
}  // namespace

FolderListing ReadFolderListing(const fs::path& host) {
    FolderListing out;
    DIR* dir = ::opendir(host.c_str());
    if (!dir) return out;
    out.readable = true;
    std::vector<Raw>& raw = t_raw;
    std::string& names = t_names;
    std::string& keys = t_keys;
    std::vector<Order>& order = t_order;
    raw.clear();
    order.clear();
    names.clear();
    keys.clear();
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        unsigned type = e->d_type;
        if (type == DT_UNKNOWN) {  // file systems that keep no type in their entries
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
        // FIFOs, sockets and devices have no place in a Windows installation.
        if (type != DT_DIR && type != DT_REG && type != DT_LNK) continue;
        const EntryKind kind = type == DT_DIR ? EntryKind::Folder : type == DT_REG ? EntryKind::File : EntryKind::Link;
        const size_t keyAt = keys.size();
        AppendFoldedName(name, keys);
        const std::string_view key = std::string_view(keys).substr(keyAt);
        order.push_back({KeyPrefix(key), static_cast<uint32_t>(raw.size())});
        raw.push_back({static_cast<uint32_t>(names.size()), static_cast<uint32_t>(name.size()),
                       static_cast<uint32_t>(keyAt), static_cast<uint32_t>(key.size()), kind});
        names.append(name);
    }
    ::closedir(dir);
    const std::string_view allNames = names, allKeys = keys;
    auto nameOf = [&](const Raw& r) { return allNames.substr(r.name, r.nameSize); };
    auto keyOf = [&](const Raw& r) { return allKeys.substr(r.key, r.keySize); };
    // Keys almost never tie, and nearly always differ in their first eight bytes: the
    // entries are put in order of those alone, as small pairs a plain comparison sorts,
    // and only a run sharing them is ordered in full. (Names hold no NUL, so the zero
    // padding of a short key sorts it before its extensions, as the string comparison does.)
    std::sort(order.begin(), order.end(), [](const Order& a, const Order& b) { return a.prefix < b.prefix; });
    for (size_t from = 0; from < order.size();) {
        size_t to = from + 1;
        while (to < order.size() && order[to].prefix == order[from].prefix) ++to;
        const auto run = order.begin() + static_cast<std::ptrdiff_t>(from);
        if (to - from > 1)
            std::sort(run, run + static_cast<std::ptrdiff_t>(to - from), [&](const Order& a, const Order& b) {
                const Raw& x = raw[a.index];
                const Raw& y = raw[b.index];
                const int c = keyOf(x).compare(keyOf(y));
                return c != 0 ? c < 0 : nameOf(x) < nameOf(y);
            });
        from = to;
    }
    out.entries.reserve(raw.size());
    for (const Order& o : order) {
        const Raw& r = raw[o.index];
        out.entries.push_back({std::string(nameOf(r)), std::string(keyOf(r)), r.kind});
    }
    return out;
}

struct FolderReadAhead::Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, FolderListing> ready;  // by host path
    std::set<std::string> claimed;               // listed by the taker instead
    // The subfolders of a folder the taker listed, for the readers' way down.
    std::map<std::string, std::vector<FolderEntry>> handed;
    // What each folder a reader has been through holds below it. An entry never changes
    // once there and map nodes stay put, so a reader goes on from it without the lock.
    std::map<std::string, std::vector<FolderEntry>> subfolders;
    std::set<std::string> busy;  // being listed by a reader now
    fs::path windows;
    // The folders to read; those in [front, back) are not begun yet. One reader takes them
    // from the front, in the taker's order, the other from the back.
    std::vector<std::string> below;
    size_t front = 0, back = 0;
    size_t running = 0;  // readers not yet done
    bool stop = false;
    bool finished = false;
    uint64_t listings = 0;
    std::vector<std::thread> threads;
};

namespace {

using Shared = FolderReadAhead::Shared;

// The subfolder of a listing that `name` names, as the SystemImage would pick it; links
// are left to the SystemImage, which checks where they lead.
const FolderEntry* PickFolder(const std::vector<FolderEntry>& entries, std::string_view name) {
    const std::string key = FoldName(name);
    auto it = std::lower_bound(entries.begin(), entries.end(), key,
                               [](const FolderEntry& e, const std::string& k) { return e.key < k; });
    const FolderEntry* pick = nullptr;
    for (; it != entries.end() && it->key == key; ++it) {
        if (it->kind == EntryKind::Link) return nullptr;
        if (!pick) pick = &*it;
        if (it->name == name) {
            pick = &*it;
            break;
        }
    }
    return pick && pick->kind == EntryKind::Folder ? pick : nullptr;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> out;
    for (size_t start = 0; start <= path.size();) {
        const size_t cut = std::min(path.find('\\', start), path.size());
        if (cut > start) out.push_back(path.substr(start, cut - start));
        start = cut + 1;
    }
    return out;
}

std::vector<FolderEntry> SubfoldersOf(const FolderListing& listing) {
    std::vector<FolderEntry> subs;
    for (const FolderEntry& e : listing.entries)
        if (e.kind == EntryKind::Folder || e.kind == EntryKind::Link) subs.push_back({e.name, e.key, e.kind});
    return subs;
}

// What `host` holds below it, listed now unless a reader or the taker has listed it or is
// at it (then its subfolders come from there); null once the readers are stopped.
const std::vector<FolderEntry>* Visit(Shared& s, const fs::path& host) {
    const std::string& key = host.native();
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        if (s.stop) return nullptr;
        if (const auto known = s.subfolders.find(key); known != s.subfolders.end()) return &known->second;
        if (const auto handed = s.handed.find(key); handed != s.handed.end()) {
            auto taken = s.handed.extract(handed);
            return &(s.subfolders[key] = std::move(taken.mapped()));
        }
        if (!s.claimed.count(key) && !s.busy.count(key)) break;
        s.changed.wait(hold);
    }
    s.busy.insert(key);
    ++s.listings;
    hold.unlock();
    FolderListing listing = ReadFolderListing(host);
    std::vector<FolderEntry> subs = SubfoldersOf(listing);
    hold.lock();
    s.ready.emplace(key, std::move(listing));
    s.busy.erase(key);
    const std::vector<FolderEntry>* out = &(s.subfolders[key] = std::move(subs));
    hold.unlock();
    s.changed.notify_all();
    return out;
}

// The listings are read ahead of need, beside the taker's own work (checking the hives,
// then the scan), which is what a scan waits for. With more threads at work than cores,
// a reader gives way to it rather than take turns with it.
void YieldToTaker() {
#ifdef __linux__
    constexpr int kGivingWay = 10;
    constexpr int kLowest = 19;
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, 0);  // Linux: this thread's alone
    if (errno == 0 && now < kLowest) ::setpriority(PRIO_PROCESS, 0, std::min(now + kGivingWay, kLowest));
#endif
}

void ReadFolders(Shared& s, bool fromBack) {
    YieldToTaker();
    TuneThreadHeap();
    for (;;) {
        std::string path;
        {
            const std::lock_guard<std::mutex> hold(s.lock);
            if (s.stop || s.front == s.back) break;
            path = fromBack ? s.below[--s.back] : s.below[s.front++];
        }
        fs::path host = s.windows;
        const std::vector<FolderEntry>* subs = Visit(s, host);
        for (const std::string& name : Components(path)) {
            const FolderEntry* next = subs ? PickFolder(*subs, name) : nullptr;
            if (!next) break;
            host /= next->name;
            subs = Visit(s, host);
        }
    }
    {
        const std::lock_guard<std::mutex> hold(s.lock);
        if (--s.running == 0) s.finished = true;
    }
    s.changed.notify_all();
}

}  // namespace

FolderReadAhead::FolderReadAhead(fs::path windowsFolder, std::vector<std::string> below)
    : shared_(std::make_unique<Shared>()) {
    Shared& s = *shared_;
    s.windows = std::move(windowsFolder);
    s.below = std::move(below);
    s.back = s.below.size();
    // A scan's file work waits for the last of these listings. With two cores, a second
    // reader working from the other end of the list brings that moment forward.
    const size_t readers = std::thread::hardware_concurrency() > 1 && s.below.size() > 1 ? 2 : 1;
    s.running = readers;
    for (size_t i = 0; i < readers; ++i) {
        try {
            s.threads.emplace_back(ReadFolders, std::ref(s), i == 1);
        } catch (const std::system_error&) {
            // No thread to be had: the readers there are (or the taker) list the rest.
            const std::lock_guard<std::mutex> hold(s.lock);
            s.running -= readers - i;
            s.finished = s.running == 0;
            break;
        }
    }
}

FolderReadAhead::~FolderReadAhead() {
    {
        const std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->stop = true;
    }
    shared_->changed.notify_all();  // a reader may wait for a listing a taker owes it
    for (std::thread& t : shared_->threads) t.join();
}

uint64_t FolderReadAhead::ListingCount() const {
    const std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->listings;
}

void FolderReadAhead::WaitUntilRead() {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->changed.wait(hold, [&] { return shared_->finished; });
}

FolderListing FolderReadAhead::Take(const fs::path& host, bool* readAhead) {
    Shared& s = *shared_;
    std::unique_lock<std::mutex> hold(s.lock);
    const std::string& key = host.native();
    s.changed.wait(hold, [&] { return !s.busy.count(key); });
    if (readAhead) *readAhead = false;
    if (const auto it = s.ready.find(key); it != s.ready.end()) {
        FolderListing listing = std::move(it->second);
        s.ready.erase(it);
        if (readAhead) *readAhead = true;
        return listing;
    }
    const bool first = s.claimed.insert(key).second;
    hold.unlock();
    FolderListing listing = ReadFolderListing(host);
    if (first) {
        std::vector<FolderEntry> subs = SubfoldersOf(listing);
        hold.lock();
        s.handed.emplace(key, std::move(subs));
        hold.unlock();
        s.changed.notify_all();
    }
    return listing;
}

}  // namespace vornel::platform
