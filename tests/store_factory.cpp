#include "store_factory.h"

#include "platform/reg_file_store.h"

namespace vornel::test {

std::vector<StoreKind> AllStoreKinds() { return {StoreKind::kRegFile}; }

std::string StoreKindName(StoreKind k) { return k == StoreKind::kRegFile ? "RegFile" : "Hive"; }

std::shared_ptr<platform::RegistryStore> MakeStore(StoreKind kind, const std::string& regText,
                                                   const std::string& /*hivePath*/,
                                                   const std::filesystem::path& /*workDir*/, std::string* error) {
    auto reg = std::make_shared<platform::RegFileStore>();
    if (!reg->Import(regText, "fixture.reg", error)) return nullptr;
    if (kind == StoreKind::kRegFile) return reg;
    if (error) *error = "hive stores are not available";
    return nullptr;
}

}  // namespace vornel::test
