#include "platform/user_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vornel::platform {

namespace fs = std::filesystem;

bool EnsurePrivateFolder(const fs::path& dir, std::string* why) {
    std::error_code ec;
    fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (why) *why = "cannot create " + dir.string() + ": " + std::generic_category().message(errno);
        return false;
    }
    struct stat st {};
    // lstat: a link planted in place of the folder is refused, not followed.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (why) *why = dir.string() + " is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        if (why) *why = dir.string() + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        if (why) *why = dir.string() + " is open to other users";
        return false;
    }
    return true;
}

std::optional<fs::path> PrivateTempFolder(std::string* why) {
    fs::path dir;
    if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) {
        dir = fs::path(rt) / "vornel";
    } else {
        std::error_code ec;
        fs::path tmp = fs::temp_directory_path(ec);
        if (ec) tmp = "/tmp";
        dir = tmp / ("vornel-" + std::to_string(::geteuid()));
    }
    if (!EnsurePrivateFolder(dir, why)) return std::nullopt;
    return dir;
}

fs::path ConfigFolder() {
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c) return fs::path(c) / "vornel";
    if (const char* h = std::getenv("HOME"); h && *h) return fs::path(h) / ".config" / "vornel";
    return fs::path("/tmp") / ("vornel-config-" + std::to_string(::geteuid()));
}

fs::path DataFolder() {
    if (const char* d = std::getenv("VORNEL_DATA_DIR"); d && *d) return d;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        // Build tree: the binary sits in build/ or build/src/cli/, the data in build/data.
        for (fs::path p = exe.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path()) {
            if (fs::is_regular_file(p / "data" / "common.dat", ec)) return p / "data";
            if (fs::exists(p / "CMakeCache.txt", ec)) return p / "data";
        }
        const fs::path share = exe.parent_path().parent_path() / "share" / "vornel";
        if (fs::is_directory(share, ec)) return share;
    }
    return VORNEL_INSTALL_DATA_DIR;
}

}  // namespace vornel::platform
