#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Slot.h"

// The engine: the one object that owns everything the program does behind its windows (the
// account list, the global filters, the local POP3 server, the activity log, the fetch timer
// and the status history) and loads and saves the application settings file "vorla.ini".
namespace vorla {

class TDispatcher;
class TIniFile;
class TPopServer;
class TReverseDns;
class TTimer;
class TZivadAccount;
class TZivadAccounts;
class TZivadFilters;
class TZivadLog;

class TZivad {
public:
    // Settings keys of section "options" and "status" that the engine owns.
    static constexpr const char* kOptionsSection = "options";
    static constexpr const char* kStatusSection = "status";
    // Section "options": certificates to trust for TLS besides the system's store.
    static constexpr const char* kTrustedCaKey = "cacerts";
    // Section "options": the DNS server for reverse lookups and direct delivery.
    static constexpr const char* kDnsHostKey = "dnshost";
    static constexpr int kDefaultTimerInterval = 120000;  // ms
    static constexpr int kDefaultStatusSize = 1000;       // lines
    static constexpr std::uint32_t kDefaultColor = 16634553;

    // Creates the (empty) status history first, so that problems found while the parts load
    // are kept; then, in this order, the account list (which loads every account folder), the global
    // filters ("vorla.fil"), the local POP3 server (not listening), the log, the fetch timer
    // (enabled, 120000 ms, driven by dispatcher) and the status history, then loads
    // "vorla.ini", which may switch the local POP3 server on. The home folder (platform/Home.h)
    // must be set before. dispatcher must outlive the engine. UI thread only.
    explicit TZivad(TDispatcher& dispatcher);
    // Empties the account slots and OnRunEnd, saves the settings (a failure becomes a status
    // line, never an exception), frees the status history, switches the local POP3 server off
    // and frees it, frees the timer, the account list (writing every account's seen checksums),
    // the global filters and the log, then deletes the "Ind*.tmp" files of the private
    // temporary folder. Callers Stop() first.
    ~TZivad();
    TZivad(const TZivad&) = delete;
    TZivad& operator=(const TZivad&) = delete;

    // Stores the version, adds "\tVORLA\t\tVorla v<version> initiated" to the status history
    // and sets the local POP3 server's greeting to "+OK Vorla (v<version>)".
    void SetVersion(const std::string& version);
    std::string Version() const;

    // --- Commands (UI thread) ---
    // Disables the timer, trims the log and fetches every account in turn, each on a worker
    // while the UI thread keeps running events. Always raises OnRunEnd and restores the timer
    // state it found, also after a stop or an error (the error is then rethrown).
    void RunAll();
    // Asks every running operation to stop (the account list's and every account's request).
    void Stop();
    // FilterMessages for every account in list order, the timer disabled meanwhile.
    void FilterAll();
    // Starts the queue sender for every account in list order, whatever its settings.
    void SendAll();
    // Saves every account's options, the global filters, the engine settings and the local
    // POP3 server's settings, in that order. Throws TFileError when a file cannot be written.
    void SaveAll();

    // Reads "vorla.ini" (every key with the current value as default; invalid values are
    // reported as a status line and leave the value as it was) and applies "server".
    void LoadSettings();
    // Writes the engine's sections in their fixed order, then nothing else. Throws TFileError.
    void SaveSettings();
    std::string SettingsFileName() const;

    // --- Fetch timer (UI thread) ---
    bool TimerEnabled() const;
    void SetTimerEnabled(bool enabled);
    int TimerInterval() const;  // ms; 0 never ticks
    // Remembers the enabled state, disables the timer, sets the interval, restores the state:
    // the countdown starts again. A negative value throws TVorlaError.
    void SetTimerInterval(int ms);

    // --- Start at logon ---
    bool LoadOnStartup() const { return m_loadOnStartup; }
    // Stores the flag and at once creates or removes the autostart entry (engine/Startup.h).
    void SetLoadOnStartup(bool wanted);

    // --- Status history (any thread) ---
    // Adds "dd mmm yyyy hh:nn:ss " + text at the top, trims the history to its size, then
    // raises OnStatusChanged (outside the lock).
    void AddStatus(const std::string& text);
    // The whole history, newest first, lines joined by CR LF.
    std::string StatusText() const;
    std::vector<std::string> StatusLines() const;  // newest first
    int StatusSize() const { return m_statusSize; }
    void SetStatusSize(int lines);  // negative counts as 0
    bool StatusFetch() const { return m_statusFetch; }
    void SetStatusFetch(bool on) { m_statusFetch = on; }
    bool StatusFilter() const { return m_statusFilter; }
    void SetStatusFilter(bool on) { m_statusFilter = on; }
    bool StatusSync() const { return m_statusSync; }  // stored and edited only
    void SetStatusSync(bool on) { m_statusSync = on; }
    bool StatusRdns() const { return m_statusRdns; }
    void SetStatusRdns(bool on) { m_statusRdns = on; }

