#include "engine/ZivadAccounts.h"

#include <iostream>

#include "engine/FetchCycle.h"
#include "engine/SimpleThread.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "net/SendQueues.h"
#include "log/LogLines.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"

namespace vorla {

TZivadAccounts::TZivadAccounts(TZivad* owner, std::string accountsRoot)
    : m_owner(owner),
      m_accountsRoot(accountsRoot.empty() ? IncludeTrailingSlash(HomeFolder()) + "accounts/"
                                          : IncludeTrailingSlash(accountsRoot)) {
    LoadAll();
}

TZivadAccounts::~TZivadAccounts() {
    std::vector<TAccountPtr> accounts = Snapshot();
    {
        std::scoped_lock lock(m_mutex);
        for (const auto& retired : m_retired)
            if (TAccountPtr account = retired.lock()) accounts.push_back(std::move(account));
    }
    for (const auto& account : accounts) SharedSendQueues().StopAndWait(&account->QueueFolder());
    try {
        for (const auto& message : SaveSeenAll()) std::cerr << message << '\n';
    } catch (...) {
        // A destructor never throws; the accounts are let go all the same.
    }
    accounts.clear();
    std::scoped_lock lock(m_mutex);
    m_accounts.clear();
}

TAccountPtr TZivadAccounts::Retired(const std::string& folderName) {
    TAccountPtr found;
    std::erase_if(m_retired, [&](const std::weak_ptr<TZivadAccount>& weak) {
        TAccountPtr account = weak.lock();
        if (!account) return true;
        if (!found && account->FolderName() == folderName && !account->Deleted()) {
            found = std::move(account);
            return true;
        }
        return false;
    });
    return found;
}

void TZivadAccounts::LoadAll() {
    std::vector<TAccountPtr> loaded = LoadFolders();
    std::scoped_lock lock(m_mutex);
    m_accounts.insert(m_accounts.end(), loaded.begin(), loaded.end());
}

void TZivadAccounts::ReloadAll() {
    std::vector<TAccountPtr> old = Snapshot();
    {
        // Offered to LoadFolders like the accounts a Clear let go, while the list still
        // shows them.
        std::scoped_lock lock(m_mutex);
        for (const auto& account : m_accounts) m_retired.push_back(account);
    }
    std::vector<TAccountPtr> loaded = LoadFolders();
    {
        std::scoped_lock lock(m_mutex);
        m_accounts.swap(loaded);
    }
    loaded.clear();
    LetGo(old);
}

void TZivadAccounts::LetGo(std::vector<TAccountPtr>& accounts) {
    // An account that nobody else holds goes here, outside the lock; its queue pass (which
    // uses its queue folder) is stopped first. One that is held lives on with its users.
    for (auto& account : accounts) {
        if (account.use_count() == 1) SharedSendQueues().StopAndWait(&account->QueueFolder());
        account.reset();
    }
}

std::vector<TAccountPtr> TZivadAccounts::LoadFolders() {
    std::vector<TAccountPtr> loaded;
    if (!DirectoryExists(m_accountsRoot)) return loaded;
    for (const auto& folder : FindFolders(m_accountsRoot)) {
        if (folder.front() == '.') continue;
        if (FileExists(m_accountsRoot + folder + "/" + TZivadAccount::kDeletedMarker)) {
            bool inUse = false;
            {
                std::scoped_lock lock(m_mutex);
                for (const auto& weak : m_retired)
                    if (TAccountPtr account = weak.lock(); account && account->FolderName() == folder) inUse = true;
            }
            // Its last user deletes it; without one, a crash came between the mark and the
            // deletion.
            if (!inUse) {
                try {
                    DeleteTree(m_accountsRoot + folder + "/");
                } catch (const std::exception& e) {
                    AddStatus(StatusEventText(kServiceVorla, folder,
                                              "Error deleting a deleted account's folder: " + OneLine(e.what())));
                }
            }
            continue;
        }
        TAccountPtr account;
        try {
            {
                std::scoped_lock lock(m_mutex);
                account = Retired(folder);
            }
            if (!account) account = std::make_shared<TZivadAccount>(this, folder);
            loaded.push_back(account);
            account->Load();
        } catch (const std::exception& e) {
            // One unreadable account must not keep the others from loading; it stays in the
            // list as far as it was read (when it could be created at all).
            const std::string name = account ? account->Name() : std::string();
            AddStatus(StatusEventText(kServiceVorla, name.empty() ? folder : name,
                                      "Error loading account: " + OneLine(e.what())));
            continue;
        }
        const std::string name = account->Name();
        for (const auto& warning : account->LoadWarnings())
            AddStatus(StatusEventText(kServiceVorla, name.empty() ? folder : name, warning));
    }
    return loaded;
}

TZivadAccount& TZivadAccounts::Add(const std::string& folderName) {
    auto account = std::make_shared<TZivadAccount>(this, folderName);
    std::scoped_lock lock(m_mutex);
    m_accounts.push_back(account);
    return *account;
}

void TZivadAccounts::Delete(int index) {
    TAccountPtr account = Items(index);
    if (!account) return;
    SharedSendQueues().StopAndWait(&account->QueueFolder());  // its pass uses the queue folder
    account->MarkDeleted();
    std::scoped_lock lock(m_mutex);
    std::erase(m_accounts, account);
    m_retired.push_back(account);
    // The folder goes with the last holder: maybe this one, after the lock is released.
}

TAccountPtr TZivadAccounts::Items(int index) const {
    std::scoped_lock lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_accounts.size())) return nullptr;
    return m_accounts[static_cast<std::size_t>(index)];
}

