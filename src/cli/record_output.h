#pragma once
// Printing driver records and report rows: a readable table, JSON with every field of the
// document, or CSV.
#include <ostream>
#include <string>
#include <vector>

#include "scan/driver_record.h"
#include "scan/report_rows.h"

namespace vornel::cli {

// The report rows as a table: description, version, date, provider, manufacturer, type.
void PrintRowTable(std::ostream& out, const std::vector<ReportRow>& rows);
// Every field of every record, named as the driver document names them.
void PrintRecordsJson(std::ostream& out, const std::vector<DriverRecord>& records);
void PrintRecordsCsv(std::ostream& out, const std::vector<DriverRecord>& records);

std::string JsonString(const std::string& s);
std::string CsvField(const std::string& s);

}  // namespace vornel::cli
