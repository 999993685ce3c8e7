#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The ordered list of all accounts, loaded from the folders under "<home>/accounts/". It runs
// the per-account operations over all accounts in list order, passes a stop request to all of
// them and finds accounts for the local POP3 server and the filters editor.
namespace vorla {

class TZivad;
class TZivadAccount;
class TZivadFilters;
class TZivadLog;

class TZivadAccounts {
public:
    // Stores the owner (nullptr in tools and tests: status lines then go to the status sink,
    // or nowhere) and loads every account (LoadAll). accountsRoot is the folder holding the
    // account folders; empty means HomeFolder() + "accounts/". Throws TFileError only when the
    // accounts folder exists but cannot be listed.
    explicit TZivadAccounts(TZivad* owner, std::string accountsRoot = {});
    // SaveSeenAll (failures go to standard error: nothing else is left to report them to),
    // then destroys every account. Never throws.
    ~TZivadAccounts();
    TZivadAccounts(const TZivadAccounts&) = delete;
    TZivadAccounts& operator=(const TZivadAccounts&) = delete;

    TZivad* Owner() const { return m_owner; }
    const std::string& AccountsRoot() const { return m_accountsRoot; }  // ends in "/"

    // Adds and loads every sub-folder of the accounts folder whose name does not begin with
    // ".", in ascending name order. A missing accounts folder adds nothing. An account whose
    // files cannot be read is kept as far as it was read; that error and every load warning
    // become "\tVORLA\t" + name + "\t" + text status lines.
    void LoadAll();
    // Appends a newly constructed account (its folder is created at once; an empty folderName
    // gets a new GUID folder). Throws TFileError when the folder cannot be made.
    TZivadAccount& Add(const std::string& folderName = {});
    // Deletes the account's folder from disk, destroys the account and closes up the list. An
    // index out of range does nothing. Throws TFileError when the folder cannot be deleted
    // (the account then stays in the list).
    void Delete(int index);
    TZivadAccount* Items(int index) const;  // nullptr out of range
    int Count() const { return static_cast<int>(m_accounts.size()); }
    int IndexOf(const TZivadAccount* account) const;  // -1 when not in the list

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
    // counts), or nullptr.
    TZivadAccount* FindByLoginName(const std::string& text) const;
    TZivadAccount* FindByName(const std::string& text) const;

    // Destroys every account (their folders stay on disk; their seen checksums are not written)
    // and empties the list.
    void Clear();
    void SetBusyAll(bool busy);

    // Adds a status-history line through the engine, or the status sink when there is no
    // engine. Any thread.
    void AddStatus(const std::string& text);
    // Receives the status lines when the list has no engine (tools, tests). Set before use.
    void SetStatusSink(std::function<void(const std::string&)> sink) { m_statusSink = std::move(sink); }

private:
    TZivad* m_owner;  // not owned; may be nullptr
    std::vector<std::unique_ptr<TZivadAccount>> m_accounts;
    std::atomic<bool> m_stopRequest{false};
    std::string m_accountsRoot;
    std::function<void(const std::string&)> m_statusSink;
};

}  // namespace vorla
