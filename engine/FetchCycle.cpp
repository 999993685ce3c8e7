#include "engine/FetchCycle.h"

#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"

namespace vorla {

namespace {

void ReportUnavailable(TZivadAccount& account, const char* tag, const std::string& what) {
    if (TZivadAccounts* list = account.Owner()) list->AddStatus(StatusEventText(tag, account.name, what));
}

}  // namespace

void StartSendQueue(TZivadAccount& account) {
    ReportUnavailable(account, kServiceSend, "Sending queued mail is not available in this build");
}

}  // namespace vorla
