#pragma once
// The arithmetic and texts of a scan's progress display: the step the scans advance the
// bar by (they fill its first half), the percentage text and the elapsed time.
#include <ctime>
#include <string>

#include "support/creg.h"
#include "sysinfo/computer_info.h"

namespace vornel {

class ScanProgress {
public:
    static constexpr float kMaximum = 100.0f;

    // 50 divided by the number of buses, devices, instances, local printers and printers
    // of print servers; 0 when there are none.
    static float p_GetProgressBarMaxValue(cReg& reg, const ComputerInfo& info);

    // Bar to 0; with compute set and no step yet, computes the step.
    void mP_SetPGBandStatusBar(bool compute, cReg& reg, const ComputerInfo& info);
    // Raises the bar by one step, unless that would reach the maximum.
    void Advance();
    float Value() const { return value_; }
    float Step() const { return step_; }
    void SetStep(float s) { step_ = s; }
    // The bar's value cut to its whole part, as text.
    std::string PercentText() const;

private:
    float value_ = 0;
    float step_ = 0;
};

// The elapsed time between two moments as the summary shows it: minutes and seconds of
// the difference taken as a time of day ("01:05"; hours are dropped).
std::string ElapsedText(std::time_t start, std::time_t end);

}  // namespace vornel
