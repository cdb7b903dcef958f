#include "scan/class_icons.h"

#include <array>

#include "scan/device_classes.h"
#include "support/text.h"

namespace vornel {

namespace {
// Setup classes of Windows 7 and later that the class-name table does not list but that
// most machines have; appended after the table's classes, never reordered.
constexpr std::string_view kLaterClasses[] = {
    "{5C4C3332-344D-483C-8739-259E934C9CC8}",  // software components
    "{E2F84CE7-8EFA-411C-AA69-97454CA4CB57}",  // extensions
    "{C166523C-FE0C-4A94-A586-F1A80CFBBF3E}",  // audio inputs and outputs
    "{5989FCE8-9CD0-467D-8A6A-5419E31529D4}",  // audio processing objects
    "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}",  // cameras
    "{53D29EF7-377C-4D14-864B-EB3A85769359}",  // biometric devices
    "{F2E7DD72-6468-4E36-B6F1-6488F42C1B52}",  // firmware
    "{5175D334-C371-4806-B3BA-71FD53C9258D}",  // sensors
    "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}",  // USB devices
    "{1ED2BBF9-11F0-4084-B21F-AD83A8E6DCDC}",  // print queues
    "{990A2BD7-E738-46C7-B26F-1CF8FB9F1391}",  // smart cards
    "{DB4F6DDD-9C0E-45E4-9597-78DBBAD0F412}",  // smart card filters
    "{5630831C-06C9-4856-B327-F5D32586E060}",  // proximity devices
    "{268C95A1-EDFE-11D3-95C3-0010DC4050A5}",  // security accelerators
    "{F01A9D53-3FF6-48D2-9F97-C8A7004BE10C}",  // compute accelerators
    "{E6F1AA1C-7F3B-4473-B2E8-C97D8AC71D53}",  // USB connector managers
    "{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}",  // mobile device USB connections
    "{66F250D6-7801-4A64-B139-EEA80A450B24}",  // IEEE 1394 debug
    "{C06FF265-AE09-48F0-812C-16753D7CBA83}",  // AV/C devices
    "{6BDD1FC3-810F-11D0-BEC7-08002BE2092F}",  // GPS devices
    "{6BDD1FC2-810F-11D0-BEC7-08002BE2092F}",  // decoders
    "{C459DF55-DB08-11D1-B009-00A0C9081FF6}",  // IEEE 1394 enumerated devices
};

using BuiltIn = std::array<std::string_view, 52 + std::size(kLaterClasses)>;

const BuiltIn& BuiltInList() {
    static const BuiltIn list = [] {
        BuiltIn l{};
        size_t i = 0;
        for (const auto& row : ClassTable()) l[i++] = row.guid;
        for (auto g : kLaterClasses) l[i++] = g;
        return l;
    }();
    return list;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
}  // namespace

std::span<const std::string_view> ClassIconSet::BuiltInGuids() { return BuiltInList(); }

std::optional<size_t> ClassIconSet::BuiltInIndex(std::string_view guid) {
    const std::string upper = text::UpperAscii(guid);
    const BuiltIn& list = BuiltInList();
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == upper) return i;
    return std::nullopt;
}

bool ClassIconSet::IsGuidText(std::string_view t) {
    if (t.size() != 38 || t.front() != '{' || t.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? t[i] != '-' : !IsHex(t[i])) return false;
    }
    return true;
}

std::optional<int16_t> ClassIconSet::IconNumber(std::string_view guid) {
    if (!IsGuidText(guid)) return std::nullopt;
    if (const auto i = BuiltInIndex(guid)) return static_cast<int16_t>(kBuiltInBase + *i);
    // A class met again keeps its entry; a new one is appended, and gets count - 1 + 300.
    const std::string upper = text::UpperAscii(guid);
    for (size_t j = 0; j < scan_.size(); ++j)
        if (scan_[j] == upper) return static_cast<int16_t>(kScanBase + j);
    if (scan_.size() >= kScanCapacity) return std::nullopt;
    scan_.push_back(upper);
    return static_cast<int16_t>(kScanBase + scan_.size() - 1);
}

std::string ClassIconSet::GuidOfIconNumber(int16_t number) const {
    const BuiltIn& list = BuiltInList();
    if (number >= kBuiltInBase && static_cast<size_t>(number - kBuiltInBase) < list.size())
        return std::string(list[static_cast<size_t>(number - kBuiltInBase)]);
    if (number >= kScanBase && static_cast<size_t>(number - kScanBase) < scan_.size())
        return scan_[static_cast<size_t>(number - kScanBase)];
    return {};
}

}  // namespace vornel
