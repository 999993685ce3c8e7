#include "engine/FetchCycle.h"

#include <functional>
#include <utility>

#include "engine/AccountTls.h"
#include "engine/Dispatcher.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "net/SendQueues.h"

namespace vorla {

void StartSendQueue(TZivadAccount& account) {
    // The pass copies what it needs now; status lines go to the engine's history on the UI
    // thread (the sender waits for each), or to the list's status sink without an engine.
    TZivadAccounts* list = account.Owner();
    TZivad* engine = list ? list->Owner() : nullptr;
    TSendQueueSettings settings;
    settings.dnsHost = engine ? engine->DnsHost() : std::string();
    settings.smtpServer = account.smtpserver;
    settings.smtpPort = account.smtpport;
    settings.accountName = account.name;
    settings.accountEmail = account.email;
    settings.smtpLoginName = account.smtploginname;
    settings.smtpPassword = account.smtppassword;
    settings.sendDirect = account.senddirect;
    settings.smtpSecurity = account.smtpsecurity;
    settings.tls = AccountTlsOptions(account);
    TSendQueue::TStatusSink status;
    if (list) status = [list](const std::string& text) { list->AddStatus(text); };
    TSendQueues::TPost post;
    if (engine)
        post = [&dispatcher = engine->Dispatcher()](std::function<void()> call) { dispatcher.Post(std::move(call)); };
    SharedSendQueues().Start(std::move(settings), account.QueueFolder(), std::move(status), std::move(post));
}

}  // namespace vorla
