#include "scan/scan_progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

namespace {
constexpr const char* kServers = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\LanMan Print Services\\Servers\\";

std::vector<std::string> SubKeys(cReg& reg, const std::string& key) {
    const std::string list = reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, key, true, false, false, false);
    if (list.empty()) return {};
    return text::Split(list, "|");
}

// SubKeys(reg, key).size(), without the names.
long SubKeyCount(cReg& reg, const std::string& key) {
    const std::string list = reg.cP_EnumRegKeysOrValues(hkey::kLocalMachine, key, true, false, false, false);
    return list.empty() ? 0 : static_cast<long>(std::count(list.begin(), list.end(), '|')) + 1;
}
}  // namespace

float ScanProgress::p_GetProgressBarMaxValue(cReg& reg, const ComputerInfo& info) {
    const bool nineX = info.bWin9x && !info.bNT;
    const std::string root = nineX ? "Enum\\" : "SYSTEM\\CurrentControlSet\\Enum\\";
    const std::string printers = nineX ? "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"
                                       : "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers";
    long total = 0;
    for (const auto& bus : SubKeys(reg, root)) {
        ++total;
        for (const auto& device : SubKeys(reg, root + bus)) {
            ++total;
            total += SubKeyCount(reg, root + bus + "\\" + device);
        }
    }
    total += SubKeyCount(reg, printers);
    for (const auto& server : SubKeys(reg, kServers))
        total += SubKeyCount(reg, kServers + server + "\\Printers");
    return total == 0 ? 0.0f : 50.0f / static_cast<float>(total);
}

void ScanProgress::mP_SetPGBandStatusBar(bool compute, cReg& reg, const ComputerInfo& info) {
    value_ = 0;
    if (compute && step_ == 0) step_ = p_GetProgressBarMaxValue(reg, info);
}

void ScanProgress::Advance() {
    const float next = value_ + step_;
    if (next < kMaximum) value_ = next;
}

std::string ScanProgress::PercentText() const {
    return std::to_string(static_cast<long>(std::floor(value_)));
}

std::string ElapsedText(std::time_t start, std::time_t end) {
    long secs = static_cast<long>(std::difftime(end, start));
    if (secs < 0) secs = 0;
    secs %= 86400;  // a time of day
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02ld:%02ld", (secs / 60) % 60, secs % 60);
    return buf;
}

}  // namespace vornel
