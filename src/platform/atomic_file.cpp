#include "platform/atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {
std::string ErrnoText() { return std::strerror(errno); }

// The folder a target is in.
fs::path FolderOf(const fs::path& target) { return target.has_parent_path() ? target.parent_path() : fs::path("."); }

// A hidden name beside the target for its new file: ".<target>.<suffix>".
std::string SiblingName(const fs::path& target, std::string_view suffix) {
    std::string leaf = ".";
    leaf += target.filename().string();
    leaf += '.';
    leaf += suffix;
    return (FolderOf(target) / leaf).string();
}

// The way to a descriptor's file by name, which naming a file opened without one takes.
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Pieces to one write call: the system's limit.
#ifdef IOV_MAX
constexpr size_t kMaxBatch = IOV_MAX;
#else
constexpr size_t kMaxBatch = 16;  // the least POSIX allows
#endif

// The file a rename replaces is freed by the rename, and dropping the cached pages of a
// large one takes the calling thread a millisecond or more: a scan's previous document is
// megabytes. Held open by path only (nothing is opened for reading, so a device or a pipe
// there is not touched), it is freed when this is closed, off the caller's thread and
// while a processor is idle.
class Replaced {
public:
    explicit Replaced(const fs::path& target) : fd_(::open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)) {}
    ~Replaced() {
        if (fd_ < 0) return;
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0 && st.st_size >= kLarge) {
            try {
                std::thread([fd = fd_] {
                    // Only when a processor has nothing else to do: the caller goes on
                    // with its own work meanwhile.
                    const sched_param idle{};
                    pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
                    ::close(fd);
                }).detach();
                return;
            } catch (const std::system_error&) {
                // no thread to be had: freed here
            }
        }
        ::close(fd_);
    }
    Replaced(const Replaced&) = delete;
    Replaced& operator=(const Replaced&) = delete;

private:
    static constexpr off_t kLarge = 256 * 1024;
    int fd_;
};
}  // namespace

// ---- ReplacementFile

ReplacementFile::~ReplacementFile() { Abandon(); }

bool ReplacementFile::Open(const fs::path& target, unsigned mode, std::string* why) {
    Abandon();
    const fs::path dir = FolderOf(target);
    target_ = target;
    size_ = handedToDevice_ = 0;
    error_ = 0;
    name_.clear();
#ifdef O_TMPFILE
    // Without a name until it is committed, the file goes with the process however that
    // ends: a scan killed halfway leaves nothing beside its document.
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    // It is named at Commit through /proc, which a chroot may lack.
    struct stat st {};
    if (fd_ >= 0 && ::stat(ProcPath(fd_).c_str(), &st) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
#endif
    if (fd_ < 0) {
        // No unnamed file to be had (a file system without them, no /proc): a named one,
        // removed if dropped.
        std::string tmpl = SiblingName(target, "XXXXXX");
        fd_ = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd_ < 0) {
            if (why) *why = "cannot create a temporary file in " + dir.string() + ": " + ErrnoText();
            return false;
        }
        name_ = tmpl;
    }
    if (::fchmod(fd_, mode) != 0) {
        if (why) *why = "cannot set permissions on a temporary file in " + dir.string() + ": " + ErrnoText();
        Abandon();
        return false;
    }
    return true;
}

void ReplacementFile::Abandon() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    if (!name_.empty()) ::unlink(name_.c_str());
    name_.clear();
}

void ReplacementFile::Write(iovec* pieces, size_t count) {
    for (size_t first = 0; first < count && error_ == 0;) {
        const ssize_t n = ::pwritev(fd_, pieces + first, static_cast<int>(std::min(count - first, kMaxBatch)),
                                    static_cast<off_t>(size_));
        if (n < 0) {
            if (errno != EINTR) error_ = errno;
            continue;
        }
        if (n == 0) error_ = EIO;  // no progress: the device takes nothing more
        size_ += static_cast<uint64_t>(n);
        auto left = static_cast<size_t>(n);
        for (; first < count && left >= pieces[first].iov_len; ++first) left -= pieces[first].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // A hint: Commit's flush still makes it all durable.
    constexpr uint64_t kWritebackStep = 1 << 20;
    if (error_ == 0 && size_ - handedToDevice_ >= kWritebackStep) {
        (void)::sync_file_range(fd_, static_cast<off_t>(handedToDevice_), static_cast<off_t>(size_ - handedToDevice_),
                                SYNC_FILE_RANGE_WRITE);
        handedToDevice_ = size_;
    }
#endif
}

void ReplacementFile::Append(const std::vector<std::string_view>& pieces) {
    if (fd_ < 0 || error_ != 0) return;
    batch_.clear();
    for (const std::string_view piece : pieces)
        if (!piece.empty()) batch_.push_back({const_cast<char*>(piece.data()), piece.size()});
    Write(batch_.data(), batch_.size());
}

void ReplacementFile::Append(std::string_view bytes) {
    if (fd_ < 0 || error_ != 0 || bytes.empty()) return;
    iovec one{const_cast<char*>(bytes.data()), bytes.size()};
    Write(&one, 1);
}

void ReplacementFile::CutBack(uint64_t size) {
    if (fd_ < 0 || error_ != 0 || size >= size_) return;
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        error_ = errno;
        return;
    }
    size_ = size;
    handedToDevice_ = std::min(handedToDevice_, size);
}

