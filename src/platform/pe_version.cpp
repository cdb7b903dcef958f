#include "platform/pe_version.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/folder_handles.h"
#include "support/last_error.h"

namespace vornel::platform {
namespace {

constexpr uint32_t kErrorResourceTypeNotFound = 1813;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kVsVersionInfoId = 1;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoSize = 52;
// A version block's length is a 16-bit field, so nothing larger is ever read for it.
constexpr size_t kMaxVersionBlock = 0xFFFF;

// Random access to the image's bytes. Read fails unless every requested byte is there.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool Read(uint64_t offset, size_t len, std::string& out) = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    bool Read(uint64_t offset, size_t len, std::string& out) override {
        if (offset > bytes_.size() || len > bytes_.size() - offset) return false;
        out.assign(bytes_.substr(static_cast<size_t>(offset), len));
        return true;
    }

private:
    std::string_view bytes_;
};

// Reads the file a window at a time: the headers, section table and resource directory
// usually share one window and the version block another, so a file costs one or two
// reads instead of one per structure. The file's size is learnt from the reads (a short
// read is its end), which spares a stat call for each of a scan's driver files.
class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool Read(uint64_t offset, size_t len, std::string& out) override {
        if (offset > size_ || len > size_ - offset) return false;
        if (!filled_ || offset < start_ || offset + len > start_ + end_) {
            const uint64_t start = offset & ~(kWindow - 1);
            if (!Fill(start, std::max<uint64_t>(offset + len, start + kWindow) - start)) return false;
            if (offset + len > start_ + end_) return false;  // beyond the end
        }
        out.assign(window_.data() + (offset - start_), len);
        return true;
    }
    // False when the file could not be read at all (a folder, a pipe): no image file.
    bool Readable() {
        std::string head;
        Read(0, 2, head);
        return !failed_;
    }

private:
    static constexpr uint64_t kWindow = 16 * 1024;

    bool Fill(uint64_t start, uint64_t len) {
        filled_ = false;
        if (start >= size_) return false;
        len = std::min(len, size_ - start);
        if (window_.size() < len) window_.resize(len);
        size_t done = 0;
        while (done < len) {
            const ssize_t n =
                ::pread(fd_, window_.data() + done, len - done, static_cast<off_t>(start + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failed_ = true;
                return false;
            }
            done += static_cast<size_t>(n);
            // Fewer bytes than asked for: the end of the file (pread refuses pipes and the
            // like, and a regular file reads short only at its end). Most driver files are
            // smaller than the window, and this spares each a second read that returns 0.
            if (n == 0 || done < len) {
                size_ = start + done;
                break;
            }
        }
        start_ = start;
        end_ = done;
        filled_ = true;
        return true;
    }

    int fd_;
    uint64_t size_ = UINT64_MAX;  // until a read finds the end
    // Shared by the files read one after another on a thread, so that no file allocates.
    static thread_local std::string window_;
    uint64_t start_ = 0, end_ = 0;
    bool filled_ = false;
    bool failed_ = false;
};

thread_local std::string FileSource::window_;

bool Get16(std::string_view b, uint64_t off, uint16_t& v) {
    if (off > b.size() || b.size() - off < 2) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + off);
    v = static_cast<uint16_t>(p[0] | (p[1] << 8));
    return true;
}

bool Get32(std::string_view b, uint64_t off, uint32_t& v) {
    if (off > b.size() || b.size() - off < 4) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + off);
    v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
        (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return true;
}

enum class Outcome { Ok, BadFormat, NoVersion };

struct Section {
    uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};

// The image as the loader would map it, read through relative virtual addresses.
class Image {
public:
    Image(ByteSource& src, std::vector<Section> sections, uint32_t headerSize)
        : src_(src), sections_(std::move(sections)), headerSize_(headerSize) {}

    // Reads [rva, rva+len) when it lies wholly in the file bytes of one section (or in the
    // headers). Bytes the loader would zero-fill beyond a section's file data count as
    // missing: a version block there is damaged anyway.
    bool ReadRva(uint64_t rva, size_t len, std::string& out) {
        for (const Section& s : sections_) {
            if (rva < s.virtualAddress) continue;
            const uint64_t delta = rva - s.virtualAddress;
            const uint64_t mapped = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
            if (delta >= mapped) continue;
            if (delta + len > std::min<uint64_t>(mapped, s.rawSize)) return false;
            return src_.Read(static_cast<uint64_t>(s.rawPointer) + delta, len, out);
        }
        if (rva + len <= headerSize_) return src_.Read(rva, len, out);
        return false;
    }

private:
    ByteSource& src_;
    std::vector<Section> sections_;
    uint32_t headerSize_;
};

