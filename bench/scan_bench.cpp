// bench-scan: the device scan of a large synthetic installation against its floor, in one run.
//
//   bench-scan [--data DIR] [--devices N] [--infs N] [--files N] [--seed N] [--runs N]
//
// For the installation of N devices and for one of 2N devices it prints the scan time (the
// start-up every command shares, hives mounted and computer information read, then the
// whole scan with its document saved), the floor (every file of the installation that scan
// opens, as inotify sees it open them, read once each; plus the SYSTEM hive opened and
// walked key by key and value by value), their ratio, the scan's peak memory, and the
// ratio of the two scan times.
//
// Each scan runs in a process of its own (this program again, exec'd), so its peak memory
// is its own and not the generator's. Caches are warm for both sides: one untimed run or
// pass first, then the best of --runs. Installations are generated into DIR and kept there
// for the next run (a temporary folder, removed afterwards, without --data).
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/installation.h"
#include "platform/heap_tuning.h"
#include "platform/hive_store.h"
#include "platform/system_image.h"
#include "platform/user_folders.h"
#include "scan/device_scan.h"
#include "support/text.h"
#include "synthetic_installation.h"

namespace {

namespace fs = std::filesystem;
using namespace vornel;
using Clock = std::chrono::steady_clock;

// Goals of the large-system benchmark.
constexpr double kFloorGoal = 2.0;
constexpr double kPeakGoalMb = 200.0;
constexpr double kDoublingGoal = 2.2;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double CpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One "Name: value" figure of a /proc/self file, in its own unit.
uint64_t ProcFigure(const char* file, const char* name) {
    std::ifstream in(file);
    std::string line;
    const size_t n = std::strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':')
            return std::strtoull(line.c_str() + n + 1, nullptr, 10);
    return 0;
}

// The files a process opens inside an installation, seen through inotify on every folder
// of it: the scan's own code is not touched, and a file counts once however often it is
// opened.
class OpenWatch {
public:
    ~OpenWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Start(const fs::path& root, std::string& why) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            why = "inotify: " + std::string(std::strerror(errno));
            return false;
        }
        std::error_code ec;
        if (!Watch(root, why)) return false;
        for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !Watch(it->path(), why)) return false;
        return true;
    }
    int Fd() const { return fd_; }
    // Takes the events queued so far.
    void Drain() {
        alignas(inotify_event) char buf[64 * 1024];
        for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->mask & IN_Q_OVERFLOW) overflow_ = true;
                if ((e->mask & IN_OPEN) && !(e->mask & IN_ISDIR) && e->len > 0) {
                    auto folder = folders_.find(e->wd);
                    if (folder != folders_.end()) opened_.insert(folder->second / e->name);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }
    const std::set<fs::path>& Opened() const { return opened_; }
    bool Overflowed() const { return overflow_; }

private:
    bool Watch(const fs::path& folder, std::string& why) {
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN);
        if (wd < 0) {
            why = "inotify on " + folder.string() + ": " + std::strerror(errno);
            return false;
        }
        folders_[wd] = folder;
        return true;
    }
    int fd_ = -1;
    std::map<int, fs::path> folders_;
    std::set<fs::path> opened_;
    bool overflow_ = false;
};

// ---- The scan, in a process of its own ----------------------------------------------------

// Says nothing; the benchmark times the scan, not a display.
class QuietObserver : public ScanObserver {};