    // The fetch and filter summary text, e.g. "Accepted=2 Trashed=0 Quarantined=0 Rejected=1
    // Purged=0 Errors=0": each part whose count is >= 0 and whose log switch is on (Purged has
    // no switch); noDownload writes "Ok=" and "Unknown=" for accepted and quarantined.
    std::string FetchSummary(int accepted, int trashed, int quarantined, int rejected, int purged, int errors,
                             bool noDownload) const;

    // --- Application settings (written by the UI thread, read from any thread) ---
    bool ProxyEnabled() const { return m_proxyEnabled; }
    void SetProxyEnabled(bool on) { m_proxyEnabled = on; }
    std::string DnsHost() const;
    void SetDnsHost(const std::string& host);
    // A PEM file or a folder of PEM files whose certificates the uplink and SMTP connections
    // trust in addition to the system's store (for a provider with its own authority, or a
    // server with a self-made certificate); empty for none. A relative path is taken from the
    // home folder when a connection uses it.
    std::string TrustedCa() const;
    void SetTrustedCa(const std::string& path);
    int OpeningPage() const { return m_openingPage; }
    void SetOpeningPage(int page);  // 0..255, else throws TVorlaError
    int PurgeDays() const { return m_purgeDays; }
    void SetPurgeDays(int days) { m_purgeDays = days; }
    std::uint32_t Color() const { return m_color; }
    void SetColor(std::uint32_t color) { m_color = color; }

    // --- Owned parts ---
    TZivadAccounts& Accounts() { return *m_accounts; }
    TZivadFilters& Filters() { return *m_filters; }
    TZivadLog& Log() { return *m_log; }
    TPopServer& PopServer() { return *m_popServer; }
    TDispatcher& Dispatcher() { return m_dispatcher; }
    // The reverse lookups of the classification, shared by all accounts; its lines go to the
    // status history (switch "rdns") and its progress texts to OnStatusText.
    TReverseDns& ReverseDns() { return *m_reverseDns; }
    // True on the thread that created the engine (the UI thread). Any thread.
    bool OnUiThread() const { return std::this_thread::get_id() == m_uiThread; }

    // --- Notifications, raised on the thread that does the work; any number of subscribers.
    // The account slots carry the account's folder name, not the account: a window hands the
    // notification to its UI thread and finds the account there (Accounts().FindByFolder),
    // when it may have been deleted or reloaded meanwhile.
    TSlot<TZivad&> OnStatusChanged;              // a status line was added
    TSlot<const std::string&> OnFilterStart;     // FilterMessages of the account begins
    TSlot<const std::string&> OnFilterEnd;       // ...ends (also after a stop), after its FILTER line
    TSlot<const std::string&> OnFetchStart;      // FetchMail begins, before connecting
    TSlot<const std::string&> OnFetchEnd;        // the uplink part of FetchMail has ended
    TSlot<TZivad&> OnRunEnd;                 // RunAll ended, also after a stop or an error
    TSlot<const std::string&> OnStatusText;  // progress text; empty clears the status bar
    // Every status line as it is added, with its time prefix, before OnStatusChanged; also
    // when the history size keeps no lines. For a service that echoes its history.
    TSlot<const std::string&> OnStatusLine;

private:
    void LoadEngineSettings(const TIniFile& ini);
    void SaveEngineSettings(TIniFile& ini);
    void TimerTick();
    // The integer value of key, or nullopt after reporting a value that is not a number or
    // lies outside min..max (the setting then keeps its value).
    std::optional<long long> ReadChecked(const TIniFile& ini, const char* section, const char* key, long long min,
                                         long long max, long long current);

    TDispatcher& m_dispatcher;
    const std::thread::id m_uiThread = std::this_thread::get_id();

    mutable std::mutex m_statusMutex;  // guards m_statusHistory
    std::unique_ptr<std::deque<std::string>> m_statusHistory;  // newest first; null once freed
    std::atomic<int> m_statusSize{kDefaultStatusSize};
    std::atomic<bool> m_statusFetch{true};
    std::atomic<bool> m_statusFilter{true};
    std::atomic<bool> m_statusSync{true};
    std::atomic<bool> m_statusRdns{true};

    mutable std::mutex m_textMutex;  // guards m_version, m_dnsHost and m_trustedCa
    std::string m_version;
    std::string m_dnsHost;
    std::string m_trustedCa;

    std::atomic<bool> m_loadOnStartup{false};
    std::atomic<std::uint32_t> m_color{kDefaultColor};
    std::atomic<bool> m_proxyEnabled{false};
    std::atomic<int> m_openingPage{0};
    std::atomic<int> m_purgeDays{0};

    // Created in the constructor in the order accounts, filters, POP3 server, log, timer; freed
    // in the destructor in the order written out there.
    std::unique_ptr<TZivadAccounts> m_accounts;
    std::unique_ptr<TZivadFilters> m_filters;
    std::unique_ptr<TPopServer> m_popServer;
    std::unique_ptr<TZivadLog> m_log;
    std::unique_ptr<TTimer> m_timer;
    std::unique_ptr<TReverseDns> m_reverseDns;  // made first, freed after everything else
};

}  // namespace vorla
