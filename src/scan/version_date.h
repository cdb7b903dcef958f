#pragma once
// Driver versions and dates as values. Versions compare component by component as numbers
// (5.1.10 is newer than 5.1.9); dates compare as calendar dates, never as text. The one
// date text the program writes is MM/DD/YYYY, the form of an INF's DriverVer line, so a
// date taken from a file's time and one taken from an INF read alike.
#include <compare>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace vornel {

// <0, 0 or >0 as version a is older than, equal to or newer than b. Components are split at
// "."; a missing or empty component counts as 0, so 1.0 equals 1.0.0. A component's leading
// digits compare as a number of any length; text after them ("1a") breaks a tie, compared
// without regard to case, and no text sorts first.
int CompareVersions(std::string_view a, std::string_view b);

struct CivilDate {
    int year = 0;
    int month = 0;
    int day = 0;
    auto operator<=>(const CivilDate&) const = default;
};

// A date in one of the forms INF files and the registry hold: MM/DD/YYYY, M/D/YYYY,
// M-D-YYYY (the registry's DriverDate), YYYY-MM-DD or YYYY/MM/DD; anything after the first
// blank (a time) is ignored. Nullopt when the text is not a valid calendar date.
std::optional<CivilDate> ParseDate(std::string_view text);

// MM/DD/YYYY.
std::string FormatDate(const CivilDate& date);

// The calendar date of a file time, in UTC: the time zone of an installation that is not
// running is not known, so every file time is read alike.
CivilDate DateOfTime(std::time_t utc);
// The same as MM/DD/YYYY.
std::string DateText(std::time_t utc);

// A date text in the program's form when it parses, otherwise the text unchanged.
std::string NormalizeDate(std::string_view text);

// <0, 0 or >0 comparing two date texts as dates; nullopt when either is not a date.
std::optional<int> CompareDates(std::string_view a, std::string_view b);

}  // namespace vornel
