#include "util/DateTime.h"

#include "util/Strings.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace corvan {

namespace {

// Days since 1 Jan 1970 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = int(doy - (153 * mp + 2) / 5 + 1);
    month = int(mp < 10 ? mp + 3 : mp - 9);
    year = int(int64_t(yoe) + era * 400 + (month <= 2));
}

} // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    int64_t days = DaysFromCivil(year, unsigned(month), unsigned(day)) + kUnixEpochDays;
    double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
    return double(days) + ms / kMillisecondsPerDay;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
    // Years 1 to 9999; a stored value outside (or not a number) is pinned to the nearer end.
    const double first = -693593.0, last = 2958465.999;
    if (!(value >= first))
        value = std::isnan(value) ? 0.0 : first;
    if (value > last)
        value = last;
    int64_t totalMs = std::llround(value * kMillisecondsPerDay);
    int64_t days = totalMs / 86400000;
    int64_t msOfDay = totalMs % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    TDateTimeParts p{};
    CivilFromDays(days - kUnixEpochDays, p.Year, p.Month, p.Day);
    p.Hour = int(msOfDay / 3600000);
    p.Minute = int(msOfDay / 60000 % 60);
    p.Second = int(msOfDay / 1000 % 60);
    p.Millisecond = int(msOfDay % 1000);
    return p;
}

TDateTime Now() {
    auto now = std::chrono::system_clock::now();
    int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::time_t seconds = std::time_t(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    int64_t localMs = ms + int64_t(local.tm_gmtoff) * 1000;
    return kUnixEpochDays + double(localMs) / kMillisecondsPerDay;
}

std::string FormatDateYYMMDD(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    return Format("%02d%02d%02d", p.Year % 100, p.Month, p.Day);
}

std::string FormatTimeHHNNSS(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    return Format("%02d%02d%02d", p.Hour, p.Minute, p.Second);
}

std::string FormatTimeColons(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    return Format("%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
}

int64_t WholeDaysBetween(TDateTime earlier, TDateTime later) {
    double diff = later - earlier;
    if (!std::isfinite(diff))
        return 0;
    // Beyond a few million years the count no longer matters; keep llround defined.
    const double limit = 1e15;
    double ms = std::round(diff * kMillisecondsPerDay);
    if (ms > limit)
        ms = limit;
    if (ms < -limit)
        ms = -limit;
    return int64_t(ms) / 86400000; // C++ division truncates toward zero
}

} // namespace corvan
