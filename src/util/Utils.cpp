#include "util/Utils.h"

#include "util/Strings.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace corvan {

namespace {
// A double as int64, pinned to the int64 range (the plain conversion is undefined outside).
int64_t SaturatingInt64(double v) {
    const double two63 = 9223372036854775808.0;
    if (v >= two63)
        return std::numeric_limits<int64_t>::max();
    if (v <= -two63)
        return std::numeric_limits<int64_t>::min();
    return int64_t(v);
}
} // namespace

std::string ElapsedTimeText(int64_t totalSeconds) {
    if (totalSeconds < 0)
        totalSeconds = 0;
    int64_t days = totalSeconds / 86400;
    int64_t hours = totalSeconds / 3600 % 24;
    int64_t minutes = totalSeconds / 60 % 60;
    int64_t seconds = totalSeconds % 60;
    std::string r =
        Format("%lld:%02lld:%02lld", (long long)hours, (long long)minutes, (long long)seconds);
    if (days > 0)
        r = Format("%lld.", (long long)days) + r;
    return r;
}

std::string ElapsedTimeTextOfDays(double days) {
    if (!(days > 0))
        return ElapsedTimeText(0);
    return ElapsedTimeText(SaturatingInt64(std::round(days * 86400.0)));
}

std::string SizeText(int64_t count, bool shortForm) {
    static const char* const LongUnits[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
    static const char* const ShortUnits[] = {"B", "K", "M", "G", "T", "P"};
    const char* const* units = shortForm ? ShortUnits : LongUnits;
    if (count < 1024)
        return Format("%lld %s", (long long)count, units[0]);
    int unit = 1;
    while (unit < 5 && count >= (int64_t(1) << (10 * (unit + 1))))
        ++unit;
    double value = double(count) / double(int64_t(1) << (10 * unit));
    std::string number = Format(shortForm ? "%1.0f" : "%0.1f", value);
    if (number.size() >= 2 && number.compare(number.size() - 2, 2, ".0") == 0)
        number.resize(number.size() - 2);
    return number + " " + units[unit];
}

std::string RateText(int64_t count, int64_t milliseconds, bool shortForm) {
    if (milliseconds <= 0)
        return std::string();
    double perSecond = std::round(double(count) / (double(milliseconds) / 1000.0));
    return SizeText(SaturatingInt64(perSecond), shortForm) + "/s";
}

uint32_t GetTickCount32() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

} // namespace corvan
