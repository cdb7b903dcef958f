#include "platform/registry_view.h"

#include <algorithm>
#include <cstdio>

#include "support/text.h"

namespace vornel::platform {

using text::IEquals;

void RegistryView::Mount(std::string_view viewPath, std::shared_ptr<RegistryStore> store,
                         std::string_view storePath) {
    Mount_ m;
    for (auto c : SplitKeyPath(viewPath)) m.prefix.emplace_back(c);
    m.store = std::move(store);
    m.storePath = std::string(storePath);
    deepestMount_ = std::max(deepestMount_, m.prefix.size());
    mounts_.push_back(std::move(m));
    controlSetKnown_ = false;
    Forget();
}

std::vector<std::string> RegistryView::Sources() const {
    std::vector<std::string> r;
    for (const auto& m : mounts_) r.push_back(m.store->Source());
    return r;
}

KeyId RegistryView::StoreKey(const Mount_& m, const std::vector<std::string>& comps) const {
    if (comps.size() < m.prefix.size()) return 0;
    for (size_t i = 0; i < m.prefix.size(); ++i)
        if (!IEquals(comps[i], m.prefix[i])) return 0;
    KeyId k = m.store->Walk(m.store->Root(), m.storePath);
    for (size_t i = m.prefix.size(); i < comps.size() && k; ++i) k = m.store->Child(k, comps[i]);
    return k;
}

std::vector<std::string> RegistryView::ResolveComponents(std::string_view fullPath) const {
    std::vector<std::string> comps;
    for (auto c : SplitKeyPath(fullPath)) comps.emplace_back(c);
    if (comps.empty()) return comps;
    auto replaceFirst = [&](std::initializer_list<const char*> with) {
        comps.erase(comps.begin());
        comps.insert(comps.begin(), with.begin(), with.end());
    };
    if (IEquals(comps[0], "HKEY_CLASSES_ROOT")) replaceFirst({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Classes"});
    else if (IEquals(comps[0], "HKEY_CURRENT_CONFIG"))
        replaceFirst({"HKEY_LOCAL_MACHINE", "SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"});

    // CurrentControlSet is a link, not a stored key: follow SYSTEM\Select\Current unless a
    // store (an export of a live registry) holds it literally.
    if (comps.size() >= 3 && IEquals(comps[0], "HKEY_LOCAL_MACHINE") && IEquals(comps[1], "SYSTEM") &&
        IEquals(comps[2], "CurrentControlSet")) {
        if (!controlSetKnown_) {
            controlSetKnown_ = true;
            controlSet_ = "-";
            const std::vector<std::string> literal{"HKEY_LOCAL_MACHINE", "SYSTEM", "CurrentControlSet"};
            bool stored = false;
            for (const auto& m : mounts_) stored = stored || StoreKey(m, literal) != 0;
            if (stored) {
                controlSet_.clear();
            } else {
                const std::vector<std::string> select{"HKEY_LOCAL_MACHINE", "SYSTEM", "Select"};
                for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
                    const KeyId k = StoreKey(*it, select);
                    RegValue v;
                    if (k && it->store->FindValue(k, "Current", v) && v.type == kRegDword && v.data.size() == 4) {
                        uint32_t n = 0;
                        for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(v.data[b]);
                        char buf[32];
                        std::snprintf(buf, sizeof buf, "ControlSet%03u", n);
                        controlSet_ = buf;
                        break;
                    }
                }
            }
        }
        if (controlSet_ == "-") return {};  // no Select: no control set
        if (!controlSet_.empty()) comps[2] = controlSet_;
    }
    return comps;
}

std::string RegistryView::Resolve(std::string_view fullPath) const {
    return text::Join(ResolveComponents(fullPath), "\\");
}

RegistryView::KeyRef RegistryView::OpenShared(std::string_view fullPath) const {
    for (const auto& [path, key] : recent_)
        if (key && path == fullPath) return key;
    std::string folded(fullPath);
    text::UpperAsciiInPlace(folded.data(), folded.size());
    KeyRef key;
    if (auto it = opened_.find(folded); it != opened_.end()) {
        key = it->second;
    } else {
        if (opened_.size() >= 65536) Forget();
        key = OpenBelowParent(fullPath);
        if (!key) key = std::make_shared<const Key>(OpenUncached(fullPath));
        opened_.emplace(std::move(folded), key);
    }
    auto& slot = recent_[recentNext_];
    recentNext_ = (recentNext_ + 1) % recent_.size();
    slot.first.assign(fullPath);
    slot.second = key;
    return key;
}

bool RegistryView::SubKeysByStep(std::string_view fullPath) const {
    // Below every mount point, and below the root aliases and CurrentControlSet (the
    // first three components), each store's key is a child of its key of the parent: so
    // for the subkeys of a key as deep as both. The path's components are counted (as
    // SplitKeyPath counts them) only as far as that needs.
    const size_t enough = std::max<size_t>(3, deepestMount_);
    size_t depth = 0;
    for (size_t i = 0; i < fullPath.size() && depth < enough; ++i)
        if (fullPath[i] != '\\' && (i == 0 || fullPath[i - 1] == '\\')) ++depth;
    return depth >= enough;
}

RegistryView::KeyRef RegistryView::OpenBelowParent(std::string_view fullPath) const {
    const size_t end = fullPath.find_last_not_of('\\');
    if (end == std::string_view::npos) return nullptr;
    const size_t cut = fullPath.rfind('\\', end);
    if (cut == std::string_view::npos) return nullptr;
    const std::string_view parentPath = fullPath.substr(0, cut);
    if (!SubKeysByStep(parentPath)) return nullptr;
    return ChildByStep(*OpenShared(parentPath), fullPath.substr(cut + 1, end - cut));
}

RegistryView::KeyRef RegistryView::ChildByStep(const Key& parent, std::string_view name) {
    auto key = std::make_shared<Key>();
    key->subKeysByStep = true;
    for (const auto& [store, k] : parent.parts)
        if (const KeyId child = store->Child(k, name)) key->parts.emplace_back(store, child);
    return key;
}

RegistryView::KeyRef RegistryView::OpenSubKey(const KeyRef& parent, std::string_view subPath) const {
    if (!parent || !parent->subKeysByStep) return nullptr;
    KeyRef at = parent;
    for (std::string_view name : SplitKeyPath(subPath)) at = ChildByStep(*at, name);
    return at;
}

RegistryView::Key RegistryView::OpenUncached(std::string_view fullPath) const {
    Key key;
    key.subKeysByStep = SubKeysByStep(fullPath);
    const auto comps = ResolveComponents(fullPath);
    if (comps.empty()) return key;
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (const KeyId k = StoreKey(*it, comps)) {
            key.parts.emplace_back(it->store.get(), k);
            continue;
        }
        // A path above a mount point exists and lists the next component.
        if (comps.size() < it->prefix.size()) {
            bool above = true;
            for (size_t i = 0; i < comps.size() && above; ++i) above = IEquals(comps[i], it->prefix[i]);
            if (above) {
                const std::string& child = it->prefix[comps.size()];
                if (std::none_of(key.mountChildren.begin(), key.mountChildren.end(),
                                 [&](const std::string& c) { return IEquals(c, child); }))
                    key.mountChildren.push_back(child);
            }
        }
    }
    return key;
}

void RegistryView::SubKeyNames(const Key& key, std::vector<std::string>& out) const {
    out.clear();
    if (key.parts.size() == 1 && key.mountChildren.empty()) {
        key.parts[0].first->SubKeyNames(key.parts[0].second, out);
        return;
    }
    std::vector<std::string> names, part;
    // Earliest mount first: its spelling of a name shared with later mounts stays.
    for (auto it = key.parts.rbegin(); it != key.parts.rend(); ++it) {
        it->first->SubKeyNames(it->second, part);
        names.insert(names.end(), part.begin(), part.end());
    }
    names.insert(names.end(), key.mountChildren.begin(), key.mountChildren.end());
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return text::ICompare(a, b) < 0; });
    for (auto& n : names)
        if (out.empty() || !IEquals(out.back(), n)) out.push_back(std::move(n));
}

