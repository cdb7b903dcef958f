// `vornel inf FILE`: what the INF reader finds in one INF, so a user can see why a file is
// or is not counted; `--sections` shows the file as the profile reader sees it.
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "inf/inf_reader.h"
#include "platform/profile_reader.h"
#include "support/text.h"

namespace vornel::cli {

namespace {

struct InfOptions {
    std::string file;
    std::string section;
    bool sections = false;
    bool win9x = false;
};

void PrintList(const std::string& list) {
    if (list.empty()) return;
    for (const std::string& name : text::Split(list, "|")) std::cout << "  " << name << "\n";
}

size_t CountEntries(const std::string& list) {
    return list.empty() ? 0 : text::Split(list, "|").size();
}

// One line on stderr and false when the file is no INF text the reader can use.
bool Usable(platform::ProfileReader& profile, const std::filesystem::path& file) {
    const platform::ProfileOpen open = profile.Open(file);
    std::string why;
    if (!open.file)
        why = open.why;
    else if (open.file->Text().empty())
        why = file.string() + " is empty";
    else if (open.file->HasNul())
        why = file.string() + " is not a text file";
    if (why.empty()) return true;
    std::cerr << "vornel inf: " << why << "\n";
    return false;
}

void PrintSections(platform::ProfileReader& profile, const std::filesystem::path& file) {
    for (const std::string& name : profile.SectionNames(file)) {
        std::cout << "[" << text::Cp1252ToUtf8(name) << "]\n";
        for (const std::string& line : profile.SectionLines(name, file))
            std::cout << text::Cp1252ToUtf8(line) << "\n";
    }
}

int Explain(platform::ProfileReader& profile, const InfOptions& o) {
    const std::filesystem::path file(o.file);
    inf::InfReader reader(profile, inf::InfOsFlags{!o.win9x});
    const auto names = profile.SectionNames(file);
    std::cout << "INF file: " << file.string() << "\n";
    std::cout << "Operating system family: " << (o.win9x ? "Windows 9x" : "NT") << "\n";
    std::cout << "Sections: " << names.size() << "\n";
    for (const std::string& name : names) std::cout << "  [" << text::Cp1252ToUtf8(name) << "]\n";

    static const char* const kMethods[] = {"", "CopyFiles of the install section",
                                           "[SourceDisksFiles]",
                                           "every CopyFiles directive in the file"};
    int chosen = inf::kParseNone;
    std::string chosenFiles;
    for (int method = inf::kParseInstallSection; method <= inf::kParseWholeFile; ++method) {
        std::cout << "Method " << method << ", " << kMethods[method] << ": ";
        if (method == inf::kParseInstallSection && o.section.empty()) {
            std::cout << "not tried (no install section given: --section NAME)\n";
            continue;
        }
        const inf::InfScrape s = reader.Scrape(method, file, o.section);
        if (!s.ok) {
            std::cout << "the file could not be read (see the log)\n";
            return kExitFailed;
        }
        std::cout << CountEntries(s.files) << " names"
                  << (s.methodFound ? "" : " (none from the method itself)") << "\n";
        if (method == inf::kParseInstallSection) {
            std::cout << "  install section: " << o.section << ", read as [" << s.section
                      << "]";
            if (!s.coInstallers.empty()) std::cout << ", then [" << s.coInstallers << "]";
            std::cout << "\n";
        }
        PrintList(s.files);
        // As the scan's locator decides: the first method that names files itself; the
        // common tail's names (catalog, layout, includes) alone decide nothing.
        if (chosen == inf::kParseNone && s.methodFound) {
            chosen = method;
            chosenFiles = s.files;
        } else if (chosenFiles.empty() && !s.files.empty()) {
            chosenFiles = s.files;
        }
    }
    std::cout << "Parse method: " << chosen
              << " (the first of 1|2|3 that names files itself; 0 when none does)\n";
    std::cout << "Files: " << CountEntries(chosenFiles) << "\n";
    PrintList(chosenFiles);
    return kExitOk;
}

}  // namespace

void RegisterInfCommands(CLI::App& app) {
    auto opts = std::make_shared<InfOptions>();
    CLI::App* sub = app.add_subcommand(
        "inf", "show what the INF reader finds in one INF file (sections, install section, "
               "file list and the parse method)");
    sub->add_option("FILE", opts->file, "the INF file")->required();
    auto* section =
        sub->add_option("--section", opts->section, "the install section, as the driver "
                                                    "key's InfSection names it");
    auto* sections = sub->add_flag(
        "--sections", opts->sections,
        "print each section and its lines as the profile functions read them");
    sections->excludes(section);
    sub->add_flag("--win9x", opts->win9x, "read as on Windows 9x instead of the NT family");
    sub->callback([opts] {
        platform::ProfileReader profile;
        const std::filesystem::path file(opts->file);
        if (!Usable(profile, file)) {
            SetExitStatus(kExitUsage);
            return;
        }
        if (opts->sections) {
            PrintSections(profile, file);
            SetExitStatus(kExitOk);
            return;
        }
        SetExitStatus(Explain(profile, *opts));
    });
}

}  // namespace vornel::cli
