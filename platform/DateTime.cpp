#include "platform/DateTime.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/Errors.h"

namespace vorla {

const char* const kShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Days from 1 January 1970 (the civil-day count below) to the scale's zero, 30 December 1899.
constexpr std::int64_t kUnixEpochOnScale = 25569;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1 January 1970 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

std::string TwoDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", n % 100);
    return buf;
}

TDateTime FromTm(const std::tm& tm, int ms) {
    return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec > 59 ? 59 : tm.tm_sec, ms);  // a leap second is shown as :59
}

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        throw TVorlaError("invalid date " + std::to_string(year) + "-" + std::to_string(month) + "-" +
                          std::to_string(day));
    return static_cast<TDateTime>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                                  kUnixEpochOnScale);
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    const TDateTime date = EncodeDate(year, month, day);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999)
        throw TVorlaError("invalid time " + std::to_string(hour) + ":" + std::to_string(minute) + ":" +
                          std::to_string(second) + "." + std::to_string(ms));
    const TDateTime time = static_cast<TDateTime>(((hour * 60 + minute) * 60 + second) * 1000 + ms) / kMsPerDay;
    // Before the zero day the whole part counts backwards but the fraction still counts the
    // time of day forwards: -1.25 is 29 December 1899 06:00.
    return date >= 0 ? date + time : date - time;
}

TDateParts DecodeDateTime(TDateTime value) {
    double whole = std::trunc(value);
    std::int64_t days = static_cast<std::int64_t>(whole);
    std::int64_t ms = std::llround(std::fabs(value - whole) * kMsPerDay);
    if (ms >= kMsPerDay) {  // rounding reached the next midnight
        ms -= kMsPerDay;
        days += 1;
    }
    TDateParts parts{};
    CivilFromDays(days - kUnixEpochOnScale, parts.year, parts.month, parts.day);
    parts.hour = static_cast<int>(ms / 3600000);
    parts.minute = static_cast<int>(ms / 60000 % 60);
    parts.second = static_cast<int>(ms / 1000 % 60);
    parts.ms = static_cast<int>(ms % 1000);
    // Day 0 was a Saturday.
    parts.dayOfWeek = static_cast<int>(((days + 6) % 7 + 7) % 7);
    return parts;
}

TDateTime Now() {
    std::timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
}

TDateTime Date() { return std::floor(Now()); }

TDateTime UnixToLocal(std::time_t t) {
    std::tm tm{};
    if (!localtime_r(&t, &tm)) throw TVorlaError("time out of range: " + std::to_string(t));
    return FromTm(tm, 0);
}

std::time_t LocalToUnix(TDateTime value) {
    const TDateParts p = DecodeDateTime(value);
    std::tm tm{};
    tm.tm_year = p.year - 1900;
    tm.tm_mon = p.month - 1;
    tm.tm_mday = p.day;
    tm.tm_hour = p.hour;
    tm.tm_min = p.minute;
    tm.tm_sec = p.second;
    tm.tm_isdst = -1;  // let the zone rules decide whether daylight saving applies
    return std::mktime(&tm);
}

std::string FormatDateTime(const std::string& format, TDateTime value) {
    const TDateParts p = DecodeDateTime(value);
    std::string out;
    std::size_t i = 0;
    auto at = [&](const char* token) { return format.compare(i, std::char_traits<char>::length(token), token) == 0; };
    while (i < format.size()) {
        if (at("ddd")) {
            out += kShortDayNames[p.dayOfWeek];
            i += 3;
        } else if (at("dd")) {
            out += TwoDigits(p.day);
            i += 2;
        } else if (at("d")) {
            out += std::to_string(p.day);
            i += 1;
        } else if (at("mmm")) {
            out += kShortMonthNames[p.month - 1];
            i += 3;
        } else if (at("mm")) {
            out += TwoDigits(p.month);
            i += 2;
        } else if (at("yyyy")) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d", p.year);
            out += buf;
            i += 4;
        } else if (at("yy")) {
            out += TwoDigits(p.year);
            i += 2;
        } else if (at("hh")) {
            out += TwoDigits(p.hour);
            i += 2;
        } else if (at("nn")) {
            out += TwoDigits(p.minute);
            i += 2;
        } else if (at("ss")) {
            out += TwoDigits(p.second);
            i += 2;
        } else {
            out += format[i++];
        }
    }
    return out;
}

std::optional<TDateTime> ParseLogDateTime(const std::string& text) {
    if (text.size() != 11 && text.size() != 20) return std::nullopt;
    auto digits = [&](std::size_t pos, std::size_t count) -> std::optional<int> {
        int n = 0;
        for (std::size_t k = pos; k < pos + count; ++k) {
            if (text[k] < '0' || text[k] > '9') return std::nullopt;
            n = n * 10 + (text[k] - '0');
        }
        return n;
    };
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (text[2] != ' ' || text[6] != ' ') return std::nullopt;
    const auto day = digits(0, 2);
    const auto year = digits(7, 4);
    int month = 0;
    for (int m = 0; m < 12 && month == 0; ++m) {
        const char* name = kShortMonthNames[m];
        if (lower(text[3]) == lower(name[0]) && lower(text[4]) == lower(name[1]) && lower(text[5]) == lower(name[2]))
            month = m + 1;
    }
    if (!day || !year || month == 0) return std::nullopt;
    int hour = 0, minute = 0, second = 0;
    if (text.size() == 20) {
        if (text[11] != ' ' || text[14] != ':' || text[17] != ':') return std::nullopt;
        const auto h = digits(12, 2), n = digits(15, 2), s = digits(18, 2);
        if (!h || !n || !s) return std::nullopt;
        hour = *h;
        minute = *n;
        second = *s;
    }
    try {
        return EncodeDateTime(*year, month, *day, hour, minute, second);
    } catch (const TVorlaError&) {
        return std::nullopt;
    }
}

std::optional<int> StandardTimeBias() {
    tzset();
    // timezone holds the seconds west of UTC of local standard time, which is UTC minus local.
    // The C library always settles on some zone (UTC when none is configured), so there is
    // always an answer here.
    return static_cast<int>(timezone / 60);
}

std::string StandardZoneText() {
    const std::optional<int> bias = StandardTimeBias();
    if (!bias) return "";
    const int b = *bias;
    const int magnitude = b < 0 ? -b : b;
    return std::string(b <= 0 ? "+" : "-") + TwoDigits(magnitude / 60 % 100) + TwoDigits(magnitude % 60);
}

}  // namespace vorla
