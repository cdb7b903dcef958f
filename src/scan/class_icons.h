#pragma once
// The icons that stand for a device's setup class in the report list, as numbers that the
// record keeps in TVIconIdx and the driver document stores.
//
// Numbering, and how the report view maps a number back to a class:
//   320 + i  the program's own icon i: the class GUID BuiltInGuids()[i]. The list is fixed
//            and only ever grows at its end, so these numbers mean the same in every
//            document.
//   300 + j  a class the program carries no icon for: entry j of the report list's own icon
//            set, which a scan fills in the order it meets such classes (ScanGuids()). Such
//            a key is always the record's own ClassGUID (the unknown class, the only other
//            key, is built in), so a view that has only the document draws the generic
//            class icon for it and finds the class in the record's ClassGUID.
//   other    no class icon (0 until the icon step sets one).
// The per-scan set holds at most 20 classes (300-319) so that it never reaches the
// built-in numbers; a further class gets no icon.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornel {

class ClassIconSet {
public:
    static constexpr int16_t kBuiltInBase = 320;
    static constexpr int16_t kScanBase = 300;
    static constexpr size_t kScanCapacity = kBuiltInBase - kScanBase;

    // The class GUIDs the program has an icon for, upper-case, in icon order: the classes
    // of the class-name table in table order, then classes of later Windows versions.
    static std::span<const std::string_view> BuiltInGuids();
    // The position of a class GUID (any case) among them.
    static std::optional<size_t> BuiltInIndex(std::string_view guid);

    // The icon number of a class GUID (any case): its built-in icon, else its entry of this
    // scan's set, added when new. Nullopt when the key is not a GUID in braces or the set
    // is full.
    std::optional<int16_t> IconNumber(std::string_view guid);

    // The classes added to this scan's set, in icon order.
    const std::vector<std::string>& ScanGuids() const { return scan_; }

    // The class GUID an icon number stands for: built-in numbers always, numbers of the
    // per-scan set while this set is at hand; empty otherwise.
    std::string GuidOfIconNumber(int16_t number) const;

    // True for text of the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, hex in any case.
    static bool IsGuidText(std::string_view text);

private:
    std::vector<std::string> scan_;  // upper-case
};

}  // namespace vornel
