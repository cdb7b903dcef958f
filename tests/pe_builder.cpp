#include "pe_builder.h"

#include "pe_image_writer.h"

namespace vornel::test {

// The tests' driver files are built by the same writer as the samples' driver files.
std::string PeWithVersion(FileVersion version) {
    tools::PeImageSpec image;
    image.fileVersion = {version.major, version.minor, version.build, version.revision};
    return tools::BuildPeImage(image);
}

std::string PeWithoutVersion() {
    tools::PeImageSpec image;
    image.hasVersion = false;
    return tools::BuildPeImage(image);
}

}  // namespace vornel::test
