#include "scan/version_date.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "support/text.h"

namespace vornel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares one component: digits as a number of any length, then the rest as text.
int CompareComponent(std::string_view a, std::string_view b) {
    auto digits = [](std::string_view s, std::string_view& rest) {
        size_t n = 0;
        while (n < s.size() && IsDigit(s[n])) ++n;
        rest = s.substr(n);
        std::string_view d = s.substr(0, n);
        while (d.size() > 1 && d.front() == '0') d.remove_prefix(1);
        if (d.empty()) d = "0";
        return d;
    };
    std::string_view restA, restB;
    const std::string_view na = digits(a, restA), nb = digits(b, restB);
    if (na.size() != nb.size()) return na.size() < nb.size() ? -1 : 1;
    if (const int c = na.compare(nb)) return c < 0 ? -1 : 1;
    const int c = text::ICompare(restA, restB);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// A version's components one by one, each with its blanks trimmed, as a list split at the
// dots would hold them (an empty text has one empty component), without the list.
class Components {
public:
    explicit Components(std::string_view v) : rest_(text::TrimmedView(v)) {}
    bool Next(std::string_view& out) {
        if (done_) return false;
        const size_t dot = rest_.find('.');
        out = text::TrimmedView(rest_.substr(0, dot));
        if (dot == std::string_view::npos) done_ = true;
        else rest_.remove_prefix(dot + 1);
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// A run of 1 to maxDigits digits as a number; false when there is none or it is longer.
bool Number(std::string_view& s, size_t maxDigits, int& out) {
    size_t n = 0;
    out = 0;
    while (n < s.size() && IsDigit(s[n])) {
        if (++n > maxDigits) return false;
        out = out * 10 + (s[n - 1] - '0');
    }
    s.remove_prefix(n);
    return n > 0;
}

bool Separator(std::string_view& s, char& sep) {
    if (s.empty() || (s.front() != '/' && s.front() != '-')) return false;
    if (sep && s.front() != sep) return false;
    sep = s.front();
    s.remove_prefix(1);
    return true;
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
    // A version that runs out of components goes on with zeros.
    Components pa(a), pb(b);
    for (;;) {
        std::string_view ca, cb;
        const bool moreA = pa.Next(ca), moreB = pb.Next(cb);
        if (!moreA && !moreB) return 0;
        if (const int c = CompareComponent(moreA ? ca : "0", moreB ? cb : "0")) return c;
    }
}

std::optional<CivilDate> ParseDate(std::string_view text) {
    std::string_view s = text;
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    if (const size_t blank = s.find_first_of(" \t"); blank != std::string_view::npos) s = s.substr(0, blank);

    CivilDate d;
    char sep = 0;
    int first = 0, second = 0, third = 0;
    size_t length = s.size();
    if (!Number(s, 4, first)) return std::nullopt;
    const size_t firstDigits = length - s.size();
    if (firstDigits == 3) return std::nullopt;
    const bool yearFirst = firstDigits == 4;
    if (!Separator(s, sep) || !Number(s, 2, second) || !Separator(s, sep)) return std::nullopt;
    length = s.size();
    if (!Number(s, yearFirst ? 2 : 4, third) || !s.empty()) return std::nullopt;
    if (yearFirst) {
        d = {first, second, third};
    } else {
        if (length != 4) return std::nullopt;  // M/D/YYYY: a four-digit year
        d = {third, first, second};
    }
    if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > DaysInMonth(d.year, d.month))
        return std::nullopt;
    return d;
}

std::string FormatDate(const CivilDate& date) {
    // Every driver record formats several dates: the usual ones without the printf machinery.
    if (date.month >= 0 && date.month <= 99 && date.day >= 0 && date.day <= 99 && date.year >= 0 &&
        date.year <= 9999) {
        const auto digit = [](int v) { return static_cast<char>('0' + v % 10); };
        return {digit(date.month / 10), digit(date.month), '/',
                digit(date.day / 10),   digit(date.day),   '/',
                digit(date.year / 1000), digit(date.year / 100), digit(date.year / 10), digit(date.year)};
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", date.month, date.day, date.year);
    return buf;
}

CivilDate DateOfTime(std::time_t utc) {
    // Days since 1970-01-01 to the proleptic Gregorian calendar (H. Hinnant's civil_from_days).
    int64_t t = static_cast<int64_t>(utc);
    int64_t days = t / 86400;
    if (t % 86400 < 0) --days;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

std::string DateText(std::time_t utc) { return FormatDate(DateOfTime(utc)); }

std::string NormalizeDate(std::string_view text) {
    if (auto d = ParseDate(text)) return FormatDate(*d);
    return std::string(text);
}

std::optional<int> CompareDates(std::string_view a, std::string_view b) {
    const auto da = ParseDate(a), db = ParseDate(b);
    if (!da || !db) return std::nullopt;
    if (*da == *db) return 0;
    return *da < *db ? -1 : 1;
}

}  // namespace vornel
