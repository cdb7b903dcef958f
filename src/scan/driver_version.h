#pragma once
// The driver's version and date, and where each came from, and the block of registry facts
// the details view shows for a device. Both work on the scan's working record after the INF
// step has set InfFile, InfSection, InfSectionExt and InfInstallFiles.
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scan/driver_record.h"
#include "scan/scan_context.h"
#include "scan/version_date.h"

namespace vornel {

// Where FileDate (Versioning1) and Version (Versioning2) came from.
namespace versioning {
constexpr int16_t kInstallSection = 0;  // DriverVer of the driver's install section
constexpr int16_t kVersionSection = 1;  // DriverVer of the INF's [Version] section
constexpr int16_t kInstallFiles = 2;    // newest install file date, highest file version
constexpr int16_t kInfFileDate = 3;     // the INF file's own modification date (dates only)
constexpr int16_t kRegistry = 4;        // the driver key's DriverDate / DriverVersion (9x: Ver)
}  // namespace versioning

// Fills Version, FileDate, Versioning1, Versioning2 and DriverDateDerivedFile, each rule
// only while its field is still empty. Files come through ctx.image; without an image no
// file is readable and only the registry rules can apply.
void p_GetDriverVersion(ScanContext& ctx, DriverRecord& record);

// The driver key's own date and version, the last rules' sources ("DriverDate", and
// "DriverVersion", or "Ver" on Windows 9x), as the registry gives them.
struct DriverKeyDates {
    std::string date, version;
};
DriverKeyDates ReadDriverKeyDates(ScanContext& ctx, const DriverRecord& record);
// The same from the driver key, already opened for reading.
DriverKeyDates ReadDriverKeyDates(ScanContext& ctx, const platform::RegistryView::KeyRef& driverKey);
// p_GetDriverVersion with those values already read: touches no registry.
void p_GetDriverVersion(ScanContext& ctx, DriverRecord& record, const DriverKeyDates& keyDates);

// The rule of the highest file version, and the driver key's version after it, left for
// later: the install files' host paths, in order, when Version was still empty at that rule.
// The files' version resources can then be read on another thread than the one the
// installation view belongs to.
struct DeferredVersions {
    bool wanted = false;
    std::vector<std::string> files;
};
void p_GetDriverVersion(ScanContext& ctx, DriverRecord& record, const DriverKeyDates& keyDates,
                        DeferredVersions& later);
// Applies the rules left for later, on any thread: the files are read through `versions`
// and opened in `folders`, the calling thread's own (null: by their whole paths).
void FinishDriverVersion(FileVersions& versions, platform::FolderHandles* folders, DriverRecord& record,
                         const DriverKeyDates& keyDates, const DeferredVersions& later);

// True when candidate is a newer version than current (components as numbers).
bool p_IsNewerVersion(std::string_view current, std::string_view candidate);

// Splits a DriverVer value "date,version": both trimmed, the date in the program's form
// when it is one. Without a "," the text is the date alone and version is left as it was.
void SplitDriverVer(std::string_view driverVer, std::string& date, std::string& version);

// The date of a date-time text: the text up to its first blank (all of it when it has
// none), in the program's form when it is a date, otherwise as it stands.
std::string DatePart(std::string_view dateTime);

// The registry facts of the instance key and the driver key as "Name: value|" items, the
// final "|" removed.
std::string p_GetUserFriendlyData(ScanContext& ctx, const DriverRecord& record);
// The same from the record's instance and driver keys, already opened for reading (null
// where a key is missing).
struct DeviceKeys {
    platform::RegistryView::KeyRef instance, driver;
};
std::string p_GetUserFriendlyData(ScanContext& ctx, const DriverRecord& record, const DeviceKeys& keys);

}  // namespace vornel
