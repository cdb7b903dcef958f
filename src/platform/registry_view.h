#pragma once
// The registry as the program sees it: stores mounted under the root keys. A scan can
// take HKEY_LOCAL_MACHINE\SYSTEM from a hive file and the rest from .reg exports, while
// the program's own settings store answers for HKEY_CURRENT_USER.
//
// Several stores may cover one key: the key exists when any of them has it, its subkeys
// are the union, and a value comes from the most recently mounted store that has it.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry_store.h"

namespace vornel::platform {

class RegistryView {
public:
    // Mounts `store`'s key at `storePath` ("" for its top) as the view's key `viewPath`
    // (a full path from a root key, e.g. "HKEY_LOCAL_MACHINE\SYSTEM"; "" mounts a store
    // whose top holds the root keys, as a .reg file's does).
    void Mount(std::string_view viewPath, std::shared_ptr<RegistryStore> store, std::string_view storePath = {});
    bool Empty() const { return mounts_.empty(); }
    // The sources of the mounted stores, in mount order.
    std::vector<std::string> Sources() const;

    // An opened key: the stores' keys that make it up, most recent mount first.
    struct Key {
        std::vector<std::pair<RegistryStore*, KeyId>> parts;
        std::vector<std::string> mountChildren;  // children implied by deeper mount points
        // No mount point or alias lies below: a subkey is each part's child (as the
        // mounts stood when the key was opened).
        bool subKeysByStep = false;
        bool Exists() const { return !parts.empty() || !mountChildren.empty(); }
    };

    using KeyRef = std::shared_ptr<const Key>;

    // Opens a full path ("HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum"). Root aliases
    // (HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG) and CurrentControlSet are resolved.
    Key Open(std::string_view fullPath) const { return *OpenShared(fullPath); }
    // The same key as the view keeps it, without a copy: a scan opens a key for every
    // value it reads, tens of thousands of times.
    KeyRef OpenShared(std::string_view fullPath) const;
    // A subkey ("Device Parameters", "a\\b") of a key that has its subkeys by step, one
    // store step a component; null for any other parent, whose subkeys need their path.
    // Not kept among the opened keys: a scan reads each device's subkeys once.
    KeyRef OpenSubKey(const KeyRef& parent, std::string_view subPath) const;
    void SubKeyNames(const Key& key, std::vector<std::string>& out) const;
    void Values(const Key& key, std::vector<RegValue>& out) const;
    // The names Values would give, in its order, without reading any data.
    void ValueNames(const Key& key, std::vector<std::string>& out) const;
    bool FindValue(const Key& key, std::string_view name, RegValue& out) const;

    // Whether a key could be opened for writing (a writable store covers it).
    bool CanWrite(std::string_view fullPath) const;
    // Writing goes to the most recent writable store covering the path; status codes as
    // the registry's (5 when no writable store covers it, 2 when the key is missing).
    long CreateKey(std::string_view fullPath, bool& existed);
    long SetValue(std::string_view fullPath, const RegValue& value);
    long DeleteValue(std::string_view fullPath, std::string_view name);

    // The resolved form of a path: aliases and CurrentControlSet replaced.
    std::string Resolve(std::string_view fullPath) const;

private:
    struct Mount_ {
        std::vector<std::string> prefix;  // view path components
        std::shared_ptr<RegistryStore> store;
        std::string storePath;
    };
    // The mount's store key for the given components, or 0.
    KeyId StoreKey(const Mount_& m, const std::vector<std::string>& comps) const;
    Key OpenUncached(std::string_view fullPath) const;
    // The key below an opened parent, one store step each; null when the path is too
    // shallow for that (a mount point or an alias could lie on it).
    KeyRef OpenBelowParent(std::string_view fullPath) const;
    // The key below a key that has its subkeys by step: each part's child of that name.
    static KeyRef ChildByStep(const Key& parent, std::string_view name);
    std::vector<std::string> ResolveComponents(std::string_view fullPath) const;
    // Whether the keys at this path have their subkeys by step (see Key).
    bool SubKeysByStep(std::string_view fullPath) const;
    void Forget() const {
        opened_.clear();
        for (auto& r : recent_) r.second.reset();
    }
    std::vector<Mount_> mounts_;
    size_t deepestMount_ = 0;  // components of the longest mount path
    // Keys opened so far by their path as given: a scan opens the same few keys again for
    // every value it reads. Any change through the view forgets them.
    mutable std::unordered_map<std::string, KeyRef> opened_;
    // The paths opened last, as given, and their keys: reading one device, a scan goes back
    // and forth between a handful of keys, and a comparison is cheaper than a lookup.
    mutable std::array<std::pair<std::string, KeyRef>, 8> recent_;
    mutable size_t recentNext_ = 0;
    mutable std::string controlSet_;  // "ControlSet00n" once resolved; "-" when none
    mutable bool controlSetKnown_ = false;
};

}  // namespace vornel::platform
