#include <mutex>

#include "engine/FetchCycle.h"
#include "engine/FetchCyclePrivate.h"
#include "engine/SimpleThread.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

TZivadLog* EngineLog(TZivadAccount& account) {
    TRunContext context(account, nullptr);
    return context.Engine() ? &context.Engine()->Log() : nullptr;
}

// The whole stored message, raw, from the file text already read for its classification
// (fileText, the item's FileText). Unlike the item's own Load this fails loudly: a move must
// never put an empty copy into the target folder and then remove the original, so a file that
// gave no text is read again, and a missing or unreadable one throws.
void LoadWhole(const TZivadMessageItem& item, const std::string& fileText, TMailMessage& message) {
    message.LoadMode = TLoadMode::Raw;
    if (!item.Folder().empty() && !fileText.empty())
        message.LoadFromText(fileText);
    else
        message.LoadFromFile(item.FileName());
}

// Files a copy of item into target with the stamp word and marks item Deleted; returns the
// copy as it was filed (for the log line).
void MoveItem(TZivadMessageItem& item, const std::string& fileText, TZivadMessageCollection& target,
              const char* stamp, TMailMessage& copy) {
    LoadWhole(item, fileText, copy);
    target.AddMessage(copy, stamp);
    item.Deleted = true;
}

// Where a stored message goes after its classification: a rejected one to the trash, the
// result named by moveOn to moveOn's folder (with its stamp and log category; the reason is
// logged unless the message only goes to the quarantine); anything else stays.
struct TMoveOn {
    int result;
    TZivadMessageCollection& folder;
    const char* stamp;
    const char* category;
    bool logReason;
};

// A classification that a stop request cut short: it says "undecided" without having decided.
// Such a message stays where it is and is counted nowhere.
constexpr int kStoppedUndecided = 2;

int ClassifyAndMove(const TRunContext& run, TZivadMessageItem& item, bool bodyRulesOnly, const TMoveOn& moveOn) {
    TZivadAccount& account = run.Account();
    // The file is read once, for the classification and for the copy a move files.
    const std::string fileText = item.FileText();
    const std::string text = MessageDisplayText(fileText);
    const TClassification c = run.Classify(text, static_cast<std::int64_t>(text.size()), bodyRulesOnly);
    // Stop comes from another thread and may arrive while the rules are looked at: an
    // accepted message must not go to the quarantine only because Stop was pressed.
    if (c.result == kClassifyUndecided && account.StopRequested()) return kStoppedUndecided;
    TMailMessage copy;
    if (c.result == kClassifyReject) {
        MoveItem(item, fileText, account.TrashFolder(), "trashed", copy);
        run.LogMessageEvent(kCategoryTrashed, c.reason, copy);
    } else if (c.result == moveOn.result) {
        MoveItem(item, fileText, moveOn.folder, moveOn.stamp, copy);
        run.LogMessageEvent(moveOn.category, moveOn.logReason ? std::optional<std::string>(c.reason) : std::nullopt,
                            copy);
    }
    return c.result;
}

int Recheck(const TRunContext& run, int quarantineIndex, int vorlaIndex, bool bodyRulesOnly) {
    TZivadAccount& account = run.Account();
    const TMoveLock hold(account);
    int result = kClassifyUndecided;
    if (vorlaIndex >= 0)
        if (TZivadMessageItem* item = account.VorlaFolder().Item(vorlaIndex))
            result = ClassifyAndMove(run, *item, bodyRulesOnly,
                                     {kClassifyUndecided, account.QuarantineFolder(), "quarantined",
                                      kCategoryQuarantined, false});
    if (quarantineIndex >= 0)
        if (TZivadMessageItem* item = account.QuarantineFolder().Item(quarantineIndex))
            result = ClassifyAndMove(run, *item, bodyRulesOnly,
                                     {kClassifyAccept, account.VorlaFolder(), "accepted", kCategoryAccepted, true});
    return result;
}