// Runs as the child: opens the installation as `vornel scan` does, scans, saves the
// document, and prints its figures as "name value" lines.
int ChildScan(const std::string& root, const fs::path& document, const fs::path& work) {
    platform::TuneHeapForScan();
    const uint64_t rchar0 = ProcFigure("/proc/self/io", "rchar");
    const auto t0 = Clock::now();
    const double cpu0 = CpuSeconds();
    app::Installation inst;
    app::InstallationSources sources;
    sources.root = root;
    sources.settingsFile = work / "settings.reg";
    std::string why;
    std::vector<std::string> warnings;
    if (!inst.Open(sources, &why, &warnings)) {
        std::printf("error %s\n", why.c_str());
        return 1;
    }
    const double open = Since(t0);
    ScanContext ctx{inst.Reg(), inst.Info(), inst.Image(), inst.Profiles()};
    QuietObserver observer;
    ReportList rows;
    DeviceScan scan(ctx, observer, rows);
    const ScanResult result =
        scan.mP_InitializeDrivers({document, platform::DataFolder() / "common.dat", inst.TempFolder()});
    const double total = Since(t0);
    const double cpu = CpuSeconds() - cpu0;
    if (!result.completed) {
        std::printf("error the scan did not complete: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("open %.6f\ntotal %.6f\ncpu %.6f\nrecords %zu\ndevices %d\nunidentified %d\n", open, total, cpu,
                result.records, result.devicesFound, result.unidentified);
    std::printf("peak_kb %llu\nrchar %llu\n", static_cast<unsigned long long>(ProcFigure("/proc/self/status", "VmHWM")),
                static_cast<unsigned long long>(ProcFigure("/proc/self/io", "rchar") - rchar0));
    return 0;
}

struct ScanRun {
    double open = 0, total = 0, cpu = 0;
    uint64_t records = 0, devices = 0, unidentified = 0, peakKb = 0, rchar = 0;
};

// Runs ChildScan in a new process of this program; false with the reason. With a watch,
// the files the scan opens are collected.
bool RunScanProcess(const fs::path& root, const fs::path& document, const fs::path& work, OpenWatch* watch,
                    ScanRun& run, std::string& why) {
    int out[2];
    if (::pipe(out) != 0) {
        why = "pipe: " + std::string(std::strerror(errno));
        return false;
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string runtime = (work / "run").string();
    const std::string rootText = root.string(), documentText = document.string(), workText = work.string();
    const pid_t pid = ::fork();
    if (pid < 0) {
        why = "fork: " + std::string(std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        // The scan's private temporary folder and log go to the work folder, not the user's.
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const char* argv[] = {self.c_str(), "--child", rootText.c_str(), documentText.c_str(), workText.c_str(), nullptr};
        ::execv(self.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    // The child's figures, and meanwhile the files it opens, so that the event queue
    // never fills.
    std::string text;
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {watch ? watch->Fd() : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watch && (fds[1].revents & POLLIN)) watch->Drain();
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (watch) watch->Drain();
    std::map<std::string, std::string> figures;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) figures[line.substr(0, blank)] = line.substr(blank + 1);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = figures.count("error") ? figures["error"] : "the scan process failed (status " + std::to_string(status) + ")";
        return false;
    }
    auto number = [&](const char* name) { return std::strtod(figures[name].c_str(), nullptr); };
    run.open = number("open");
    run.total = number("total");
    run.cpu = number("cpu");
    run.records = static_cast<uint64_t>(number("records"));
    run.devices = static_cast<uint64_t>(number("devices"));
    run.unidentified = static_cast<uint64_t>(number("unidentified"));
    run.peakKb = static_cast<uint64_t>(number("peak_kb"));
    run.rchar = static_cast<uint64_t>(number("rchar"));
    return true;
}

// ---- The floor ------------------------------------------------------------------------------

struct FloorFiles {
    std::vector<fs::path> infs, others;  // others: driver files, and the SOFTWARE hive
    uint64_t infBytes = 0, otherBytes = 0;
};

// What the scan opened, the SYSTEM hive aside: the floor walks that one instead.
FloorFiles SplitOpened(const std::set<fs::path>& opened, const fs::path& systemHive) {
    FloorFiles f;
    std::error_code ec;
    for (const fs::path& p : opened) {
        if (p == systemHive) continue;
        const bool inf = text::IEquals(p.extension().string(), ".inf");
        (inf ? f.infs : f.others).push_back(p);
        (inf ? f.infBytes : f.otherBytes) += fs::file_size(p, ec);
    }
    return f;
}

// Every file opened and read to its end once.
void ReadAll(const std::vector<fs::path>& files, std::string& buf) {
    for (const fs::path& p : files) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
    }
}

struct WalkCount {
    uint64_t keys = 0, values = 0;
};

void WalkKey(const platform::RegistryStore& s, platform::KeyId k, WalkCount& c,
             std::vector<platform::RegValue>& values) {
    s.Values(k, values);
    c.values += values.size();
    std::vector<std::string> names;
    s.SubKeyNames(k, names);
    for (const auto& name : names) {
        ++c.keys;
        WalkKey(s, s.Child(k, name), c, values);
    }
}

// The SYSTEM hive opened and walked, every key and every value read.
bool WalkHive(const fs::path& file, WalkCount& c, std::string& why) {
    auto hive = platform::HiveStore::Open(file, &why);
    if (!hive) return false;
    c = WalkCount{};
    std::vector<platform::RegValue> values;
    WalkKey(*hive, hive->Root(), c, values);
    return true;
}

struct Floor {
    double infs = 0, others = 0, hive = 0;
    WalkCount walked;
    double Total() const { return infs + others + hive; }
};

// One timed pass over the floor's reads and walk; the best pass is kept in `best`.
bool MeasureFloor(const FloorFiles& files, const fs::path& hive, std::string& buf, Floor& best, bool first,
                  std::string& why) {
    Floor f;
    auto t = Clock::now();
    ReadAll(files.infs, buf);
    f.infs = Since(t);
    t = Clock::now();
    ReadAll(files.others, buf);
    f.others = Since(t);
    t = Clock::now();
    if (!WalkHive(hive, f.walked, why)) return false;
    f.hive = Since(t);
    if (first || f.Total() < best.Total()) best = f;
    return true;
}

// ---- One installation -------------------------------------------------------------------------

struct Options {
    fs::path data;
    bench::SyntheticOptions synth;
    int runs = 3;
};

// The installation of these options under `data`, generated unless a complete one is there.
bool Prepare(const fs::path& data, bench::SyntheticOptions o, fs::path& root, std::string& why) {
    const std::string name = "devices" + std::to_string(o.devices) + "-infs" + std::to_string(o.infs) + "-files" +
                             std::to_string(o.files) + "-seed" + std::to_string(o.seed);
    root = data / name;
    const fs::path done = data / (name + ".done");  // written last, so a broken generation is redone
    std::error_code ec;
    if (fs::exists(done, ec) && fs::is_directory(root, ec)) {
        std::printf("  installation  %s (kept from an earlier run)\n", root.c_str());
        return true;
    }
    fs::remove(done, ec);
    fs::remove_all(root, ec);
    o.root = root;
    bench::SyntheticReport report;
    if (!bench::GenerateInstallation(o, &report, &why)) return false;
    std::ofstream(done) << bench::DescribeReport(o, report);
    std::printf("  installation  %s (generated in %.1f s)\n", root.c_str(), report.seconds);
    return true;
}

// One installation measured: its scan and its floor, each the best of the timed runs.
struct Subject {
    size_t devices = 0;
    fs::path root, hive, document;
    FloorFiles files;
    ScanRun scan;  // the best run's times, the highest peak
    Floor floor;
    std::vector<double> totals;
    int rounds = 0;
};

double Mb(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// Generates or finds the installation, then one untimed scan, which also notes the files
// the scan opens, and one untimed pass over them, which warms the caches.
bool Setup(const Options& options, size_t devices, const fs::path& work, Subject& sub, std::string& why) {
    bench::SyntheticOptions o = options.synth;
    o.devices = sub.devices = devices;
    std::printf("%zu device instances, %zu INF files, %zu driver files, seed %llu\n", o.devices, o.infs, o.files,
                static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    if (!Prepare(options.data, o, sub.root, why)) return false;
    sub.document = work / ("scan" + std::to_string(devices) + ".vlx");
    const auto hive = platform::SystemImage(sub.root).HiveFile("SYSTEM");
    if (!hive) {
        why = "no SYSTEM hive under " + sub.root.string();
        return false;
    }
    sub.hive = *hive;
    OpenWatch watch;
    if (!watch.Start(sub.root, why)) return false;
    ScanRun run;
    if (!RunScanProcess(sub.root, sub.document, work, &watch, run, why)) return false;
    sub.scan.peakKb = run.peakKb;
    if (watch.Overflowed()) {
        why = "the inotify queue overflowed; raise fs.inotify.max_queued_events";
        return false;
    }
    sub.files = SplitOpened(watch.Opened(), sub.hive);
    std::string buf(1 << 20, '\0');
    Floor warm;
    return MeasureFloor(sub.files, sub.hive, buf, warm, true, why);
}

// One timed scan and one timed floor pass, one after the other, so that both see the
// machine in the same state.
bool Round(const fs::path& work, Subject& sub, std::string& why) {
    ScanRun run;
    if (!RunScanProcess(sub.root, sub.document, work, nullptr, run, why)) return false;
    const bool first = sub.rounds++ == 0;
    const uint64_t peak = std::max(sub.scan.peakKb, run.peakKb);
    sub.totals.push_back(run.total);
    if (first || run.total < sub.scan.total) sub.scan = run;
    sub.scan.peakKb = peak;
    std::string buf(1 << 20, '\0');
    // Twice: the first pass after a scan process finds the kernel busy tidying up after it.
    return MeasureFloor(sub.files, sub.hive, buf, sub.floor, first, why) &&
           MeasureFloor(sub.files, sub.hive, buf, sub.floor, false, why);
}

void Report(const Subject& sub) {
    const ScanRun& s = sub.scan;
    const Floor& f = sub.floor;
    std::string all;
    for (double t : sub.totals) {
        char b[32];
        std::snprintf(b, sizeof b, "%s%.3f", all.empty() ? "" : ", ", t);
        all += b;
    }
    std::printf("%zu device instances\n", sub.devices);
    std::printf("  scan          %.3f s  (start-up %.3f s: hives and computer information; scan and save %.3f s;"
                " CPU %.3f s; runs %s)\n",
                s.total, s.open, s.total - s.open, s.cpu, all.c_str());
    std::printf("                %llu records (%llu devices, %llu unidentified), %.1f MB read\n",
                static_cast<unsigned long long>(s.records), static_cast<unsigned long long>(s.devices),
                static_cast<unsigned long long>(s.unidentified), Mb(s.rchar));
    std::printf("  floor         %.3f s  (every file the scan opened, read once: %zu INFs, %.1f MB: %.3f s;"
                " %zu other files, %.1f MB: %.3f s; SYSTEM hive open and walk, %llu keys, %llu values: %.3f s)\n",
                f.Total(), sub.files.infs.size(), Mb(sub.files.infBytes), f.infs, sub.files.others.size(),
                Mb(sub.files.otherBytes), f.others, static_cast<unsigned long long>(f.walked.keys),
                static_cast<unsigned long long>(f.walked.values), f.hive);
    const double ratio = s.total / f.Total();
    std::printf("  scan / floor  %.2fx  (goal: within %.1fx) %s\n", ratio, kFloorGoal,
                ratio <= kFloorGoal ? "met" : "MISSED");
    const double peak = static_cast<double>(s.peakKb) / 1024;
    std::printf("  peak memory   %.1f MB  (VmHWM of the scanning process, highest of all runs; goal: below %.0f MB) %s\n",
                peak, kPeakGoalMb, peak < kPeakGoalMb ? "met" : "MISSED");
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench-scan [--data DIR] [--devices N] [--infs N] [--files N] [--seed N] [--runs N]\n"
                 "  defaults: 2000 device instances (and twice as many), 3000 INF files, 20000 driver files,"
                 " seed 1, 3 timed runs\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") return ChildScan(argv[2], argv[3], argv[4]);

    Options o;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage();
        if (option == "--data") {
            o.data = argv[i + 1];
        } else if (option == "--runs") {
            char* end = nullptr;
            const long runs = std::strtol(argv[i + 1], &end, 10);
            if (!end || *end || runs < 1) return Usage();
            o.runs = static_cast<int>(std::min(runs, 100L));
        } else if (!bench::SetSyntheticOption(option, argv[i + 1], o.synth)) {
            return Usage();
        }
    }
    if (o.synth.devices == 0 || o.synth.infs == 0) return Usage();

    std::string tmpl = (fs::temp_directory_path() / "vornel-bench-scan-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("bench-scan: mkdtemp");
        return 1;
    }
    const fs::path work = tmpl;
    const bool temporaryData = o.data.empty();
    if (temporaryData) o.data = work / "data";
    std::error_code ec;
    fs::create_directories(o.data, ec);
    fs::create_directories(work / "run", ec);
    fs::permissions(work / "run", fs::perms::owner_all, ec);

    std::printf("bench-scan: the device scan against its floor; warm caches (one untimed run first, then the best"
                " of %d, the two sizes and each scan and its floor taking turns), each scan in a process of its own\n",
                o.runs);
    Subject base, doubled;
    std::string why;
    bool ok = Setup(o, o.synth.devices, work, base, why) && Setup(o, o.synth.devices * 2, work, doubled, why);
    // The two sizes take turns, so that a machine busier at one moment weighs on both.
    for (int r = 0; ok && r < o.runs; ++r) ok = Round(work, base, why) && Round(work, doubled, why);
    if (ok) {
        Report(base);
        Report(doubled);
        const double r = doubled.scan.total / base.scan.total;
        std::printf("twice the devices: %.3f s against %.3f s = %.2fx  (goal: at most %.1fx) %s\n",
                    doubled.scan.total, base.scan.total, r, kDoublingGoal, r <= kDoublingGoal ? "met" : "MISSED");
    } else {
        std::fprintf(stderr, "bench-scan: %s\n", why.c_str());
    }
    fs::remove_all(temporaryData ? work : work / "run", ec);
    if (!temporaryData) fs::remove_all(work, ec);
    return ok ? 0 : 1;
}
