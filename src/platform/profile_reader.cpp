#include "platform/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/profile_text.h"
#include "support/last_error.h"

namespace vornel::platform {

namespace fs = std::filesystem;

namespace {

int64_t MtimeNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Opens a file by its name in its folder when the folder is held open. Non-blocking, so
// that a FIFO in the place of a file returns at once (and is then refused as no regular
// file) instead of waiting for a writer; a regular file reads as ever.
int OpenForReading(const fs::path& file, FolderHandles* folders) {
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    return folders ? folders->Open(file.native(), kFlags) : ::open(file.c_str(), kFlags);
}

// Reads a regular file of at most ProfileReader::kMaxFileBytes.
ProfileStatus ReadProfileBytes(const fs::path& file, ProfileFile::Bytes& bytes, struct stat& st,
                               std::string& why, FolderHandles* folders = nullptr) {
    const int fd = OpenForReading(file, folders);
    if (fd < 0) {
        const int err = errno;
        why = "cannot open " + file.string() + ": " + std::strerror(err);
        return err == ENOENT || err == ENOTDIR ? ProfileStatus::Missing
                                               : ProfileStatus::Unreadable;
    }
    auto fail = [&](ProfileStatus s, const std::string& reason) {
        ::close(fd);
        why = reason;
        return s;
    };
    if (::fstat(fd, &st) != 0)
        return fail(ProfileStatus::Unreadable, "cannot read " + file.string());
    if (!S_ISREG(st.st_mode))
        return fail(ProfileStatus::Unreadable, file.string() + " is not a regular file");
    const uint64_t limit = ProfileReader::kMaxFileBytes;
    const auto expected = static_cast<uint64_t>(st.st_size);
    if (expected > limit)
        return fail(ProfileStatus::TooLarge, file.string() + " is larger than 64 MiB");
    // One byte more than the file holds, so that a file that grew since fstat shows it.
    size_t capacity = static_cast<size_t>(expected) + 1;
    bytes.data = std::make_unique_for_overwrite<char[]>(capacity);
    size_t done = 0;
    for (;;) {
        if (done == capacity) {
            if (capacity > limit)
                return fail(ProfileStatus::TooLarge, file.string() + " is larger than 64 MiB");
            capacity = static_cast<size_t>(std::min<uint64_t>(capacity * 2, limit + 1));
            auto larger = std::make_unique_for_overwrite<char[]>(capacity);
            std::memcpy(larger.get(), bytes.data.get(), done);
            bytes.data = std::move(larger);
        }
        const ssize_t n = ::read(fd, bytes.data.get() + done, capacity - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(ProfileStatus::Unreadable,
                        "cannot read " + file.string() + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
        // All that fstat announced and no more: the end, without a read to prove it (one
        // system call fewer for each of a scan's thousands of INFs).
        if (done == expected && capacity == expected + 1) break;
    }
    bytes.size = done;
    ::close(fd);
    return ProfileStatus::Ok;
}

// Default values lose their trailing spaces.
std::string_view DefaultText(std::string_view def) {
    size_t e = def.size();
    while (e > 0 && def[e - 1] == ' ') --e;
    return def.substr(0, e);
}

}  // namespace

std::string ClipProfileValue(std::string_view whole, uint32_t size) {
    if (size == 0) return {};
    if (whole.size() > size - 1) {
        SetLastErrorCode(win::kMoreData);
        return std::string(whole.substr(0, size - 1));
    }
    return std::string(whole);
}

std::string_view ClipProfileListView(std::string_view whole, uint32_t size) {
    if (size < 2 || whole.empty()) return {};
    // The buffer needs the list and one more NUL; a list that only just fits is treated
    // as cut, as Windows does.
    if (whole.size() + 1 >= size) {
        SetLastErrorCode(win::kMoreData);
        return whole.substr(0, size - 2);
    }
    return whole;
}

std::string ClipProfileList(std::string whole, uint32_t size) {
    whole.resize(ClipProfileListView(whole, size).size());
    return whole;
}

namespace {

uint32_t CopyValue(const std::string& s, char* buffer, uint32_t size) {
    if (size == 0 || buffer == nullptr) return 0;
    std::memcpy(buffer, s.data(), s.size());
    buffer[s.size()] = '\0';
    return static_cast<uint32_t>(s.size());
}

// Writes a list answer: the clipped text, then the final NUL, or two NULs when the list
// was empty or cut.
uint32_t CopyList(const std::string& whole, char* buffer, uint32_t size) {
    if (size == 0 || buffer == nullptr) return 0;
    const std::string s = ClipProfileList(whole, size);
    std::memcpy(buffer, s.data(), s.size());
    buffer[s.size()] = '\0';
    const bool cut = !whole.empty() && whole.size() + 1 >= size;
    if ((whole.empty() || cut) && s.size() + 1 < size) buffer[s.size() + 1] = '\0';
    return static_cast<uint32_t>(s.size());
}

}  // namespace

ProfileReader::ProfileReader(uint64_t cacheLimitBytes) : cacheLimit_(cacheLimitBytes) {}

void ProfileReader::Clear() {
    last_ = nullptr;
    cache_.clear();
    cachedBytes_ = 0;
}

ProfileOpen ProfileReader::Open(const fs::path& file) {
    const std::string& key = file.native();
    // Callers ask about one file many times in a row.
    if (last_ && last_->second.generation == generation_ && last_->first == key)
        return last_->second.open;
    auto it = cache_.find(key);
    if (it != cache_.end()) {
        last_ = &*it;
        Entry& e = it->second;
        if (e.generation == generation_) return e.open;
        struct stat st {};
        if (e.open.status == ProfileStatus::Ok && ::stat(file.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && MtimeNs(st) == e.mtimeNs &&
            static_cast<uint64_t>(st.st_size) == e.size) {
            e.generation = generation_;
            return e.open;
        }
        if (e.open.file) cachedBytes_ -= e.open.file->Text().size();
        last_ = nullptr;
        cache_.erase(it);
    }

    Entry e;
    e.generation = generation_;
    ProfileFile::Bytes bytes;
    struct stat st {};
    e.open.status = ReadProfileBytes(file, bytes, st, e.open.why, &folders_);
    if (e.open.status == ProfileStatus::Ok) {
        e.open.file = std::make_shared<const ProfileFile>(std::move(bytes));
        e.mtimeNs = MtimeNs(st);
        e.size = e.open.file->StoredSize();
        ++parses_;
        const uint64_t cost = e.open.file->Text().size();
        if (cachedBytes_ + cost > cacheLimit_) Clear();
        cachedBytes_ += cost;
    }
    last_ = &*cache_.emplace(key, std::move(e)).first;
    return last_->second.open;
}

std::shared_ptr<const ProfileFile> ProfileReader::Parsed(const fs::path& file) {
    ProfileOpen o = Open(file);
    if (!o.file) SetLastErrorCode(win::kFileNotFound);
    return o.file;
}

std::string ProfileReader::WholeString(std::string_view section, std::string_view key,
                                       std::string_view def, const fs::path& file,
                                       bool infComment) {
    const auto pf = Parsed(file);
    if (pf) {
        const size_t s = pf->FindSection(TrimSpaces(section));
        if (s != ProfileFile::npos) {
            const std::string_view k = TrimSpaces(key);
            for (const auto& line : pf->Lines(s)) {
                if (!line.hasKey || line.key.size() != k.size() || !AnsiIEquals(line.key, k))
                    continue;
                const std::string_view v = infComment ? CutInfComment(line.value) : line.value;
                return std::string(StripOuterQuotes(v));
            }
        }
    }
    return std::string(DefaultText(def));
}

std::string ProfileReader::WholeSection(std::string_view section, const fs::path& file) {
    std::string out;
    const auto pf = Parsed(file);
    if (!pf) return out;
    const size_t s = pf->FindSection(TrimSpaces(section));
    if (s == ProfileFile::npos) return out;
    for (const auto& line : pf->Lines(s)) {
        if (line.hasKey) {
            out.append(line.key);
            out.push_back('=');
            out.append(line.value);
        } else {
            out.append(line.text);
        }
        out.push_back('\0');
    }
    return out;
}

std::string ProfileReader::WholeKeyNames(std::string_view section, const fs::path& file) {
    std::string out;
    const auto pf = Parsed(file);
    if (!pf) return out;
    const size_t s = pf->FindSection(TrimSpaces(section));
    if (s == ProfileFile::npos) return out;
    for (const auto& line : pf->Lines(s)) {
        if (!line.hasKey) continue;
        out.append(line.key);
        out.push_back('\0');
    }
    return out;
}

std::string ProfileReader::WholeSectionNames(const fs::path& file) {
    const auto pf = Parsed(file);
    return pf ? pf->SectionNameList() : std::string();
}

uint32_t ProfileReader::GetPrivateProfileStringA(const char* section, const char* key,
                                                 const char* def, char* buffer, uint32_t size,
                                                 const fs::path& file) {
    if (size == 0 || buffer == nullptr) return 0;
    if (section == nullptr) return CopyList(WholeSectionNames(file), buffer, size);
    if (key == nullptr) return CopyList(WholeKeyNames(section, file), buffer, size);
    return CopyValue(GetString(section, key, def ? def : "", file, size), buffer, size);
}

uint32_t ProfileReader::GetPrivateProfileSectionA(const char* section, char* buffer,
                                                  uint32_t size, const fs::path& file) {
    if (size == 0 || buffer == nullptr) return 0;
    return CopyList(WholeSection(section ? section : "", file), buffer, size);
}

uint32_t ProfileReader::GetPrivateProfileSectionNamesA(char* buffer, uint32_t size,
                                                       const fs::path& file) {
    if (size == 0 || buffer == nullptr) return 0;
    return CopyList(WholeSectionNames(file), buffer, size);
}

std::string ProfileReader::GetString(std::string_view section, std::string_view key,
                                     std::string_view def, const fs::path& file, uint32_t size) {
    return ClipProfileValue(WholeString(section, key, def, file, false), size);
}

std::string ProfileReader::GetInfString(std::string_view section, std::string_view key,
                                        std::string_view def, const fs::path& file,
                                        uint32_t size) {
    return ClipProfileValue(WholeString(section, key, def, file, true), size);
}

std::vector<std::string> ProfileReader::GetInfStrings(std::string_view section,
                                                      std::string_view key,
                                                      const fs::path& file) {
    std::vector<std::string> values;
    const auto pf = Parsed(file);
    if (!pf) return values;
    const size_t s = pf->FindSection(TrimSpaces(section));
    if (s == ProfileFile::npos) return values;
    const std::string_view k = TrimSpaces(key);
    for (const auto& line : pf->Lines(s))
        if (line.hasKey && AnsiIEquals(line.key, k))
            values.emplace_back(StripOuterQuotes(CutInfComment(line.value)));
    return values;
}

std::string ProfileReader::GetSection(std::string_view section, const fs::path& file,
                                      uint32_t size) {
    return ClipProfileList(WholeSection(section, file), size);
}

std::string ProfileReader::GetSectionNames(const fs::path& file, uint32_t size) {
    return ClipProfileList(WholeSectionNames(file), size);
}

std::vector<std::string> ProfileReader::SectionLines(std::string_view section,
                                                     const fs::path& file) {
    std::vector<std::string> lines;
    const std::string whole = WholeSection(section, file);
    size_t start = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (whole[i] != '\0') continue;
        lines.emplace_back(whole, start, i - start);
        start = i + 1;
    }
    return lines;
}

std::vector<std::string> ProfileReader::SectionNames(const fs::path& file) {
    std::vector<std::string> names;
    const auto pf = Parsed(file);
    if (!pf) return names;
    names.reserve(pf->SectionCount());
    for (size_t i = 0; i < pf->SectionCount(); ++i) names.emplace_back(pf->SectionName(i));
    return names;
}

}  // namespace vornel::platform