// The closing step of a filtering run, on every way out.
class TFilterRunEnd {
public:
    TFilterRunEnd(const TRunContext& run, const int& accepted, const int& trashed, const int& quarantined)
        : m_run(run), m_accepted(accepted), m_trashed(trashed), m_quarantined(quarantined) {}
    ~TFilterRunEnd() {
        try {
            if (m_run.StatusFilter()) {
                const TLogSettings switches = m_run.Log() ? m_run.Log()->Settings() : TLogSettings{};
                m_run.Status(kServiceFilter,
                             FetchSummary(switches, m_accepted, m_trashed, m_quarantined, -1, -1, -1, false));
            }
            if (TZivad* engine = m_run.Engine()) engine->OnFilterEnd.Raise(m_run.Account().FolderName());
        } catch (...) {
            // Nothing may keep the busy flag from being cleared.
        }
        m_run.Account().SetBusy(false);
    }
    TFilterRunEnd(const TFilterRunEnd&) = delete;
    TFilterRunEnd& operator=(const TFilterRunEnd&) = delete;

private:
    const TRunContext& m_run;
    const int& m_accepted;
    const int& m_trashed;
    const int& m_quarantined;
};

// The two passes: the vorla folder, then the quarantine (counted when its pass begins, so that
// it includes what the first pass moved there). The folders are locked for each whole pass,
// so that no other thread (a mail client's session purging the vorla folder) shifts the
// indexes under it. No UI event ever runs in here: the caller on the UI thread waits outside
// every lock.
void RunPasses(const TRunContext& run, int& accepted, int& trashed, int& quarantined) {
    TZivadAccount& account = run.Account();
    auto pass = [&](TZivadMessageCollection& folder, bool vorlaPass) {
        const TMoveLock hold(account);
        try {
            const int count = folder.Count();
            for (int i = 0; i < count; ++i) {
                if (account.StopRequested()) break;
                const int r = vorlaPass ? Recheck(run, -1, i, false) : Recheck(run, i, -1, false);
                if (r == kClassifyReject) ++trashed;
                if (r == kClassifyUndecided && vorlaPass) ++quarantined;
                if (r == kClassifyAccept && !vorlaPass) ++accepted;
            }
        } catch (...) {
            // The messages moved before the error are in their new folders already: they
            // must not stay in this one as well.
            try {
                folder.Purge();
            } catch (...) {
            }
            throw;
        }
        folder.Purge();
    };
    pass(account.VorlaFolder(), true);
    if (account.StopRequested()) return;
    pass(account.QuarantineFolder(), false);
}

void RunFilters(TZivadAccount& account, TZivadLog* log) {
    if (account.Deleted() || !account.Settings()->enablefilters || account.StopRequested() ||
        !account.TryBeginBusy())
        return;
    TRunContext run(account, log);
    int accepted = 0, trashed = 0, quarantined = 0;
    TFilterRunEnd end(run, accepted, trashed, quarantined);
    TZivad* engine = run.Engine();
    if (engine) engine->OnFilterStart.Raise(account.FolderName());
    if (!engine || !engine->OnUiThread()) {
        RunPasses(run, accepted, trashed, quarantined);
        return;
    }
    // On the UI thread the passes run on a worker while this thread keeps running its events
    // (Stop stays usable), so that no window event ever runs inside the folders' locks.
    const std::exception_ptr error =
        RunAndWait(engine->Dispatcher(), engine->Log(),
                   [&](TZivadAccount&, TZivadLog&) { RunPasses(run, accepted, trashed, quarantined); }, account);
    if (error) std::rethrow_exception(error);
}

}  // namespace

void FilterMessages(TZivadAccount& account) { RunFilters(account, EngineLog(account)); }

void FilterMessages(TZivadAccount& account, TZivadLog& log) { RunFilters(account, &log); }

int RecheckMessage(TZivadAccount& account, int quarantineIndex, int vorlaIndex, bool bodyRulesOnly) {
    const TRunContext run(account, EngineLog(account));
    const int result = Recheck(run, quarantineIndex, vorlaIndex, bodyRulesOnly);
    return result == kStoppedUndecided ? kClassifyUndecided : result;
}

int RecheckMessage(TZivadAccount& account, TZivadLog& log, int quarantineIndex, int vorlaIndex,
                   bool bodyRulesOnly) {
    const TRunContext run(account, &log);
    const int result = Recheck(run, quarantineIndex, vorlaIndex, bodyRulesOnly);
    return result == kStoppedUndecided ? kClassifyUndecided : result;
}

}  // namespace vorla
