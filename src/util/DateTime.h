#pragma once
// Date-times as the settings file stores them: days since 30 December 1899, the fraction
// being the time of day (local time). 0 therefore means "never" wherever a date is optional.

#include <cstdint>
#include <string>

namespace corvan {

using TDateTime = double;

constexpr double kMillisecondsPerDay = 86400000.0;
// Days from 30 Dec 1899 to 1 Jan 1970.
constexpr int kUnixEpochDays = 25569;

// Date-time from a civil date and time; no range checks beyond what the arithmetic needs.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

struct TDateTimeParts {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
// The civil parts of a date-time (rounded to the nearest millisecond).
TDateTimeParts DecodeDateTime(TDateTime value);

// The current local date-time.
TDateTime Now();

// "yymmdd", "hhnnss" and "hh:nn:ss" of a date-time.
std::string FormatDateYYMMDD(TDateTime value);
std::string FormatTimeHHNNSS(TDateTime value);
std::string FormatTimeColons(TDateTime value);

// Whole days from one date-time to a later one, truncated toward zero. The difference is
// first rounded to the millisecond, so that 28 days computed from two stored fractions
// (which rarely subtract exactly) count as 28 and not 27.
int64_t WholeDaysBetween(TDateTime earlier, TDateTime later);

} // namespace corvan
