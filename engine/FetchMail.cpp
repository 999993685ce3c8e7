#include <memory>
#include <mutex>

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

namespace vorla {
namespace {

constexpr std::chrono::milliseconds kConnectTimeout{15000};
constexpr std::chrono::milliseconds kReplyTimeout{25000};

struct TFetchCounts {
    int accepted = 0;
    int trashed = 0;
    int quarantined = 0;
    int rejected = 0;
    int purged = 0;
    int errors = 0;
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
    // Handles message n; false when the stop request ends the loop before it.
    bool HandleMessage(int n);
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
    return m_s.loginname.empty() || m_s.password.empty() || m_s.popserver.empty() ||
           m_s.popport == 0;
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
    m_client->SetPassword(m_s.password);
    try {
        m_client->Connect();
    } catch (const std::exception& e) {
        m_run.LogError(e.what());
        ++m_counts.errors;
    }
    if (m_client->Connected()) {
        const int count = m_client->MessageCount();
        for (int n = 1; n <= count; ++n) {
            try {
                if (!HandleMessage(n)) break;
            } catch (const std::exception& e) {
                m_run.LogMessageError(e.what(), m_message);
            }
        }
        // Only an accepted QUIT makes the server carry out the deletions.
        m_client->Disconnect();
    }
    PurgeTrash();
}

bool TFetchRun::HandleMessage(int n) {
    const std::string number = std::to_string(n);
    m_message.Clear();
    m_message.LoadMode = TLoadMode::Raw;
    m_run.Progress("Retrieving header " + number);
    m_client->RetrieveHeader(n, m_message);
    if (m_account.StopRequested()) return false;
    const std::int64_t size = m_s.rejectkb < 1 ? 0 : m_client->MessageSize(n);
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
        m_client->Delete(n);  // whatever "nodelete" and "nodownload" say
        ++m_counts.rejected;
        return true;
    }
    if (seen) {
        // Filed by an earlier fetch whose DELE never took effect (the connection dropped
        // before QUIT), or kept while "nodelete" was on: the account has its copy, so the
        // server's goes now. A message that was only logged while "nodownload" was on was
        // never filed and stays.
        if (!m_s.nodownload && !m_s.nodelete && !m_account.IsKeptOnly(crc)) m_client->Delete(n);
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
    const std::string text = m_client->RetrieveText(n);
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
    if (!m_s.nodelete) m_client->Delete(n);
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
    if (r2 == kClassifyReject || !m_s.nodelete) m_client->Delete(n);
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
