#pragma once
// The common device table ("common.dat"): hardware identifiers of devices every PC has and
// users never update. Layout: a root element `common` holding `device` elements, each
// with one or more `hwid` elements whose text is an identifier without "\", '"' or "'".
#include <filesystem>
#include <string>
#include <unordered_set>

namespace vornel {

class CommonDeviceTable {
public:
    // Loads and checks the file; false with the parse report in *why.
    bool Load(const std::filesystem::path& file, std::string* why);
    bool Loaded() const { return loaded_; }
    // True when the identifier, with "\", '"' and "'" removed, is in the table (the
    // answer of "/common/device/hwid[. = 'id']", held in a set so a scan stays linear).
    bool Contains(const std::string& hardwareId) const;
    size_t Size() const { return ids_.size(); }

    static std::string Normalize(const std::string& hardwareId);

private:
    std::unordered_set<std::string> ids_;
    bool loaded_ = false;
};

}  // namespace vornel
