#include <ostream>

#include "app/cli/Commands.h"
#include "engine/EventQueue.h"
#include "engine/FetchCycle.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"
#include "platform/DateTime.h"

namespace vorla {

// "Send Mail" from the command line: starts the queue sender of every account, whatever its
// "enablesend", and returns when every pass has ended. Status lines go to standard output as
// the status history would show them. Exit status 1 when any message could not be sent (it
// stays queued). Runs without the engine, so the local POP3 server is never switched on; the
// DNS host comes from the settings file. The home folder is set and locked by the caller.
int SendCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"send takes no arguments"};
    TZivadAccounts list(nullptr);
    for (const TAccountPtr& account : list.Snapshot())
        for (const std::string& warning : account->LoadWarnings())
            ctx.err << "vorla: account " << account->FolderName() << ": " << warning << "\n";

    TEventQueue ui;  // this thread is the UI thread: status lines and reloads run here
    bool failed = false;
    SendEveryQueue(list, ui, [&](const std::string& text) {
        ctx.out << FormatStatusLine(Now(), text) << '\n' << std::flush;
        if (text.find("\tError: ") != std::string::npos) failed = true;
    });
    // Only read here: the seen checksums are the fetch's to write.
    list.Clear();
    return failed ? 1 : 0;
}

}  // namespace vorla
