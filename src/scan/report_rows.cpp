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
    alive_.push_back(true);
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
    const size_t at = it->second;
    byTag_.erase(it);
    alive_[at] = false;
    ++dead_;
    // The name now stands for the next live row of that name, if any.
    const std::string& name = rows_[at].items[report::kDescription];
    if (auto n = byName_.find(name); n != byName_.end() && n->second == at) {
        byName_.erase(n);
        for (size_t i = at + 1; i < rows_.size(); ++i)
            if (alive_[i] && rows_[i].items[report::kDescription] == name) {
                byName_.emplace(name, i);
                break;
            }
    }
    return true;
}

void ReportList::Compact() const {
    if (dead_ == 0) return;
    size_t out = 0;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (alive_[i]) {
            if (out != i) rows_[out] = std::move(rows_[i]);
            ++out;
        }
    rows_.resize(out);
    alive_.assign(out, true);
    dead_ = 0;
    byName_.clear();
    byTag_.clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        byName_.try_emplace(rows_[i].items[report::kDescription], i);
        byTag_.try_emplace(rows_[i].tag, i);
    }
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
