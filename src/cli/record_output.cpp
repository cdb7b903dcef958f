#include "cli/record_output.h"

#include <algorithm>
#include <cstdio>

#include "support/text.h"

namespace vornel::cli {

namespace {
// Display width of UTF-8 text: one column per code point.
size_t Width(const std::string& s) { return text::DecodeUtf8(s).size(); }

std::string Fit(const std::string& s, size_t width) {
    const auto cps = text::DecodeUtf8(s);
    std::string r;
    if (cps.size() <= width) {
        r = s;
        r.append(width - cps.size(), ' ');
        return r;
    }
    for (size_t i = 0; i + 1 < width; ++i) text::AppendUtf8(r, cps[i]);
    return r + "~";
}
}  // namespace

void PrintRowTable(std::ostream& out, const std::vector<ReportRow>& rows) {
    const int cols[] = {report::kDescription, report::kVersion, report::kDate,
                        report::kProvider,    report::kManufacturer, report::kType};
    const size_t maxWidth[] = {48, 18, 10, 24, 24, 32};
    size_t width[6];
    for (int c = 0; c < 6; ++c) {
        width[c] = Width(report::kCaptions[cols[c]]);
        for (const auto& r : rows) width[c] = std::max(width[c], Width(r.items[cols[c]]));
        width[c] = std::min(width[c], maxWidth[c]);
    }
    auto line = [&](auto cell) {
        std::string l;
        for (int c = 0; c < 6; ++c) l += (c ? "  " : "") + Fit(cell(c), width[c]);
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out << l << "\n";
    };
    line([&](int c) { return std::string(report::kCaptions[cols[c]]); });
    line([&](int c) { return std::string(width[c], '-'); });
    for (const auto& r : rows) line([&](int c) { return r.items[cols[c]]; });
}

std::string JsonString(const std::string& s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': r += "\\\""; break;
            case '\\': r += "\\\\"; break;
            case '\n': r += "\\n"; break;
            case '\r': r += "\\r"; break;
            case '\t': r += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    r += buf;
                } else {
                    r += static_cast<char>(c);
                }
        }
    }
    return r + "\"";
}

void PrintRecordsJson(std::ostream& out, const std::vector<DriverRecord>& records) {
    out << "[";
    for (size_t i = 0; i < records.size(); ++i) {
        out << (i ? ",\n " : "\n ") << "{";
        bool first = true;
        for (const auto& f : DriverFields()) {
            out << (first ? "" : ", ") << JsonString(std::string(f.name)) << ": ";
            first = false;
            const DriverRecord& r = records[i];
            if (auto* list = std::get_if<ListMember>(&f.member)) {
                out << "[";
                const auto& v = r.*(*list);
                for (size_t k = 0; k < v.size(); ++k) out << (k ? ", " : "") << JsonString(v[k]);
                out << "]";
            } else if (auto* flag = std::get_if<FlagMember>(&f.member)) {
                out << (r.*(*flag) ? "true" : "false");
            } else if (auto* counter = std::get_if<CounterMember>(&f.member)) {
                out << r.*(*counter);
            } else {
                out << JsonString(FieldValueText(r, f));
            }
        }
        out << "}";
    }
    out << (records.empty() ? "]\n" : "\n]\n");
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    return "\"" + text::ReplaceAll(s, "\"", "\"\"") + "\"";
}

void PrintRecordsCsv(std::ostream& out, const std::vector<DriverRecord>& records) {
    bool first = true;
    for (const auto& f : DriverFields()) {
        out << (first ? "" : ",") << CsvField(std::string(f.name));
        first = false;
    }
    out << "\r\n";
    for (const auto& r : records) {
        first = true;
        for (const auto& f : DriverFields()) {
            out << (first ? "" : ",") << CsvField(FieldValueText(r, f));
            first = false;
        }
        out << "\r\n";
    }
}

}  // namespace vornel::cli
