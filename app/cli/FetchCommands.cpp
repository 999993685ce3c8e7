#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>

#include "app/cli/AccountList.h"
#include "app/cli/Commands.h"
#include "engine/EventQueue.h"
#include "engine/FetchCycle.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "engine/ZivadPeek.h"
#include "log/LogLines.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

constexpr std::chrono::minutes kSenderWait{10};

// The engine of the home folder (set and locked by the caller) on this thread's event queue,
// with every status line echoed to standard output as it is added, oldest first.
class TEngineRun {
public:
    explicit TEngineRun(TCliContext& ctx) : m_ctx(ctx), m_engine(std::make_unique<TZivad>(m_queue)) {
        const std::vector<std::string> early = m_engine->StatusLines();
        for (auto it = early.rbegin(); it != early.rend(); ++it) Echo(*it);
        m_engine->OnStatusLine.Set([this](const std::string& line) { Echo(line); });
    }
    ~TEngineRun() {
        // The queue senders that the fetch started deliver what the responses queued; their
        // status lines and end handling run on this thread. Each sending step has its own
        // time-outs; the bound only keeps a hung peer from holding the command for ever.
        m_queue.ProcessEventsUntil([] { return RunningQueueSenders() == 0; }, kSenderWait);
        // Calls that workers handed to this thread still run before the engine goes.
        m_queue.ProcessEvents();
        m_engine.reset();
        std::scoped_lock lock(m_outMutex);
        m_ctx.out << std::flush;
    }
    TEngineRun(const TEngineRun&) = delete;
    TEngineRun& operator=(const TEngineRun&) = delete;

    TZivad& Engine() { return *m_engine; }

private:
    void Echo(const std::string& line) {
        std::scoped_lock lock(m_outMutex);  // lines come from any thread; each must stay whole
        m_ctx.out << line << '\n' << std::flush;
    }

    TCliContext& m_ctx;
    std::mutex m_outMutex;
    // Its clock stands still: the fetch timer never ticks in a one-shot command, while the
    // calls that workers post still run.
    TEventQueue m_queue{TEventQueue::TClockMode::Manual};
    std::unique_ptr<TZivad> m_engine;
};

int ParseMessageNumber(const std::string& word) {
    int n = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size() || n < 1)
        throw TUsageError{"not a message number: '" + word + "'"};
    return n;
}

}  // namespace

// Fetches every account (RunAll: each on a worker while this thread runs the events), or the
// one named, on this thread, as the per-account "Get Mail" does. The home folder is set and
// locked by the caller.
int FetchCommand(TCliContext& ctx) {
    if (ctx.args.size() > 1) throw TUsageError{"fetch takes one account name at most"};
    TEngineRun run(ctx);
    TZivad& engine = run.Engine();
    if (ctx.args.empty()) {
        engine.RunAll();
        return 0;
    }
    const TAccountPtr account = engine.Accounts().FindByName(ctx.args[0]);
    if (!account) throw TVorlaError("no account named '" + ctx.args[0] + "'");
    if (!account->Settings()->enablefetch) ctx.err << "vorla fetch: fetching is switched off for account '" << ctx.args[0] << "'\n";
    FetchMail(*account, engine.Log());
    return 0;
}

// "Run Filters": every account's stored messages classified again. Set and locked by the
// caller.
int FilterCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"filter takes no arguments"};
    TEngineRun run(ctx);
    run.Engine().FilterAll();
    return 0;
}

// Lists the messages waiting on an account's uplink server, or deletes some of them there.
// Nothing in the home folder changes; --delete takes the home lock so that no fetch runs on
// the same mailbox meanwhile (it would change the message numbers).
int PeekCommand(TCliContext& ctx) {
    std::string accountName;
    std::set<int> toDelete;
    bool deleting = false;
    for (const std::string& word : ctx.args) {
        if (word == "--delete") {
            deleting = true;
        } else if (!word.empty() && word[0] == '-') {
            throw TUsageError{"unknown peek option '" + word + "'"};
        } else if (deleting) {
            toDelete.insert(ParseMessageNumber(word));
        } else if (accountName.empty()) {
            accountName = word;
        } else {
            throw TUsageError{"peek takes one account name"};
        }
    }
    if (accountName.empty()) throw TUsageError{"peek needs an account name"};
    if (deleting && toDelete.empty()) throw TUsageError{"--delete needs message numbers"};

    std::unique_ptr<THomeLock> lock;
    if (deleting) {
        const std::string home = PrepareHomeFolder(ctx.homeOption);
        SetHomeFolder(home);
        lock = std::make_unique<THomeLock>(home);
    } else {
        const std::string home = ResolveHomeFolder(ctx.homeOption);
        if (!DirectoryExists(home)) throw TVorlaError("no account named '" + accountName + "'");
        SetHomeFolder(home);
    }
    TAccountList accounts(ctx);
    const TZivadAccount& account = accounts.Named(accountName);
    TZivadPeek peek;
    peek.SetAccount(account);
    const TPeekResult listed = peek.ConnectAndList();
    if (!listed.ok)
        throw TVorlaError("cannot list the messages on " + account.Settings()->popserver + ": " + listed.error);

    auto row = [&](int i) {
        TZivadMessageItem& item = *peek.Item(i);
        const TMailMessage& message = item.Message();
        // Texts from the server reach the terminal: keep their control characters from acting on it.
        ctx.out << (i + 1) << "\t" << FormatDateTime(kMessageDateFormat, message.Date) << "\t" << item.Size() << "\t"
                << ControlsReplaced(message.From.Text()) << "\t" << ControlsReplaced(message.Subject) << "\n";
    };
    if (!deleting) {
        for (int i = 0; i < peek.Count(); ++i) row(i);
        peek.Disconnect();  // nothing is marked: QUIT deletes nothing
        return 0;
    }
    const int largest = *toDelete.rbegin();
    if (largest > peek.Count()) {
        // Checked before anything is marked: a wrong number deletes nothing at all.
        peek.Disconnect();
        throw TVorlaError("there is no message " + std::to_string(largest) + " on the server (it holds " +
                          std::to_string(peek.Count()) + ")");
    }
    for (int n : toDelete) peek.Item(n - 1)->Deleted = true;
    for (int n : toDelete) {
        ctx.out << "Deleting ";
        row(n - 1);
    }
    peek.Disconnect();
    return 0;
}

}  // namespace vorla
