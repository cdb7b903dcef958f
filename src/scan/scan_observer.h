#pragma once
// How a scan talks to whoever shows it: progress, scan-log lines, the summary texts, new
// report rows, and a chance to let pending events run. The scan reads the stop request
// here; it holds no UI code itself.
#include <string>

#include "scan/report_rows.h"

namespace vornel {

// The summary texts the scan sets.
enum class SummaryText {
    kPercent,         // "12% complete"
    kElapsed,         // "Elapsed time: 01:05"
    kStartTime,       // "Start time: ..."
    kEndTime,         // "End time: ..."
    kComputerName,    // "Computer name: ..."
    kMake,            // "Make: ..."
    kModel,           // "Model: ..."
    kDeviceClasses,   // "Device classes found: ..."
    kDevicesFound,    // "Devices found: ..."
    kUnidentified,    // "Unidentified devices: ..."
};

class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    virtual void OnProgress(float /*value*/) {}
    virtual void OnSummary(SummaryText /*which*/, const std::string& /*text*/) {}
    // A scan-log line; unless noStatus it is also the status-bar text.
    virtual void OnLogLine(const std::string& /*line*/, bool /*noStatus*/) {}
    virtual void OnRowsCleared() {}
    virtual void OnRowAdded(const ReportRow& /*row*/) {}
    // The row of a record a later, present instance replaced.
    virtual void OnRowRemoved(const std::string& /*tag*/) {}
    // Pending events run here (the desktop program processes its events, the command line
    // redraws its progress line).
    virtual void LetEventsRun() {}
    // Read at the head of every loop of the scan.
    virtual bool StopRequested() { return false; }
};

}  // namespace vornel
