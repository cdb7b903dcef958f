#include "scan/report_rows.h"

#include "scan/scan_context.h"
#include "support/text.h"

namespace vornel {

namespace report {
const std::array<const char*, kItemCount> kCaptions = {
    "Device Description", "Version", "Date", "Provider", "Manufacturer", "Update Status",
    "Download Update",    "Type",    "Common", "Updates", "Unknown",     ""};
}  // namespace report

const ReportRow& ReportList::mP_AddRecord(const std::string& description, const DriverRecord& r) {
    ReportRow row;
    row.tag = r.XMLIdx;
    row.items[report::kDescription] = description;
    row.icons[report::kDescription] = r.TVIconIdx;
    row.items[report::kVersion] = r.Version;
    row.items[report::kDate] = r.FileDate;
    row.items[report::kProvider] = r.ProviderName;
    row.items[report::kManufacturer] = r.Manufacturer;
    row.items[report::kType] = r.Type;
    row.items[report::kCommon] = r.IsCommonDevice ? "True" : "";
    row.items[report::kUnknown] = text::UpperAscii(r.ClassGUID) == kUnknownClassGuid ? "True" : "";
    row.items[report::kSpare] = "Unknown";
    byName_.try_emplace(description, rows_.size());
    byTag_.try_emplace(row.tag, rows_.size());
    rows_.push_back(std::move(row));
    return rows_.back();
}

std::optional<std::string> ReportList::mP_IsRecordExist(const std::string& listName) const {
    auto it = byName_.find(listName);
    if (it == byName_.end()) return std::nullopt;
    return rows_[it->second].tag;
}

bool ReportList::RemoveByTag(const std::string& tag) {
    auto it = byTag_.find(tag);
    if (it == byTag_.end()) return false;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(it->second));
    // Rare (a present instance replacing an absent one): rebuild the indexes.
    byName_.clear();
    byTag_.clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        byName_.try_emplace(rows_[i].items[report::kDescription], i);
        byTag_.try_emplace(rows_[i].tag, i);
    }
    return true;
}

const ReportRow* ReportList::FindByTag(const std::string& tag) const {
    auto it = byTag_.find(tag);
    return it == byTag_.end() ? nullptr : &rows_[it->second];
}

ReportRow* ReportList::FindByTag(const std::string& tag) {
    auto it = byTag_.find(tag);
    return it == byTag_.end() ? nullptr : &rows_[it->second];
}

}  // namespace vornel
