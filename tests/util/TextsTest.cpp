#include "util/DateTime.h"
#include "util/Utils.h"

#include <gtest/gtest.h>

using namespace corvan;

TEST(ElapsedTimeText, DaysOnlyWhenAtLeastOne) {
    EXPECT_EQ(ElapsedTimeText(86400 + 3 * 3600 + 5 * 60 + 9), "1.3:05:09");
    EXPECT_EQ(ElapsedTimeText(0), "0:00:00");
    EXPECT_EQ(ElapsedTimeText(86399), "23:59:59");
    EXPECT_EQ(ElapsedTimeText(86400), "1.0:00:00");
    EXPECT_EQ(ElapsedTimeText(-5), "0:00:00");
    EXPECT_EQ(ElapsedTimeText(12 * 86400 + 10 * 3600), "12.10:00:00");
    // A date-time difference that does not subtract exactly still shows the right second.
    TDateTime start = EncodeDateTime(2026, 3, 1, 22, 0, 0);
    TDateTime end = EncodeDateTime(2026, 3, 3, 1, 5, 9);
    EXPECT_EQ(ElapsedTimeTextOfDays(end - start), "1.3:05:09");
}

TEST(SizeText, UnitBoundariesInBothForms) {
    struct Case {
        int64_t Count;
        const char* Long;
        const char* Short;
    };
    const int64_t K = 1024, M = K * K, G = M * K, T = G * K, P = T * K;
    const Case cases[] = {
        {0, "0 bytes", "0 B"},
        {-1, "-1 bytes", "-1 B"},
        {-5000, "-5000 bytes", "-5000 B"},
        {1023, "1023 bytes", "1023 B"},
        {1024, "1 KB", "1 K"},
        {1536, "1.5 KB", "2 K"},
        {M - 1, "1024 KB", "1024 K"}, // the unit is chosen before rounding
        {M, "1 MB", "1 M"},
        {G - 1, "1024 MB", "1024 M"},
        {G, "1 GB", "1 G"},
        {G + G / 10 * 3, "1.3 GB", "1 G"},
        {T, "1 TB", "1 T"},
        {P - 1, "1024 TB", "1024 T"},
        {P, "1 PB", "1 P"},
        {P * 2048, "2048 PB", "2048 P"}, // no unit above PB
        {INT64_MAX, "8192 PB", "8192 P"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SizeText(c.Count), c.Long) << c.Count;
        EXPECT_EQ(SizeText(c.Count, true), c.Short) << c.Count;
    }
}

TEST(RateText, PerSecondRoundedAndEmptyWithoutDuration) {
    EXPECT_EQ(RateText(2048, 1000), "2 KB/s");
    EXPECT_EQ(RateText(3000, 2000), "1.5 KB/s");
    EXPECT_EQ(RateText(3000, 3000), "1000 bytes/s");
    EXPECT_EQ(RateText(1000, 3000), "333 bytes/s"); // 333.33 rounded
    EXPECT_EQ(RateText(1001, 2000), "501 bytes/s"); // 500.5 rounded away from zero
    EXPECT_EQ(RateText(3 * 1024 * 1024, 2000, true), "2 M/s");
    EXPECT_EQ(RateText(5, 0), "");
    EXPECT_EQ(RateText(5, -10), "");
    EXPECT_EQ(RateText(INT64_MAX, 1), "8192 PB/s"); // saturates instead of overflowing
}

TEST(DateTime, DaysSince30December1899) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDateTime(1970, 1, 1), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12), 36526.5);
    TDateTimeParts p = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 58, 999));
    EXPECT_EQ(p.Year, 2024);
    EXPECT_EQ(p.Month, 2);
    EXPECT_EQ(p.Day, 29);
    EXPECT_EQ(p.Hour, 23);
    EXPECT_EQ(p.Minute, 59);
    EXPECT_EQ(p.Second, 58);
    EXPECT_EQ(p.Millisecond, 999);
    TDateTime t = EncodeDateTime(2026, 7, 4, 9, 8, 7);
    EXPECT_EQ(FormatDateYYMMDD(t), "260704");
    EXPECT_EQ(FormatTimeHHNNSS(t), "090807");
    EXPECT_EQ(FormatTimeColons(t), "09:08:07");
    // Garbage read from a file formats as a pinned date rather than overflowing.
    EXPECT_EQ(DecodeDateTime(1e300).Year, 9999);
    EXPECT_EQ(DecodeDateTime(-1e300).Year, 1);
}

TEST(DateTime, WholeDaysRoundToTheMillisecondThenTruncate) {
    EXPECT_EQ(WholeDaysBetween(45000.3, 45028.3), 28); // 27.99999999999636 in doubles
    EXPECT_EQ(WholeDaysBetween(45000.3, 45028.2), 27);
    EXPECT_EQ(WholeDaysBetween(45028.3, 45000.3), -28);
    EXPECT_EQ(WholeDaysBetween(45000.0, 45000.0 - 0.5), 0); // toward zero
    EXPECT_EQ(WholeDaysBetween(0, 1e300), int64_t(1e15) / 86400000);
}

TEST(DateTime, NowIsLocalTimeToday) {
    TDateTime now = Now();
    EXPECT_GT(now, EncodeDateTime(2020, 1, 1));
    EXPECT_LT(now, EncodeDateTime(2200, 1, 1));
}
