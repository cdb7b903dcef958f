#include "platform/registry_store.h"

namespace vornel::platform {

std::vector<std::string_view> SplitKeyPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t at = path.find('\\', start);
        if (at == std::string_view::npos) at = path.size();
        if (at > start) parts.push_back(path.substr(start, at - start));
        start = at + 1;
    }
    return parts;
}

void RegistryStore::ValueNames(KeyId key, std::vector<std::string>& out) const {
    std::vector<RegValue> values;
    Values(key, values);
    out.clear();
    for (RegValue& v : values) out.push_back(std::move(v.name));
}

KeyId RegistryStore::Walk(KeyId from, std::string_view path) const {
    KeyId k = from;
    for (auto part : SplitKeyPath(path)) {
        if (!k) return 0;
        k = Child(k, part);
    }
    return k;
}

}  // namespace vornel::platform
