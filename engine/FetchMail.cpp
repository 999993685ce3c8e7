#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/AccountTls.h"
#include "engine/FetchCycle.h"
#include "engine/FetchCyclePrivate.h"
#include "engine/Responses.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MessageStore.h"
#include "net/Pop3Client.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace vorla {
namespace {

constexpr std::chrono::milliseconds kConnectTimeout{15000};
constexpr std::chrono::milliseconds kReplyTimeout{25000};

// What a pipelined fetch keeps in flight: the headers of at most this many messages are asked
// at a time, and the messages downloaded ahead of their turn are bounded in number and in
// bytes (by the sizes the server lists), so that a slow reader never lets replies pile up.
constexpr int kWindowMessages = 100;
constexpr std::int64_t kWindowBytes = std::int64_t{4} << 20;
// Counted for a message whose size the server did not give.
constexpr std::int64_t kUnknownSize = std::int64_t{256} << 10;

struct TFetchCounts {
    int accepted = 0;
    int trashed = 0;
    int quarantined = 0;
    int rejected = 0;
    int purged = 0;
    int errors = 0;
};

// The replies of a pipelined fetch that have come in and wait for their message's turn.
struct THeaderReply {
    std::string text;
    std::int64_t size = -1;
    std::exception_ptr error;      // of TOP n 0
    std::exception_ptr sizeError;  // of the LIST n after it
};

// A deletion sent and not yet answered, with what its error line names.
struct TDeleteWait {
    TPop3Client::TTicket ticket;
    std::unique_ptr<TMailMessage> shown;  // Date, From and Subject of the message
};

// One fetch of one account, from the busy flag to the processing of what arrived.
class TFetchRun {
public:
    TFetchRun(TZivadAccount& account, TZivadLog& log)
        : m_account(account), m_log(log), m_run(account, &log), m_s(m_run.Settings()) {}

    void Run();

private:
    bool AccountInformationMissing() const;
    // Login, the message loop, QUIT and the trash purge.
    void Uplink();
    // The messages one at a time, each command waiting for its reply.
    void SequentialLoop(int count);
    // The same decisions in the same order, the commands sent ahead in windows.
    void PipelinedLoop(int count);
    bool WillDownload(const THeaderReply& reply);
    // Asks the headers of the messages up to last that are not asked yet.
    void QueueHeaders(int last);
    // Downloads ahead what the look ahead says will be downloaded, as far as the bounds allow.
    void QueueBodies();
    // Logs the refused deletions whose replies are in (all of them with wait: their replies
    // are read first).
    void CheckDeletes(bool wait);
    // Handles message n; false when the stop request ends the loop before it.
    bool HandleMessage(int n);
    // The steps of HandleMessage that talk to the server, sequential or pipelined.
    void FetchHeader(int n);
    std::int64_t SizeOf(int n);
    std::string FetchBody(int n);
    void DeleteOnServer(int n);
    void FileAccepted(int n, std::uint32_t crc, const std::string& reason);
    void FileQuarantined(int n, std::uint32_t crc);
    void PurgeTrash();
    // Never throws: it is what every way out of the uplink part runs.
    void Closing() noexcept;
    void Process();
    // Logs an error that ends the operation; a log that cannot be written must not hide the
    // error that is passed on.
    void LogEscaped(const std::exception& e) noexcept;

    TZivadAccount& m_account;
    TZivadLog& m_log;
    const TRunContext m_run;
    const TAccountSettings& m_s;  // the snapshot the run took at its start
    TFetchCounts m_counts;
    std::unique_ptr<TPop3Client> m_client;
    TMailMessage m_message;
    std::size_t m_seenAtStart = 0;

