#include "platform/system_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_map>

#include "platform/folder_handles.h"
#include "platform/folder_listing.h"
#include "platform/path_fold.h"
#include "platform/system_image_path.h"
#include "support/last_error.h"
#include "support/text.h"

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxMemo = 1 << 16;
// Folders looked up through their own folder at once: a path of thousands of names (an
// INF may hold anything) is walked from the root instead of recursing that deep.
constexpr int kMaxParentDepth = 32;

using Kind = EntryKind;
using Node = FolderEntry;

struct Folder {
    fs::path host;
    bool listed = false;
    std::vector<Node> nodes;  // sorted by key, then name
};

using VarMap = std::map<std::string, std::pair<std::string, std::string>>;  // key -> name, value

// One pass over the text, as Windows expands: an unknown "%name%" stays as it is, and its
// closing "%" may open the next name.
std::string ExpandVars(std::string_view text, const VarMap& vars) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('%', i);
        const size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, open - i));
        const std::string_view name = text.substr(open + 1, close - open - 1);
        const auto v = name.empty() ? vars.end() : vars.find(text::UpperAscii(name));
        if (v != vars.end()) {
            out += v->second.second;
            i = close + 1;
        } else {
            out.append(text.substr(open, close - open));
            i = close;
        }
    }
    return out;
}

}  // namespace

struct SystemImage::Impl {
    fs::path root;
    std::string realRoot;        // canonical, for the containment test of links
    std::deque<Folder> folders;  // [0] is the root; a deque keeps references stable
    VarMap vars;
    char drive = 'C';
    std::string windowsName;
    bool rootReadable = false;
    uint64_t listings = 0;

    // The node a path names: its folder and itself, or no parent for the root.
    struct Hit {
        Folder* parent = nullptr;
        Node* node = nullptr;
    };
    // Lookups by the path as given: a scan asks about the same INF and driver paths again
    // for every device that uses them. A miss keeps its error code. Listings are read once
    // and never change, so a hit stays valid; a new variable forgets them all.
    struct Memo {
        std::optional<Hit> hit;
        uint32_t error = 0;
    };
    struct PathHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, Memo, PathHash, std::equal_to<>> memo;
    int parentDepth = 0;  // LookupInParent calls under way
    // Folders whose files were asked about last, held open for their facts.
    FolderHandles handles;
    // Listings being read ahead; last, so that its thread stops before the rest goes.
    std::unique_ptr<FolderReadAhead> readAhead;

    bool List(Folder& f);
    Kind Follow(const Folder& parent, Node& n) const;
    Node* Find(Folder& f, std::string_view name);
    Folder& Child(Folder& parent, Node& n);
    std::optional<Hit> Walk(const std::vector<std::string>& names, bool folderOnly);
    std::optional<Hit> Lookup(std::string_view windowsPath);
    std::optional<Hit> LookupUncached(std::string_view windowsPath);
    bool LookupInParent(std::string_view windowsPath, std::optional<Hit>& out);
    // stat() of a file or folder below the root, through its folder's handle.
    bool StatOf(const Hit& h, struct stat& st);
    Folder& FolderOf(const Hit& h) {
        return h.parent ? Child(*h.parent, *h.node) : folders.front();
    }
    fs::path HostPath(const Hit& h) const {
        return h.parent ? h.parent->host / h.node->name : root;
    }
    static bool IsFolder(const Hit& h) { return !h.parent || h.node->kind == Kind::Folder; }
    void Set(std::string_view name, std::string value) {
        vars[text::UpperAscii(name)] = {std::string(name), std::move(value)};
        memo.clear();
    }
};

// Reads a folder's entries once; false when it cannot be read (then it stays empty).
bool SystemImage::Impl::List(Folder& f) {
    if (f.listed) return true;
    f.listed = true;
    ++listings;
    FolderListing listing = readAhead ? readAhead->Take(f.host) : ReadFolderListing(f.host);
    f.nodes = std::move(listing.entries);
    return listing.readable;
}

// Resolves a symbolic link once: it counts only when its real target is inside the root.
Kind SystemImage::Impl::Follow(const Folder& parent, Node& n) const {
    if (n.kind != Kind::Link) return n.kind;
    n.kind = Kind::Gone;
    const fs::path link = parent.host / n.name;
    char* real = ::realpath(link.c_str(), nullptr);
    if (!real) return n.kind;
    const std::string target = real;
    std::free(real);
    const bool inside =
        target == realRoot ||
        (target.size() > realRoot.size() && target.compare(0, realRoot.size(), realRoot) == 0 &&
         (realRoot.back() == '/' || target[realRoot.size()] == '/'));
    struct stat st {};
    if (!inside || ::stat(target.c_str(), &st) != 0) return n.kind;
    if (S_ISDIR(st.st_mode)) n.kind = Kind::Folder;
    if (S_ISREG(st.st_mode)) n.kind = Kind::File;
    return n.kind;
}

