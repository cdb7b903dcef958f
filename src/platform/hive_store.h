#pragma once
// A read-only registry store over a Windows hive file (SYSTEM, SOFTWARE, ...), read with
// hivex. The file is checked in full before hivex sees it, so a damaged or crafted file
// gives a clear error instead of wrong reads. Key ids are hivex node handles.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_store.h"

namespace vornel::platform {

class HiveStore : public RegistryStore {
public:
    // Opens `file` read-only. Null with a one-line reason naming the file when it cannot be
    // read, is not a hive, is truncated or is damaged. A hive whose latest changes are
    // still only in its transaction logs opens with a warning appended to *warnings.
    static std::unique_ptr<HiveStore> Open(const std::filesystem::path& file, std::string* error,
                                           std::vector<std::string>* warnings = nullptr);
    ~HiveStore() override;
    HiveStore(const HiveStore&) = delete;
    HiveStore& operator=(const HiveStore&) = delete;

    std::string Source() const override;
    KeyId Root() const override;
    // Subkey names are cached per key on first use, so repeated lookups are binary searches.
    KeyId Child(KeyId parent, std::string_view name) const override;
    void SubKeyNames(KeyId key, std::vector<std::string>& out) const override;
    void Values(KeyId key, std::vector<RegValue>& out) const override;
    bool FindValue(KeyId key, std::string_view name, RegValue& out) const override;
    void ValueNames(KeyId key, std::vector<std::string>& out) const override;

private:
    struct Impl;
    explicit HiveStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vornel::platform
