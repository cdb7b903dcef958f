#pragma once
// A regular file mapped read-only for one pass over its bytes, without copying it into
// memory of our own. Another process cutting the file short while it is mapped would make
// a read fault; the hive library the registry reader uses maps its files the same way.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vornel::platform {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False with the reason (the system's text) when the file cannot be opened or mapped.
    bool Open(const std::filesystem::path& file, std::string* why);
    std::string_view Bytes() const { return {static_cast<const char*>(addr_), size_}; }

private:
    void* addr_ = nullptr;
    size_t size_ = 0;
};

}  // namespace vornel::platform
