#include "store_factory.h"

#include <atomic>

#include "platform/hive_store.h"
#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"

namespace vornel::test {

std::vector<StoreKind> AllStoreKinds() { return {StoreKind::kRegFile, StoreKind::kHive}; }

std::string StoreKindName(StoreKind k) { return k == StoreKind::kRegFile ? "RegFile" : "Hive"; }

std::shared_ptr<platform::RegistryStore> MakeStore(StoreKind kind, const std::string& regText,
                                                   const std::string& hivePath,
                                                   const std::filesystem::path& workDir, std::string* error) {
    auto reg = std::make_shared<platform::RegFileStore>();
    if (!reg->Import(regText, "fixture.reg", error)) return nullptr;
    if (kind == StoreKind::kRegFile) return reg;
    static std::atomic<int> serial{0};
    const auto file = workDir / ("fixture" + std::to_string(serial++) + ".hive");
    const platform::KeyId from = reg->Walk(reg->Root(), hivePath);
    if (!from) {
        if (error) *error = "no key " + hivePath + " in the fixture";
        return nullptr;
    }
    if (!platform::WriteHive(*reg, from, file, error)) return nullptr;
    return std::shared_ptr<platform::RegistryStore>(platform::HiveStore::Open(file, error, nullptr));
}

}  // namespace vornel::test
