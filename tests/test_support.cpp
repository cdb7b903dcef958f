#include "test_support.h"

#include <unistd.h>

#include <fstream>
#include <random>

namespace vornel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("vornel-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempDir::Write(const std::string& rel, std::string_view bytes) const {
    const fs::path p = path_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path TestData(const std::string& rel) { return fs::path(VORNEL_TEST_DATA) / rel; }

}  // namespace vornel::test
