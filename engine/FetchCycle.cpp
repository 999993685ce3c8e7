#include "engine/FetchCycle.h"

#include <functional>
#include <utility>

#include "engine/AccountTls.h"
#include "engine/Dispatcher.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "net/SendQueues.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"

namespace vorla {

TSendQueueSettings SendQueueSettingsOf(const TZivadAccount& account, const std::string& dnsHost) {
    const std::shared_ptr<const TAccountSettings> s = account.Settings();
    TSendQueueSettings settings;
    settings.dnsHost = dnsHost;
    settings.smtpServer = s->smtpserver;
    settings.smtpPort = s->smtpport;
    settings.accountName = s->name;
    settings.accountEmail = s->email;
    settings.smtpLoginName = s->smtploginname;
    settings.smtpPassword = s->smtppassword;
    settings.smtpAuth = s->smtpauth;
    settings.smtpPasswordCommand = s->smtppasswordcommand;
    settings.sendDirect = s->senddirect;
    settings.smtpSecurity = s->smtpsecurity;
    settings.tls = AccountTlsOptions(account);
    return settings;
}

void StartSendQueue(TZivadAccount& account) {
    // The pass copies what it needs now and holds the account until it is over; status lines
    // go to the engine's history on the UI thread (the sender waits for each), or to the
    // list's status sink without an engine.
    TZivadAccounts* list = account.Owner();
    TZivad* engine = list ? list->Owner() : nullptr;
    TSendQueue::TStatusSink status;
    if (list) status = [list](const std::string& text) { list->AddStatus(text); };
    TSendQueues::TPost post;
    if (engine)
        post = [&dispatcher = engine->Dispatcher()](std::function<void()> call) { dispatcher.Post(std::move(call)); };
    SharedSendQueues().Start(SendQueueSettingsOf(account, engine ? engine->DnsHost() : std::string()),
                             account.QueueFolder(), std::move(status), std::move(post), account.weak_from_this().lock());
}

int RunningQueueSenders() { return SharedSendQueues().Running(); }

void SendEveryQueue(TZivadAccounts& list, TDispatcher& ui, const std::function<void(const std::string&)>& statusLine) {
    const std::string dnsHost = list.Owner() ? list.Owner()->DnsHost()
                                             : TIniFile(ReplaceExtension(ProgramFilePath(), ".exe", ".ini"))
                                                   .ReadString(TZivad::kOptionsSection, TZivad::kDnsHostKey, "");
    TSendQueues senders;
    for (const TAccountPtr& account : list.Snapshot())
        senders.Start(SendQueueSettingsOf(*account, dnsHost), account->QueueFolder(), statusLine,
                      [&ui](std::function<void()> call) { ui.Post(std::move(call)); }, account);
    // Each pass posts its end handling, so every end wakes this wait.
    while (senders.Running() > 0) ui.WaitAndProcessEvents();
    senders.Reap();
}

}  // namespace vorla
