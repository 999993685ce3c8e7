#pragma once
#include <string>

// The automatic responses of an account: the away and rejection replies, the mailbot replies,
// the redirection of stored mail and the log message. Nothing here talks to a network: every
// outgoing message is written into the account's queue folder for the queue sender, and
// copies for other accounts go straight into their vorla folders.
//
// Every reply (away, rejection, mailbot) follows one pattern: To = the incoming message's From
// (display name and address) with a "To: " header line, From = "Vorla" with the account's own
// address, Subject "Re: " + the incoming Subject, the current date, and the header line
// "Auto-Submitted: auto-replied". Texts taken from the incoming mail (names, addresses,
// subject) have their line breaks turned into spaces, so they cannot add header lines.
//
// No reply is made to a message that is itself automatic (see IsAutomaticMessage): such a
// message is passed over without a queued file and without a log line, so two responders can
// never answer each other for ever.
//
// Log lines go through the given log's AppendLine; a log file that cannot be written throws
// TFileError out of these functions (the line cannot be kept anywhere else). Any thread; the
// folders serialise themselves.
namespace vorla {

class TMailMessage;
class TZivadAccount;
class TZivadLog;
class TZivadMessageCollection;
class TZivadMessageItem;

// True when message announces itself as automatic mail: an "Auto-Submitted" field other than
// "no"; "Precedence: bulk", "list" or "junk"; a "List-Id" field; an empty "Return-Path" ("<>");
// or a From address whose local part is MAILER-DAEMON or postmaster. Field names, values and
// the local part are compared without regard to letter case.
bool IsAutomaticMessage(const TMailMessage& message);

// Queues the away reply to message (a header block is enough): fallback subject "Away", the
// account's away text as a "text/plain" body. Logs name TAB "AutoReply - Away - To: " + the
// address. A message without a usable From address (empty, or without an at sign) gets the
// line name TAB "Error - Auto Reply - Away - Reply address invalid." instead; any other failure
// name TAB "Error - Auto Reply - Away - " + the error text. Returns whether a reply was queued.
bool AwayReply(TZivadAccount& account, TZivadLog& log, const TMailMessage& message);

// The away reply for a message just stored in a folder (item, for example the item that the
// vorla folder's AddMessage returned). When a reply was queued, the stored file gets the header
// line "AutoAwayReply: " + the current local time as a day count ("46000.5123456789", at most
// 15 significant digits); an automatic or unanswerable message is left unmarked. Holds the
// item's folder lock throughout. A failure to mark the file throws TFileError (the file then
// keeps its previous content); reply failures are logged as AwayReply says.
bool AwayReplyWithMark(TZivadAccount& account, TZivadLog& log, TZivadMessageItem& item);

// As AwayReply, with fallback subject "Email rejected", the reject text as body, and the log
// texts "AutoReply - Rejected - To: " and "Error - Auto Reply - Rejected - ...".
bool RejectionReply(TZivadAccount& account, TZivadLog& log, const TMailMessage& message);

// Answers a mailbot request: item is a stored message of the vorla folder. Every mailbot of the
// account whose subject equals the message's Subject exactly (letter case counts) gets one reply
// written as a new item at the end of the queue (raising no OnChange): Subject "Re: " + Subject,
// the mailbot's text, then one attachment per existing file and a line "File not found: " +
// path per missing one. Each reply logs name TAB "Mailbot - " name " - To: " + address, shows
// "Sending mailbot reply (" + Subject + ")" in the engine's status bar while it is made, and
// marks item Deleted. A message without a usable From address gets name TAB "Error - " name
// " - Mailbot - Reply address invalid." per matching mailbot. Any other failure logs
// name TAB "Error - " name " - Mailbot - " + the error text and ends the handling (a reply that
// could not be written leaves nothing in the queue). Holds the item's folder lock throughout.
// Returns the number of replies queued.
int MailbotReply(TZivadAccount& account, TZivadLog& log, TZivadMessageItem& item);

// Redirects the message at index (0-based) of folder (the account's vorla or quarantine
// folder). The message file is read decoded; one that cannot be read is passed over.
// - With "nameredirect": every To entry whose display name equals an account's name (letter
//   case ignored; every account of the list, this one included) puts a copy into that account's
//   vorla folder with the stamp "redirected".
// - Every redirect-list entry equal to an account's name or e-mail address does the same.
// - Every redirect-list entry holding an at sign gets a copy in this account's queue, stamped
//   "redirected", whose only recipient is that entry (To, Cc and Bcc of the original removed).
// Each copy logs a "Redirected" line. A copy never goes into the folder the message lies in
// (it would be redirected again, with its copies, at every fetch). With "redirectdelete" the
// message is marked Deleted, once at least one copy was made. Blank redirect entries and empty
// display names match nothing. Returns the number of copies made. A copy that cannot be written
// throws (TFileError) to the caller; the copies made before stay.
//
// Call it without holding the folder's lock: the copies are written with only their target
// folder locked, so two accounts redirecting into each other at the same time cannot deadlock.
int RedirectMessage(TZivadAccount& account, TZivadLog& log, TZivadMessageCollection& folder, int index);

// The log message that the log page mails to an account: To and From the account's own
// address (From named "Vorla"), the subject and text as given, "text/plain". With
// "nodownload" it is queued and logged name TAB "Queued - " name " - To: " + address; otherwise
// it goes into the vorla folder and name TAB "Created - " name " - To: " + address is offered
// to the log (which keeps it only when a category word occurs in it). Failures log
// name TAB "Error - " name " - Send Message - " + the error text.
void SendLogMessage(TZivadAccount& account, TZivadLog& log, const std::string& subject, const std::string& text);

}  // namespace vorla
