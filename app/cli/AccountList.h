#pragma once
#include <string>

#include "app/cli/Cli.h"
#include "engine/ZivadAccounts.h"

// The account list of the home folder for a command that runs without the engine.
namespace vorla {

class TZivadAccount;

// Loads every account of the home folder (set by the caller) and reports each account's load
// warnings on ctx.err as "vorla: account FOLDER: WARNING". Its seen checksums are never written
// back from here: the list is cleared before it goes, so a command that only read them cannot
// put back an older list over one a fetch has written meanwhile.
class TAccountList {
public:
    explicit TAccountList(TCliContext& ctx);
    ~TAccountList();
    TAccountList(const TAccountList&) = delete;
    TAccountList& operator=(const TAccountList&) = delete;

    TZivadAccounts& operator*() { return m_list; }
    TZivadAccounts* operator->() { return &m_list; }
    // The account of that name; throws TVorlaError "no account named 'NAME'" when none is.
    TZivadAccount& Named(const std::string& name);

private:
    TZivadAccounts m_list;
};

}  // namespace vorla
