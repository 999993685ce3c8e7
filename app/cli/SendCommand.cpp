#include <mutex>
#include <ostream>

#include "app/cli/Commands.h"
#include "engine/AccountTls.h"
#include "engine/EventQueue.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"
#include "mail/MessageStore.h"
#include "net/SendQueues.h"
#include "platform/DateTime.h"
#include "platform/Home.h"
#include "platform/IniFile.h"

namespace vorla {
namespace {

constexpr const char* kOptionsSection = "options";
constexpr const char* kDnsHostKey = "dnshost";

TSendQueueSettings SettingsOf(const TZivadAccount& account, const std::string& dnsHost) {
    TSendQueueSettings s;
    s.dnsHost = dnsHost;
    s.smtpServer = account.smtpserver;
    s.smtpPort = account.smtpport;
    s.accountName = account.name;
    s.accountEmail = account.email;
    s.smtpLoginName = account.smtploginname;
    s.smtpPassword = account.smtppassword;
    s.sendDirect = account.senddirect;
    s.smtpSecurity = account.smtpsecurity;
    s.tls = AccountTlsOptions(account);
    return s;
}

}  // namespace

// "Send Mail" from the command line: starts the queue sender of every account, whatever its
// "enablesend", and returns when every pass has ended. Status lines go to standard output as
// the status history would show them. Exit status 1 when any message could not be sent (it
// stays queued). Runs without the engine, so the local POP3 server is never switched on; the
// DNS host comes from the settings file. The home folder is set and locked by the caller.
int SendCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"send takes no arguments"};
    const std::string dnsHost = TIniFile(ReplaceExtension(ProgramFilePath(), ".exe", ".ini"))
                                    .ReadString(kOptionsSection, kDnsHostKey, "");
    TZivadAccounts list(nullptr);
    for (int i = 0; i < list.Count(); ++i)
        for (const std::string& warning : list.Items(i)->LoadWarnings())
            ctx.err << "vorla: account " << list.Items(i)->FolderName() << ": " << warning << "\n";

    TEventQueue ui;  // this thread is the UI thread: status lines and reloads run here
    bool failed = false;
    auto echo = [&](const std::string& text) {
        ctx.out << FormatStatusLine(Now(), text) << '\n' << std::flush;
        if (text.find("\tError: ") != std::string::npos) failed = true;
    };
    {
        TSendQueues senders;
        for (int i = 0; i < list.Count(); ++i) {
            TZivadAccount& account = *list.Items(i);
            senders.Start(SettingsOf(account, dnsHost), account.QueueFolder(), echo,
                          [&ui](std::function<void()> call) { ui.Post(std::move(call)); });
        }
        // Each pass posts its end handling, so every end wakes this wait.
        while (senders.Running() > 0) ui.WaitAndProcessEvents();
        senders.Reap();
    }
    // Only read here: the seen checksums are the fetch's to write.
    list.Clear();
    return failed ? 1 : 0;
}

}  // namespace vorla
