#pragma once
// Builds small Windows images for tests that need driver files on disk: a valid PE32 file
// whose only resource is a version resource with the given file version, or none.
#include <cstdint>
#include <string>

namespace vornel::test {

struct FileVersion {
    uint16_t major = 0, minor = 0, build = 0, revision = 0;
};

// A PE32 image whose VS_FIXEDFILEINFO carries the version ("5.1.2600.0" form when read).
std::string PeWithVersion(FileVersion version);
// A valid PE32 image without any resource (its file-version text is empty).
std::string PeWithoutVersion();

}  // namespace vornel::test
