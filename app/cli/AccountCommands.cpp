#include <istream>
#include <optional>
#include <ostream>
#include <utility>

#include "app/cli/AccountKeys.h"
#include "app/cli/AccountList.h"
#include "app/cli/Commands.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"

namespace vorla {
namespace {

struct TSettings {
    std::vector<TAccountChange> changes;
    std::optional<std::string> newName;  // the last name=VALUE
};

// Splits "KEY=VALUE" words and checks them all; "-" for a password reads one line of standard
// input (without its line end). Nothing is changed here.
TSettings ParseSettings(TCliContext& ctx, std::size_t first) {
    TSettings settings;
    for (std::size_t i = first; i < ctx.args.size(); ++i) {
        const std::string& word = ctx.args[i];
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) throw TUsageError{"expected KEY=VALUE, not '" + word + "'"};
        const std::string key = word.substr(0, eq);
        std::string value = word.substr(eq + 1);
        if (IsPasswordKey(key) && value == "-") {
            if (!std::getline(ctx.in, value)) throw TAccountKeyError("no " + key + " on standard input");
            if (!value.empty() && value.back() == '\r') value.pop_back();
        }
        settings.changes.push_back(ParseAccountSetting(key, value));
        if (IsNameKey(key)) settings.newName = value;
    }
    return settings;
}

// True when another account than self has this name.
bool NameTaken(TZivadAccounts& list, const std::string& name, const TZivadAccount* self) {
    for (const TAccountPtr& account : list.Snapshot())
        if (account.get() != self && account->Name() == name) return true;
    return false;
}

void CheckName(const std::string& name) {
    if (name.empty()) throw TUsageError{"the account name must not be empty"};
    if (!IsPlainText(name)) throw TAccountKeyError("the account name must not hold control characters");
}

TZivadAccount& Existing(TZivadAccounts& list, const std::string& name) {
    const TAccountPtr account = list.FindByName(name);
    if (!account) throw TAccountKeyError("no account named '" + name + "'");
    return *account;
}

std::string YesNo(bool on) { return on ? "1" : "0"; }

int AccountAdd(TCliContext& ctx) {
    if (ctx.args.size() < 2) throw TUsageError{"usage: account add NAME [KEY=VALUE...]"};
    const std::string name = ctx.args[1];
    CheckName(name);
    const TSettings settings = ParseSettings(ctx, 2);
    const std::string finalName = settings.newName.value_or(name);
    TAccountList list(ctx);
    if (NameTaken(*list, finalName, nullptr))
        throw TAccountKeyError("an account named '" + finalName + "' exists already");
    TZivadAccount& account = list->Add();  // a new folder with the new-account defaults
    account.Edit([&](TAccountSettings& s) {
        s.name = name;
        for (const TAccountChange& change : settings.changes) change(s);
    });
    try {
        account.Save();
    } catch (...) {
        // A half-written new account would load later with the defaults of a damaged one.
        try {
            list->Delete(list->IndexOf(&account));
        } catch (const std::exception&) {
        }
        throw;
    }
    ctx.out << "Added account " << account.Name() << " (folder " << account.FolderName() << ")\n";
    return 0;
}

int AccountSet(TCliContext& ctx) {
    if (ctx.args.size() < 3) throw TUsageError{"usage: account set NAME KEY=VALUE..."};
    const std::string name = ctx.args[1];
    const TSettings settings = ParseSettings(ctx, 2);
    TAccountList list(ctx);
    TZivadAccount& account = Existing(*list, name);
    if (settings.newName && NameTaken(*list, *settings.newName, &account))
        throw TAccountKeyError("an account named '" + *settings.newName + "' exists already");
    account.Edit([&](TAccountSettings& s) {
        for (const TAccountChange& change : settings.changes) change(s);
    });
    account.Save();
    ctx.out << "Changed account " << account.Name() << "\n";
    return 0;
}

int AccountDelete(TCliContext& ctx) {
    if (ctx.args.size() != 2) throw TUsageError{"usage: account delete NAME"};
    TAccountList list(ctx);
    TZivadAccount& account = Existing(*list, ctx.args[1]);
    const std::string folder = account.FolderName();
    list->Delete(list->IndexOf(&account));
    ctx.out << "Deleted account " << ctx.args[1] << " (folder " << folder << ")\n";
    return 0;
}

}  // namespace

int AccountsCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"accounts takes no arguments"};
    const std::string home = ResolveHomeFolder(ctx.homeOption);
    if (!DirectoryExists(home)) return 0;  // a home folder that was never used has no accounts
    SetHomeFolder(home);
    TAccountList list(ctx);
    for (const TAccountPtr& account : list->Snapshot()) {
        TZivadAccount& a = *account;
        const auto s = a.Settings();
        ctx.out << s->name << "\t" << a.FolderName() << "\tenablefetch=" << YesNo(s->enablefetch)
                << "\tvorla=" << a.VorlaFolder().Count() << "\tquarantine=" << a.QuarantineFolder().Count()
                << "\ttrash=" << a.TrashFolder().Count() << "\tqueue=" << a.QueueFolder().Count() << "\n";
    }
    return 0;
}

int AccountCommand(TCliContext& ctx) {
    if (ctx.args.empty()) throw TUsageError{"account needs add, set or delete"};
    const std::string& verb = ctx.args[0];
    if (verb == "add") return AccountAdd(ctx);
    if (verb == "set") return AccountSet(ctx);
    if (verb == "delete") return AccountDelete(ctx);
    throw TUsageError{"unknown account command '" + verb + "' (add, set or delete)"};
}

}  // namespace vorla
