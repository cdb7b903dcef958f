#pragma once
// A hierarchical key/value store that answers as the Windows registry does. Backends: a
// .reg file (RegFileStore), a hive file (HiveStore), and on Windows the live registry.
// The registry view mounts stores under the registry's root keys.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform {

// The registry's own value type numbers.
enum RegType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegDwordBigEndian = 5,
    kRegLink = 6,
    kRegMultiSz = 7,
    kRegResourceList = 8,
    kRegFullResourceDescriptor = 9,
    kRegResourceRequirementsList = 10,
    kRegQword = 11,
};

// One value as the registry holds it. Text types (1, 2, 6, 7) hold UTF-16LE bytes with
// their terminating NUL(s), exactly as a hive stores them; names are UTF-8.
struct RegValue {
    std::string name;  // "" is the key's default value
    uint32_t type = kRegNone;
    std::string data;  // raw bytes
};

// Registry status codes.
namespace regstatus {
constexpr long kSuccess = 0;
constexpr long kNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidData = 13;
constexpr long kOutOfMemory = 14;
constexpr long kInvalidParameter = 87;
constexpr long kNoData = 232;
constexpr long kMoreData = 234;
constexpr long kNoMoreItems = 259;
constexpr long kNoKeyPath = -1002;
}  // namespace regstatus

// An opened key of one store; 0 is "no such key".
using KeyId = uint64_t;

class RegistryStore {
public:
    virtual ~RegistryStore() = default;

    // Where the data comes from, for messages ("SYSTEM hive /mnt/c/.../SYSTEM").
    virtual std::string Source() const = 0;

    // The store's top key (a hive file's root; the tree above HKEY_... roots for a .reg file).
    virtual KeyId Root() const = 0;
    // The child of `parent` named `name` (compared without regard to case), or 0.
    virtual KeyId Child(KeyId parent, std::string_view name) const = 0;
    // Subkey names in the registry's order: sorted by upper-cased name.
    virtual void SubKeyNames(KeyId key, std::vector<std::string>& out) const = 0;
    // Values in the order they were first written.
    virtual void Values(KeyId key, std::vector<RegValue>& out) const = 0;
    // One value by name (without regard to case); false when absent.
    virtual bool FindValue(KeyId key, std::string_view name, RegValue& out) const = 0;
    // The names of Values, in the same order, without reading their data.
    virtual void ValueNames(KeyId key, std::vector<std::string>& out) const;

    // Writing. Read-only stores answer access denied.
    virtual bool Writable() const { return false; }
    virtual long CreateChild(KeyId /*parent*/, std::string_view /*name*/, KeyId& /*out*/,
                             bool& /*existed*/) {
        return regstatus::kAccessDenied;
    }
    virtual long SetValue(KeyId /*key*/, const RegValue& /*value*/) { return regstatus::kAccessDenied; }
    virtual long DeleteValue(KeyId /*key*/, std::string_view /*name*/) { return regstatus::kAccessDenied; }
    virtual long DeleteSubtree(KeyId /*parent*/, std::string_view /*name*/) {
        return regstatus::kAccessDenied;
    }

    // Follows a '\'-separated path from `from` (empty components are skipped); 0 when any
    // component is missing.
    KeyId Walk(KeyId from, std::string_view path) const;
};

// Splits a registry path at '\', dropping empty components.
std::vector<std::string_view> SplitKeyPath(std::string_view path);

}  // namespace vornel::platform
