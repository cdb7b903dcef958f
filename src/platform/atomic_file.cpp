#include "platform/atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {
std::string ErrnoText() { return std::strerror(errno); }

// Pieces to one writev call: the system's limit.
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

bool WriteFileAtomicallyFrom(const fs::path& target, const std::function<void(const ByteSink&)>& produce,
                             unsigned mode, std::string* why) {
    return WriteFileAtomicallyFrom(target, [&](const ByteSink& sink, const LastingSink&) { produce(sink); }, mode, why);
}

bool WriteFileAtomicallyFrom(const fs::path& target,
                             const std::function<void(const ByteSink&, const LastingSink&)>& produce, unsigned mode,
                             std::string* why) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string leaf = ".";
    leaf += target.filename().string();
    leaf += ".XXXXXX";
    const std::string tmpl = (dir / leaf).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        if (why) *why = "cannot create a temporary file in " + dir.string() + ": " + ErrnoText();
        return false;
    }
    auto fail = [&](const std::string& what, int err) {
        const std::string reason = err ? what + ": " + std::strerror(err) : what;
        ::close(fd);
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    };
    if (::fchmod(fd, mode) != 0) return fail("cannot set permissions on " + std::string(name.data()), errno);

    // Small pieces gather in a buffer; a failed write stops every later one.
    constexpr size_t kBuffer = 64 * 1024;
    std::string buffer;
    buffer.reserve(kBuffer);
    int writeError = 0;
    // The device writes what is already out while the rest is produced, so that the flush
    // at the end waits only for the last of it. A hint: the flush still makes it durable.
    constexpr off_t kWritebackStep = 1 << 20;
    off_t written = 0, handedToDevice = 0;
    auto handOver = [&] {
#ifdef SYNC_FILE_RANGE_WRITE
        if (writeError == 0 && written - handedToDevice >= kWritebackStep) {
            (void)::sync_file_range(fd, handedToDevice, written - handedToDevice, SYNC_FILE_RANGE_WRITE);
            handedToDevice = written;
        }
#endif
    };
    // Every byte of the pieces, resuming after a short write inside a piece.
    auto writeAll = [&](iovec* pieces, size_t count) {
        for (size_t first = 0; first < count && writeError == 0;) {
            const ssize_t n = ::writev(fd, pieces + first, static_cast<int>(count - first));
            if (n < 0) {
                if (errno != EINTR) writeError = errno;
                continue;
            }
            if (n == 0) writeError = EIO;  // no progress: the device takes nothing more
            written += n;
            auto left = static_cast<size_t>(n);
            for (; first < count && left >= pieces[first].iov_len; ++first) left -= pieces[first].iov_len;
            if (left > 0) {
                pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
                pieces[first].iov_len -= left;
            }
        }
        handOver();
    };
    auto writeOut = [&](std::string_view bytes) {
        if (bytes.empty()) return;
        iovec one{const_cast<char*>(bytes.data()), bytes.size()};
        writeAll(&one, 1);
    };
    // Lasting pieces go out from where they are, many to a call, after what is buffered.
    std::vector<iovec> batch;
    auto writeLasting = [&](const std::vector<std::string_view>& pieces) {
        if (writeError != 0) return;
        writeOut(buffer);
        buffer.clear();
        for (size_t next = 0; next < pieces.size() && writeError == 0;) {
            batch.clear();
            for (; next < pieces.size() && batch.size() < kMaxBatch; ++next)
                if (!pieces[next].empty())
                    batch.push_back({const_cast<char*>(pieces[next].data()), pieces[next].size()});
            writeAll(batch.data(), batch.size());
        }
    };
    const LastingSink lasting = writeLasting;
    const ByteSink sink = [&](std::string_view piece) {
        if (writeError != 0) return;
        if (buffer.size() + piece.size() > kBuffer) {
            writeOut(buffer);
            buffer.clear();
        }
        if (piece.size() >= kBuffer)
            writeOut(piece);
        else
            buffer.append(piece);
    };
    // A producer that fails takes its temporary file with it rather than leaving it behind.
    try {
        produce(sink, lasting);
    } catch (const std::exception& e) {
        return fail("cannot produce " + target.string() + ": " + e.what(), 0);
    } catch (...) {
        return fail("cannot produce " + target.string(), 0);
    }
    writeOut(buffer);
    if (writeError != 0) return fail("cannot write " + target.string(), writeError);
    if (::fsync(fd) != 0) return fail("cannot flush " + target.string(), errno);
    if (::close(fd) != 0) {
        const std::string reason = "cannot close " + target.string() + ": " + ErrnoText();
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    }
    const Replaced replaced(target);
    if (::rename(name.data(), target.c_str()) != 0) {
        const std::string reason = "cannot replace " + target.string() + ": " + ErrnoText();
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    }
    return true;
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
