#include "app/cli/AccountList.h"

#include <ostream>

#include "engine/ZivadAccount.h"
#include "platform/Errors.h"

namespace vorla {

TAccountList::TAccountList(TCliContext& ctx) : m_list(nullptr) {
    for (int i = 0; i < m_list.Count(); ++i)
        for (const std::string& warning : m_list.Items(i)->LoadWarnings())
            ctx.err << "vorla: account " << m_list.Items(i)->FolderName() << ": " << warning << "\n";
}

TAccountList::~TAccountList() { m_list.Clear(); }

TZivadAccount& TAccountList::Named(const std::string& name) {
    TZivadAccount* account = m_list.FindByName(name);
    if (!account) throw TVorlaError("no account named '" + name + "'");
    return *account;
}

}  // namespace vorla
