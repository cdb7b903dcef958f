#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {
std::string ErrnoText() { return std::strerror(errno); }
}  // namespace

bool WriteFileAtomically(const fs::path& target, std::string_view bytes, unsigned mode,
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
    auto fail = [&](const std::string& what) {
        const std::string reason = what + ": " + ErrnoText();
        ::close(fd);
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    };
    if (::fchmod(fd, mode) != 0) return fail("cannot set permissions on " + std::string(name.data()));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write " + target.string());
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return fail("cannot flush " + target.string());
    if (::close(fd) != 0) {
        const std::string reason = "cannot close " + target.string() + ": " + ErrnoText();
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    }
    if (::rename(name.data(), target.c_str()) != 0) {
        const std::string reason = "cannot replace " + target.string() + ": " + ErrnoText();
        ::unlink(name.data());
        if (why) *why = reason;
        return false;
    }
    return true;
}

bool ReadWholeFile(const fs::path& file, std::string& out, std::string* why) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (why) *why = "cannot open " + file.string() + ": " + ErrnoText();
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size < 0) {
        if (why) *why = "cannot read " + file.string();
        return false;
    }
    out.resize(static_cast<size_t>(size));
    in.seekg(0);
    in.read(out.data(), size);
    if (!in && !in.eof()) {
        if (why) *why = "cannot read " + file.string();
        return false;
    }
    out.resize(static_cast<size_t>(in.gcount()));
    return true;
}

}  // namespace vornel::platform
