#include "platform/settings_store.h"

#include <unistd.h>

#include <system_error>

#include "platform/atomic_file.h"
#include "platform/user_folders.h"
#include "support/last_error.h"

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {
constexpr const char* kUserRoot = "HKEY_CURRENT_USER";
}

SettingsStore::SettingsStore(fs::path file, std::string* warning) : file_(std::move(file)) {
    SetSource("settings " + file_.string());
    std::error_code ec;
    if (!fs::exists(file_, ec)) return;
    std::string bytes, why;
    std::vector<std::string> warnings;
    // Import builds the keys through the overrides below: nothing it adds is written back.
    bool loaded = false;
    {
        struct Loading {
            bool& flag;
            explicit Loading(bool& f) : flag(f) { flag = true; }
            ~Loading() { flag = false; }
        } loading(loading_);
        loaded = ReadWholeFile(file_, bytes, &why) && Import(bytes, file_.string(), &why, &warnings);
    }
    if (!loaded) {
        writable_ = false;
        if (warning) *warning = why + "; settings will not be saved";
        return;
    }
    if (warning && !warnings.empty()) *warning = warnings.front();
}

fs::path SettingsStore::DefaultFile() { return ConfigFolder() / "settings.reg"; }

long SettingsStore::Persist(long status) {
    if (status != regstatus::kSuccess || loading_) return status;
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    std::string why;
    if (!Save(file_, Format::kRegedit5, 0600, &why)) {
        SetLastErrorCode(win::kAccessDenied);
        return regstatus::kAccessDenied;
    }
    return status;
}

long SettingsStore::CreateChild(KeyId parent, std::string_view name, KeyId& out, bool& existed) {
    if (!writable_) return regstatus::kAccessDenied;
    const long st = RegFileStore::CreateChild(parent, name, out, existed);
    return existed ? st : Persist(st);
}

long SettingsStore::SetValue(KeyId key, const RegValue& value) {
    if (!writable_) return regstatus::kAccessDenied;
    return Persist(RegFileStore::SetValue(key, value));
}

long SettingsStore::DeleteValue(KeyId key, std::string_view name) {
    if (!writable_) return regstatus::kAccessDenied;
    return Persist(RegFileStore::DeleteValue(key, name));
}

long SettingsStore::DeleteSubtree(KeyId parent, std::string_view name) {
    if (!writable_) return regstatus::kAccessDenied;
    return Persist(RegFileStore::DeleteSubtree(parent, name));
}

std::string CurrentUserSid() {
    // Local accounts get relative ids from 1000 up; the user id keeps the text stable.
    return "S-1-5-21-1000-1000-1000-" + std::to_string(1000u + static_cast<unsigned>(::getuid()));
}

void MountSettings(RegistryView& view, std::shared_ptr<SettingsStore> settings, const std::string& sid) {
    view.Mount(kUserRoot, settings, kUserRoot);
    view.Mount(std::string("HKEY_USERS\\") + sid, settings, kUserRoot);
}

}  // namespace vornel::platform
