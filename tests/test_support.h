#pragma once
// Helpers shared by the test programs: a temporary folder that cleans up after itself and
// file reading and writing.
#include <filesystem>
#include <string>
#include <string_view>

namespace vornel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes bytes to path()/rel, creating folders; returns the full path.
    std::filesystem::path Write(const std::string& rel, std::string_view bytes) const;

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& p);
std::filesystem::path TestData(const std::string& rel);

}  // namespace vornel::test
