#include <memory>
#include <optional>
#include <ostream>

#include "app/cli/AccountList.h"
#include "app/cli/Commands.h"
#include "engine/RuleBook.h"
#include "engine/StoredClassifier.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"
#include "platform/IniFile.h"
#include "platform/Strings.h"

namespace vorla {

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
    TStoredClassifier classifier([&ctx](const std::string& line) {
        // Status lines are TAB tag TAB account TAB text: show them as one readable line.
        ctx.err << "vorla classify:" << ControlsReplaced(line) << "\n";
    });

    int status = 0;
    for (std::size_t i = 1; i < ctx.args.size(); ++i) {
        const std::string& file = ctx.args[i];
        try {
            const TClassification decision = classifier.Classify(account, ReadFileBytes(file));
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
    std::optional<TRuleExport> exportFilter;
    std::optional<std::string> importFile;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        if (a == "--export") {
            if (i + 1 >= ctx.args.size()) throw TUsageError{"--export needs accept, reject, none or all"};
            const std::string& which = ctx.args[++i];
            exportFilter = ParseRuleExport(which);
            if (!exportFilter) throw TUsageError{"--export needs accept, reject, none or all, not '" + which + "'"};
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
    std::unique_ptr<TRuleBook> book;
    std::string listName = "global rules";
    if (accountName) {
        accounts = std::make_unique<TAccountList>(ctx);
        TZivadAccount& account = accounts->Named(*accountName);
        book = std::make_unique<TRuleBook>(account);
        listName = "the rules of " + account.Name();
    } else {
        book = TRuleBook::Global();
    }

    if (importFile) {
        const int added = book->Import(importText);
        ctx.out << "Imported " << added << (added == 1 ? " rule" : " rules") << " into " << listName << "\n";
        return 0;
    }
    if (exportFilter) {
        ctx.out << book->Export(*exportFilter);  // the filter file's own lines, CR LF
        return 0;
    }
    for (const TRuleRow& rule : book->Rows())
        ctx.out << rule.action << "\t" << rule.section << "\t" << (rule.active ? "1" : "0") << "\t" << rule.hits
                << "\t" << (rule.lastUsed.empty() ? "-" : rule.lastUsed) << "\t" << ControlsReplaced(rule.description)
                << "\t" << ControlsReplaced(rule.searchText) << "\n";
    return 0;
}

}  // namespace vorla
