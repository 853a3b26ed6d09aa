#pragma once
// Texts shared by the status views, and the millisecond tick.

#include <cstdint>
#include <string>

namespace corvan {

// Up-time text: whole days and "." when there is at least one day, then hours, ":", minutes
// (two digits), ":", seconds (two digits): 1 day 3 h 5 min 9 s give "1.3:05:09". Negative
// durations read as 0.
std::string ElapsedTimeText(int64_t totalSeconds);
// The same for a duration in days (a difference of two date-times), rounded to the second.
std::string ElapsedTimeTextOfDays(double days);

// Byte count text: below 1024 (or negative) the count and "bytes" ("B" in the short form);
// otherwise the count in the largest unit that leaves it below 1024 (KB .. PB; PB from
// 2^50 up), one decimal in the long form, none in the short form, a trailing ".0" cut off.
std::string SizeText(int64_t count, bool shortForm = false);

// Rate text: SizeText of count per second (rounded) followed by "/s"; empty when the
// duration is 0 or less.
std::string RateText(int64_t count, int64_t milliseconds, bool shortForm = false);

// Milliseconds of a monotonic clock, wrapping at 2^32 (32-bit tick arithmetic).
uint32_t GetTickCount32();

} // namespace corvan
