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
    for (const auto& account : m_accounts) SharedSendQueues().StopAndWait(&account->QueueFolder());
    try {
        for (const auto& message : SaveSeenAll()) std::cerr << message << '\n';
    } catch (...) {
        // A destructor never throws; the accounts are freed all the same.
    }
    m_accounts.clear();
}

void TZivadAccounts::LoadAll() {
    if (!DirectoryExists(m_accountsRoot)) return;
    for (const auto& folder : FindFolders(m_accountsRoot)) {
        if (folder.front() == '.') continue;
        TZivadAccount* account = nullptr;
        try {
            account = &Add(folder);
            account->Load();
        } catch (const std::exception& e) {
            // One unreadable account must not keep the others from loading; it stays in the
            // list as far as it was read (when it could be created at all).
            const std::string who = account && !account->name.empty() ? account->name : folder;
            AddStatus(StatusEventText(kServiceVorla, who, "Error loading account: " + OneLine(e.what())));
            continue;
        }
        for (const auto& warning : account->LoadWarnings())
            AddStatus(StatusEventText(kServiceVorla, account->name.empty() ? folder : account->name, warning));
    }
}

TZivadAccount& TZivadAccounts::Add(const std::string& folderName) {
    auto account = std::make_unique<TZivadAccount>(this, folderName);
    m_accounts.push_back(std::move(account));
    return *m_accounts.back();
}

void TZivadAccounts::Delete(int index) {
    TZivadAccount* account = Items(index);
    if (!account) return;
    SharedSendQueues().StopAndWait(&account->QueueFolder());  // its pass uses the queue folder
    account->DeleteFolder();
    m_accounts.erase(m_accounts.begin() + index);
}

TZivadAccount* TZivadAccounts::Items(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return m_accounts[static_cast<std::size_t>(index)].get();
}

int TZivadAccounts::IndexOf(const TZivadAccount* account) const {
    for (int i = 0; i < Count(); ++i)
        if (m_accounts[static_cast<std::size_t>(i)].get() == account) return i;
    return -1;
}

std::vector<std::string> TZivadAccounts::SaveAll() {
    std::vector<std::string> errors;
    for (const auto& account : m_accounts) {
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
    for (const auto& account : m_accounts) {
        try {
            account->SaveSeen();
        } catch (const std::exception& e) {
            errors.push_back("Error saving the seen messages of account \"" + account->name + "\": " + e.what());
        }
    }
    return errors;
}

void TZivadAccounts::RunAccounts(TZivadLog& log, TZivadFilters& /*filters*/) {
    m_stopRequest = false;
    // By index, re-reading the count: the UI may change the list while a fetch runs. One
    // worker at a time, each fetching one account; what escapes a fetch ends that worker only
    // (the fetch has logged it and written its closing lines).
    for (int i = 0; i < Count(); ++i) {
        TZivadAccount& account = *Items(i);
        if (m_owner) {
            RunAndWait(m_owner->Dispatcher(), log, FetchMail, account);
        } else {
            TWaitThread worker(log, FetchMail, account);  // no UI thread to keep alive
            worker.Start();
            worker.WaitFor();
        }
        if (m_stopRequest) break;
    }
}

void TZivadAccounts::StopAll() {
    m_stopRequest = true;
    for (const auto& account : m_accounts) account->RequestStop();
}

void TZivadAccounts::FilterAll() {
    for (int i = 0; i < Count(); ++i) FilterMessages(*Items(i));
}

void TZivadAccounts::SendAll() {
    for (int i = 0; i < Count(); ++i) StartSendQueue(*Items(i));
}

TZivadAccount* TZivadAccounts::FindByLoginName(const std::string& text) const {
    for (const auto& account : m_accounts)
        if (account->loginname == text) return account.get();
    return nullptr;
}

TZivadAccount* TZivadAccounts::FindByName(const std::string& text) const {
    for (const auto& account : m_accounts)
        if (account->name == text) return account.get();
    return nullptr;
}

void TZivadAccounts::Clear() {
    for (const auto& account : m_accounts) SharedSendQueues().StopAndWait(&account->QueueFolder());
    m_accounts.clear();
}

void TZivadAccounts::SetBusyAll(bool busy) {
    for (const auto& account : m_accounts) account->SetBusy(busy);
}

void TZivadAccounts::AddStatus(const std::string& text) {
    if (m_owner)
        m_owner->AddStatus(text);
    else if (m_statusSink)
        m_statusSink(text);
}

}  // namespace vorla
