#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/DateTime.h"
#include "platform/Errors.h"

using namespace vorla;

namespace {

// Sets TZ for one test and puts the old value back afterwards.
class TZoneGuard {
public:
    explicit TZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZoneGuard() {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TZoneGuard(const TZoneGuard&) = delete;
    TZoneGuard& operator=(const TZoneGuard&) = delete;

private:
    std::optional<std::string> m_old;
};

}  // namespace

TEST(DateTime, EncodesKnownDates) {
    struct Row {
        int y, m, d;
        double value;
    };
    const Row rows[] = {
        {1899, 12, 30, 0},      {1899, 12, 31, 1},     {1900, 1, 1, 2},       {1900, 3, 1, 61},
        {1899, 12, 29, -1},     {1970, 1, 1, 25569},   {2000, 2, 29, 36585},  {2000, 3, 1, 36586},
        {2026, 12, 7, 46363},   {1, 1, 1, -693593},    {9999, 12, 31, 2958465},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.y) + "-" + std::to_string(r.m) + "-" + std::to_string(r.d));
        EXPECT_EQ(EncodeDate(r.y, r.m, r.d), r.value);
        const TDateParts p = DecodeDateTime(r.value);
        EXPECT_EQ(p.year, r.y);
        EXPECT_EQ(p.month, r.m);
        EXPECT_EQ(p.day, r.d);
    }
    EXPECT_EQ(EncodeDate(1899, 12, 30), kZeroDate);
}

TEST(DateTime, RejectsInvalidDatesAndTimes) {
    struct Row {
        int y, m, d, h, n, s, ms;
    };
    const Row rows[] = {
        {1900, 2, 29, 0, 0, 0, 0},  // 1900 is no leap year
        {2023, 2, 29, 0, 0, 0, 0},  {2024, 4, 31, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0},
        {2024, 0, 1, 0, 0, 0, 0},   {2024, 1, 0, 0, 0, 0, 0},  {0, 1, 1, 0, 0, 0, 0},
        {10000, 1, 1, 0, 0, 0, 0},  {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 1, 0, 60, 0, 0},
        {2024, 1, 1, 0, 0, 60, 0},  {2024, 1, 1, 0, 0, 0, 1000}, {2024, 1, 1, -1, 0, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.y) + "-" + std::to_string(r.m) + "-" + std::to_string(r.d) + " " +
                     std::to_string(r.h) + ":" + std::to_string(r.n) + ":" + std::to_string(r.s));
        EXPECT_THROW(EncodeDateTime(r.y, r.m, r.d, r.h, r.n, r.s, r.ms), TVorlaError);
    }
    EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
    EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
}

TEST(DateTime, LeapYearsFollowTheGregorianRule) {
    for (int year : {1600, 1896, 1904, 2000, 2024, 2400}) {
        SCOPED_TRACE(year);
        EXPECT_EQ(EncodeDate(year, 3, 1) - EncodeDate(year, 2, 28), 2);
    }
    for (int year : {1700, 1800, 1900, 2023, 2100}) {
        SCOPED_TRACE(year);
        EXPECT_EQ(EncodeDate(year, 3, 1) - EncodeDate(year, 2, 28), 1);
    }
}

TEST(DateTime, TimeOfDayIsTheFraction) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30, 12, 0, 0), 0.5);
    EXPECT_EQ(EncodeDateTime(1899, 12, 31, 6, 0, 0), 1.25);
    // Before the zero day the fraction still counts forwards from midnight.
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0), -1.25);
    const TDateParts p = DecodeDateTime(-1.25);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.hour, 6);
}

TEST(DateTime, RoundTripsEveryFieldAndDayOfWeek) {
    struct Row {
        int y, m, d, h, n, s, ms, dow;
    };
    const Row rows[] = {
        {1899, 12, 30, 0, 0, 0, 0, 6},     {1970, 1, 1, 0, 0, 1, 0, 4},     {2000, 2, 29, 23, 59, 59, 999, 2},
        {2026, 12, 7, 12, 22, 26, 0, 1},   {2024, 3, 31, 1, 2, 3, 4, 0},    {1850, 6, 15, 18, 30, 0, 500, 6},
        {2038, 1, 19, 3, 14, 8, 0, 2},     {9999, 12, 31, 23, 59, 59, 999, 5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.y) + "-" + std::to_string(r.m) + "-" + std::to_string(r.d));
        const TDateParts p = DecodeDateTime(EncodeDateTime(r.y, r.m, r.d, r.h, r.n, r.s, r.ms));
        EXPECT_EQ(p.year, r.y);
        EXPECT_EQ(p.month, r.m);
        EXPECT_EQ(p.day, r.d);
        EXPECT_EQ(p.hour, r.h);
        EXPECT_EQ(p.minute, r.n);
        EXPECT_EQ(p.second, r.s);
        EXPECT_EQ(p.ms, r.ms);
        EXPECT_EQ(p.dayOfWeek, r.dow);
    }
}

TEST(DateTime, DecodeRoundsToTheNearestMillisecondAcrossMidnight) {
    const TDateTime justBefore = EncodeDate(2024, 12, 31) + 1.0 - 1e-10;  // 9 microseconds before midnight
    const TDateParts p = DecodeDateTime(justBefore);
    EXPECT_EQ(p.year, 2025);
    EXPECT_EQ(p.month, 1);
    EXPECT_EQ(p.day, 1);
    EXPECT_EQ(p.hour, 0);
    EXPECT_EQ(p.ms, 0);
}

