#include "app/installation.h"

#include <unistd.h>
#include <pwd.h>

#include <filesystem>
#include <future>

#include "inf/driver_file_search.h"
#include "platform/hive_store.h"
#include "platform/reg_file_store.h"
#include "platform/settings_store.h"
#include "platform/user_folders.h"
#include "support/error_log.h"
#include "support/md5.h"
#include "sysinfo/collector.h"
#include "platform/system_image.h"
#include "support/text.h"

namespace vornel::app {

namespace fs = std::filesystem;

namespace {
// Hive names and where they belong.
struct HiveMount {
    const char* name;
    const char* viewPath;
};
constexpr HiveMount kHives[] = {
    {"SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM"},     {"SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE"},
    {"SAM", "HKEY_LOCAL_MACHINE\\SAM"},           {"SECURITY", "HKEY_LOCAL_MACHINE\\SECURITY"},
    {"HARDWARE", "HKEY_LOCAL_MACHINE\\HARDWARE"}, {"DEFAULT", "HKEY_USERS\\.DEFAULT"},
};

const HiveMount* FindHive(std::string_view name) {
    for (const auto& h : kHives)
        if (text::IEquals(h.name, name)) return &h;
    return nullptr;
}

bool MountHive(platform::RegistryView& view, const HiveMount& h, const fs::path& file, std::string* why,
               std::vector<std::string>* warnings) {
    std::string error;
    auto store = platform::HiveStore::Open(file, &error, warnings);
    if (!store) {
        if (why) *why = error;
        return false;
    }
    view.Mount(h.viewPath, std::shared_ptr<platform::RegistryStore>(std::move(store)));
    return true;
}
}  // namespace

bool MountRegistrySources(const InstallationSources& s, platform::RegistryView& view, std::string* why,
                          std::vector<std::string>* warnings, platform::SystemImage* sharedImage) {
    // The settings store (read, and written back safely) loads on a thread of its own while
    // the root's hives are checked. It is mounted before any source that may overlap it:
    // the root's hives hold the local machine only.
    struct Settings {
        std::shared_ptr<platform::SettingsStore> store;
        std::string warning;
    };
    std::future<Settings> loading = std::async(std::launch::async, [file = s.settingsFile] {
        Settings loaded;
        loaded.store = std::make_shared<platform::SettingsStore>(
            file.empty() ? platform::SettingsStore::DefaultFile() : file, &loaded.warning);
        return loaded;
    });
    const size_t firstWarning = warnings ? warnings->size() : 0;  // the settings' goes here
    auto mountSettings = [&] {
        Settings settings = loading.get();
        if (!settings.warning.empty() && warnings)
            warnings->insert(warnings->begin() + static_cast<std::ptrdiff_t>(firstWarning), settings.warning);
        platform::MountSettings(view, settings.store, platform::CurrentUserSid());
    };
    // A way out before the mount still waits for the loading thread, in the future's
    // destructor (the store is then dropped unused).

    // Explicit hive files replace the root's hive of the same name.
    std::vector<std::pair<const HiveMount*, fs::path>> explicitHives;
    for (const auto& arg : s.hives) {
        const size_t eq = arg.find('=');
        const HiveMount* h = eq == std::string::npos ? nullptr : FindHive(arg.substr(0, eq));
        if (!h) {
            if (why) *why = "--hive takes NAME=FILE with NAME one of SYSTEM, SOFTWARE, SAM, SECURITY, HARDWARE, DEFAULT: " + arg;
            return false;
        }
        explicitHives.emplace_back(h, arg.substr(eq + 1));
    }
    auto replaced = [&](const HiveMount* h) {
        for (const auto& e : explicitHives)
            if (e.first == h) return true;
        return false;
    };

    if (!s.root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(s.root, ec)) {
            if (why) *why = "no such folder: " + s.root;
            return false;
        }
        std::optional<platform::SystemImage> ownImage;
        if (!sharedImage) ownImage.emplace(s.root);
        platform::SystemImage& image = sharedImage ? *sharedImage : *ownImage;
        if (!image.WindowsFolder()) {
            if (why) *why = s.root + " holds no Windows folder";
            return false;
        }
        for (const char* name : {"SYSTEM", "SOFTWARE"}) {
            if (!s.rootHives) break;
            const HiveMount* h = FindHive(name);
            if (replaced(h)) continue;
            const auto file = image.HiveFile(name);
            if (!file) {
                if (warnings) warnings->push_back(std::string("no ") + name + " hive under " + s.root);
                continue;
            }
            if (!MountHive(view, *h, *file, why, warnings)) return false;
        }
    }
    mountSettings();
    for (const auto& [h, file] : explicitHives)
        if (!MountHive(view, *h, file, why, warnings)) return false;

    for (const auto& file : s.regs) {
        std::string error;
        auto store = platform::RegFileStore::Load(file, &error, warnings);
        if (!store) {
            if (why) *why = error;
            return false;
        }
        view.Mount("", std::shared_ptr<platform::RegistryStore>(std::move(store)));
    }
    return true;
}

namespace {
std::string UserName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* u = std::getenv("USER")) return u;
    return {};
}
}  // namespace

bool Installation::Open(const InstallationSources& sources, std::string* why, std::vector<std::string>* warnings) {
    if (!sources.Any()) {
        if (why) *why = "give the installation to read: --root DIR (its system drive), --hive NAME=FILE or --reg FILE";
        return false;
    }
    std::string tempWhy;
    auto temp = platform::PrivateTempFolder(&tempWhy);
    if (!temp) {
        if (why) *why = "no private temporary folder: " + tempWhy;
        return false;
    }
    temp_ = *temp;
    // The log of the previous run goes first, so this run's log holds this run alone.
    Logger::Instance().SetDefaultFolder(temp_);
    std::error_code ec;
    fs::remove(temp_ / Logger::kDefaultFileName, ec);

    if (!sources.root.empty()) {
        image_.emplace(sources.root);
        // The install-file search lists these on every scan; meanwhile the hives are checked.
        image_->ReadAhead(inf::ProbeFoldersBelowWindows());
    }
    // The computer's identity is a digest, whose library takes a while to load the first
    // time. Loaded now, it takes the time this thread would otherwise spend waiting for
    // the listings that lead to the hives.
    PrepareMd5();
    if (!MountRegistrySources(sources, view_, why, warnings, image_ ? &*image_ : nullptr)) return false;
    reg_ = std::make_unique<cReg>(view_);

    CollectorContext ctx{*reg_, nullptr, &profiles_, temp_, platform::CurrentUserSid(), UserName()};
    if (image_) ctx.resolve = [this](std::string_view p) { return image_->Resolve(p); };
    collectStatus_ = CollectComputerInfo(info_, ctx, sources.computerName);
    if (image_) {
        // The installation's own folders, now that its registry has named them.
        image_->SetVariable("SystemRoot", info_.sWinDirUM);
        image_->SetVariable("windir", info_.sWinDirUM);
        if (!info_.ProgramPath.empty()) image_->SetVariable("ProgramFiles", info_.ProgramPath);
    }
    return true;
}

}  // namespace vornel::app
