#pragma once
// The registry of a synthetic installation: draws the device tree over the plan's INF
// files and writes the SYSTEM and SOFTWARE hives. Internal to the generator.
#include <filesystem>
#include <string>

#include "synthetic_installation.h"
#include "synthetic_plan.h"

namespace vornel::bench::synth {

// Fills the registry part of `report`. False with a one-line reason.
bool WriteRegistry(const SyntheticOptions& options, const Plan& plan, Rng& rng,
                   const std::filesystem::path& configFolder, SyntheticReport& report, std::string* why);

}  // namespace vornel::bench::synth