Node* SystemImage::Impl::Find(Folder& f, std::string_view name) {
    List(f);
    const std::string key = FoldName(name);
    auto it = std::lower_bound(f.nodes.begin(), f.nodes.end(), key,
                               [](const Node& n, const std::string& k) { return n.key < k; });
    // On a case-sensitive host two names may fold alike: the exact spelling wins, else
    // the first in byte order.
    Node* pick = nullptr;
    for (; it != f.nodes.end() && it->key == key; ++it) {
        if (Follow(f, *it) == Kind::Gone) continue;
        if (!pick || it->name == name) pick = &*it;
        if (it->name == name) break;
    }
    return pick;
}

Folder& SystemImage::Impl::Child(Folder& parent, Node& n) {
    if (n.folder < 0) {
        folders.push_back({parent.host / n.name, false, {}});
        n.folder = static_cast<int32_t>(folders.size() - 1);
    }
    return folders[static_cast<size_t>(n.folder)];
}

std::optional<SystemImage::Impl::Hit> SystemImage::Impl::Walk(const std::vector<std::string>& names,
                                                              bool folderOnly) {
    Hit hit;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!IsFolder(hit)) {
            SetLastErrorCode(win::kPathNotFound);
            return std::nullopt;
        }
        Folder& folder = FolderOf(hit);
        Node* n = Find(folder, names[i]);
        if (!n) {
            SetLastErrorCode(i + 1 == names.size() ? win::kFileNotFound : win::kPathNotFound);
            return std::nullopt;
        }
        hit = {&folder, n};
    }
    if (folderOnly && !IsFolder(hit)) {
        SetLastErrorCode(kErrorInvalidName);  // "name.ext\" names no file
        return std::nullopt;
    }
    return hit;
}

std::optional<SystemImage::Impl::Hit> SystemImage::Impl::Lookup(std::string_view windowsPath) {
    if (const auto m = memo.find(windowsPath); m != memo.end()) {
        if (!m->second.hit) SetLastErrorCode(m->second.error);
        return m->second.hit;
    }
    std::optional<Hit> hit;
    if (!LookupInParent(windowsPath, hit)) hit = LookupUncached(windowsPath);
    if (memo.size() >= kMaxMemo) memo.clear();
    memo.emplace(windowsPath, Memo{hit, hit ? 0u : GetLastErrorCode()});
    return hit;
}

// A scan asks about thousands of files in a few dozen folders. A path whose last name is
// plain (nothing Windows would trim, reject or expand) names that name in the folder its
// other part names, so the folder's lookup, kept from the first file there, serves them
// all. False where that does not hold or the folder is not found: then the whole path is
// looked up, and its error is the one Windows gives.
bool SystemImage::Impl::LookupInParent(std::string_view windowsPath, std::optional<Hit>& out) {
    const size_t cut = windowsPath.find_last_of("\\/");
    if (cut == std::string_view::npos || cut == 0 || cut + 1 == windowsPath.size()) return false;
    const std::string_view folder = windowsPath.substr(0, cut), name = windowsPath.substr(cut + 1);
    if (folder.back() == '\\' || folder.back() == '/' || windowsPath.size() > kMaxWindowsPath ||
        !IsPlainWindowsName(name) || folder.find('%') != std::string_view::npos ||
        folder.find('\0') != std::string_view::npos)
        return false;
    if (parentDepth >= kMaxParentDepth) return false;
    struct Deeper {
        int& depth;
        explicit Deeper(int& d) : depth(++d) {}
        ~Deeper() { --depth; }
    };
    std::optional<Hit> in;
    {
        const Deeper deeper(parentDepth);
        in = Lookup(folder);
    }
    if (!in || !IsFolder(*in)) return false;
    Folder& f = FolderOf(*in);
    Node* n = Find(f, name);
    if (!n) {
        SetLastErrorCode(win::kFileNotFound);
        out.reset();
    } else {
        out = Hit{&f, n};
    }
    return true;
}

