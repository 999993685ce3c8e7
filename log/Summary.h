#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

// The views computed from the lines of the activity log, as pure functions of the lines so
// they can be used and tested without the file. Lines are given oldest first, without their
// line ends, exactly as they stand in the file.
namespace vorla {

// One counter of a summary.
struct TSummaryRec {
    std::string key;
    std::int32_t count = 0;
};

// The fields of one log line that the views use.
struct TLogFields {
    bool dated = false;   // the line begins with a readable "dd mmm yyyy hh:nn:ss" and a separator
    std::string day;      // field 1
    std::string month;    // field 2
    std::string year;     // field 3
    std::string time;     // field 4
    std::string account;  // field 5: the account name
    std::string word;     // field 6: the word after the account name
    std::string category; // field 5 or 6 when that is a category word, else empty
};

// Splits a line at TABs and spaces into the fields above. The account name is the text
// between the first and the second TAB when the line has the form time stamp, TAB, account,
// TAB, ...; so an account name may contain spaces. Otherwise fields 5 and 6 are the fifth and
// sixth space- or TAB-separated words.
TLogFields ParseLogFields(const std::string& line);

// "dd mmm yyyy" TAB category TAB count per (day, category), in order of first appearance in
// the newest-first lines, joined by CR LF without a trailing one. Lines without a readable
// time stamp (hand edits, a line cut short by a crash) are left out.
std::string DailySummaryText(const std::vector<std::string>& linesOldestFirst);
// account TAB category TAB count per (account, category) in ascending byte order of
// account + " " + category, each ending CR LF; then CR LF "Totals" and per category (in order
// of first appearance in that list) TAB category TAB total " (" percent ")" with percent
// formatted "%3.1f%%", each ending CR LF; the final CR LF is removed. Undated lines are left out.
std::string AccountSummaryText(const std::vector<std::string>& linesOldestFirst);

// The number of leading lines that trimming removes: a line goes when its date (characters
// 1-2 day, 4-6 month name, 8-11 year) is no calendar date or lies more than trimDays days
// before today (dates only); the first line young enough stops it. A line whose day, month or
// year cannot be read does not stop it: it goes together with an older dated line after it,
// and stays when no such line follows. trimDays <= 0 removes nothing.
std::size_t LinesToTrim(const std::vector<std::string>& linesOldestFirst, std::int32_t trimDays, TDateTime today);

}  // namespace vorla
