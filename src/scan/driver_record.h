#pragma once
// The driver record: everything known about one installed device and its driver. The scan
// fills one per kept device instance; the driver document stores it as one Device element
// whose child elements carry the members' names.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vornel {

struct DriverRecord {
    std::string Bus;
    std::string DeviceDesc;
    std::string DriverDesc;
    std::string Type;
    std::string Class;
    std::string XMLName;
    std::string XMLIdx;  // the record's key, plain text
    std::string XMLInstallIdx;
    std::string XMLUserFriendlyData;
    std::string Driver;
    std::string InfFile;
    std::string InfSig;
    std::string Version;
    std::string FriendlyName;
    std::string RegDriverInstance;
    std::string AddMessage;
    std::string DriverAddendum;
    std::string FileDate;
    std::string InfSection;
    std::string InfSectionExt;
    std::string MatchingDeviceId;
    std::vector<std::string> HardwareID;
    std::vector<std::string> CompatibleIDs;
    std::string ClassGUID;
    std::string Manufacturer;
    std::string ProviderName;
    std::string AdditionalInfFiles;
    std::string InfInstallFilesMissing;
    std::string InfInstallFiles;
    std::string DriverDateDerivedFile;
    bool MSProvided = false;
    int16_t NumInstallFiles = 0;
    int16_t ParseMethod = 0;
    std::string DeviceInstanceId;
    int16_t Versioning1 = 0;
    int16_t Versioning2 = 0;
    int16_t TVIconIdx = 0;
    int16_t BackupIconIdx = 0;
    int16_t NumDeviceInstances = 0;
    std::string DeviceID;
    bool NoHWID = false;
    bool BackedUp = false;
    bool UnknownDevice = false;
    bool IsDriverInstalled = false;
    bool IsDeviceConnected = false;
    bool IsBadUSBEnumeration = false;
    bool UseINFSectionInBackupFolderName = false;
    bool IsCommonDevice = false;

    // When the record was written into a driver document; set only when a record is read
    // back (the document stamps the time itself when writing).
    std::string XMLIgnition;

    // Every member back to its default; the scan does this before each device instance.
    void Clear() { *this = DriverRecord{}; }
    bool operator==(const DriverRecord&) const = default;
};

// Where a field goes in the driver document.
enum class FieldPlace {
    Device,      // a child of the Device element
    XmlVlx,      // a child of the Device's XMLVLX element
    NotWritten,  // kept in memory only
};

// How the document writer treats a field's value.
enum class WriteRule {
    Plain,
    StampNow,  // the time of writing, not the member
    DropNul,   // NULs removed first
};

using TextMember = std::string DriverRecord::*;
using FlagMember = bool DriverRecord::*;
using CounterMember = int16_t DriverRecord::*;
using ListMember = std::vector<std::string> DriverRecord::*;

// One field of the record: the one place its name is spelled, for writing and reading.
struct DriverField {
    std::string_view name;
    std::variant<TextMember, FlagMember, CounterMember, ListMember> member;
    FieldPlace place;
    int order;  // 1-based position among the children of its element; 0 when not written
    WriteRule rule = WriteRule::Plain;
};

// The 48 fields in the record's order, then XMLIgnition.
std::span<const DriverField> DriverFields();
// The fields of one element of the document in the order they are written.
std::span<const DriverField* const> DocumentFields(FieldPlace place);
// The field of that name in that place, or null.
const DriverField* FindDriverField(std::string_view name, FieldPlace place);

// A field's value in its stored form: text unchanged, flags "True"/"False", counters in
// decimal, lists joined by ",".
std::string FieldValueText(const DriverRecord& record, const DriverField& field);
// The reverse. Flags accept "True"/"False" in any case or a number; lists split at ","
// (an empty text is an empty list). False when the text is not of the field's form; the
// member is then left at its default.
bool SetFieldFromText(DriverRecord& record, const DriverField& field, std::string_view text);

}  // namespace vornel
