#pragma once
// The INF reader: the names of the files a driver's INF installs, found by one of three
// parse methods. Names only; finding the files in the installation is the locator's job.
//
// Paths are host paths of INF files. Section names and results are UTF-8; inside, the
// reader works on the INF's ANSI (Windows-1252) text, as the profile functions answer it,
// so lengths it tests count that code page's characters.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inf/inf_text.h"
#include "platform/profile_reader.h"

namespace vornel::inf {

// The computer's OS family as far as the reader cares.
struct InfOsFlags {
    bool bNT = true;  // false: the Windows 9x family
};

// What one parse method found, with the details `vornel inf` shows.
struct InfScrape {
    bool ok = false;            // false: the INF could not be read (one log record written)
    std::string files;          // "|"-joined file names, the common tail's names included
    bool methodFound = false;   // the method's own steps found a name (before the tail)
    std::string section;        // method 1: the install section read, decorated on NT
    std::string coInstallers;   // method 1 on NT: the second pass's section
};

class InfReader {
public:
    // Windows 9x profile functions are not used for INF files of this size or more.
    static constexpr uint64_t kManualParseFrom = 32000;

    explicit InfReader(platform::ProfileReader& profile, InfOsFlags os = {})
        : profile_(profile), os_(os) {}

    // The file list of one parse method (1, 2 or 3) with the common tail; "" when the INF
    // cannot be read, which is logged once. The INF is never opened for writing.
    std::string p_ScrapeInfDoTheRealWork(int method, const std::filesystem::path& inf,
                                         std::string_view installSection);
    InfScrape Scrape(int method, const std::filesystem::path& inf,
                     std::string_view installSection);

    // The section's lines, each followed by a NUL, into `text`; returns the number of
    // characters. A missing file (and on 9x, for a large file, an empty file or a missing
    // section) is logged and gives 0 and "".
    int64_t mP_GetPrivateProfileSection(const std::filesystem::path& file,
                                        std::string_view section, std::string& text);
    // The keys (UTF-8, before the '=', blanks trimmed) of the section's lines that have one,
    // in order: what mP_GetPrivateProfileSection lists, without building the list. False,
    // having called nothing, where that function would have to do more than list the
    // parsed section (a file it cannot read, the 9x reading of a large INF): use it there.
    bool ForEachSectionKey(const std::filesystem::path& file, std::string_view section,
                           const std::function<void(std::string_view)>& f);
    // True when the name occurs in the file's section names, case ignored: a substring
    // test, so "X.NT" is found when only "X.NTx86" exists.
    bool mP_IsInfSection(std::string_view name, const std::filesystem::path& inf);
    // The whole file as text ("" when it cannot be read); a UTF-16 INF is decoded.
    std::string mP_GetFileText(const std::filesystem::path& file);

    const InfOsFlags& Os() const { return os_; }

private:
    // The ANSI work behind the public forms.
    int64_t SectionText(const std::filesystem::path& file, std::string_view section,
                        std::string& text);
    bool IsInfSection(std::string_view name, const std::filesystem::path& inf);
    void InstallSectionFiles(const std::filesystem::path& inf, std::string_view section,
                             FileList& list, InfScrape& out);
    void SourceDisksFiles(const std::filesystem::path& inf, FileList& list);
    void WholeFileFiles(const std::filesystem::path& inf, std::string_view text,
                        FileList& list);
    void CommonTail(const std::filesystem::path& inf,
                    const std::shared_ptr<const platform::ProfileFile>& file, FileList& list);
    void AddSectionFiles(const std::filesystem::path& inf, std::string_view section, int method,
                         FileList& list);
    // Each line SectionText would give for the section (ANSI), straight from the parsed
    // file. False, having called nothing, where SectionText would do more than join them.
    template <class F>
    bool ForEachSectionLine(const std::filesystem::path& inf, std::string_view section, F&& f);
    uint32_t BufferSize(const std::filesystem::path& file);

    platform::ProfileReader& profile_;
    InfOsFlags os_;
    // The common tail of the last INF read: a scan tries up to three methods in a row on
    // the same file, and the tail is the same for each.
    std::shared_ptr<const platform::ProfileFile> tailFile_;
    std::vector<std::string> tailNames_;
};

}  // namespace vornel::inf
