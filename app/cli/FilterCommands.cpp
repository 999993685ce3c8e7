#include <memory>
#include <optional>
#include <ostream>

#include "app/cli/AccountList.h"
#include "app/cli/Commands.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/Classify.h"
#include "filters/ReverseDns.h"
#include "filters/ZivadFilters.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"
#include "platform/IniFile.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

std::string GlobalFiltersFile() { return ReplaceExtension(ProgramFilePath(), ".exe", ".fil"); }
std::string SettingsFile() { return ReplaceExtension(ProgramFilePath(), ".exe", ".ini"); }

// The global list with the settings of "vorla.ini", as the engine has it.
std::unique_ptr<TZivadFilters> LoadGlobalFilters() {
    auto filters = std::make_unique<TZivadFilters>(GlobalFiltersFile());
    filters->LoadSettings(TIniFile(SettingsFile()));
    return filters;
}

// What the classification reads from an account.
TClassifyAccount ClassifyInputs(TZivadAccount& account) {
    TClassifyAccount inputs;
    inputs.name = account.name;
    inputs.email = account.email;
    inputs.enablefilters = account.enablefilters;
    inputs.rejectownemail = account.rejectownemail;
    inputs.rejectinvalidrecipient = account.rejectinvalidrecipient;
    inputs.rejectkb = account.rejectkb;
    inputs.rejectolddates = account.rejectolddates;
    inputs.rejectillegalips = account.rejectillegalips;
    for (const TMailbotRecord& mailbot : account.mailbots) inputs.mailbotSubjects.push_back(mailbot.subject);
    inputs.rules = &account.Filters();
    inputs.stopRequested = [&account] { return account.StopRequested(); };
    return inputs;
}

}  // namespace

// Classifies each file as the filtering of stored messages does: the message's display text
// (text parts and HTML attachments folded into the body), its length as the size, all checks
// and rules. Nothing is written: no home lock is taken; the rule files are never saved, so the
// hit counts and any automatic rules live only in this process; no log is given, so no
// "AddFilter" line is written; the seen checksums are not written back.
int ClassifyCommand(TCliContext& ctx) {
    if (ctx.args.size() < 2) throw TUsageError{"usage: classify ACCOUNT FILE..."};
    for (std::size_t i = 1; i < ctx.args.size(); ++i)
        if (ctx.args[i].rfind("--", 0) == 0)
            throw TUsageError{"unknown classify option '" + ctx.args[i] + "'"};
    const std::string home = ResolveHomeFolder(ctx.homeOption);
    if (!DirectoryExists(home)) throw TVorlaError("no account named '" + ctx.args[0] + "'");
    SetHomeFolder(home);

    TAccountList accounts(ctx);
    TZivadAccount& account = accounts.Named(ctx.args[0]);
    const std::unique_ptr<TZivadFilters> global = LoadGlobalFilters();
    TReverseDns reverseDns;
    TReverseDnsReport report;
    report.addStatus = [&ctx](const std::string& line) {
        // Status lines are TAB tag TAB account TAB text: show them as one readable line, with no
        // control character of a file acting on the terminal.
        ctx.err << "vorla classify:" << ControlsReplaced(line) << "\n";
    };
    reverseDns.SetReport(std::move(report));

    const TClassifyAccount inputs = ClassifyInputs(account);
    TClassifyEngine engine;
    engine.globalRules = global.get();
    engine.reverseDns = &reverseDns;

    int status = 0;
    for (std::size_t i = 1; i < ctx.args.size(); ++i) {
        const std::string& file = ctx.args[i];
        try {
            const std::string text = MessageDisplayText(ReadFileBytes(file));
            const TClassification decision =
                ClassifyMessage(inputs, engine, text, static_cast<std::int64_t>(text.size()), false);
            ctx.out << file << "\t" << decision.result << "\t" << ControlsReplaced(decision.reason) << "\n";
        } catch (const std::exception& e) {
            ctx.err << "vorla classify: " << file << ": " << OneLine(e.what()) << "\n";
            status = 1;
        }
    }
    return status;
}

// Lists, exports or imports the global rules or an account's. Listing and exporting only read;
// an import writes the rule file and so holds the home lock.
int RulesCommand(TCliContext& ctx) {
    std::optional<std::string> accountName;
    std::optional<int> exportFilter;
    std::optional<std::string> importFile;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        if (a == "--export") {
            if (i + 1 >= ctx.args.size()) throw TUsageError{"--export needs accept, reject, none or all"};
            const std::string& which = ctx.args[++i];
            if (which == "none") exportFilter = static_cast<int>(TFilterAction::None);
            else if (which == "accept") exportFilter = static_cast<int>(TFilterAction::Accept);
            else if (which == "reject") exportFilter = static_cast<int>(TFilterAction::Reject);
            else if (which == "all") exportFilter = kAllFilterActions;
            else throw TUsageError{"--export needs accept, reject, none or all, not '" + which + "'"};
        } else if (a == "--import") {
            if (i + 1 >= ctx.args.size()) throw TUsageError{"--import needs a file"};
            importFile = ctx.args[++i];
        } else if (!a.empty() && a[0] == '-') {
            throw TUsageError{"unknown rules option '" + a + "'"};
        } else if (accountName) {
            throw TUsageError{"rules takes one account name at most"};
        } else {
            accountName = a;
        }
    }
    if (exportFilter && importFile) throw TUsageError{"choose one of --export and --import"};

    // Read before anything is touched: a wrong file name then changes nothing.
    const std::string importText = importFile ? ReadFileBytes(*importFile) : std::string();
    std::unique_ptr<THomeLock> lock;
    std::string home;
    if (importFile) {
        home = PrepareHomeFolder(ctx.homeOption);
        SetHomeFolder(home);
        lock = std::make_unique<THomeLock>(home);
    } else {
        home = ResolveHomeFolder(ctx.homeOption);
        if (!DirectoryExists(home)) {  // a home folder that was never used has no rules
            if (accountName) throw TVorlaError("no account named '" + *accountName + "'");
            return 0;
        }
        SetHomeFolder(home);
    }

    std::unique_ptr<TAccountList> accounts;
    std::unique_ptr<TZivadFilters> global;
    TZivadFilters* list = nullptr;
    std::string listName = "global rules";
    if (accountName) {
        accounts = std::make_unique<TAccountList>(ctx);
        TZivadAccount& account = accounts->Named(*accountName);
        account.Filters().SetAccountName(account.name);
        list = &account.Filters();
        listName = "the rules of " + account.name;
    } else {
        global = std::make_unique<TZivadFilters>(GlobalFiltersFile());
        list = global.get();
    }

    if (importFile) {
        const int added = list->ImportRules(importText);
        ctx.out << "Imported " << added << (added == 1 ? " rule" : " rules") << " into " << listName << "\n";
        return 0;
    }
    if (exportFilter) {
        ctx.out << list->RulesText(*exportFilter);  // the filter file's own lines, CR LF
        return 0;
    }
    list->RecountFromLog();
    std::scoped_lock hold(list->Mutex());
    for (int i = 0; i < list->RuleCount(); ++i) {
        const TZivadFilterItem& rule = *list->RuleAt(i);
        ctx.out << FilterActionName(rule.Action()) << "\t" << FilterSectionName(rule.Section()) << "\t"
                << (rule.Active() ? "1" : "0") << "\t" << rule.HitCount() << "\t"
                << (rule.LastUsed().empty() ? "-" : rule.LastUsed()) << "\t" << ControlsReplaced(rule.Description())
                << "\t" << ControlsReplaced(rule.SearchText()) << "\n";
    }
    return 0;
}

}  // namespace vorla
