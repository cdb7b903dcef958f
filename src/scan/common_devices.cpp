#include "scan/common_devices.h"

#include <pugixml.hpp>

#include "xml/dom_utility.h"

namespace vornel {

bool CommonDeviceTable::Load(const std::filesystem::path& file, std::string* why) {
    ids_.clear();
    loaded_ = false;
    pugi::xml_document doc;
    cCDOMUtility dom;
    std::string report;
    if (!dom.ValidateFreeThreadedDOMDocument(doc, file.string(), report, false)) {
        if (why) *why = report.empty() ? "cannot load " + file.string() : report;
        return false;
    }
    for (const auto& x : doc.select_nodes("/common/device/hwid")) ids_.insert(x.node().text().get());
    loaded_ = true;
    return true;
}

std::string CommonDeviceTable::Normalize(const std::string& hardwareId) {
    std::string r;
    for (char c : hardwareId)
        if (c != '\\' && c != '"' && c != '\'') r += c;
    return r;
}

bool CommonDeviceTable::Contains(const std::string& hardwareId) const {
    return ids_.count(Normalize(hardwareId)) > 0;
}

}  // namespace vornel
