#pragma once
// The rows the scan adds to the driver report: a list model without any UI, which the
// command line prints and the desktop program shows.
#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/driver_record.h"

namespace vornel {

// Item indexes of a row.
namespace report {
constexpr int kDescription = 0;
constexpr int kVersion = 1;
constexpr int kDate = 2;
constexpr int kProvider = 3;
constexpr int kManufacturer = 4;
constexpr int kUpdateStatus = 5;
constexpr int kDownload = 6;
constexpr int kType = 7;
constexpr int kCommon = 8;
constexpr int kUpdates = 9;
constexpr int kUnknown = 10;
constexpr int kSpare = 11;
constexpr int kItemCount = 12;
// Captions of the columns, by item index ("" for the last, which has no column).
extern const std::array<const char*, kItemCount> kCaptions;
}  // namespace report

struct ReportRow {
    std::string tag;  // the record's key, XMLIdx
    std::array<std::string, report::kItemCount> items;
    std::array<int, report::kItemCount> icons{};  // icon number per item; 0 for none
};

class ReportList {
public:
    // Adds the row of a new record (mP_AddRecord).
    const ReportRow& mP_AddRecord(const std::string& description, const DriverRecord& record);
    // The key of the row whose description equals `listName` (mP_IsRecordExist).
    std::optional<std::string> mP_IsRecordExist(const std::string& listName) const;
    // Removes the row of a record, for a record the scan replaced.
    bool RemoveByTag(const std::string& tag);
    const ReportRow* FindByTag(const std::string& tag) const;
    ReportRow* FindByTag(const std::string& tag);
    void Clear() {
        rows_.clear();
        alive_.clear();
        dead_ = 0;
        byName_.clear();
        byTag_.clear();
    }
    const std::vector<ReportRow>& Rows() const {
        Compact();
        return rows_;
    }
    size_t Size() const { return rows_.size() - dead_; }

private:
    // A removed row is only marked during a scan and dropped at the next look at the rows,
    // so each removal costs the same however long the list is.
    void Compact() const;
    mutable std::vector<ReportRow> rows_;
    mutable std::vector<bool> alive_;
    mutable size_t dead_ = 0;
    // First row of each description and of each tag, so a scan's lookups stay linear.
    mutable std::unordered_map<std::string, size_t> byName_, byTag_;
};

}  // namespace vornel
