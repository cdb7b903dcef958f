#pragma once
// What the scans need to know about setup classes and driver makers: how many classes the
// machine has, the display name of a class, whether a driver is the operating system's own,
// and the icon that stands for a device's class.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "scan/class_icons.h"
#include "scan/driver_record.h"
#include "scan/scan_context.h"

namespace vornel {

struct ClassTableRow {
    std::string_view guid;  // upper-case, in braces
    std::string_view name;
};

// The fixed class-name table (52 rows).
std::span<const ClassTableRow> ClassTable();

// The number of subkeys of the class root; with onlyWithSubKeys, 1 plus the number of
// those that have subkeys of their own.
int16_t ClassCount(ScanContext& ctx, bool onlyWithSubKeys);

// The table's display name of a class GUID (any case), or defaultName when the table has
// no row for it. A row may give an empty name.
std::string ClassDisplayName(std::string_view classGuid, std::string_view defaultName);

// True when the text contains one of the operating system maker's standard provider or
// manufacturer names, without regard to case (accented letters included).
bool IsStandardProvider(std::string_view text);

// What the icon step decided: the icon key (a class GUID) and the parent node's text.
struct ClassIconNode {
    std::string key;
    std::string parent;
};

// The class icon step: an empty parent text becomes the computer name; a record without
// ClassGUID becomes of class "UNKNOWN" and the unknown class; TVIconIdx is set from the
// icon key (see class_icons.h), or left as it is when the key has no icon.
ClassIconNode mP_GetIconDataSetParentNode(ScanContext& ctx, DriverRecord& record, ClassIconSet& icons,
                                          std::string_view parentText);

}  // namespace vornel