struct DirEntry {
    uint32_t name;  // high bit: a named entry
    uint32_t data;  // high bit: a subdirectory; offsets are from the resource root
};

// The entries of the resource directory at `offset` from the resource root.
bool ReadDirectory(Image& img, uint64_t root, uint32_t offset, std::vector<DirEntry>& out) {
    std::string head;
    if (!img.ReadRva(root + offset, 16, head)) return false;
    uint16_t named = 0, ids = 0;
    Get16(head, 12, named);
    Get16(head, 14, ids);
    const size_t count = static_cast<size_t>(named) + ids;
    std::string raw;
    if (!img.ReadRva(root + offset + 16, count * 8, raw)) return false;
    out.clear();
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        DirEntry e{};
        Get32(raw, i * 8, e.name);
        Get32(raw, i * 8 + 4, e.data);
        out.push_back(e);
    }
    return true;
}

std::string VersionText(uint32_t ms, uint32_t ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

// VS_VERSIONINFO: wLength, wValueLength, wType, the key "VS_VERSION_INFO" in UTF-16 with
// its terminator, padding to 32 bits, then VS_FIXEDFILEINFO as the value.
Outcome ParseVersionBlock(std::string_view block, PeVersionInfo& out) {
    uint16_t valueLength = 0;
    if (!Get16(block, 2, valueLength)) return Outcome::BadFormat;
    if (valueLength < kFixedInfoSize) return Outcome::NoVersion;
    uint64_t pos = 6;
    for (;;) {
        uint16_t ch = 0;
        if (!Get16(block, pos, ch)) return Outcome::BadFormat;
        pos += 2;
        if (ch == 0) break;
    }
    pos = (pos + 3) & ~uint64_t{3};
    uint32_t signature = 0, fileMs = 0, fileLs = 0, productMs = 0, productLs = 0;
    if (!Get32(block, pos, signature) || !Get32(block, pos + 8, fileMs) ||
        !Get32(block, pos + 12, fileLs) || !Get32(block, pos + 16, productMs) ||
        !Get32(block, pos + 20, productLs) || block.size() - pos < kFixedInfoSize)
        return Outcome::BadFormat;
    if (signature != kFixedSignature) return Outcome::BadFormat;
    out.fileVersion = VersionText(fileMs, fileLs);
    out.productVersion = VersionText(productMs, productLs);
    return Outcome::Ok;
}

Outcome Parse(ByteSource& src, PeVersionInfo& out) {
    std::string dos;
    if (!src.Read(0, 64, dos) || dos[0] != 'M' || dos[1] != 'Z') return Outcome::BadFormat;
    uint32_t ntOffset = 0;
    Get32(dos, 0x3C, ntOffset);

    std::string nt;
    if (!src.Read(ntOffset, 24, nt) || nt.compare(0, 4, std::string_view("PE\0\0", 4)) != 0)
        return Outcome::BadFormat;
    uint16_t sectionCount = 0, optionalSize = 0;
    Get16(nt, 6, sectionCount);
    Get16(nt, 20, optionalSize);

    std::string opt;
    if (!src.Read(uint64_t{ntOffset} + 24, optionalSize, opt)) return Outcome::BadFormat;
    uint16_t magic = 0;
    if (!Get16(opt, 0, magic)) return Outcome::BadFormat;
    uint64_t countAt = 0;
    if (magic == 0x10B) {
        countAt = 92;  // PE32
    } else if (magic == 0x20B) {
        countAt = 108;  // PE32+
    } else {
        return Outcome::BadFormat;
    }
    uint32_t headerSize = 0, dirCount = 0, rsrcRva = 0, rsrcSize = 0;
    if (!Get32(opt, 60, headerSize) || !Get32(opt, countAt, dirCount)) return Outcome::BadFormat;
    // The resource directory is data directory 2, after export and import.
    if (dirCount < 3) return Outcome::NoVersion;
    if (!Get32(opt, countAt + 4 + 2 * 8, rsrcRva) || !Get32(opt, countAt + 8 + 2 * 8, rsrcSize))
        return Outcome::BadFormat;
    if (rsrcRva == 0 || rsrcSize == 0) return Outcome::NoVersion;

    std::string table;
    if (!src.Read(uint64_t{ntOffset} + 24 + optionalSize, size_t{sectionCount} * 40, table))
        return Outcome::BadFormat;
    std::vector<Section> sections(sectionCount);
    for (size_t i = 0; i < sectionCount; ++i) {
        Section& s = sections[i];
        Get32(table, i * 40 + 8, s.virtualSize);
        Get32(table, i * 40 + 12, s.virtualAddress);
        Get32(table, i * 40 + 16, s.rawSize);
        Get32(table, i * 40 + 20, s.rawPointer);
    }
    Image img(src, std::move(sections), headerSize);

    // Type RT_VERSION, then name 1 (the one Windows asks for) or else the first name,
    // then the first language.
    std::vector<DirEntry> entries;
    if (!ReadDirectory(img, rsrcRva, 0, entries)) return Outcome::BadFormat;
    const auto type = std::find_if(entries.begin(), entries.end(), [](const DirEntry& e) {
        return e.name == kRtVersion && (e.data & kHighBit);
    });
    if (type == entries.end()) return Outcome::NoVersion;

    if (!ReadDirectory(img, rsrcRva, type->data & ~kHighBit, entries)) return Outcome::BadFormat;
    auto name = std::find_if(entries.begin(), entries.end(), [](const DirEntry& e) {
        return e.name == kVsVersionInfoId && (e.data & kHighBit);
    });
    if (name == entries.end())
        name = std::find_if(entries.begin(), entries.end(),
                            [](const DirEntry& e) { return (e.data & kHighBit) != 0; });
    if (name == entries.end()) return Outcome::NoVersion;

    if (!ReadDirectory(img, rsrcRva, name->data & ~kHighBit, entries)) return Outcome::BadFormat;
    const auto lang = std::find_if(entries.begin(), entries.end(),
                                   [](const DirEntry& e) { return (e.data & kHighBit) == 0; });
    if (lang == entries.end()) return Outcome::NoVersion;

    std::string dataEntry;
    if (!img.ReadRva(uint64_t{rsrcRva} + lang->data, 16, dataEntry)) return Outcome::BadFormat;
    uint32_t dataRva = 0, dataSize = 0;
    Get32(dataEntry, 0, dataRva);
    Get32(dataEntry, 4, dataSize);

    std::string head;
    if (!img.ReadRva(dataRva, 6, head)) return Outcome::BadFormat;
    uint16_t blockLength = 0;
    Get16(head, 0, blockLength);
    const size_t length = std::min<size_t>({dataSize, blockLength, kMaxVersionBlock});
    std::string block;
    if (!img.ReadRva(dataRva, length, block)) return Outcome::BadFormat;
    return ParseVersionBlock(block, out);
}

PeVersionInfo Finish(Outcome outcome, PeVersionInfo info) {
    switch (outcome) {
        case Outcome::Ok:
            return info;
        case Outcome::BadFormat:
            SetLastErrorCode(win::kBadFormat);
            break;
        case Outcome::NoVersion:
            SetLastErrorCode(kErrorResourceTypeNotFound);
            break;
    }
    return {};
}

PeVersionInfo ParseGuarded(ByteSource& src) {
    PeVersionInfo info;
    try {
        const Outcome outcome = Parse(src, info);
        return Finish(outcome, std::move(info));
    } catch (const std::exception&) {
        // Only an allocation can throw here; the image is then as good as unreadable.
        return Finish(Outcome::BadFormat, {});
    }
}

// Non-blocking, so that opening a FIFO planted in an installation returns at once.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

PeVersionInfo ReadOpened(int fd) {
    if (fd < 0) {
        SetLastErrorCode(win::kFileNotFound);
        return {};
    }
    FileSource src(fd);
    if (!src.Readable()) {
        SetLastErrorCode(win::kFileNotFound);
        return {};
    }
    return ParseGuarded(src);
}

}  // namespace

PeVersionInfo ReadPeVersionInfo(std::string_view image) {
    MemorySource src(image);
    return ParseGuarded(src);
}

PeVersionInfo ReadPeVersionInfoFile(const std::filesystem::path& file) {
    return ReadOpened(::open(file.c_str(), kOpenFlags));
}

std::string PeFileVersion(const std::filesystem::path& file) {
    return ReadPeVersionInfoFile(file).fileVersion;
}

std::string PeFileVersion(const std::string& hostPath, FolderHandles& folders) {
    return ReadOpened(folders.Open(hostPath, kOpenFlags)).fileVersion;
}

}  // namespace vornel::platform
