#include "app/cli/AccountList.h"

#include <ostream>

#include "engine/ZivadAccount.h"
#include "platform/Errors.h"

namespace vorla {

TAccountList::TAccountList(TCliContext& ctx) : m_list(nullptr) {
    for (const TAccountPtr& account : m_list.Snapshot())
        for (const std::string& warning : account->LoadWarnings())
            ctx.err << "vorla: account " << account->FolderName() << ": " << warning << "\n";
}

TAccountList::~TAccountList() { m_list.Clear(); }

TZivadAccount& TAccountList::Named(const std::string& name) {
    const TAccountPtr account = m_list.FindByName(name);
    if (!account) throw TVorlaError("no account named '" + name + "'");
    return *account;
}

}  // namespace vorla
