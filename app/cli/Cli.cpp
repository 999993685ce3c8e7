#include "app/cli/Cli.h"

#include <exception>
#include <functional>
#include <iostream>
#include <map>

#include "app/CoreVersion.h"
#include "app/cli/Commands.h"

namespace vorla {
namespace {

constexpr const char* kUsage =
    "Usage: vorla [--home DIR] COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  message FILE             print a message file as Vorla stores it\n"
    "  message --display FILE   print the message as the main window shows it\n"
    "  import DIR FILE.eml...   add RFC 5322 files to the message folder DIR\n"
    "\n"
    "Options:\n"
    "  --home DIR   Vorla's home folder (default $VORLA_HOME, else ~/.local/share/vorla)\n"
    "  --help       this text\n"
    "  --version    the program version\n";

using TCommand = std::function<int(TCliContext&)>;

const std::map<std::string, TCommand>& CommandTable() {
    static const std::map<std::string, TCommand> table = {
        {"message", MessageCommand},
        {"import", ImportCommand},
    };
    return table;
}

}  // namespace

int RunCli(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in) {
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
    if (command.empty()) {
        err << kUsage;
        return 2;
    }
    const auto& table = CommandTable();
    auto it = table.find(command);
    if (it == table.end()) {
        err << "vorla: unknown command '" << command << "'\n" << "Try 'vorla --help'.\n";
        return 2;
    }
    TCliContext ctx{rest, homeOption, out, err, in};
    try {
        return it->second(ctx);
    } catch (const TUsageError& e) {
        err << "vorla " << command << ": " << e.message << "\n" << "Try 'vorla --help'.\n";
        return 2;
    } catch (const std::exception& e) {
        err << "vorla " << command << ": " << e.what() << "\n";
        return 1;
    }
}

}  // namespace vorla
