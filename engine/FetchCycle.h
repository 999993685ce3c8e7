#pragma once
#include <functional>
#include <string>

// The per-account operations of the mail fetch cycle: fetching from the uplink server,
// re-filtering the stored messages, re-checking one stored message, and the summary text that
// the first two write into the status history.
//
// They reach the engine through the account: account.Owner() (the account list) and its
// Owner() (the engine), either of which may be nullptr in tools and tests. Without an engine
// there are no notifications, no global rules, no reverse lookups, no trash purge (purgedays
// counts as 0) and every status switch counts as on; status lines then go to the account
// list's status sink. Notifications are raised on the thread that runs the operation.
namespace vorla {

class TDispatcher;
class TZivadAccount;
class TZivadAccounts;
class TZivadLog;
struct TLogSettings;
struct TSendQueueSettings;

// The fetch cycle of one account, on the calling thread (a worker of RunAccounts, the UI
// thread for a one-account fetch, a connection thread of the local POP3 server).
//
// Returns at once, without a trace, when "enablefetch" is clear or the account is busy.
// Otherwise it holds the busy flag, clears the stop request, raises OnFetchStart, logs in to
// the uplink server and handles every waiting message in ascending order: the header block
// (TOP n 0) is classified, a rejected message is deleted on the server (with the rejection
// reply when "rejectresponse" is set and the header was not seen before), an accepted or
// undecided one that was not seen before is downloaded and filed into the vorla folder or the
// quarantine (where the body rules examine it once more and may move it to the trash or the
// vorla folder), or, with "nodownload", only logged "Ok". Every event writes its log line.
// The stop request is looked at after each header retrieval. Then QUIT, the trash purge by
// the engine's "purgedays", and the closing step: the seen checksums are written to "msgcrc"
// (when the fetch added any), the "\tFETCH\t" status line (status switch "fetch"), OnFetchEnd,
// the busy flag cleared.
// Then, unless the account information was missing or stopped: mailbot replies, redirection,
// a filtering run and the queue sender.
//
// A message is deleted on the server only after it was filed (or after it was rejected), and
// its header checksum becomes "seen" only once it was handled, so a message whose download or
// filing failed is fetched again next time instead of being left on the server for ever.
//
// Errors of one message are logged ("Error" entry with the message's Date, From and Subject)
// and the loop goes on. An error outside the per-message handling (STAT, QUIT, the trash
// purge, a processing step) is logged as an "Error" entry too (and, before the closing step,
// counted in Errors), ends the operation (after the closing step) and is thrown on.
void FetchMail(TZivadAccount& account, TZivadLog& log);

// The filtering run over the stored messages ("Run Filters", and the end of a fetch), on the
// calling thread. Returns at once when the account is busy, "enablefilters" is clear or its
// stop request is set (a stop request is cleared only by the next FetchMail). Otherwise: every
// vorla-folder message is re-classified (rejected ones move to the trash, undecided ones to
// the quarantine), the vorla folder is purged, then every quarantine message (accepted ones
// move to the vorla folder, rejected ones to the trash) and the quarantine is purged. On the
// UI thread pending UI events run before each message. Each folder's lock is held for its
// whole pass. The closing step always runs: the "\tFILTER\t" status line (status switch
// "filter"), OnFilterEnd, the busy flag cleared. An error (a rule that cannot be matched, a
// file that cannot be read or written) ends the run and is thrown on; the moves made before
// it stay. The first form logs to the engine's log (without an engine nothing is logged).
void FilterMessages(TZivadAccount& account);
void FilterMessages(TZivadAccount& account, TZivadLog& log);

// Re-classifies the stored message vorlaIndex of the vorla folder and then quarantineIndex of
// the quarantine (0-based; -1 or an index out of range means none) from its display text,
// with its length as the size. A rejected message is filed into the trash ("trashed"), an
// undecided vorla message into the quarantine ("quarantined"), an accepted quarantine message
// into the vorla folder ("accepted"); each move marks the source item Deleted (it stays in its
// folder, keeping the indexes, until the caller purges) and writes its log line. Returns the
// result of the last message examined (-1, 0 or 1), 0 when none was. A message file that
// cannot be read throws TFileError before anything is moved. The first form logs to the
// engine's log (without an engine nothing is logged).
int RecheckMessage(TZivadAccount& account, int quarantineIndex, int vorlaIndex, bool bodyRulesOnly);
int RecheckMessage(TZivadAccount& account, TZivadLog& log, int quarantineIndex, int vorlaIndex,
                   bool bodyRulesOnly);

// The summary of a fetch or filtering run, each part followed by one space and the last space
// dropped: "Accepted=" (or "Ok=" with noDownload) when the log switch "accepted" is on,
// "Trashed=" ("trashed"), "Quarantined=" (or "Unknown=" with noDownload; "quarantined"),
// "Rejected=" ("rejected"), "Purged=" (always), "Errors=" ("error"). A count of -1 (any
// negative count) does not apply and is left out.
std::string FetchSummary(const TLogSettings& switches, int accepted, int trashed, int quarantined, int rejected,
                         int purged, int errors, bool noDownload);

// What the queue sender of the account needs: its SMTP settings as they are now, its TLS
// options and the DNS server for direct delivery.
TSendQueueSettings SendQueueSettingsOf(const TZivadAccount& account, const std::string& dnsHost);

// Starts the queue sender of the account (a pass on a thread of its own, owned by
// SharedSendQueues()) and returns at once; its status lines reach the engine's history on
// the UI thread.
void StartSendQueue(TZivadAccount& account);

// Queue passes of the engine's senders whose end handling has not run yet. Any thread.
int RunningQueueSenders();

// "Send Mail" for a tool that runs without the engine, on the thread that runs ui's events:
// starts the queue sender of every account of list, whatever its "enablesend" (the DNS
// server for direct delivery from the engine, or from "vorla.ini" without one), and returns
// when every pass has ended, running ui's events meanwhile. Every status line goes to
// statusLine on this thread.
void SendEveryQueue(TZivadAccounts& list, TDispatcher& ui, const std::function<void(const std::string&)>& statusLine);

}  // namespace vorla
