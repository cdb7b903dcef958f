#include "scan/driver_record.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "support/text.h"

namespace vornel {

namespace {

using R = DriverRecord;
using P = FieldPlace;

// Record order; `order` is the element's place in the document.
const std::array<DriverField, 49> kFields = {{
    {"Bus", &R::Bus, P::Device, 9},
    {"DeviceDesc", &R::DeviceDesc, P::Device, 2},
    {"DriverDesc", &R::DriverDesc, P::Device, 1},
    {"Type", &R::Type, P::Device, 10},
    {"Class", &R::Class, P::Device, 11},
    {"XMLName", &R::XMLName, P::XmlVlx, 1},
    {"XMLIdx", &R::XMLIdx, P::XmlVlx, 2},
    {"XMLInstallIdx", &R::XMLInstallIdx, P::XmlVlx, 4},
    {"XMLUserFriendlyData", &R::XMLUserFriendlyData, P::XmlVlx, 5, WriteRule::DropNul},
    {"Driver", &R::Driver, P::Device, 27},
    {"InfFile", &R::InfFile, P::Device, 24},
    {"InfSig", &R::InfSig, P::NotWritten, 0},
    {"Version", &R::Version, P::Device, 13},
    {"FriendlyName", &R::FriendlyName, P::Device, 12},
    {"RegDriverInstance", &R::RegDriverInstance, P::Device, 21},
    {"AddMessage", &R::AddMessage, P::Device, 23},
    {"DriverAddendum", &R::DriverAddendum, P::Device, 29},
    {"FileDate", &R::FileDate, P::Device, 17},
    {"InfSection", &R::InfSection, P::Device, 25},
    {"InfSectionExt", &R::InfSectionExt, P::Device, 26},
    {"MatchingDeviceId", &R::MatchingDeviceId, P::Device, 28},
    {"HardwareID", &R::HardwareID, P::Device, 30},
    {"CompatibleIDs", &R::CompatibleIDs, P::Device, 31},
    {"ClassGUID", &R::ClassGUID, P::Device, 32},
    {"Manufacturer", &R::Manufacturer, P::Device, 18},
    {"ProviderName", &R::ProviderName, P::Device, 19},
    {"AdditionalInfFiles", &R::AdditionalInfFiles, P::Device, 36},
    {"InfInstallFilesMissing", &R::InfInstallFilesMissing, P::Device, 37},
    {"InfInstallFiles", &R::InfInstallFiles, P::Device, 38},
    {"DriverDateDerivedFile", &R::DriverDateDerivedFile, P::Device, 16},
    {"MSProvided", &R::MSProvided, P::Device, 20},
    {"NumInstallFiles", &R::NumInstallFiles, P::Device, 33},
    {"ParseMethod", &R::ParseMethod, P::Device, 35},
    {"DeviceInstanceId", &R::DeviceInstanceId, P::Device, 22},
    {"Versioning1", &R::Versioning1, P::Device, 14},
    {"Versioning2", &R::Versioning2, P::Device, 15},
    {"TVIconIdx", &R::TVIconIdx, P::Device, 39},
    {"BackupIconIdx", &R::BackupIconIdx, P::Device, 40},
    {"NumDeviceInstances", &R::NumDeviceInstances, P::Device, 41},
    {"DeviceID", &R::DeviceID, P::Device, 3},
    {"NoHWID", &R::NoHWID, P::Device, 4},
    {"BackedUp", &R::BackedUp, P::Device, 34},
    {"UnknownDevice", &R::UnknownDevice, P::Device, 5},
    {"IsDriverInstalled", &R::IsDriverInstalled, P::Device, 6},
    {"IsDeviceConnected", &R::IsDeviceConnected, P::Device, 7},
    {"IsBadUSBEnumeration", &R::IsBadUSBEnumeration, P::Device, 8},
    {"UseINFSectionInBackupFolderName", &R::UseINFSectionInBackupFolderName, P::Device, 42},
    {"IsCommonDevice", &R::IsCommonDevice, P::NotWritten, 0},
    {"XMLIgnition", &R::XMLIgnition, P::XmlVlx, 3, WriteRule::StampNow},
}};

std::vector<const DriverField*> Ordered(FieldPlace place) {
    std::vector<const DriverField*> out;
    for (const DriverField& f : kFields)
        if (f.place == place) out.push_back(&f);
    std::sort(out.begin(), out.end(), [](const DriverField* a, const DriverField* b) { return a->order < b->order; });
    return out;
}

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

bool ParseFlag(std::string_view t, bool& out) {
    const std::string s = text::Trim(t);
    if (text::IEquals(s, "True") || text::IEquals(s, "False")) {
        out = text::IEquals(s, "True");
        return true;
    }
    long long n = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return false;
    out = n != 0;
    return true;
}

bool ParseCounter(std::string_view t, int16_t& out) {
    const std::string s = text::Trim(t);
    const char* begin = s.data() + (!s.empty() && s[0] == '+' ? 1 : 0);
    int n = 0;
    const auto [end, ec] = std::from_chars(begin, s.data() + s.size(), n);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || n < INT16_MIN || n > INT16_MAX)
        return false;
    out = static_cast<int16_t>(n);
    return true;
}

}  // namespace

std::span<const DriverField> DriverFields() { return kFields; }

std::span<const DriverField* const> DocumentFields(FieldPlace place) {
    static const std::vector<const DriverField*> device = Ordered(FieldPlace::Device);
    static const std::vector<const DriverField*> vlx = Ordered(FieldPlace::XmlVlx);
    static const std::vector<const DriverField*> none = Ordered(FieldPlace::NotWritten);
    switch (place) {
        case FieldPlace::Device: return device;
        case FieldPlace::XmlVlx: return vlx;
        default: return none;
    }
}

const DriverField* FindDriverField(std::string_view name, FieldPlace place) {
    for (const DriverField* f : DocumentFields(place))
        if (f->name == name) return f;
    return nullptr;
}

std::string FieldValueText(const DriverRecord& r, const DriverField& field) {
    return std::visit(Overloaded{
                          [&](TextMember m) { return r.*m; },
                          [&](FlagMember m) { return std::string(r.*m ? "True" : "False"); },
                          [&](CounterMember m) { return std::to_string(r.*m); },
                          // Plain join: leading empty entries keep their place.
                          [&](ListMember m) { return text::Join(r.*m, ","); },
                      },
                      field.member);
}

bool SetFieldFromText(DriverRecord& r, const DriverField& field, std::string_view t) {
    return std::visit(Overloaded{
                          [&](TextMember m) {
                              r.*m = std::string(t);
                              return true;
                          },
                          [&](FlagMember m) {
                              bool v = false;
                              const bool ok = ParseFlag(t, v);
                              r.*m = ok && v;
                              return ok;
                          },
                          [&](CounterMember m) {
                              int16_t v = 0;
                              const bool ok = ParseCounter(t, v);
                              r.*m = ok ? v : int16_t{0};
                              return ok;
                          },
                          [&](ListMember m) {
                              r.*m = t.empty() ? std::vector<std::string>{} : text::Split(t, ",");
                              return true;
                          },
                      },
                      field.member);
}

}  // namespace vornel
