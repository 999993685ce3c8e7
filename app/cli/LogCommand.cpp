#include <ostream>

#include "app/cli/Commands.h"
#include "log/ZivadLog.h"
#include "platform/Home.h"

namespace vorla {
namespace {

// The log's texts end their lines with CR LF; a terminal and the tools behind a pipe want LF.
std::string UnixLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out;
}

}  // namespace

int LogCommand(TCliContext& ctx) {
    enum class TView { Raw, Daily, Accounts, Account } view = TView::Raw;
    std::string accountName;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        TView next;
        if (a == "--daily") {
            next = TView::Daily;
        } else if (a == "--accounts") {
            next = TView::Accounts;
        } else if (a == "--account") {
            if (i + 1 >= ctx.args.size()) throw TUsageError{"--account needs an account name"};
            accountName = ctx.args[++i];
            next = TView::Account;
        } else {
            throw TUsageError{"unknown log option '" + a + "'"};
        }
        if (view != TView::Raw) throw TUsageError{"choose one of --daily, --accounts and --account NAME"};
        view = next;
    }
    SetHomeFolder(ResolveHomeFolder(ctx.homeOption));
    TZivadLog log(TZivadLog::FileNameFor(ProgramFilePath()));
    std::string text;
    switch (view) {
        case TView::Raw: text = log.LogText(); break;
        case TView::Daily: text = log.DailySummary(); break;
        case TView::Accounts: text = log.AccountSummary(); break;
        case TView::Account: text = log.AccountLogText(accountName); break;
    }
    ctx.out << UnixLines(text);
    return 0;
}

}  // namespace vorla
