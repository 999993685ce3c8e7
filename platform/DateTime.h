#pragma once
#include <ctime>
#include <optional>
#include <string>

// Dates on the day-count scale: days since 30 December 1899 00:00 as a double, the time of day
// as the fraction (0.5 is noon). Stored dates and comparisons use it; values are local time
// unless a name says UTC.
namespace vorla {

using TDateTime = double;

inline constexpr TDateTime kZeroDate = 0.0;  // 30 December 1899, "no date"

// Fixed English names, used by every date format, the log and its trimming.
extern const char* const kShortMonthNames[12];  // "Jan".."Dec"
extern const char* const kShortDayNames[7];     // "Sun".."Sat" (index = day of week, Sunday 0)

TDateTime EncodeDate(int year, int month, int day);  // throws TVorlaError for an invalid date
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms = 0);
struct TDateParts {
    int year, month, day, hour, minute, second, ms;
    int dayOfWeek;  // 0 = Sunday
};
TDateParts DecodeDateTime(TDateTime value);

TDateTime Now();   // local time
TDateTime Date();  // today, local, time 0
// Conversions between Unix time and local time on the scale (through the C library's zone).
TDateTime UnixToLocal(std::time_t t);
std::time_t LocalToUnix(TDateTime value);

// Formats with the tokens "ddd" (day name), "dd" (two-digit day), "d", "mmm"
// (month name), "mm" (two-digit month), "yyyy", "yy", "hh", "nn", "ss"; other characters are
// copied. Used with "ddd, dd mmm yyyy hh:nn:ss", "dd mmm yyyy hh:nn:ss" and "dd mmm yyyy".
std::string FormatDateTime(const std::string& format, TDateTime value);
// Reads "dd mmm yyyy hh:nn:ss" or "dd mmm yyyy" (English month names, case ignored) back;
// nullopt when the text does not have that form.
std::optional<TDateTime> ParseLogDateTime(const std::string& text);

// Minutes of UTC minus local standard time (no daylight saving), from tzset() and the C
// library's timezone: UTC+1 gives -60. nullopt when the platform gives no zone information.
std::optional<int> StandardTimeBias();
// The zone text "+0100" / "-0500" for that bias (the sign "+" when the bias is 0 or less);
// empty when there is no zone information.
std::string StandardZoneText();

}  // namespace vorla
