#pragma once
// The stand-in for GetPrivateProfileStringA, GetPrivateProfileSectionA and
// GetPrivateProfileSectionNamesA over host files. Every file is read and parsed once and
// then answered from its parsed form; the cache is keyed by path, and a file's
// modification time and size are checked again at its first use in each scan.
//
// Answers are ANSI (Windows-1252) bytes, as the A functions give them: callers convert to
// UTF-8 where the text leaves their module. Sizes count characters of that code page.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/folder_handles.h"
#include "platform/profile_file.h"

namespace vornel::platform {

enum class ProfileStatus {
    Ok,
    Missing,     // no such file
    Unreadable,  // a folder, no permission, an I/O error
    TooLarge,    // larger than ProfileReader::kMaxFileBytes
};

struct ProfileOpen {
    std::shared_ptr<const ProfileFile> file;  // null unless status is Ok
    ProfileStatus status = ProfileStatus::Missing;
    std::string why;  // the reason when not Ok
};

class ProfileReader {
public:
    // No INF comes near this; a larger file is refused rather than read into memory.
    static constexpr uint64_t kMaxFileBytes = 64ull << 20;
    // Size argument of the string forms meaning "the whole answer, never cut".
    static constexpr uint32_t kWholeAnswer = UINT32_MAX;

    // The cache is emptied when its texts would pass the limit. A scan asks about one INF
    // in a burst (the locator keeps what it learnt from each), so a megabyte serves nearly
    // every call: a scan of 945 INFs opens none of them more often than with four
    // megabytes. More only costs: every megabyte held is fresh memory the kernel clears.
    explicit ProfileReader(uint64_t cacheLimitBytes = 1ull << 20);

    // The Windows functions, with their buffer sizes, cuts and return values. A null section
    // lists the section names and a null key the section's key names, as Windows does.
    uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                                      char* buffer, uint32_t size,
                                      const std::filesystem::path& file);
    uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, uint32_t size,
                                       const std::filesystem::path& file);
    uint32_t GetPrivateProfileSectionNamesA(char* buffer, uint32_t size,
                                            const std::filesystem::path& file);

    // The same answers as strings: what a buffer of `size` characters holds up to the
    // returned count, so the string's length is the functions' return value. A list keeps
    // the NUL after each entry ("a=1\0b=\0"), without the final extra NUL.
    std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                          const std::filesystem::path& file, uint32_t size = kWholeAnswer);
    std::string GetSection(std::string_view section, const std::filesystem::path& file,
                           uint32_t size = kWholeAnswer);
    std::string GetSectionNames(const std::filesystem::path& file, uint32_t size = kWholeAnswer);

    // Whole answers as lists.
    std::vector<std::string> SectionLines(std::string_view section,
                                          const std::filesystem::path& file);
    std::vector<std::string> SectionNames(const std::filesystem::path& file);

    // GetString for a value of an INF file: a trailing "; comment" (outside double quotes)
    // is cut before the outer quotes are stripped and before the buffer cut, so
    // "DriverVer = 07/01/2001,5.1.2535.0 ; built by x" reads "07/01/2001,5.1.2535.0".
    std::string GetInfString(std::string_view section, std::string_view key,
                             std::string_view def, const std::filesystem::path& file,
                             uint32_t size = kWholeAnswer);
    // Every value of the key in the section, in file order, each read as GetInfString
    // reads one (INF sections may repeat a directive such as CopyFiles).
    std::vector<std::string> GetInfStrings(std::string_view section, std::string_view key,
                                           const std::filesystem::path& file);

    // The parsed file, read on first use. Never throws.
    ProfileOpen Open(const std::filesystem::path& file);

    // A new scan: each file's time and size are checked again at its next use, and a file
    // that changed is parsed again. Within a scan a file is read once while it stays cached.
    void StartScan() { ++generation_; }
    void Clear();
    // Files read and parsed since construction (for tests and benchmarks).
    uint64_t ParseCount() const { return parses_; }

private:
    struct Entry {
        ProfileOpen open;
        int64_t mtimeNs = 0;
        uint64_t size = 0;
        uint64_t generation = 0;
    };

    // The answers before any buffer cut.
    std::string WholeString(std::string_view section, std::string_view key,
                            std::string_view def, const std::filesystem::path& file,
                            bool infComment);
    std::string WholeSection(std::string_view section, const std::filesystem::path& file);
    std::string WholeKeyNames(std::string_view section, const std::filesystem::path& file);
    std::string WholeSectionNames(const std::filesystem::path& file);
    std::shared_ptr<const ProfileFile> Parsed(const std::filesystem::path& file);

    std::unordered_map<std::string, Entry> cache_;
    FolderHandles folders_{4};  // the folders INFs were read from last
    std::pair<const std::string, Entry>* last_ = nullptr;  // the entry asked for last
    uint64_t cacheLimit_;
    uint64_t cachedBytes_ = 0;
    uint64_t generation_ = 1;
    uint64_t parses_ = 0;
};

// The buffer rules over a whole answer, as strings.
// A single value: at most size-1 characters (size 0 gives nothing).
std::string ClipProfileValue(std::string_view whole, uint32_t size);
// A NUL-ended list (`whole` without the final extra NUL): the characters before the
// returned count; a list that does not fit with room to spare is cut to size-2.
std::string ClipProfileList(std::string whole, uint32_t size);
// The same cut, of a list kept elsewhere.
std::string_view ClipProfileListView(std::string_view whole, uint32_t size);

}  // namespace vornel::platform
