#include "scan/device_classes.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {
constexpr const char* kModule = "mDrivers";

constexpr ClassTableRow kClassTable[] = {
    {"{36FC9E60-C465-11CF-8056-444553540000}", "Universal Serial Bus controllers"},
    {"{43675D81-502A-4A82-9F84-B75F418C5DEA}", "Media Center Extender"},
    {"{4658EE7E-F050-11D1-B6BD-00C04FA372A7}", "IEEE 1394 and SCSI printers"},
    {"{48721B56-6795-11D2-B1A8-0080C72E74A2}", "IEEE 1284.4 devices"},
    {"{49CE6AC8-6F86-11D2-B1E5-0080C72E74A2}", "IEEE 1284.4 compatible printers"},
    {"{4D36E965-E325-11CE-BFC1-08002BE10318}", "DVD/CD-ROM drives"},
    {"{4D36E966-E325-11CE-BFC1-08002BE10318}", "Computer"},
    {"{4D36E967-E325-11CE-BFC1-08002BE10318}", "Disk drives"},
    {"{4D36E968-E325-11CE-BFC1-08002BE10318}", "Display adapters"},
    {"{4D36E969-E325-11CE-BFC1-08002BE10318}", "Floppy drive controllers"},
    {"{4D36E96A-E325-11CE-BFC1-08002BE10318}", "IDE ATA/ATAPI controllers"},
    {"{4D36E96B-E325-11CE-BFC1-08002BE10318}", "Keyboards"},
    {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", "Sound, video and game controllers"},
    {"{4D36E96D-E325-11CE-BFC1-08002BE10318}", "Modems"},
    {"{4D36E96E-E325-11CE-BFC1-08002BE10318}", "Monitors"},
    {"{4D36E96F-E325-11CE-BFC1-08002BE10318}", "Mice and other pointing devices"},
    {"{4D36E970-E325-11CE-BFC1-08002BE10318}", "Memory Technology driver"},
    {"{4D36E971-E325-11CE-BFC1-08002BE10318}", "Multifunction adapters"},
    {"{4D36E972-E325-11CE-BFC1-08002BE10318}", "Network adapters"},
    {"{4D36E973-E325-11CE-BFC1-08002BE10318}", "Network Client"},
    {"{4D36E974-E325-11CE-BFC1-08002BE10318}", "Network Service"},
    {"{4D36E975-E325-11CE-BFC1-08002BE10318}", "Network Protocol"},
    {"{4D36E977-E325-11CE-BFC1-08002BE10318}", "PCMCIA adapters"},
    {"{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports (COM & LPT)"},
    {"{4D36E979-E325-11CE-BFC1-08002BE10318}", "Printers"},
    {"{4D36E97B-E325-11CE-BFC1-08002BE10318}", "Storage controllers"},
    {"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System devices"},
    {"{4D36E97E-E325-11CE-BFC1-08002BE10318}", "Other devices"},
    {"{4D36E980-E325-11CE-BFC1-08002BE10318}", "Floppy disk drives"},
    {"{50127DC3-0F36-415E-A6CC-4CB3BE910B65}", "Processors"},
    {"{50906CB8-BA12-11D1-BF5D-0000F805F530}", "Multi-port serial adapters"},
    {"{5099944A-F6B9-4057-A056-8C550228544C}", "Memory devices"},
    {"{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "Smart card readers"},
    {"{533C5B84-EC70-11D2-9505-00C04F79DEAF}", "Storage volume shadow copies"},
    {"{6BDD1FC1-810F-11D0-BEC7-08002BE2092F}", "IEEE 1394 Bus host controllers"},
    {"{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}", "Infrared devices"},
    {"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "Imaging devices"},
    {"{6D807884-7D21-11CF-801C-08002BE10318}", "Tape drives"},
    {"{71A27CDD-812A-11D0-BEC7-08002BE2092F}", "Storage volumes"},
    {"{72631E54-78A4-11D0-BCF7-00AA00B7B32A}", "Batteries"},
    {"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "Human Interface Devices"},
    {"{7EBEFBC0-3200-11D2-B4C2-00A0C9697D07}", "61883 Device Class"},
    {"{8ECC055D-047F-11D1-A537-0000F8753ED1}", "Non-Plug and Play Drivers"},
    {"{997B5D8D-C442-4F2E-BAF3-9C8E671E9E21}", "Windows SlideShow"},
    {"{A0A588A4-C46F-4B37-B7EA-C82FE89870C6}", "SD Host adapters"},
    {"{CC41EBA2-AB57-4F4E-8C3D-1BC33B1E74E3}", ""},
    {"{CE5939AE-EBDE-11D0-B181-0000F8753EC4}", "Medium Changer devices"},
    {"{D48179BE-EC20-11D1-B6B8-00C04FA372A7}", "SBP2 IEEE 1394 Devices"},
    {"{D61CA365-5AF4-4486-998B-9DB4734C6CA3}", "Microsoft Common Controller For Windows Class"},
    {"{D94EE5D8-D189-4994-83D2-F68D7D41B0E6}", "Security Devices"},
    {"{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", "Bluetooth Radios"},
    {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", "Portable Devices"},
};
static_assert(std::size(kClassTable) == 52);

// Tested in this order; the French names only when no English one matched.
constexpr std::string_view kStandardEnglish[] = {
    "(Standard monitor types)", "(Standard floppy disk drives)", "MS_SCDRDEV", "(Standard mouse types)", "MS_SHDD",
    "Compatible USB storage device", "MS_GUSBC", "(Standard USB Host Controller)", "(Standard computers)",
    "(Standard IDE ATA/ATAPI controllers)", "(Standard CD-ROM drives)", "(Standard disk drives)",
    "(Standard floppy disk controllers)", "(Standard port types)", "(Standard keyboards)",
    "(Standard processor devices)", "(Standard system devices)", "Microsoft"};
constexpr std::string_view kStandardFrench[] = {
    "(Types d'écrans standard)", "(Lecteurs de disquettes standard)", "(Lecteurs de CD-ROM standard)",
    "Périphérique de stockage USB compatible", "(Concentrateur USB générique)", "(Contrôleur hôte USB standard)",
    "(Ordinateurs standard)", "(Contrôleurs ATA/ATAPI IDE standard)", "(Lecteurs de disque standard)",
    "(Contrôleurs de lecteur de disquettes standard)", "(Types de port standard)", "(Claviers standard)",
    "(Périphériques système standard)"};

// Simple lower-case mapping of the scripts driver makers' names are written in: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic. Enough for a "contains" test in which an
// upper-case accented letter ("PÉRIPHÉRIQUE") must match its lower-case form.
char32_t FoldCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0xC0) return c;
    if (c <= 0xDE) return c == 0xD7 ? c : c + 32;
    if (c == 0x178) return 0xFF;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130) return 'i';
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        return oddUpper ? (c % 2 ? c + 1 : c) : (c % 2 ? c : c + 1);
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::u32string Folded(std::string_view utf8) {
    std::u32string s = text::DecodeUtf8(utf8);
    for (auto& c : s) c = FoldCase(c);
    return s;
}

std::vector<std::string> SubKeys(ScanContext& ctx, const std::string& key) {
    const std::string list = ctx.reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, key, true, false, false, false);
    return list.empty() ? std::vector<std::string>{} : text::Split(list, "|");
}

int16_t Clamp16(size_t n) {
    return static_cast<int16_t>(std::min<size_t>(n, std::numeric_limits<int16_t>::max()));
}
}  // namespace

std::span<const ClassTableRow> ClassTable() { return kClassTable; }

int16_t ClassCount(ScanContext& ctx, bool onlyWithSubKeys) {
    return Guarded(kModule, "ClassCount", int16_t{0}, [&] {
        const std::string root = ctx.ClassRoot();
        const std::vector<std::string> classes = SubKeys(ctx, root);
        if (!onlyWithSubKeys) return Clamp16(classes.size());
        size_t n = 1;
        for (const auto& c : classes)
            if (ctx.reg.cP_IsSubKeys(hkey::kLocalMachine, root + c)) ++n;
        return Clamp16(n);
    });
}

std::string ClassDisplayName(std::string_view classGuid, std::string_view defaultName) {
    const std::string guid = text::UpperAscii(classGuid);
    for (const auto& row : kClassTable)
        if (row.guid == guid) return std::string(row.name);
    return std::string(defaultName);
}

bool IsStandardProvider(std::string_view text) {
    return Guarded(kModule, "IsStandardProvider", false, [&] {
        if (text.empty()) return false;
        auto folded = [](std::span<const std::string_view> names) {
            std::vector<std::u32string> out;
            for (auto n : names) out.push_back(Folded(n));
            return out;
        };
        static const std::vector<std::u32string> english = folded(kStandardEnglish);
        static const std::vector<std::u32string> french = folded(kStandardFrench);
        const std::u32string hay = Folded(text);
        auto any = [&](const std::vector<std::u32string>& names) {
            return std::any_of(names.begin(), names.end(),
                               [&](const std::u32string& n) { return hay.find(n) != std::u32string::npos; });
        };
        return any(english) || any(french);
    });
}

ClassIconNode mP_GetIconDataSetParentNode(ScanContext& ctx, DriverRecord& r, ClassIconSet& icons,
                                          std::string_view parentText) {
    ClassIconNode node;
    GuardedRun(kModule, "mP_GetIconDataSetParentNode", [&] {
        node.parent = parentText.empty() ? ctx.info.sComputerName : std::string(parentText);
        if (r.ClassGUID.empty()) {
            r.Class = "UNKNOWN";
            r.ClassGUID = kUnknownClassGuid;
        }
        // A device Windows could not name, or one with neither identifier nor driver, shows
        // the unknown class's icon whatever class it claims.
        const bool unknownIcon = r.DeviceInstanceId.empty() || text::UpperAscii(r.DeviceDesc) == "UNKNOWN DEVICE" ||
                                 (r.NoHWID && !r.IsDriverInstalled);
        node.key = unknownIcon ? std::string(kUnknownClassGuid) : text::UpperAscii(r.ClassGUID);
        if (const auto number = icons.IconNumber(node.key)) r.TVIconIdx = *number;
    });
    return node;
}

}  // namespace vornel
