// SystemImage over a generated installation of 20,000 files in 422 folders: every file is
// resolved with its path in another case, and as many names that are not there are
// probed in the same folders. "listings_per_folder" 1 means each folder was read once.
// And one folder of 10,000 files listed whole, as a system's drivers folder is.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/folder_listing.h"
#include "platform/system_image.h"

namespace {

namespace fs = std::filesystem;

struct Tree {
    fs::path root;
    std::vector<std::string> files;    // Windows paths, cased unlike the disk
    std::vector<std::string> missing;  // names not there, in the same folders
    size_t folders = 0;

    Tree() {
        root = fs::temp_directory_path() / ("vornel-bench-image-" + std::to_string(::getpid()));
        fs::create_directories(root / "Windows");
        folders = 2;  // the root and the Windows folder
        char name[64];
        for (int d = 0; d < 20; ++d) {
            for (int s = 0; s < 20; ++s) {
                std::snprintf(name, sizeof name, "Dir%02d/Sub%02d", d, s);
                const fs::path dir = root / "Windows" / name;
                fs::create_directories(dir);
                folders += s == 0 ? 2 : 1;
                for (int f = 0; f < 50; ++f) {
                    std::snprintf(name, sizeof name, "File%03d.Sys", f);
                    std::ofstream(dir / name) << "x";
                    std::snprintf(name, sizeof name, "C:\\WINDOWS\\dir%02d\\SUB%02d\\file%03d.SYS",
                                  d, s, f);
                    files.push_back(name);
                    std::snprintf(name, sizeof name, "C:\\windows\\DIR%02d\\sub%02d\\gone%03d.sys",
                                  d, s, f);
                    missing.push_back(name);
                }
            }
        }
    }
    ~Tree() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

const Tree& TheTree() {
    static const Tree tree;
    return tree;
}

// A fresh view each time: the listing cost is part of the figure.
void BM_ResolveTreeCold(benchmark::State& state) {
    const Tree& tree = TheTree();
    uint64_t listings = 0;
    for (auto _ : state) {
        vornel::platform::SystemImage image(tree.root);
        for (const std::string& p : tree.files) benchmark::DoNotOptimize(image.Resolve(p));
        for (const std::string& p : tree.missing) benchmark::DoNotOptimize(image.Exists(p));
        listings = image.ListingCount();
    }
    state.SetItemsProcessed(
        static_cast<int64_t>(state.iterations() * (tree.files.size() + tree.missing.size())));
    state.counters["files"] = static_cast<double>(tree.files.size());
    state.counters["folders"] = static_cast<double>(tree.folders);
    state.counters["listings"] = static_cast<double>(listings);
    state.counters["listings_per_folder"] =
        static_cast<double>(listings) / static_cast<double>(tree.folders);
}
BENCHMARK(BM_ResolveTreeCold)->Unit(benchmark::kMillisecond);

// Every folder already listed: what a probe costs afterwards, with no system call.
void BM_ResolveTreeWarm(benchmark::State& state) {
    const Tree& tree = TheTree();
    vornel::platform::SystemImage image(tree.root);
    for (const std::string& p : tree.files) image.Exists(p);
    const uint64_t before = image.ListingCount();
    for (auto _ : state) {
        for (const std::string& p : tree.files) benchmark::DoNotOptimize(image.Exists(p));
        for (const std::string& p : tree.missing) benchmark::DoNotOptimize(image.Exists(p));
    }
    state.SetItemsProcessed(
        static_cast<int64_t>(state.iterations() * (tree.files.size() + tree.missing.size())));
    state.counters["extra_listings"] = static_cast<double>(image.ListingCount() - before);
}
BENCHMARK(BM_ResolveTreeWarm)->Unit(benchmark::kMillisecond);

// Names as a drivers folder has them: a few letters, digits, an extension, mixed case.
struct LargeFolder {
    fs::path dir;
    static constexpr int kFiles = 10000;
    LargeFolder() {
        dir = fs::temp_directory_path() / ("vornel-bench-listing-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const char* stems[] = {"usb", "Net", "ACPI", "hdaudio", "disk", "i8042prt", "serial", "VIDEO"};
        const char* exts[] = {".sys", ".DLL", ".inf", ".cat"};
        char name[64];
        for (int f = 0; f < kFiles; ++f) {
            std::snprintf(name, sizeof name, "%s%05d%s", stems[f % 8], (f * 7919) % 100000, exts[f % 4]);
            std::ofstream(dir / name) << "x";
        }
    }
    ~LargeFolder() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void BM_ListLargeFolder(benchmark::State& state) {
    static const LargeFolder folder;
    size_t entries = 0;
    for (auto _ : state) entries = vornel::platform::ReadFolderListing(folder.dir).entries.size();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
    state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ListLargeFolder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
