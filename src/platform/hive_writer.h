#pragma once
// Turns a registry store (in practice an imported .reg file) into a real hive file, so that
// tests and sample installations can be read through the hive store as a scan would read a
// Windows installation.
#include <filesystem>
#include <string>

#include "platform/registry_store.h"

namespace vornel::platform {

// Writes the subtree at `from` of `src` as a hive file whose root key is `from`; `out` is
// replaced atomically. The tree is built with hivex's write API on a minimal hive, then
// laid out afresh as the registry lays out its own files: subkeys sorted by upper-cased
// name in hash leaves (under an index root beyond kMaxLeafEntries), values over 16344
// bytes in big-data segments, no dead cells. False with a one-line reason.
bool WriteHive(const RegistryStore& src, KeyId from, const std::filesystem::path& out, std::string* error);

// Entries per subkey leaf before the writer splits a key's subkey list under an index root.
constexpr size_t kMaxLeafEntries = 500;

}  // namespace vornel::platform
