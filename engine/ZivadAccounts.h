#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The ordered list of all accounts, loaded from the folders under "<home>/accounts/". It runs
// the per-account operations over all accounts in list order, passes a stop request to all of
// them and finds accounts for the local POP3 server and the filters editor.
//
// The list has a lock of its own, and each account is held by shared ownership: whoever works
// with an account (a fetch, a mail client's session, a queue pass, the redirection) holds a
// TAccountPtr for as long as it works, so an account that is deleted or discarded by a reload
// while it is in use stays alive until its last user lets it go. A deleted account's folder is
// deleted only then; until then a marker file keeps every reload from taking it up again. A
// reload (Clear, then LoadAll) takes up again the very account objects that are still in use
// rather than making a second object for the same folder, so that one folder never has two
// sets of message folders or seen lists.
namespace vorla {

class TZivad;
class TZivadAccount;
class TZivadFilters;
class TZivadLog;

using TAccountPtr = std::shared_ptr<TZivadAccount>;

class TZivadAccounts {
public:
    // Stores the owner (nullptr in tools and tests: status lines then go to the status sink,
    // or nowhere) and loads every account (LoadAll). accountsRoot is the folder holding the
    // account folders; empty means HomeFolder() + "accounts/". Throws TFileError only when the
    // accounts folder exists but cannot be listed.
    explicit TZivadAccounts(TZivad* owner, std::string accountsRoot = {});
    // Stops the queue passes of every account, SaveSeenAll (failures go to standard error:
    // nothing else is left to report them to), then lets every account go. Never throws. The
    // operations that hold accounts (fetches, the local POP3 server's sessions) must have
    // ended before: an account never outlives its list.
    ~TZivadAccounts();
    TZivadAccounts(const TZivadAccounts&) = delete;
    TZivadAccounts& operator=(const TZivadAccounts&) = delete;

    TZivad* Owner() const { return m_owner; }
    const std::string& AccountsRoot() const { return m_accountsRoot; }  // ends in "/"

    // Adds and loads every sub-folder of the accounts folder whose name does not begin with
    // ".", in ascending name order. A missing accounts folder adds nothing. A folder holding
    // the deleted-account marker is passed over (and deleted, when no account object uses it
    // any more: a deletion that a crash interrupted). A folder whose account object is still
    // in use since a Clear gets that object back, loaded again. An account whose files cannot
    // be read is kept as far as it was read; that error and every load warning become
    // "\tVORLA\t" + name + "\t" + text status lines. UI thread.
    void LoadAll();
    // Clear followed by LoadAll as one step for every other thread: until the accounts read
    // again are in place, the list shows the old ones, so that a mail client's login in the
    // meantime never finds the list empty. UI thread.
    void ReloadAll();
    // Appends a newly constructed account (its folder is created at once; an empty folderName
    // gets a new GUID folder). Throws TFileError when the folder cannot be made. The reference
    // stays good while the account is in the list; hold Items() to keep it longer.
    TZivadAccount& Add(const std::string& folderName = {});
    // Takes the account out of the list (closing it up), asks its running operations to stop
    // and marks it deleted: its folder is deleted from disk as soon as no fetch, session or
    // queue pass holds it any more (at once when none does). Its queue pass is stopped first.
    // An index out of range does nothing. Throws TFileError when the deletion cannot be
    // marked (the account then stays in the list). UI thread.
    void Delete(int index);
    TAccountPtr Items(int index) const;  // null out of range. Any thread.
    int Count() const;                   // Any thread.
    int IndexOf(const TZivadAccount* account) const;  // -1 when not in the list. Any thread.
    // The accounts as they are now, in list order. Any thread.
    std::vector<TAccountPtr> Snapshot() const;
    // The account whose folder name is folderName, or null. Any thread.
    TAccountPtr FindByFolder(const std::string& folderName) const;

    // Save of every account in order. A failing account does not stop the others: the result
    // holds one "Error saving account: " + reason message per failure, for the caller to show.
    std::vector<std::string> SaveAll();
    // SaveSeen of every account in order; the result holds one message per failure.
    std::vector<std::string> SaveSeenAll();

    // UI thread. Clears the list's stop request, then fetches every account in list order with
    // FetchMail, strictly one after another, each on a worker thread of its own (TWaitThread)
    // while the UI thread keeps running its events through the engine's dispatcher (without an
    // engine the caller just waits). An error escaping one account's fetch ends that worker
    // only and the run goes on with the next account; after each account a set stop request
    // ends the run. filters (the global rules) are passed along for the fetch, not used here.
    void RunAccounts(TZivadLog& log, TZivadFilters& filters);
    // Sets the list's stop request, then every account's, in list order.
    void StopAll();
    bool StopRequested() const { return m_stopRequest.load(); }
    // FilterMessages of every account in list order; an error passes to the caller.
    void FilterAll();
    // Starts the queue sender of every account in list order; an error passes to the caller.
    void SendAll();

    // The first account in list order whose loginname / name equals text exactly (letter case
    // counts), or null. Any thread.
    TAccountPtr FindByLoginName(const std::string& text) const;
    TAccountPtr FindByName(const std::string& text) const;

    // Empties the list (the folders stay on disk; the seen checksums are not written). An
    // account still in use lives on with its user, and the next LoadAll takes it up again.
    // UI thread.
    void Clear();
    void SetBusyAll(bool busy);

    // Adds a status-history line through the engine, or the status sink when there is no
    // engine. Any thread.
    void AddStatus(const std::string& text);
    // Receives the status lines when the list has no engine (tools, tests). Set before use.
    void SetStatusSink(std::function<void(const std::string&)> sink) { m_statusSink = std::move(sink); }

private:
    // Lets go of accounts taken out of the list: one that nobody else holds goes now, its
    // queue pass stopped first; one that is held lives on with its users.
    void LetGo(std::vector<TAccountPtr>& accounts);
    // The accounts of the folders on disk as LoadAll reads them, not yet in the list.
    std::vector<TAccountPtr> LoadFolders();
    // An account taken out by Clear that is still alive, for LoadAll; the caller holds m_mutex.
    TAccountPtr Retired(const std::string& folderName);

    TZivad* m_owner;  // not owned; may be nullptr
    mutable std::mutex m_mutex;  // guards m_accounts and m_retired; never held while calling out
    std::vector<TAccountPtr> m_accounts;
    // Accounts taken out of the list (Clear, Delete) that their users may still hold.
    std::vector<std::weak_ptr<TZivadAccount>> m_retired;
    std::atomic<bool> m_stopRequest{false};
    std::string m_accountsRoot;
    std::function<void(const std::string&)> m_statusSink;
};

}  // namespace vorla
