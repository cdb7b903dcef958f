#pragma once
// A large synthetic Windows installation for benchmarks: a root folder holding
// WINDOWS\system32\config\SYSTEM and SOFTWARE hives with thousands of device instances and
// their driver keys, an INF folder of realistic INF files, and the driver files those INFs
// name (small PE images with version resources, and data files), each with its own date.
//
// The same options and seed give the same installation, byte for byte, on every machine:
// the random numbers come from a fixed generator, not from the standard distributions.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vornel::bench {

struct SyntheticOptions {
    std::filesystem::path root;  // created; must not exist or be empty
    size_t devices = 2000;       // device instances in the device tree
    size_t infs = 3000;          // INF files in WINDOWS\inf (and inf\Other)
    size_t files = 20000;        // driver files written
    uint64_t seed = 1;
};

struct SyntheticReport {
    size_t instances = 0, deviceKinds = 0, buses = 0, driverKeys = 0, classes = 0;
    size_t skippedInstances = 0;  // on SW and HTREE, legacy root devices, printer-class devices
    size_t unknownInstances = 0;  // no driver, unknown or no setup class
    size_t printers = 0;
    size_t infFiles = 0, infsInUse = 0, utf16Infs = 0;
    uint64_t infBytes = 0, infSmallest = 0, infLargest = 0, infMedian = 0;
    size_t driverFiles = 0, images = 0, unversionedImages = 0, dataFiles = 0, missingFiles = 0;
    uint64_t driverBytes = 0;
    uint64_t systemHiveBytes = 0, softwareHiveBytes = 0;
    double seconds = 0;
};

// Writes the installation. False with a one-line reason.
bool GenerateInstallation(const SyntheticOptions& options, SyntheticReport* report, std::string* why);

// The report as the lines gen-installation prints.
std::string DescribeReport(const SyntheticOptions& options, const SyntheticReport& report);

// One command-line option of the generator ("--devices", "--infs", "--files", "--seed")
// with its value. False when the option is another one or the value is no number; a
// caller with options of its own tries them first.
bool SetSyntheticOption(const std::string& option, const char* value, SyntheticOptions& options);

}  // namespace vornel::bench
