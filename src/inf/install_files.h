#pragma once
// The install-file locator: a driver's INF found in the installation, the files it installs
// listed by the INF reader (the parse methods in the order 1|2|3), the INF files it names
// followed, and every file looked for in the probe folders. Fills InfFile, InfSection,
// InfSectionExt, ParseMethod, InfInstallFiles and NumInstallFiles of a driver record and
// adds to its AdditionalInfFiles and InfInstallFilesMissing.
//
// Paths are Windows paths of the scanned installation ("C:\WINDOWS\Inf\oem3.inf"),
// resolved only through the SystemImage; nothing is ever written.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "inf/driver_file_search.h"
#include "inf/inf_reader.h"
#include "scan/driver_record.h"
#include "scan/scan_context.h"

namespace vornel {

// The install files of the driver whose key is record.RegDriverInstance. True when its INF
// was found; an INF found but not readable gives a list of the INF alone and one log
// record. Each call starts afresh; a scan keeps an inf::InstallFileLocator instead.
bool p_GetInfInstallFiles(ScanContext& ctx, DriverRecord& record);

// An INF by the name a driver key gives: the name itself when useAsGiven is false and it is
// a file of the installation, else the Windows folder's "Inf\" + name, else "Inf\Other\"
// + name. unc picks sWinDirUNC, otherwise sWinDirUM. A bare name is never found as given.
bool mP_GetINFPath(ScanContext& ctx, const std::string& name, std::string& path, bool unc,
                   bool useAsGiven);

// The names one parse method lists for record.InfFile, with the files of the INFs it names
// and its [SourceDisksFiles] added. Locating the named INFs extends the record's lists.
std::vector<std::string> p_ScrapeInf(ScanContext& ctx, int method, DriverRecord& record,
                                     const std::string& section);

// Adds each name of the INF's [SourceDisksFiles] to a "|"-joined list, unique without
// regard to case.
void p_ForceAddOfSourceDisksFiles(ScanContext& ctx, const std::string& infPath, std::string& list);

namespace inf {

// The locator of one scan. Within a scan the installation does not change, so what an INF
// lists for an install section, the files of the INFs it names and the probe folders'
// contents are worked out once and reused for every device; only the record's own lists
// are extended per call.
// What the locator reads from a record's driver key; absent when the value is missing or
// empty. Read on the thread that owns the registry when the files are looked at elsewhere.
struct DriverKeyValues {
    std::optional<std::string> infPath, infSection, infSectionExt;
};
DriverKeyValues ReadDriverKeyValues(ScanContext& ctx, const std::string& driverKey);
// The same from the driver key, already opened for reading (null when it is missing).
DriverKeyValues ReadDriverKeyValues(ScanContext& ctx, const platform::RegistryView::KeyRef& driverKey);

class InstallFileLocator {
public:
    // forScan: keep the probe folders indexed for the locator's life (see DriverFileSearch).
    explicit InstallFileLocator(ScanContext& ctx, bool forScan = true);

    // Does now what the first device would wait for: the probe folders' listings.
    void Prepare() { search_.Prepare(); }

    bool p_GetInfInstallFiles(DriverRecord& record);
    // The same with the driver key's values already read: touches no registry, only the
    // installation's files and the INF cache.
    bool p_GetInfInstallFiles(DriverRecord& record, const DriverKeyValues& values);
    std::vector<std::string> p_ScrapeInf(int method, DriverRecord& record,
                                         const std::string& section);
    void p_ForceAddOfSourceDisksFiles(const std::string& infPath, std::string& list);

    DriverFileSearch& Search() { return search_; }

private:
    // What one parse method gives for one INF and install section, before the search.
    struct Listed {
        bool ok = false;           // the INF could be read
        bool methodFound = false;  // the method itself named a file (not only the common tail)
        std::string scraped;       // the reader's list
        bool complete = false;     // the two lists below are filled
        std::vector<std::string> references;  // INF names to locate, in list order
        std::vector<std::string> names;       // the whole list, in order
        // What a record whose lists were empty got from it, and for which spelling of
        // the INF's path: devices sharing an INF find the same files.
        struct Outcome {
            std::string inf, files, missing, additional;
        };
        std::optional<Outcome> outcome;
    };

    // The reader's list; Complete adds the rest, only for the method a record keeps.
    Listed& List(int method, const std::filesystem::path& host, const std::string& section);
    // The referenced INFs located and their files appended, then [SourceDisksFiles].
    const Listed& Complete(Listed& listed, const std::string& infFile,
                           const std::filesystem::path& host, const std::string& section);
    void ForceAdd(const std::filesystem::path& host, std::string& list);
    // Replays the search of the referenced INFs for a record (extends its lists).
    void LocateReferences(const Listed& listed, DriverRecord& record);

    ScanContext& ctx_;
    InfReader reader_;
    DriverFileSearch search_;
    std::unordered_map<std::string, Listed> listed_;
    std::unordered_map<std::string, std::string> referencedFiles_;  // host path -> method 3 list
    std::unordered_set<std::string> missingLogged_;  // INF names already logged as missing
    std::unordered_map<std::string, std::string> infPaths_;  // InfPath -> the INF found, or ""
};

}  // namespace inf
}  // namespace vornel