void RegistryView::Values(const Key& key, std::vector<RegValue>& out) const {
    out.clear();
    if (key.parts.size() == 1) {
        key.parts[0].first->Values(key.parts[0].second, out);
        return;
    }
    std::vector<RegValue> part;
    // Earliest mount first, so later mounts override data but keep the first order.
    for (auto it = key.parts.rbegin(); it != key.parts.rend(); ++it) {
        it->first->Values(it->second, part);
        for (auto& v : part) {
            auto same = std::find_if(out.begin(), out.end(), [&](const RegValue& o) { return IEquals(o.name, v.name); });
            if (same == out.end()) {
                out.push_back(std::move(v));
            } else {
                same->type = v.type;
                same->data = std::move(v.data);
            }
        }
    }
}

void RegistryView::ValueNames(const Key& key, std::vector<std::string>& out) const {
    out.clear();
    if (key.parts.size() == 1) {
        key.parts[0].first->ValueNames(key.parts[0].second, out);
        return;
    }
    std::vector<std::string> part;
    for (auto it = key.parts.rbegin(); it != key.parts.rend(); ++it) {
        it->first->ValueNames(it->second, part);
        for (auto& name : part)
            if (std::none_of(out.begin(), out.end(), [&](const std::string& o) { return IEquals(o, name); }))
                out.push_back(std::move(name));
    }
}

