#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornel::platform {

MappedFile::~MappedFile() {
    if (addr_) ::munmap(addr_, size_);
}

bool MappedFile::Open(const std::filesystem::path& file, std::string* why) {
    auto fail = [&](int err) {
        if (why) *why = std::strerror(err);
        return false;
    };
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno ? errno : EINVAL;
        ::close(fd);
        return fail(err);
    }
    size_ = static_cast<size_t>(st.st_size);
    // An empty file has nothing to map.
    if (size_ > 0) {
        void* addr = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (addr == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            size_ = 0;
            return fail(err);
        }
        addr_ = addr;
    }
    ::close(fd);
    return true;
}

}  // namespace vornel::platform
