#pragma once
// Builds a registry store of a given kind from .reg text, so that one test runs against
// every kind of store.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_store.h"

namespace vornel::test {

enum class StoreKind { kRegFile, kHive };

std::vector<StoreKind> AllStoreKinds();
std::string StoreKindName(StoreKind k);

// kRegFile: the imported .reg store (its top holds the root keys). kHive: a hive file
// written from the subtree at `hivePath` of that store, opened as a hive store (its top is
// that subtree). Null with a reason on failure.
std::shared_ptr<platform::RegistryStore> MakeStore(StoreKind kind, const std::string& regText,
                                                   const std::string& hivePath,
                                                   const std::filesystem::path& workDir, std::string* error);

}  // namespace vornel::test
