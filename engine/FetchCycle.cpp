#include "engine/FetchCycle.h"

#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"

namespace vorla {

namespace {

void ReportUnavailable(TZivadAccount& account, const char* tag, const std::string& what) {
    if (TZivadAccounts* list = account.Owner()) list->AddStatus(StatusEventText(tag, account.name, what));
}

// Holds the account's busy flag for a run and clears it however the run ends.
class TBusyRun {
public:
    explicit TBusyRun(TZivadAccount& account) : m_account(account) {}
    ~TBusyRun() { m_account.SetBusy(false); }
    TBusyRun(const TBusyRun&) = delete;
    TBusyRun& operator=(const TBusyRun&) = delete;

private:
    TZivadAccount& m_account;
};

}  // namespace

void FetchMail(TZivadAccount& account, TZivadLog& /*log*/) {
    if (!account.enablefetch || !account.TryBeginBusy()) return;
    TBusyRun run(account);
    ReportUnavailable(account, kServiceFetch, "Fetching mail is not available in this build");
}

void FilterMessages(TZivadAccount& account) {
    if (!account.enablefilters || account.StopRequested() || !account.TryBeginBusy()) return;
    TBusyRun run(account);
    ReportUnavailable(account, kServiceFilter, "Filtering stored messages is not available in this build");
}

void StartSendQueue(TZivadAccount& account) {
    ReportUnavailable(account, kServiceSend, "Sending queued mail is not available in this build");
}

}  // namespace vorla