int TZivadAccounts::Count() const {
    std::scoped_lock lock(m_mutex);
    return static_cast<int>(m_accounts.size());
}

int TZivadAccounts::IndexOf(const TZivadAccount* account) const {
    std::scoped_lock lock(m_mutex);
    for (std::size_t i = 0; i < m_accounts.size(); ++i)
        if (m_accounts[i].get() == account) return static_cast<int>(i);
    return -1;
}

std::vector<TAccountPtr> TZivadAccounts::Snapshot() const {
    std::scoped_lock lock(m_mutex);
    return m_accounts;
}

TAccountPtr TZivadAccounts::FindByFolder(const std::string& folderName) const {
    std::scoped_lock lock(m_mutex);
    for (const auto& account : m_accounts)
        if (account->FolderName() == folderName) return account;
    return nullptr;
}

std::vector<std::string> TZivadAccounts::SaveAll() {
    std::vector<std::string> errors;
    for (const auto& account : Snapshot()) {
        try {
            account->Save();
        } catch (const std::exception& e) {
            errors.emplace_back(e.what());  // already "Error saving account: " + reason
        }
    }
    return errors;
}

std::vector<std::string> TZivadAccounts::SaveSeenAll() {
    std::vector<std::string> errors;
    for (const auto& account : Snapshot()) {
        try {
            account->SaveSeen();
        } catch (const std::exception& e) {
            errors.push_back("Error saving the seen messages of account \"" + account->Name() + "\": " + e.what());
        }
    }
    return errors;
}

void TZivadAccounts::RunAccounts(TZivadLog& log, TZivadFilters& /*filters*/) {
    m_stopRequest = false;
    // By index, re-reading the list: the UI may change it while a fetch runs. One worker at a
    // time, each fetching one account that it holds until it ends; what escapes a fetch ends
    // that worker only (the fetch has logged it and written its closing lines).
    for (int i = 0;; ++i) {
        const TAccountPtr account = Items(i);
        if (!account) break;
        if (m_owner) {
            RunAndWait(m_owner->Dispatcher(), log, FetchMail, *account);
        } else {
            TWaitThread worker(log, FetchMail, *account);  // no UI thread to keep alive
            worker.Start();
            worker.WaitFor();
        }
        if (m_stopRequest) break;
    }
}

void TZivadAccounts::StopAll() {
    m_stopRequest = true;
    for (const auto& account : Snapshot()) account->RequestStop();
}

void TZivadAccounts::FilterAll() {
    for (const auto& account : Snapshot()) FilterMessages(*account);
}

void TZivadAccounts::SendAll() {
    for (const auto& account : Snapshot()) StartSendQueue(*account);
}

TAccountPtr TZivadAccounts::FindByLoginName(const std::string& text) const {
    std::scoped_lock lock(m_mutex);
    for (const auto& account : m_accounts)
        if (account->Settings()->loginname == text) return account;
    return nullptr;
}

TAccountPtr TZivadAccounts::FindByName(const std::string& text) const {
    std::scoped_lock lock(m_mutex);
    for (const auto& account : m_accounts)
        if (account->Settings()->name == text) return account;
    return nullptr;
}

void TZivadAccounts::Clear() {
    std::vector<TAccountPtr> accounts;
    {
        std::scoped_lock lock(m_mutex);
        accounts.swap(m_accounts);
        for (const auto& account : accounts) m_retired.push_back(account);
    }
    LetGo(accounts);
}

void TZivadAccounts::SetBusyAll(bool busy) {
    for (const auto& account : Snapshot()) account->SetBusy(busy);
}

void TZivadAccounts::AddStatus(const std::string& text) {
    if (m_owner)
        m_owner->AddStatus(text);
    else if (m_statusSink)
        m_statusSink(text);
}

}  // namespace vorla
