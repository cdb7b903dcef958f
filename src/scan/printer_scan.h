#pragma once
// The printer scan: one driver record per installed printer, local or connected through a
// print server, added to the device scan's document after its walk.
#include <string>
#include <vector>

namespace vornel {

class DeviceScan;

// mP_EnumPrintServerDrivers.
void mP_EnumPrintServerDrivers(DeviceScan& scan);

// The printers of the installation: local ones by name, then "<server>\Printers\<name>"
// for those of print servers.
std::vector<std::string> PrinterList(DeviceScan& scan);

}  // namespace vornel