TEST(DateTime, FormatsWithEveryToken) {
    const TDateTime value = EncodeDateTime(2026, 12, 7, 9, 5, 3);
    struct Row {
        const char* format;
        const char* expected;
    };
    const Row rows[] = {
        {"ddd, dd mmm yyyy hh:nn:ss", "Mon, 07 Dec 2026 09:05:03"},
        {"dd mmm yyyy hh:nn:ss", "07 Dec 2026 09:05:03"},
        {"dd mmm yyyy", "07 Dec 2026"},
        {"d/mm/yy", "7/12/26"},
        {"[yyyy-mm-dd]", "[2026-12-07]"},
        {"at hh.nn", "at 09.05"},
        {"", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.format);
        EXPECT_EQ(FormatDateTime(r.format, value), r.expected);
    }
    EXPECT_EQ(FormatDateTime("ddd dd mmm yyyy", EncodeDate(1899, 12, 30)), "Sat 30 Dec 1899");
    EXPECT_EQ(FormatDateTime("ddd dd mmm yyyy", EncodeDate(24, 2, 29)), "Thu 29 Feb 0024");
    EXPECT_EQ(FormatDateTime("dd mmm yyyy hh:nn:ss", EncodeDateTime(2000, 1, 31, 23, 59, 59, 999)),
              "31 Jan 2000 23:59:59");
}

TEST(DateTime, ParsesLogTimeStamps) {
    struct Row {
        const char* text;
        std::optional<TDateTime> expected;
    };
    const Row rows[] = {
        {"07 Dec 2026 12:22:26", EncodeDateTime(2026, 12, 7, 12, 22, 26)},
        {"07 dec 2026 12:22:26", EncodeDateTime(2026, 12, 7, 12, 22, 26)},
        {"29 FEB 2024", EncodeDate(2024, 2, 29)},
        {"01 Jan 0001 00:00:00", EncodeDate(1, 1, 1)},
        {"29 Feb 2023", std::nullopt},
        {"31 Apr 2024 10:00:00", std::nullopt},
        {"07 Dec 2026 24:00:00", std::nullopt},
        {"07 Dec 2026 12:60:00", std::nullopt},
        {"7 Dec 2026 12:22:26", std::nullopt},
        {"07 Dez 2026", std::nullopt},
        {"07 Dec 26", std::nullopt},
        {"07 Dec 2026 12:22", std::nullopt},
        {"07 Dec 2026 12:22:26\t", std::nullopt},
        {"07-Dec-2026", std::nullopt},
        {"0x Dec 2026", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("\"") + r.text + "\"");
        EXPECT_EQ(ParseLogDateTime(r.text), r.expected);
    }
}

TEST(DateTime, FormatAndParseAgree) {
    for (TDateTime value : {EncodeDateTime(2024, 1, 1, 0, 0, 0), EncodeDateTime(1999, 12, 31, 23, 59, 59),
                            EncodeDateTime(2030, 6, 15, 7, 8, 9)}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(ParseLogDateTime(FormatDateTime("dd mmm yyyy hh:nn:ss", value)), value);
    }
}

TEST(DateTime, ZoneTextFollowsTheStandardOffset) {
    struct Row {
        const char* tz;
        int bias;
        const char* text;
    };
    // POSIX TZ strings give the offset west of UTC: "UTC-1" is one hour east.
    const Row rows[] = {
        {"UTC0", 0, "+0000"},
        {"CET-1", -60, "+0100"},
        {"EST5", 300, "-0500"},
        {"IST-5:30", -330, "+0530"},
        {"NST3:30", 210, "-0330"},
        {"NZST-12", -720, "+1200"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", -60, "+0100"},  // daylight saving is left out
        {"EST5EDT,M3.2.0,M11.1.0", 300, "-0500"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.tz);
        TZoneGuard zone(r.tz);
        EXPECT_EQ(StandardTimeBias(), r.bias);
        EXPECT_EQ(StandardZoneText(), r.text);
    }
}

TEST(DateTime, ConvertsUnixTimeThroughTheLocalZone) {
    const std::time_t summerNoonUtc = 1719835200;  // 1 July 2024 12:00:00 UTC
    {
        TZoneGuard zone("UTC0");
        EXPECT_EQ(UnixToLocal(0), 25569.0);
        EXPECT_EQ(UnixToLocal(summerNoonUtc), EncodeDateTime(2024, 7, 1, 12, 0, 0));
        EXPECT_EQ(LocalToUnix(EncodeDateTime(2024, 7, 1, 12, 0, 0)), summerNoonUtc);
    }
    {
        TZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(UnixToLocal(summerNoonUtc), EncodeDateTime(2024, 7, 1, 14, 0, 0));
        EXPECT_EQ(UnixToLocal(1704110400), EncodeDateTime(2024, 1, 1, 13, 0, 0));  // 12:00 UTC in winter
        EXPECT_EQ(LocalToUnix(EncodeDateTime(2024, 7, 1, 14, 0, 0)), summerNoonUtc);
        EXPECT_EQ(LocalToUnix(EncodeDateTime(2024, 1, 1, 13, 0, 0)), 1704110400);
    }
}

TEST(DateTime, NowAndDateAgreeWithTheSystemClock) {
    TZoneGuard zone("EST5");
    const std::time_t before = std::time(nullptr);
    const TDateTime now = Now();
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(LocalToUnix(now), before);
    EXPECT_LE(LocalToUnix(now), after);
    const TDateTime today = Date();
    EXPECT_EQ(today, static_cast<double>(static_cast<long long>(today)));
    EXPECT_LE(today, now);
    EXPECT_GT(today + 1, now);
}
