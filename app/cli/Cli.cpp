#include "app/cli/Cli.h"

#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

#include "app/CoreVersion.h"
#include "app/cli/AccountKeys.h"
#include "app/cli/Commands.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"

namespace vorla {
namespace {

constexpr const char* kUsage =
    "Usage: vorla [--home DIR] [COMMAND [ARGS...]]\n"
    "\n"
    "Without a command, vorla opens its main window (it needs a display).\n"
    "\n"
    "Commands:\n"
    "  --headless               run the engine as a service until SIGINT or SIGTERM;\n"
    "                           status lines go to standard output\n"
    "  accounts                 list the accounts: name, folder, enablefetch and the\n"
    "                           message counts of vorla, quarantine, trash and queue\n"
    "  account add NAME [KEY=VALUE...]   add an account with the new-account defaults\n"
    "  account set NAME KEY=VALUE...     change settings of an account\n"
    "  account delete NAME      delete an account and its folder\n"
    "  log                      the activity log, newest line first\n"
    "  log --daily              the daily summary\n"
    "  log --accounts           the totals per account\n"
    "  log --account NAME       the log lines of one account\n"
    "  message FILE             print a message file as Vorla stores it\n"
    "  message --display FILE   print the message as the main window shows it\n"
    "  import DIR FILE.eml...   add RFC 5322 files to the message folder DIR\n"
    "  send                     send the queued mail of every account, whatever its\n"
    "                           enablesend, and exit when every pass has ended\n"
    "                           (exit status 1 when a message stays queued; locks\n"
    "                           the home folder)\n"
    "  classify ACCOUNT FILE... classify message files as the filtering of stored mail\n"
    "                           does; prints each file, its result (-1 reject,\n"
    "                           0 quarantine, 1 accept) and the reason; changes nothing\n"
    "  rules [ACCOUNT]          the global rules, or an account's: action, section,\n"
    "                           active, hits, last use, description, search text\n"
    "  rules [ACCOUNT] --export accept|reject|none|all   print rules as filter-file lines\n"
    "  rules [ACCOUNT] --import FILE   add the rules of FILE that are not there yet\n"
    "  fetch [ACCOUNT]          fetch mail from every account (or the one named) once,\n"
    "                           printing the status lines, and exit\n"
    "  filter                   classify every account's stored messages again\n"
    "  peek ACCOUNT             list the messages waiting on the account's server\n"
    "                           (number, date, size, from, subject); changes nothing\n"
    "  peek ACCOUNT --delete N...   delete those messages on the server\n"
    "\n"
    "Account keys (as in options.ini): name email popserver popport loginname password\n"
    "  enablefetch away rejectresponse enablefilters enablesend senddirect smtpserver\n"
    "  smtpport smtploginname smtppassword enableredirect redirectquarantined\n"
    "  redirectdelete nameredirect nodownload enablemailbot nodelete rejectkb\n"
    "  rejectownemail rejectinvalidrecipient rejectolddates rejectillegalips\n"
    "  popsecurity smtpsecurity verifycert popauth smtpauth passwordcommand\n"
    "  smtppasswordcommand\n"
    "  Booleans 0/1, ports 0..65535; password=- and smtppassword=- read the password\n"
    "  from standard input; popsecurity, smtpsecurity: none, starttls or tls.\n"
    "  popauth: user (USER and PASS, the default), plain (AUTH PLAIN), xoauth2 or\n"
    "  oauthbearer (an OAuth 2.0 access token; only over TLS, or to a server on this\n"
    "  machine). smtpauth: auto (AUTH PLAIN when offered, else LOGIN; the default),\n"
    "  xoauth2 or oauthbearer.\n"
    "  passwordcommand, smtppasswordcommand: a command run by /bin/sh at each login\n"
    "  (30 s at most, no terminal); the first line it prints is the password, or the\n"
    "  access token with xoauth2 and oauthbearer. When set, the stored password is\n"
    "  not used. For example:\n"
    "    vorla account set Work popauth=xoauth2 smtpauth=xoauth2 \\\n"
    "      passwordcommand='~/bin/mail-token work' \\\n"
    "      smtppasswordcommand='~/bin/mail-token work'\n"
    "    vorla account set Home \\\n"
    "      passwordcommand='secret-tool lookup service vorla account home'\n"
    "    vorla account set Club passwordcommand='pass show mail/club'\n"
    "\n"
    "The service and the commands that write (account, import, rules --import, fetch,\n"
    "filter, peek --delete) lock the home folder; a second one is refused while the\n"
    "lock is held.\n"
    "\n"
    "Options:\n"
    "  --home DIR   Vorla's home folder (default $VORLA_HOME, else ~/.local/share/vorla)\n"
    "  --help       this text\n"
    "  --version    the program version\n";

struct TCommand {
    std::function<int(TCliContext&)> run;
    // The command changes the home folder: it runs with the home folder created, set and
    // locked for its whole run, so that no other writer (the service included) works beside it.
    bool writes;
};

const std::map<std::string, TCommand>& CommandTable() {
    static const std::map<std::string, TCommand> table = {
        {"--headless", {HeadlessCommand, true}},
        {"accounts", {AccountsCommand, false}},
        {"account", {AccountCommand, true}},
        {"log", {LogCommand, false}},
        {"message", {MessageCommand, false}},
        {"import", {ImportCommand, true}},
        {"send", {SendCommand, true}},
        {"classify", {ClassifyCommand, false}},
        {"rules", {RulesCommand, false}},  // takes the lock itself for --import
        {"fetch", {FetchCommand, true}},
        {"filter", {FilterCommand, true}},
        {"peek", {PeekCommand, false}},  // takes the lock itself for --delete
    };
    return table;
}

}  // namespace

int RunCli(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in,
           const std::function<int(TCliContext&)>& windowCommand) {
    std::string homeOption;
    std::string command;
    std::vector<std::string> rest;
    bool wantHelp = false, wantVersion = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--home") {
            if (i + 1 >= argv.size() || argv[i + 1].empty()) {
                err << "vorla: --home needs a folder\n";
                return 2;
            }
            homeOption = argv[++i];
        } else if (a.rfind("--home=", 0) == 0) {
            homeOption = a.substr(7);
        } else if (command.empty() && a == "--help") {
            wantHelp = true;
        } else if (command.empty() && a == "--headless") {
            command = a;
        } else if (command.empty() && a == "--version") {
            wantVersion = true;
        } else if (command.empty() && !a.empty() && a[0] == '-') {
            err << "vorla: unknown option '" << a << "'\n" << "Try 'vorla --help'.\n";
            return 2;
        } else if (command.empty()) {
            command = a;
        } else {
            rest.push_back(a);
        }
    }
    if (wantHelp) {
        out << kUsage;
        return 0;
    }
    if (wantVersion) {
        out << "Vorla " << GetAppVersion() << "\n";
        return 0;
    }
    if (command.empty() && !windowCommand) {
        err << kUsage;
        return 2;
    }
    const auto& table = CommandTable();
    auto it = table.find(command);
    if (!command.empty() && it == table.end()) {
        err << "vorla: unknown command '" << command << "'\n" << "Try 'vorla --help'.\n";
        return 2;
    }
    // The window works on the home folder like the service: it is set and locked.
    const TCommand run = command.empty() ? TCommand{windowCommand, true} : it->second;
    TCliContext ctx{rest, homeOption, out, err, in};
    try {
        std::unique_ptr<THomeLock> lock;
        if (run.writes) {
            const std::string home = PrepareHomeFolder(homeOption);
            SetHomeFolder(home);
            lock = std::make_unique<THomeLock>(home);
        }
        return run.run(ctx);
    } catch (const TUsageError& e) {
        err << "vorla" << (command.empty() ? "" : " " + command) << ": " << e.message << "\n" << "Try 'vorla --help'.\n";
        return 2;
    } catch (const TAccountKeyError& e) {
        err << "vorla" << (command.empty() ? "" : " " + command) << ": " << e.what() << "; nothing was changed\n";
        return 2;
    } catch (const std::exception& e) {
        err << "vorla" << (command.empty() ? "" : " " + command) << ": " << e.what() << "\n";
        return 1;
    }
}

}  // namespace vorla