    // Sequential: the sizes from one LIST, when the server gave them.
    std::optional<std::vector<std::int64_t>> m_sizes;
    // Pipelined: see PipelinedLoop.
    bool m_pipelined = false;
    int m_headersQueued = 0;                               // messages 1.. have their TOP sent
    int m_handled = 0;                                     // messages 1.. have had their turn
    std::map<int, TPop3Client::TTicket> m_headerTickets;   // sent, not read
    std::map<int, THeaderReply> m_headers;                 // read, not handled
    std::deque<int> m_toDownload;                          // looked ahead, not sent yet
    std::map<int, std::pair<TPop3Client::TTicket, std::int64_t>> m_bodyTickets;  // sent: ticket, size counted
    std::int64_t m_bodyBytes = 0;                          // sizes counted of m_bodyTickets
    std::unordered_set<std::uint32_t> m_aheadSeen;         // headers looked ahead as downloaded
    THeaderReply m_current;                                // the header reply of the message handled
    std::deque<TDeleteWait> m_deletes;
};

void TFetchRun::Run() {
    m_account.ClearStopRequest();
    m_seenAtStart = m_account.SeenCount();
    if (TZivad* engine = m_run.Engine()) engine->OnFetchStart.Raise(m_account.FolderName());
    if (AccountInformationMissing()) {
        try {
            m_run.LogError("Account information is missing");
        } catch (...) {
            Closing();
            throw;
        }
        ++m_counts.errors;
        Closing();
        return;
    }
    try {
        Uplink();
    } catch (const std::exception& e) {
        LogEscaped(e);
        ++m_counts.errors;
        Closing();
        throw;
    } catch (...) {
        Closing();
        throw;
    }
    Closing();
    try {
        Process();
    } catch (const std::exception& e) {
        LogEscaped(e);
        throw;
    }
}

bool TFetchRun::AccountInformationMissing() const {
    // With a password command the stored password is not needed.
    return m_s.loginname.empty() || (m_s.password.empty() && m_s.passwordcommand.empty()) ||
           m_s.popserver.empty() || m_s.popport == 0;
}

void TFetchRun::Uplink() {
    TPop3Limits limits;
    limits.ConnectTimeout = kConnectTimeout;
    limits.ReplyTimeout = kReplyTimeout;
    m_client = std::make_unique<TPop3Client>(limits);
    m_client->SetHost(m_s.popserver);
    m_client->SetPort(m_s.popport);
    m_client->SetTls(m_s.popsecurity, AccountTlsOptions(m_account));
    m_client->SetLogin(m_s.loginname);
    m_client->SetAuth(m_s.popauth);
    try {
        m_client->SetPassword(LoginSecret(m_s.password, m_s.passwordcommand, m_account));
    } catch (const std::exception& e) {
        // The command's own words go to the status line and the status history as well: the
        // user may have to act (unlock the keyring, log in to the provider again).
        m_run.Progress(e.what());
        m_run.Status(kServiceFetch, e.what());
        m_run.LogError(e.what());
        ++m_counts.errors;
        PurgeTrash();
        return;
    }
    try {
        m_client->Connect();
    } catch (const std::exception& e) {
        m_run.LogError(e.what());
        ++m_counts.errors;
    }
    m_client->SetPassword({});
    if (m_client->Connected()) {
        // The messages filed below reach the disk in one flush before QUIT, not one flush each:
        // the server deletes nothing before QUIT, so each DELE may go out as soon as its
        // message is in its folder. A kill leaves every file whole or absent either way.
        TDeferredSync durable;
        const int count = m_client->MessageCount();
        if (count > 0) {
            m_pipelined = m_client->OffersPipelining();
            if (m_pipelined)
                PipelinedLoop(count);
            else
                SequentialLoop(count);
        }
        // A flush that fails ends the fetch here: without QUIT nothing is deleted.
        durable.Sync();
        // Only an accepted QUIT makes the server carry out the deletions.
        m_client->Disconnect();
    }
    PurgeTrash();
}

void TFetchRun::SequentialLoop(int count) {
    // One listing instead of a size query per message, where the server gives it.
    if (m_s.rejectkb >= 1) m_sizes = m_client->ListAll();
    for (int n = 1; n <= count; ++n) {
        try {
            if (!HandleMessage(n)) break;
        } catch (const std::exception& e) {
            m_run.LogMessageError(e.what(), m_message);
        }
    }
}

// The headers of a window of messages are asked at once; as their replies come in, a look
// ahead at the rules tells which messages will be downloaded, and their RETR go out at once
// too. Then each message is handled in turn exactly as the sequential loop does, from the
// replies already there: the real classification decides, the log lines and progress texts
// come in the same order, a DELE goes out only once its message is filed (its reply is read
// later). Where the look ahead was wrong, a message is downloaded in its turn, or its early
// download is thrown away. Before a window is handled the headers of the next are asked.
void TFetchRun::PipelinedLoop(int count) {
    for (int first = 1; first <= count;) {
        const int last = std::min(count, first + kWindowMessages - 1);
        try {
            QueueHeaders(last);
            for (int n = first; n <= last; ++n) {
                const auto ticket = m_headerTickets.find(n);
                if (ticket == m_headerTickets.end()) continue;
                THeaderReply& reply = m_headers[n];
                try {
                    TPop3Client::TPipelined got = m_client->Take(ticket->second);
                    reply.text = std::move(got.text);
                    reply.size = got.size;
                    reply.sizeError = got.sizeError;
                } catch (const TVorlaError&) {
                    reply.error = std::current_exception();
                }
                m_headerTickets.erase(ticket);
                if (reply.error) continue;
                if (!m_s.nodownload && WillDownload(reply)) m_toDownload.push_back(n);
            }
            QueueBodies();
            if (last < count) QueueHeaders(std::min(count, last + kWindowMessages));
            m_client->SendQueued();
        } catch (const std::exception&) {
            // The connection is gone: each message meets the error in its turn below.
        }
        for (int n = first; n <= last; ++n) {
            m_handled = n;
            try {
                const bool goOn = HandleMessage(n);
                m_headers.erase(n);
                if (!goOn) {
                    CheckDeletes(true);
                    return;
                }
            } catch (const std::exception& e) {
                m_headers.erase(n);
                m_run.LogMessageError(e.what(), m_message);
            }
            // A download ahead that its message did not use is read and dropped.
            if (const auto body = m_bodyTickets.find(n); body != m_bodyTickets.end()) {
                m_bodyBytes -= body->second.second;
                try {
                    m_client->Take(body->second.first);
                } catch (const std::exception&) {
                }
                m_bodyTickets.erase(body);
            }
            try {
                QueueBodies();
                CheckDeletes(false);
            } catch (const std::exception&) {
            }
        }
        first = last + 1;
    }
    CheckDeletes(true);
}

// The look ahead: whether the message of this header will be downloaded in its turn, as far
// as can be told now. A header that cannot be read is left to its turn.
bool TFetchRun::WillDownload(const THeaderReply& reply) {
    try {
        TMailMessage header;
        header.LoadMode = TLoadMode::Raw;
        header.LoadFromMailText(reply.text);
        const std::string headerText = header.SaveToText();
        const std::uint32_t crc = HeaderChecksum(headerText);
        if (m_account.IsSeen(crc) || m_aheadSeen.count(crc)) return false;
        const std::int64_t size = m_s.rejectkb < 1 ? 0 : reply.sizeError ? -1 : reply.size;
        if (m_run.LookAhead(headerText, size) == kClassifyReject) return false;
        m_aheadSeen.insert(crc);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TFetchRun::QueueHeaders(int last) {
    for (int n = m_headersQueued + 1; n <= last; ++n) {
        m_headerTickets[n] = m_client->QueueHeader(n);
        m_headersQueued = n;
    }
}

void TFetchRun::QueueBodies() {
    // A message whose turn has come was downloaded then, if it was to be.
    while (!m_toDownload.empty() && m_toDownload.front() <= m_handled) m_toDownload.pop_front();
    while (!m_toDownload.empty() && static_cast<int>(m_bodyTickets.size()) < kWindowMessages) {
        const int n = m_toDownload.front();
        const auto header = m_headers.find(n);
        const std::int64_t size =
            header != m_headers.end() && header->second.size >= 0 ? header->second.size : kUnknownSize;
        // One message always goes, whatever its size: the window bounds what waits beside it.
        if (!m_bodyTickets.empty() && m_bodyBytes + size > kWindowBytes) break;
        m_toDownload.pop_front();
        m_bodyTickets[n] = {m_client->QueueRetrieve(n), size};
        m_bodyBytes += size;
    }
}

void TFetchRun::CheckDeletes(bool wait) {
    while (!m_deletes.empty() && (wait || m_client->Ready(m_deletes.front().ticket))) {
        TDeleteWait deletion = std::move(m_deletes.front());
        m_deletes.pop_front();
        try {
            m_client->Take(deletion.ticket);
        } catch (const std::exception& e) {
            m_run.LogMessageError(e.what(), *deletion.shown);
        }
    }
}

void TFetchRun::FetchHeader(int n) {
    m_current = THeaderReply();
    if (m_pipelined) {
        if (const auto reply = m_headers.find(n); reply != m_headers.end()) {
            m_current = std::move(reply->second);
            if (m_current.error) std::rethrow_exception(m_current.error);
            m_message.LoadMode = TLoadMode::Raw;
            m_message.LoadFromMailText(m_current.text);
            return;
        }
    }
    m_client->RetrieveHeader(n, m_message);
}

std::int64_t TFetchRun::SizeOf(int n) {
    if (m_pipelined && !m_current.error && (m_current.size >= 0 || m_current.sizeError)) {
        if (m_current.sizeError) std::rethrow_exception(m_current.sizeError);
        return m_current.size;
    }
    if (m_sizes && n >= 1 && static_cast<std::size_t>(n) <= m_sizes->size() && (*m_sizes)[n - 1] >= 0)
        return (*m_sizes)[n - 1];
    return m_client->MessageSize(n);
}

std::string TFetchRun::FetchBody(int n) {
    if (!m_pipelined) return m_client->RetrieveText(n);
    auto body = m_bodyTickets.find(n);
    if (body == m_bodyTickets.end()) {
        // Not foreseen: asked now, after whatever is in flight.
        body = m_bodyTickets.emplace(n, std::pair{m_client->QueueRetrieve(n), std::int64_t{0}}).first;
    }
    const auto [ticket, counted] = body->second;
    m_bodyTickets.erase(body);
    m_bodyBytes -= counted;
    return m_client->Take(ticket).text;
}

void TFetchRun::DeleteOnServer(int n) {
    if (!m_pipelined) {
        m_client->Delete(n);
        return;
    }
    TDeleteWait deletion{m_client->QueueDelete(n), std::make_unique<TMailMessage>()};
    deletion.shown->Date = m_message.Date;
    deletion.shown->From = m_message.From;
    deletion.shown->Subject = m_message.Subject;
    m_deletes.push_back(std::move(deletion));
}

bool TFetchRun::HandleMessage(int n) {
    const std::string number = std::to_string(n);
    m_message.Clear();
    m_message.LoadMode = TLoadMode::Raw;
    m_run.Progress("Retrieving header " + number);
    FetchHeader(n);
    if (m_account.StopRequested()) return false;
    const std::int64_t size = m_s.rejectkb < 1 ? 0 : SizeOf(n);
    const std::string headerText = m_message.SaveToText();
    const std::uint32_t crc = HeaderChecksum(headerText);
    const bool seen = m_account.IsSeen(crc);
    m_run.PumpUiEvents();
    const TClassification c = m_run.Classify(headerText, size, false);
    // A stop that came while the rules were looked at: the message is left for the next
    // fetch rather than handled on a result the stop may have cut short.
    if (m_account.StopRequested()) return false;

    // A header becomes seen once its message has been handled: a message whose download or
    // filing failed is tried again by the next fetch instead of staying on the server unread.
    if (c.result == kClassifyReject) {
        if (m_s.rejectresponse && !seen) RejectionReply(m_account, m_log, m_message);
        m_account.AddSeen(crc);  // the reply has gone out: never a second one
        m_run.LogMessageEvent(kCategoryRejected, c.reason, m_message);
        DeleteOnServer(n);  // whatever "nodelete" and "nodownload" say
        ++m_counts.rejected;
        return true;
    }
    if (seen) {
        // Filed by an earlier fetch whose DELE never took effect (the connection dropped
        // before QUIT), or kept while "nodelete" was on: the account has its copy, so the
        // server's goes now. A message that was only logged while "nodownload" was on was
        // never filed and stays.
        if (!m_s.nodownload && !m_s.nodelete && !m_account.IsKeptOnly(crc)) DeleteOnServer(n);
        return true;
    }
    if (m_s.nodownload) {
        if (m_s.away) AwayReply(m_account, m_log, m_message);
        m_account.AddSeen(crc, true);
        m_run.LogMessageEvent(kCategoryOk, c.reason, m_message);
        ++m_counts.accepted;
        return true;
    }
    m_run.Progress("Retrieving message " + number);
    // Read before the header's fields are cleared, so that the error line of a refused
    // retrieval still names the message.
    const std::string text = FetchBody(n);
    m_message.Clear();
    m_message.LoadMode = TLoadMode::Raw;
    m_message.LoadFromMailText(text);
    if (c.result == kClassifyAccept)
        FileAccepted(n, crc, c.reason);
    else
        FileQuarantined(n, crc);
    return true;
}

// The server's copy goes only after everything local has been done: a failure on the way
// leaves the message on the server, never lost.
void TFetchRun::FileAccepted(int n, std::uint32_t crc, const std::string& reason) {
    {
        TZivadMessageCollection& vorla = m_account.VorlaFolder();
        // Held until the away mark is written: the item must stay where it was filed.
        std::scoped_lock hold(vorla.Lock());
        TZivadMessageItem& item = vorla.AddMessage(m_message, "accepted");
        m_account.AddSeen(crc);
        ++m_counts.accepted;
        m_run.LogMessageEvent(kCategoryAccepted, reason, m_message);
        if (m_s.away) AwayReplyWithMark(m_account, m_log, item);
    }
    if (!m_s.nodelete) DeleteOnServer(n);
}

void TFetchRun::FileQuarantined(int n, std::uint32_t crc) {
    int r2 = kClassifyUndecided;
    {
        // Held until the body rules have looked at it: the item must stay where it was filed.
        const TMoveLock hold(m_account);
        const TZivadMessageItem& item = m_account.QuarantineFolder().AddMessage(m_message, "quarantined");
        m_account.AddSeen(crc);
        m_run.LogMessageEvent(kCategoryQuarantined, std::nullopt, m_message);
        r2 = RecheckMessage(m_account, m_log, item.Index(), -1, true);
    }
    if (r2 == kClassifyReject) {
        ++m_counts.trashed;
        if (m_s.rejectresponse) RejectionReply(m_account, m_log, m_message);
    } else {
        if (r2 == kClassifyAccept)
            ++m_counts.accepted;
        else
            ++m_counts.quarantined;
        if (m_s.away) AwayReply(m_account, m_log, m_message);
    }
    if (r2 == kClassifyReject || !m_s.nodelete) DeleteOnServer(n);
}

void TFetchRun::PurgeTrash() {
    const int days = m_run.PurgeDays();
    if (days <= 0) return;
    m_run.Progress("Purging trash");
    TZivadMessageCollection& trash = m_account.TrashFolder();
    std::scoped_lock hold(trash.Lock());
    const TDateTime now = Now();
    for (int i = 0; i < trash.Count(); ++i) {
        TZivadMessageItem* item = trash.Item(i);
        item->Load(true);
        // Fractional days: a message exactly purgedays old stays.
        if (now - item->Message().Date > days) {
            item->Deleted = true;
            ++m_counts.purged;
        }
        item->Release();
    }
    trash.Purge();
}

void TFetchRun::Closing() noexcept {
    m_client.reset();  // a connection still open goes without QUIT: nothing is deleted then
    m_message.Clear();
    // Written now and not only at exit, so that a crash later cannot make the next fetch take
    // the same messages again.
    if (m_account.SeenCount() != m_seenAtStart) {
        try {
            m_account.SaveSeen();
        } catch (const std::exception& e) {
            try {
                m_run.LogError("Unable to save the seen messages: " + std::string(e.what()));
            } catch (...) {
            }
        }
    }
    try {
        if (m_run.StatusFetch())
            m_run.Status(kServiceFetch,
                         FetchSummary(m_log.Settings(), m_counts.accepted, m_counts.trashed, m_counts.quarantined,
                                      m_counts.rejected, m_counts.purged, m_counts.errors, m_s.nodownload));
        if (TZivad* engine = m_run.Engine()) engine->OnFetchEnd.Raise(m_account.FolderName());
    } catch (...) {
        // Nothing may keep the busy flag from being cleared.
    }
    m_account.SetBusy(false);
}

void TFetchRun::Process() {
    m_run.Progress("Processing retrieved messages");
    TZivadMessageCollection& vorla = m_account.VorlaFolder();
    TZivadMessageCollection& quarantine = m_account.QuarantineFolder();
    quarantine.Purge();  // what the body re-examination moved out
    if (m_account.StopRequested()) return;
    if (m_counts.accepted > 0 && m_s.enablemailbot) {
        std::scoped_lock hold(vorla.Lock());
        for (int i = 0; i < vorla.Count(); ++i) {
            TZivadMessageItem* item = vorla.Item(i);
            if (!item->Deleted) MailbotReply(m_account, m_log, *item);
        }
    }
    if (m_s.enableredirect) {
        // Without the folder's lock: the copies lock only their target folders.
        for (int i = 0; i < vorla.Count(); ++i) RedirectMessage(m_account, m_log, vorla, i);
        if (m_s.redirectquarantined)
            for (int i = 0; i < quarantine.Count(); ++i) RedirectMessage(m_account, m_log, quarantine, i);
    }
    vorla.Purge();
    // Redirected quarantine mail marked for removal goes now, or the next fetch would
    // redirect it again.
    if (m_s.enableredirect && m_s.redirectquarantined) quarantine.Purge();
    if (quarantine.Count() > 0 && m_s.enablefilters) FilterMessages(m_account, m_log);
    if (m_account.QueueFolder().Count() > 0 && m_s.enablesend) StartSendQueue(m_account);
    m_run.Progress("Done");
}

void TFetchRun::LogEscaped(const std::exception& e) noexcept {
    try {
        m_run.LogError(e.what());
    } catch (...) {
    }
}

}  // namespace

void FetchMail(TZivadAccount& account, TZivadLog& log) {
    if (account.Deleted() || !account.Settings()->enablefetch || !account.TryBeginBusy()) return;
    TFetchRun run(account, log);
    run.Run();
}

}  // namespace vorla
