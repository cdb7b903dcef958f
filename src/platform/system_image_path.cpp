#include "platform/system_image_path.h"

#include <array>

#include "support/last_error.h"
#include "support/text.h"

namespace vornel::platform {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// Removes `prefix` (written with "\", matching "/" too, letters in any case) from `s`.
bool StripPrefix(std::string_view& s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const bool same = prefix[i] == '\\'
                              ? IsSep(s[i])
                              : text::ToUpperAscii(s[i]) == text::ToUpperAscii(prefix[i]);
        if (!same) return false;
    }
    s.remove_prefix(prefix.size());
    return true;
}

uint32_t AddNames(std::string_view rest, bool verbatim, WindowsPathParts& out) {
    if (!rest.empty()) out.folderOnly = IsSep(rest.back());
    size_t i = 0;
    while (i < rest.size()) {
        size_t j = i;
        while (j < rest.size() && !IsSep(rest[j])) ++j;
        std::string_view name = rest.substr(i, j - i);
        i = j + 1;
        if (name.empty()) continue;
        if (name == "." || name == "..") {
            if (verbatim) return win::kPathNotFound;
            if (name == "..") {
                if (out.names.empty()) return win::kPathNotFound;  // above the root
                out.names.pop_back();
            }
            continue;
        }
        if (!verbatim) {
            const size_t keep = name.find_last_not_of(". ");
            if (keep == std::string_view::npos) return kErrorInvalidName;
            name = name.substr(0, keep + 1);
        }
        for (char c : name)
            if (static_cast<unsigned char>(c) < 0x20 ||
                std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
                return kErrorInvalidName;
        out.names.emplace_back(name);
    }
    return 0;
}

}  // namespace

bool IsPlainWindowsName(std::string_view name) {
    // Checked for every file an INF names: one table lookup per character.
    static constexpr auto kBad = [] {
        std::array<bool, 256> bad{};
        for (int c = 0; c < 0x20; ++c) bad[c] = true;
        for (char c : std::string_view("\\/:*?\"<>|%")) bad[static_cast<unsigned char>(c)] = true;
        return bad;
    }();
    if (name.empty() || name.size() > 255 || name.back() == '.' || name.back() == ' ') return false;
    for (char c : name)
        if (kBad[static_cast<unsigned char>(c)]) return false;
    return true;
}

uint32_t SplitWindowsPath(std::string_view path, char systemDrive, std::string_view systemRoot,
                          WindowsPathParts& out) {
    out = {};
    // Registry strings often carry their terminator along.
    path = path.substr(0, path.find('\0'));
    if (path.size() > kMaxWindowsPath) return win::kPathNotFound;

    std::string_view rest = path;
    bool verbatim = false;
    if (StripPrefix(rest, "\\\\?\\") || StripPrefix(rest, "\\??\\") ||
        StripPrefix(rest, "\\DosDevices\\") || StripPrefix(rest, "\\GLOBAL??\\")) {
        verbatim = true;
    } else if (StripPrefix(rest, "\\\\.\\")) {
        // the device namespace, normalised like a Win32 path
    } else if (std::string_view r = rest;
               StripPrefix(r, "\\SystemRoot") && (r.empty() || IsSep(r[0]))) {
        if (systemRoot.empty()) return win::kPathNotFound;
        // An empty root stops \SystemRoot from naming itself.
        if (const uint32_t e = SplitWindowsPath(systemRoot, systemDrive, {}, out); e != 0)
            return win::kPathNotFound;
        return AddNames(r, true, out);
    } else if (rest.size() >= 2 && IsSep(rest[0]) && IsSep(rest[1])) {
        return win::kPathNotFound;  // a share on some computer, not this installation
    }

    const bool hasDrive =
        rest.size() >= 2 && rest[1] == ':' &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'));
    if (hasDrive) {
        if (text::ToUpperAscii(rest[0]) != text::ToUpperAscii(systemDrive))
            return win::kPathNotFound;
        rest.remove_prefix(2);
        // "C:" alone is the volume or the drive's current folder, "C:name" relative to it.
        if (rest.empty() || !IsSep(rest[0])) return win::kPathNotFound;
    } else if (verbatim || rest.empty() || !IsSep(rest[0])) {
        return rest.find_first_of("\\/") == std::string_view::npos ? win::kFileNotFound
                                                                   : win::kPathNotFound;
    }
    return AddNames(rest, verbatim, out);
}

}  // namespace vornel::platform