bool ReplacementFile::Name(std::string* why) {
    const std::string self = ProcPath(fd_);
    // Names that another process or thread is unlikely to pick at the same moment; one
    // taken already is passed over.
    static std::atomic<uint64_t> counter{0};
    std::mt19937_64 pick(static_cast<uint64_t>(::getpid()) ^
                         static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         (counter.fetch_add(1) << 48));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(pick()));
        const std::string name = SiblingName(target_, suffix);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name_ = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    const std::string reason = ErrnoText();
    if (why) *why = "cannot name the new file in " + FolderOf(target_).string() + ": " + reason;
    return false;
}

bool ReplacementFile::Commit(std::string* why) {
    if (fd_ < 0) {
        if (why) *why = "no file to put in the place of " + target_.string();
        return false;
    }
    auto fail = [&](const std::string& reason) {
        Abandon();
        if (why) *why = reason;
        return false;
    };
    if (error_ != 0) return fail("cannot write " + target_.string() + ": " + std::strerror(error_));
    if (::fsync(fd_) != 0) return fail("cannot flush " + target_.string() + ": " + ErrnoText());
    if (name_.empty() && !Name(why)) {
        Abandon();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const std::string reason = "cannot close " + target_.string() + ": " + ErrnoText();
        ::unlink(name_.c_str());
        name_.clear();
        if (why) *why = reason;
        return false;
    }
    const Replaced replaced(target_);
    const bool renamed = ::rename(name_.c_str(), target_.c_str()) == 0;
    const std::string reason = renamed ? std::string() : "cannot replace " + target_.string() + ": " + ErrnoText();
    if (!renamed) ::unlink(name_.c_str());
    name_.clear();
    if (!renamed && why) *why = reason;
    return renamed;
}

// ---- Whole files

bool WriteFileAtomicallyFrom(const fs::path& target, const std::function<void(const ByteSink&)>& produce,
                             unsigned mode, std::string* why) {
    return WriteFileAtomicallyFrom(target, [&](const ByteSink& sink, const LastingSink&) { produce(sink); }, mode, why);
}

bool WriteFileAtomicallyFrom(const fs::path& target,
                             const std::function<void(const ByteSink&, const LastingSink&)>& produce, unsigned mode,
                             std::string* why) {
    ReplacementFile file;
    if (!file.Open(target, mode, why)) return false;
    // Small pieces gather in a buffer; lasting ones go out from where they are, after it.
    constexpr size_t kBuffer = 64 * 1024;
    std::string buffer;
    buffer.reserve(kBuffer);
    const LastingSink lasting = [&](const std::vector<std::string_view>& pieces) {
        file.Append(buffer);
        buffer.clear();
        file.Append(pieces);
    };
    const ByteSink sink = [&](std::string_view piece) {
        if (file.Failed()) return;
        if (buffer.size() + piece.size() > kBuffer) {
            file.Append(buffer);
            buffer.clear();
        }
        if (piece.size() >= kBuffer)
            file.Append(piece);
        else
            buffer.append(piece);
    };
    // A producer that fails takes its temporary file with it rather than leaving it behind.
    try {
        produce(sink, lasting);
    } catch (const std::exception& e) {
        if (why) *why = "cannot produce " + target.string() + ": " + e.what();
        return false;
    } catch (...) {
        if (why) *why = "cannot produce " + target.string();
        return false;
    }
    file.Append(buffer);
    return file.Commit(why);
}

bool WriteFileAtomically(const fs::path& target, std::string_view bytes, unsigned mode, std::string* why) {
    return WriteFileAtomicallyFrom(target, [&](const ByteSink& sink) { sink(bytes); }, mode, why);
}

bool ReadWholeFile(const fs::path& file, std::string& out, std::string* why) {
    // Non-blocking, so that a FIFO in the place of the file is refused at once below rather
    // than waited on for a writer; a regular file reads as ever.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (why) *why = "cannot open " + file.string() + ": " + ErrnoText();
        return false;
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        const std::string reason =
            statted ? file.string() + " is not a regular file" : "cannot read " + file.string() + ": " + ErrnoText();
        ::close(fd);
        if (why) *why = reason;
        return false;
    }
    // Read to the end, which a file that grows meanwhile moves on.
    out.resize(static_cast<size_t>(st.st_size) + 1);
    size_t done = 0;
    for (;;) {
        if (done == out.size()) out.resize(out.size() * 2);
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string reason = "cannot read " + file.string() + ": " + ErrnoText();
            ::close(fd);
            out.clear();
            if (why) *why = reason;
            return false;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(done);
    return true;
}

}  // namespace vornel::platform
