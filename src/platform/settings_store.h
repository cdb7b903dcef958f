#pragma once
// The program's own settings: a .reg file under the user's configuration folder, mounted
// as HKEY_CURRENT_USER and as HKEY_USERS\<the user's SID>. Every change is written back
// at once, atomically and readable only by the user; the file is created on first write.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/reg_file_store.h"
#include "platform/registry_view.h"

namespace vornel::platform {

class SettingsStore : public RegFileStore {
public:
    // Loads `file` when it exists. A file that cannot be read or is not a registry file is
    // left alone and the store refuses writes (so nothing the user had is overwritten);
    // the reason goes to *warning.
    explicit SettingsStore(std::filesystem::path file, std::string* warning = nullptr);

    const std::filesystem::path& File() const { return file_; }
    bool Writable() const override { return writable_; }
    long CreateChild(KeyId parent, std::string_view name, KeyId& out, bool& existed) override;
    long SetValue(KeyId key, const RegValue& value) override;
    long DeleteValue(KeyId key, std::string_view name) override;
    long DeleteSubtree(KeyId parent, std::string_view name) override;

    // The default file: $XDG_CONFIG_HOME/vornel/settings.reg.
    static std::filesystem::path DefaultFile();

private:
    long Persist(long status);
    std::filesystem::path file_;
    bool writable_ = true;
    bool loading_ = false;
};

// A stable SID-shaped text for the current user ("S-1-5-21-...-<rid>").
std::string CurrentUserSid();

// Mounts the settings store as HKEY_CURRENT_USER and HKEY_USERS\<sid>.
void MountSettings(RegistryView& view, std::shared_ptr<SettingsStore> settings, const std::string& sid);

}  // namespace vornel::platform
