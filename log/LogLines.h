#pragma once
#include <optional>
#include <string>

#include "platform/DateTime.h"

// The line formats of the activity log and of the status history, with the category words and
// the service tags. Everything that writes a log or status line builds it here.
namespace vorla {

// Category words of activity-log lines (compared exactly when a line is read back).
inline constexpr char kCategoryAccepted[] = "Accepted";
inline constexpr char kCategoryOk[] = "Ok";  // kept on the server (no-download mode)
inline constexpr char kCategoryTrashed[] = "Trashed";
inline constexpr char kCategoryQuarantined[] = "Quarantined";
inline constexpr char kCategoryQueued[] = "Queued";
inline constexpr char kCategoryRejected[] = "Rejected";
inline constexpr char kCategoryRedirected[] = "Redirected";
inline constexpr char kCategoryError[] = "Error";
inline constexpr char kCategoryAutoReply[] = "AutoReply";
inline constexpr char kCategoryMailbot[] = "Mailbot";
inline constexpr char kCategoryAddFilter[] = "AddFilter";
inline constexpr const char* kCategoryWords[] = {
    kCategoryAccepted, kCategoryOk,         kCategoryTrashed, kCategoryQuarantined,
    kCategoryQueued,   kCategoryRejected,   kCategoryRedirected, kCategoryError,
    kCategoryAutoReply, kCategoryMailbot,   kCategoryAddFilter};
// True when word is one of the eleven category words (exact comparison).
bool IsCategoryWord(const std::string& word);

// The two kinds of automatic reply named in AutoReply lines and their error lines.
inline constexpr char kAutoReplyAway[] = "Away";
inline constexpr char kAutoReplyRejected[] = "Rejected";

// Service tags of status-history lines.
inline constexpr char kServicePop3[] = "POP3";
inline constexpr char kServiceFetch[] = "FETCH";
inline constexpr char kServiceFilter[] = "FILTER";
inline constexpr char kServiceSend[] = "SEND";
inline constexpr char kServiceRdns[] = "RDNS";
inline constexpr char kServiceVorla[] = "VORLA";

// Time stamps of log and status lines ("07 Dec 2026 12:22:26") and message dates inside the
// details ("Mon, 07 Dec 2026 12:22:26"), local time, fixed English names.
inline constexpr char kLogDateFormat[] = "dd mmm yyyy hh:nn:ss";
inline constexpr char kMessageDateFormat[] = "ddd, dd mmm yyyy hh:nn:ss";

// --- Activity-log event texts (what AppendLine takes): account, TAB, category word, details ---

// Accepted / Ok / Rejected / Trashed / Quarantined / Redirected about one message:
//   account TAB category " - (" reason ") " "Date: " date " " addressLabel address " Subject: " subject
// With no reason (quarantined, redirected without a target account) the part " - (" reason ") "
// becomes " - ". addressLabel is "From: " except for redirection by display name ("To: ").
std::string MessageEventText(const std::string& account, const std::string& category,
                             const std::optional<std::string>& reason, TDateTime messageDate,
                             const std::string& address, const std::string& subject,
                             const std::string& addressLabel = "From: ");
// account TAB "Error - " account " - " text, with every CR LF pair of text made one space.
std::string ErrorEventText(const std::string& account, const std::string& text);
// account TAB "Error - Auto Reply - " kind " - " text (kind kAutoReplyAway or kAutoReplyRejected).
std::string AutoReplyErrorEventText(const std::string& account, const std::string& kind, const std::string& text);
// account TAB "AutoReply - " kind " - To: " address.
std::string AutoReplyEventText(const std::string& account, const std::string& kind, const std::string& address);
// account TAB "Mailbot - " account " - To: " address.
std::string MailbotEventText(const std::string& account, const std::string& address);
// account TAB "Queued - " account " - To: " address (a log message put into the queue).
std::string QueuedEventText(const std::string& account, const std::string& address);
// account TAB "AddFilter - (" address ") ".
std::string AddFilterEventText(const std::string& account, const std::string& address);

// One log-file line (without its CR LF): the time stamp, TAB, the event text. The text is made
// safe for a one-line UTF-8 file: a CR LF pair becomes one space, any other control character
// except TAB becomes a space, and bytes that are not UTF-8 are read as Windows-1252 and encoded.
std::string FormatLogLine(TDateTime when, const std::string& eventText);
// The event text made safe as FormatLogLine does (without the time stamp).
std::string SafeLogText(const std::string& text);

// --- Status history ---

// What AddStatus takes: TAB tag TAB account (empty for server events) TAB description.
std::string StatusEventText(const std::string& tag, const std::string& account, const std::string& description);
// One status-history line: the time stamp, one space, then the status text made safe as
// SafeLogText does (a status line, too, must stay one line).
std::string FormatStatusLine(TDateTime when, const std::string& statusText);

}  // namespace vorla