std::optional<SystemImage::Impl::Hit> SystemImage::Impl::LookupUncached(std::string_view windowsPath) {
    std::string systemRoot;
    if (const auto v = vars.find("SYSTEMROOT"); v != vars.end()) systemRoot = v->second.second;
    WindowsPathParts parts;
    const uint32_t e = SplitWindowsPath(ExpandVars(windowsPath, vars), drive, systemRoot, parts);
    if (e != 0) {
        SetLastErrorCode(e);
        return std::nullopt;
    }
    if (!rootReadable) {
        SetLastErrorCode(win::kPathNotFound);
        return std::nullopt;
    }
    return Walk(parts.names, parts.folderOnly);
}

SystemImage::SystemImage(fs::path root) : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    std::error_code ec;
    // Absolute, so that a later change of the current folder cannot move the view.
    m.root = fs::absolute(root, ec);
    if (ec) m.root = std::move(root);
    fs::path real = fs::canonical(m.root, ec);
    if (ec) real = fs::absolute(m.root, ec).lexically_normal();
    m.realRoot = real.string();
    if (m.realRoot.size() > 1 && m.realRoot.back() == '/') m.realRoot.pop_back();
    m.folders.push_back({m.root, false, {}});
    m.rootReadable = m.List(m.folders.front());

    std::vector<std::string> candidates;
    for (Node& n : m.folders.front().nodes)
        if ((n.key == "WINDOWS" || n.key == "WINNT") &&
            m.Follow(m.folders.front(), n) == Kind::Folder)
            candidates.push_back(n.name);
    if (!candidates.empty()) m.windowsName = candidates.front();
    if (candidates.size() > 1) {
        for (const std::string& c : candidates) {
            if (m.Walk({c, "System32", "config", "SYSTEM"}, false)) {
                m.windowsName = c;
                break;
            }
        }
    }
    SetLastErrorCode(win::kSuccess);

    const std::string windows =
        "C:\\" + (m.windowsName.empty() ? std::string("WINDOWS") : m.windowsName);
    m.Set("SystemDrive", "C:");
    m.Set("SystemRoot", windows);
    m.Set("windir", windows);
    m.Set("ProgramFiles", "C:\\Program Files");
    m.Set("CommonProgramFiles", "C:\\Program Files\\Common Files");
}

SystemImage::~SystemImage() = default;
SystemImage::SystemImage(SystemImage&&) noexcept = default;
SystemImage& SystemImage::operator=(SystemImage&&) noexcept = default;

const fs::path& SystemImage::Root() const { return impl_->root; }
bool SystemImage::RootReadable() const { return impl_->rootReadable; }
const std::string& SystemImage::WindowsFolderName() const { return impl_->windowsName; }
uint64_t SystemImage::ListingCount() const { return impl_->listings; }

void SystemImage::ReadAhead(std::vector<std::string> belowWindows) {
    if (impl_->readAhead || belowWindows.empty()) return;
    if (const auto windows = WindowsFolder())
        impl_->readAhead = std::make_unique<FolderReadAhead>(*windows, std::move(belowWindows));
}
char SystemImage::SystemDrive() const { return impl_->drive; }

std::optional<fs::path> SystemImage::WindowsFolder() const {
    if (impl_->windowsName.empty()) return std::nullopt;
    const auto hit = impl_->Walk({impl_->windowsName}, true);
    return hit ? std::optional(impl_->HostPath(*hit)) : std::nullopt;
}

