// libFuzzer target: one INF text through the profile reader and the INF reader. Any
// crash, sanitizer report or stall is a fault, and so is a buffer answer that breaks the
// profile functions' size rules.
//
// The first byte chooses the reading: bit 0 Windows 9x, bit 1 pad the file past 32000
// bytes (so 9x reads it with the manual section parse), the rest picks the install section.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "inf/inf_reader.h"
#include "platform/profile_reader.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;
using vornel::platform::ProfileReader;

const fs::path& InfPath() {
    static const fs::path path = [] {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        return base / ("vornel-inf-fuzz-" + std::to_string(::getpid()) + ".inf");
    }();
    return path;
}

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            std::fprintf(stderr, "check failed, line %d: %s\n", __LINE__, #cond); \
            std::abort();                                             \
        }                                                             \
    } while (0)

// Every buffer size near the edges: the answer must fit and agree with the string form.
void CheckBuffers(ProfileReader& profile, const fs::path& inf, std::string section,
                  std::string key) {
    // The C-string arguments end at a NUL that a binary file's names may hold.
    section = section.c_str();
    key = key.c_str();
    for (uint32_t size : {0u, 1u, 2u, 3u, 5u, 16u, 300u}) {
        auto buf = std::make_unique<char[]>(size ? size : 1);
        uint32_t n = profile.GetPrivateProfileSectionA(section.c_str(), buf.get(), size, inf);
        CHECK(size == 0 ? n == 0 : n + 1 <= size);
        if (size >= 2) CHECK(std::string(buf.get(), n) == profile.GetSection(section, inf, size));
        n = profile.GetPrivateProfileSectionNamesA(buf.get(), size, inf);
        CHECK(size == 0 ? n == 0 : n + 1 <= size);
        n = profile.GetPrivateProfileStringA(section.c_str(), key.c_str(), "dflt", buf.get(),
                                             size, inf);
        CHECK(size == 0 ? n == 0 : n < size && buf[n] == '\0');
        n = profile.GetPrivateProfileStringA(section.c_str(), nullptr, "", buf.get(), size, inf);
        CHECK(size == 0 ? n == 0 : n + 1 <= size);
        CHECK(profile.GetInfString(section, key, "", inf, size).size() + (size ? 1 : 0) <= size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (flags & 2) text += "\r\n;" + std::string(32000, 'x') + "\r\n";
    {
        std::ofstream out(InfPath(), std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    ProfileReader profile;
    vornel::inf::InfReader reader(profile, vornel::inf::InfOsFlags{(flags & 1) == 0});
    const auto names = profile.SectionNames(InfPath());
    const std::string section = names.empty() ? "DefaultInstall" : names[(flags >> 2) % names.size()];
    const auto lines = profile.SectionLines(section, InfPath());
    std::string key = "CopyFiles";
    if (!lines.empty()) key = lines.front().substr(0, lines.front().find('='));

    const bool pipes = text.find('|') != std::string::npos;
    for (int method = 1; method <= 3; ++method) {
        const std::string files = reader.p_ScrapeInfDoTheRealWork(method, InfPath(), section);
        // Without a separator in the text, every entry is a name and none repeats.
        if (pipes || files.empty()) continue;
        std::set<std::string> seen;
        for (const std::string& entry : vornel::text::Split(files, "|"))
            CHECK(!entry.empty() && seen.insert(vornel::inf::FoldNameCase(entry)).second);
    }
    std::string sectionText;
    reader.mP_GetPrivateProfileSection(InfPath(), section, sectionText);
    reader.mP_IsInfSection(section, InfPath());
    CheckBuffers(profile, InfPath(), section, key);
    return 0;
}