bool RegistryView::FindValue(const Key& key, std::string_view name, RegValue& out) const {
    for (const auto& [store, k] : key.parts)
        if (store->FindValue(k, name, out)) return true;
    return false;
}

bool RegistryView::CanWrite(std::string_view fullPath) const {
    const auto comps = ResolveComponents(fullPath);
    for (const auto& m : mounts_) {
        if (!m.store->Writable() || comps.size() < m.prefix.size()) continue;
        bool under = true;
        for (size_t i = 0; i < m.prefix.size() && under; ++i) under = IEquals(comps[i], m.prefix[i]);
        if (under) return true;
    }
    return false;
}

long RegistryView::CreateKey(std::string_view fullPath, bool& existed) {
    Forget();
    existed = false;
    const auto comps = ResolveComponents(fullPath);
    if (comps.empty()) return regstatus::kInvalidParameter;
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (!it->store->Writable() || comps.size() < it->prefix.size()) continue;
        bool under = true;
        for (size_t i = 0; i < it->prefix.size() && under; ++i) under = IEquals(comps[i], it->prefix[i]);
        if (!under) continue;
        RegistryStore& s = *it->store;
        KeyId k = s.Root();
        for (auto part : SplitKeyPath(it->storePath)) {
            bool e = false;
            if (const long st = s.CreateChild(k, part, k, e); st != regstatus::kSuccess) return st;
        }
        bool e = true;
        for (size_t i = it->prefix.size(); i < comps.size(); ++i)
            if (const long st = s.CreateChild(k, comps[i], k, e); st != regstatus::kSuccess) return st;
        existed = e;
        return regstatus::kSuccess;
    }
    return regstatus::kAccessDenied;
}

long RegistryView::SetValue(std::string_view fullPath, const RegValue& value) {
    Forget();
    const auto comps = ResolveComponents(fullPath);
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (!it->store->Writable()) continue;
        if (const KeyId k = StoreKey(*it, comps)) return it->store->SetValue(k, value);
    }
    return CanWrite(fullPath) ? regstatus::kNotFound : regstatus::kAccessDenied;
}

long RegistryView::DeleteValue(std::string_view fullPath, std::string_view name) {
    Forget();
    const auto comps = ResolveComponents(fullPath);
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (!it->store->Writable()) continue;
        if (const KeyId k = StoreKey(*it, comps)) return it->store->DeleteValue(k, name);
    }
    return CanWrite(fullPath) ? regstatus::kNotFound : regstatus::kAccessDenied;
}

}  // namespace vornel::platform