std::optional<fs::path> SystemImage::HiveFile(std::string_view name) const {
    if (impl_->windowsName.empty() || name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/") != std::string_view::npos)
        return std::nullopt;
    const auto hit =
        impl_->Walk({impl_->windowsName, "System32", "config", std::string(name)}, false);
    if (!hit || Impl::IsFolder(*hit)) return std::nullopt;
    return impl_->HostPath(*hit);
}

void SystemImage::SetVariable(std::string_view name, std::string_view value) {
    impl_->Set(name, std::string(value));
    if (text::IEquals(name, "SystemDrive") && value.size() >= 2 && value[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(value[0])))
        impl_->drive = text::ToUpperAscii(value[0]);
}

std::optional<std::string> SystemImage::Variable(std::string_view name) const {
    const auto v = impl_->vars.find(text::UpperAscii(name));
    if (v == impl_->vars.end()) return std::nullopt;
    return v->second.second;
}

std::string SystemImage::Expand(std::string_view text) const {
    return ExpandVars(text, impl_->vars);
}

std::optional<fs::path> SystemImage::Resolve(std::string_view windowsPath) const {
    const fs::path* host = ResolveRef(windowsPath);
    return host ? std::optional(*host) : std::nullopt;
}

const fs::path* SystemImage::ResolveRef(std::string_view windowsPath) const {
    const auto hit = impl_->Lookup(windowsPath);
    if (!hit) return nullptr;
    if (!hit->parent) return &impl_->root;
    // Listings never change once read, so the entry, and the path it keeps, stay put.
    Node& n = *hit->node;
    if (!n.host) n.host = std::make_unique<fs::path>(impl_->HostPath(*hit));
    return n.host.get();
}

std::optional<std::string> SystemImage::ResolveText(std::string_view windowsPath) const {
    const auto hit = impl_->Lookup(windowsPath);
    if (!hit) return std::nullopt;
    if (!hit->parent) return impl_->root.native();
    const std::string& folder = hit->parent->host.native();
    std::string text;
    text.reserve(folder.size() + 1 + hit->node->name.size());
    text.append(folder);
    if (text.empty() || text.back() != '/') text += '/';
    text.append(hit->node->name);
    return text;
}

bool SystemImage::Exists(std::string_view windowsPath) const {
    return impl_->Lookup(windowsPath).has_value();
}

bool SystemImage::IsFile(std::string_view windowsPath) const {
    const auto hit = impl_->Lookup(windowsPath);
    return hit && !Impl::IsFolder(*hit);
}

bool SystemImage::IsFolder(std::string_view windowsPath) const {
    const auto hit = impl_->Lookup(windowsPath);
    return hit && Impl::IsFolder(*hit);
}

bool SystemImage::Impl::StatOf(const Hit& h, struct stat& st) {
    if (!h.parent) return ::stat(root.c_str(), &st) == 0;
    // Links were checked when found: like stat(), this follows them.
    const int folder = handles.Of(h.parent->host.native());
    if (folder >= 0) return ::fstatat(folder, h.node->name.c_str(), &st, 0) == 0;
    return ::stat(HostPath(h).c_str(), &st) == 0;
}

std::optional<ImageFileFacts> SystemImage::Stat(std::string_view windowsPath) const {
    const auto hit = impl_->Lookup(windowsPath);
    if (!hit) return std::nullopt;
    // The root has no node to keep its facts in; it is asked about rarely.
    Node scratch{};
    Node& n = hit->node ? *hit->node : scratch;
    if (!n.statted) {
        struct stat st {};
        if (!impl_->StatOf(*hit, st)) {
            SetLastErrorCode(win::kFileNotFound);
            return std::nullopt;
        }
        n.statted = true;
        n.size = static_cast<uint64_t>(st.st_size);
        n.modified = st.st_mtime;
    }
    ImageFileFacts facts;
    facts.folder = Impl::IsFolder(*hit);
    facts.size = facts.folder ? 0 : n.size;
    facts.modified = n.modified;
    return facts;
}

std::optional<std::vector<ImageEntry>> SystemImage::List(std::string_view windowsFolder,
                                                         std::string_view pattern) const {
    const auto hit = impl_->Lookup(windowsFolder);
    if (!hit || !Impl::IsFolder(*hit)) {
        if (hit) SetLastErrorCode(win::kPathNotFound);
        return std::nullopt;
    }
    Folder& folder = impl_->FolderOf(*hit);
    impl_->List(folder);
    std::vector<ImageEntry> out;
    if (pattern.find_first_of("\\/") != std::string_view::npos) return out;
    for (Node& n : folder.nodes) {
        const Kind kind = impl_->Follow(folder, n);
        if (kind != Kind::Gone && MatchesWildcard(n.name, pattern))
            out.push_back({n.name, kind == Kind::Folder});
    }
    return out;
}

}  // namespace vornel::platform

namespace vornel::platform {

bool SystemImage::ForEachEntry(
    std::string_view windowsFolder,
    const std::function<void(std::string_view name, std::string_view key, bool folder)>& each) const {
    const auto hit = impl_->Lookup(windowsFolder);
    if (!hit || !Impl::IsFolder(*hit)) {
        if (hit) SetLastErrorCode(win::kPathNotFound);
        return false;
    }
    Folder& folder = impl_->FolderOf(*hit);
    impl_->List(folder);
    for (Node& n : folder.nodes) {
        const Kind kind = impl_->Follow(folder, n);
        if (kind != Kind::Gone) each(n.name, n.key, kind == Kind::Folder);
    }
    return true;
}

}  // namespace vornel::platform
