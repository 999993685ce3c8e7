#include "engine/Zivad.h"

#include <charconv>
#include <climits>
#include <cstdint>

#include "engine/Dispatcher.h"
#include "engine/FetchCycle.h"
#include "engine/Startup.h"
#include "engine/Timer.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ReverseDns.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "net/PopServer.h"
#include "net/SendQueues.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/TempFolder.h"

namespace vorla {
namespace {

// Section "options".
constexpr const char* kTimerIntervalKey = "timerinterval";
constexpr const char* kTimerEnabledKey = "timerenabled";
constexpr const char* kLoadOnStartupKey = "loadonstartup";
constexpr const char* kProxyEnabledKey = "proxyenabled";
constexpr const char* kOpeningPageKey = "openingpage";
constexpr const char* kPurgeDaysKey = "purgedays";
constexpr const char* kColorKey = "color";
constexpr const char* kServerKey = "server";
// Section "status".
constexpr const char* kSizeKey = "size";
constexpr const char* kFetchKey = "fetch";
constexpr const char* kFilterKey = "filter";
constexpr const char* kSyncKey = "sync";
constexpr const char* kRdnsKey = "rdns";

constexpr const char* kStatusTimeFormat = "dd mmm yyyy hh:nn:ss";

std::string VorlaLine(const std::string& text) { return "\tVORLA\t\t" + text; }

// A decimal integer with optional blanks around it and a sign, as the settings file holds it.
std::optional<long long> ParseInteger(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::nullopt;
    std::size_t end = text.find_last_not_of(" \t") + 1;
    if (text[begin] == '+') ++begin;
    long long value = 0;
    const char* first = text.data() + begin;
    const char* last = text.data() + end;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
    return value;
}

// An account as the local POP3 server's session holds it, from its login to its end.
class TAccountMailbox : public TPopMailbox {
public:
    TAccountMailbox(TZivad& engine, TAccountPtr account) : m_engine(engine), m_account(std::move(account)) {}
    std::string Password() const override { return m_account->Settings()->password; }
    TZivadMessageCollection& VorlaFolder() override { return m_account->VorlaFolder(); }
    void ProxyFetch() override {
        if (m_engine.ProxyEnabled()) FetchMail(*m_account, m_engine.Log());
    }

private:
    TZivad& m_engine;
    const TAccountPtr m_account;
};

// Restores the timer's enabled state on every way out of a run.
class TTimerPause {
public:
    explicit TTimerPause(TTimer& timer) : m_timer(timer), m_wasEnabled(timer.Enabled()) { m_timer.SetEnabled(false); }
    ~TTimerPause() { m_timer.SetEnabled(m_wasEnabled); }
    TTimerPause(const TTimerPause&) = delete;
    TTimerPause& operator=(const TTimerPause&) = delete;

private:
    TTimer& m_timer;
    bool m_wasEnabled;
};

}  // namespace

TZivad::TZivad(TDispatcher& dispatcher)
    : m_dispatcher(dispatcher), m_statusHistory(std::make_unique<std::deque<std::string>>()) {
    const std::string program = ProgramFilePath();
    try {
        // Before any rule list is made: each reads the table when it is created.
        InstallDefaultTldTable(HomeFolder());
    } catch (const std::exception& e) {
        AddStatus(VorlaLine("Unable to write the default top-level-domain table: " + OneLine(e.what())));
    }
    m_reverseDns = std::make_unique<TReverseDns>();
    TReverseDnsReport report;
    report.addStatus = [this](const std::string& line) { AddStatus(line); };
    report.statusText = [this](const std::string& text) { OnStatusText.Raise(text); };
    report.lookupLinesWanted = [this] { return StatusRdns(); };
    m_reverseDns->SetReport(std::move(report));
    m_accounts = std::make_unique<TZivadAccounts>(this);
    m_filters = std::make_unique<TZivadFilters>(ReplaceExtension(program, ".exe", ".fil"));
    TPopAccountAccess access;
    access.find = [this](const std::string& loginName) -> std::shared_ptr<TPopMailbox> {
        TAccountPtr account = m_accounts->FindByLoginName(loginName);
        if (!account) return nullptr;
        return std::make_shared<TAccountMailbox>(*this, std::move(account));
    };
    m_popServer = std::make_unique<TPopServer>([this](const std::string& text) { AddStatus(text); },
                                               std::move(access));
    m_popServer->LoadSettings(TIniFile(SettingsFileName()));
    m_log = std::make_unique<TZivadLog>(TZivadLog::FileNameFor(program));
    m_timer = std::make_unique<TTimer>(m_dispatcher, kDefaultTimerInterval, [this] { TimerTick(); });
    LoadSettings();
}

TZivad::~TZivad() {
    OnFilterStart.Clear();
    OnFilterEnd.Clear();
    OnFetchStart.Clear();
    OnFetchEnd.Clear();
    OnRunEnd.Clear();
    try {
        SaveSettings();
    } catch (const std::exception& e) {
        AddStatus(VorlaLine("Error saving the settings: " + OneLine(e.what())));
    }
    {
        std::scoped_lock lock(m_statusMutex);
        m_statusHistory.reset();
    }
    m_popServer->SetActive(false);
    m_popServer.reset();  // its connection threads still use the accounts
    m_timer.reset();
    SharedSendQueues().StopAndWait();  // the senders' passes use the accounts' queue folders
    m_accounts.reset();  // writes every account's seen checksums
    m_filters.reset();
    m_log.reset();  // last: everything above may still write to it
    try {
        SweepTempFiles("Ind*.tmp");
    } catch (const std::exception&) {
        // No private temporary folder: then there is nothing of ours to sweep either.
    }
}

std::string TZivad::SettingsFileName() const { return ReplaceExtension(ProgramFilePath(), ".exe", ".ini"); }

void TZivad::SetVersion(const std::string& version) {
    {
        std::scoped_lock lock(m_textMutex);
        m_version = version;
    }
    AddStatus(VorlaLine("Vorla v" + version + " initiated"));
    m_popServer->SetVersion(version);
}

std::string TZivad::Version() const {
    std::scoped_lock lock(m_textMutex);
    return m_version;
}

// --- Commands ---

void TZivad::RunAll() {
    struct TRunEnd {
        TZivad& engine;
        ~TRunEnd() { engine.OnRunEnd.Raise(engine); }
    };
    // Declared in this order so that OnRunEnd is raised first and the timer restored after it.
    TTimerPause pause(*m_timer);
    TRunEnd runEnd{*this};
    try {
        m_log->TrimLog();
    } catch (const std::exception& e) {
        // The log is not the mail: a log that cannot be trimmed must not stop the fetch.
        AddStatus(VorlaLine("Error trimming the log: " + OneLine(e.what())));
    }
    m_accounts->RunAccounts(*m_log, *m_filters);
}

void TZivad::Stop() { m_accounts->StopAll(); }

void TZivad::FilterAll() {
    TTimerPause pause(*m_timer);
    m_accounts->FilterAll();
}

void TZivad::SendAll() { m_accounts->SendAll(); }

void TZivad::SaveAll() {
    // Every part is saved even when an earlier one failed; the failures are reported together.
    std::vector<std::string> errors = m_accounts->SaveAll();
    auto attempt = [&errors](auto&& save) {
        try {
            save();
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    };
    attempt([&] { m_filters->SaveRules(); });
    attempt([&] { SaveSettings(); });
    attempt([&] {
        TIniFile ini(SettingsFileName());
        ini.BeginUpdate();
        m_popServer->SaveSettings(ini);
        ini.UpdateFile();
    });
    if (errors.empty()) return;
    std::string text;
    for (const std::string& error : errors) text += (text.empty() ? "" : "\n") + error;
    throw TFileError(text);
}

void TZivad::TimerTick() {
    // A tick comes from the event loop: nothing may escape to it.
    try {
        RunAll();
    } catch (const std::exception& e) {
        AddStatus(VorlaLine("Error: " + OneLine(e.what())));
    }
}

// --- Settings ---

std::optional<long long> TZivad::ReadChecked(const TIniFile& ini, const char* section, const char* key,
                                             long long min, long long max, long long current) {
    const std::string text = ini.ReadString(section, key, "");
    if (text.find_first_not_of(" \t") == std::string::npos) return std::nullopt;  // absent or empty
    std::optional<long long> value = ParseInteger(text);
    if (value && *value >= min && *value <= max) return value;
    AddStatus(VorlaLine("Invalid value \"" + OneLine(text) + "\" for " + section + "/" + key + " in " +
                        ini.FileName() + " (allowed " + std::to_string(min) + ".." + std::to_string(max) +
                        "); keeping " + std::to_string(current)));
    return std::nullopt;
}

void TZivad::LoadSettings() {
    TIniFile ini(SettingsFileName());
    LoadEngineSettings(ini);
    m_log->LoadSettings(ini);
    m_filters->LoadSettings(ini);
    m_popServer->SetActive(ini.ReadBool(kOptionsSection, kServerKey, m_popServer->ActiveSetting()));
}

void TZivad::LoadEngineSettings(const TIniFile& ini) {
    if (auto v = ReadChecked(ini, kOptionsSection, kTimerIntervalKey, 0, INT_MAX, TimerInterval()))
        SetTimerInterval(static_cast<int>(*v));
    SetTimerEnabled(ini.ReadBool(kOptionsSection, kTimerEnabledKey, TimerEnabled()));
    // Only the flag: the autostart entry is changed when the user changes the setting, not
    // at every start.
    m_loadOnStartup = ini.ReadBool(kOptionsSection, kLoadOnStartupKey, m_loadOnStartup);
    m_proxyEnabled = ini.ReadBool(kOptionsSection, kProxyEnabledKey, m_proxyEnabled);
    SetDnsHost(ini.ReadString(kOptionsSection, kDnsHostKey, DnsHost()));
    SetTrustedCa(ini.ReadString(kOptionsSection, kTrustedCaKey, TrustedCa()));
    if (auto v = ReadChecked(ini, kOptionsSection, kOpeningPageKey, 0, 255, m_openingPage))
        m_openingPage = static_cast<int>(*v);
    if (auto v = ReadChecked(ini, kOptionsSection, kPurgeDaysKey, INT32_MIN, INT32_MAX, m_purgeDays))
        m_purgeDays = static_cast<int>(*v);
    // Colours are 32-bit values; negative ones (system colours) are kept as written.
    if (auto v = ReadChecked(ini, kOptionsSection, kColorKey, INT32_MIN, UINT32_MAX,
                             static_cast<std::int32_t>(m_color.load())))
        m_color = static_cast<std::uint32_t>(*v);

    if (auto v = ReadChecked(ini, kStatusSection, kSizeKey, INT32_MIN, INT32_MAX, m_statusSize))
        SetStatusSize(static_cast<int>(*v));
    m_statusFetch = ini.ReadBool(kStatusSection, kFetchKey, m_statusFetch);
    m_statusFilter = ini.ReadBool(kStatusSection, kFilterKey, m_statusFilter);
    m_statusSync = ini.ReadBool(kStatusSection, kSyncKey, m_statusSync);
    m_statusRdns = ini.ReadBool(kStatusSection, kRdnsKey, m_statusRdns);
}

void TZivad::SaveSettings() {
    TIniFile ini(SettingsFileName());
    ini.BeginUpdate();  // one write of the file for all keys; a failure leaves the old one
    SaveEngineSettings(ini);
    ini.UpdateFile();
}

void TZivad::SaveEngineSettings(TIniFile& ini) {
    ini.WriteInteger(kOptionsSection, kTimerIntervalKey, TimerInterval());
    ini.WriteBool(kOptionsSection, kTimerEnabledKey, TimerEnabled());
    ini.WriteBool(kOptionsSection, kLoadOnStartupKey, m_loadOnStartup);
    ini.WriteBool(kOptionsSection, kProxyEnabledKey, m_proxyEnabled);
    ini.WriteString(kOptionsSection, kDnsHostKey, DnsHost());
    ini.WriteInteger(kOptionsSection, kOpeningPageKey, m_openingPage);
    ini.WriteInteger(kOptionsSection, kPurgeDaysKey, m_purgeDays);
    ini.WriteInteger(kOptionsSection, kColorKey, static_cast<std::int32_t>(m_color.load()));
    ini.WriteBool(kOptionsSection, kServerKey, m_popServer->ActiveSetting());
    ini.WriteString(kOptionsSection, kTrustedCaKey, TrustedCa());
    m_log->SaveSettings(ini);
    ini.WriteInteger(kStatusSection, kSizeKey, m_statusSize);
    ini.WriteBool(kStatusSection, kFetchKey, m_statusFetch);
    ini.WriteBool(kStatusSection, kFilterKey, m_statusFilter);
    ini.WriteBool(kStatusSection, kSyncKey, m_statusSync);
    ini.WriteBool(kStatusSection, kRdnsKey, m_statusRdns);
    m_filters->SaveSettings(ini);
}

// --- Timer ---

bool TZivad::TimerEnabled() const { return m_timer->Enabled(); }

void TZivad::SetTimerEnabled(bool enabled) { m_timer->SetEnabled(enabled); }

int TZivad::TimerInterval() const { return m_timer->Interval(); }

void TZivad::SetTimerInterval(int ms) {
    if (ms < 0) throw TVorlaError("the fetch interval cannot be negative: " + std::to_string(ms));
    const bool wasEnabled = m_timer->Enabled();
    m_timer->SetEnabled(false);
    m_timer->SetInterval(ms);
    m_timer->SetEnabled(wasEnabled);
}

void TZivad::SetLoadOnStartup(bool wanted) {
    m_loadOnStartup = wanted;
    try {
        SetStartupShortcut(wanted);
    } catch (const std::exception& e) {
        // The setting stays as chosen; the next change tries again.
        AddStatus(VorlaLine("Unable to " + std::string(wanted ? "create" : "remove") +
                            " the autostart entry: " + OneLine(e.what())));
    }
}

// --- Status history ---

void TZivad::AddStatus(const std::string& text) {
    std::string line;
    {
        std::scoped_lock lock(m_statusMutex);
        if (!m_statusHistory) return;
        line = FormatDateTime(kStatusTimeFormat, Now()) + " " + text;
        m_statusHistory->push_front(line);
        const std::size_t limit = m_statusSize > 0 ? static_cast<std::size_t>(m_statusSize.load()) : 0;
        while (m_statusHistory->size() > limit) m_statusHistory->pop_back();
    }
    OnStatusLine.Raise(line);
    OnStatusChanged.Raise(*this);
}

std::string TZivad::StatusText() const {
    std::scoped_lock lock(m_statusMutex);
    std::string text;
    if (!m_statusHistory) return text;
    for (const std::string& line : *m_statusHistory) {
        if (!text.empty()) text += "\r\n";
        text += line;
    }
    return text;
}

std::vector<std::string> TZivad::StatusLines() const {
    std::scoped_lock lock(m_statusMutex);
    if (!m_statusHistory) return {};
    return {m_statusHistory->begin(), m_statusHistory->end()};
}

void TZivad::SetStatusSize(int lines) { m_statusSize = lines < 0 ? 0 : lines; }

std::string TZivad::FetchSummary(int accepted, int trashed, int quarantined, int rejected, int purged, int errors,
                                 bool noDownload) const {
    return vorla::FetchSummary(m_log->Settings(), accepted, trashed, quarantined, rejected, purged, errors,
                               noDownload);
}

// --- Application settings ---

std::string TZivad::DnsHost() const {
    std::scoped_lock lock(m_textMutex);
    return m_dnsHost;
}

void TZivad::SetDnsHost(const std::string& host) {
    std::scoped_lock lock(m_textMutex);
    m_dnsHost = host;
}

std::string TZivad::TrustedCa() const {
    std::scoped_lock lock(m_textMutex);
    return m_trustedCa;
}

void TZivad::SetTrustedCa(const std::string& path) {
    std::scoped_lock lock(m_textMutex);
    m_trustedCa = path;
}

void TZivad::SetOpeningPage(int page) {
    if (page < 0 || page > 255) throw TVorlaError("the opening page must be 0..255: " + std::to_string(page));
    m_openingPage = page;
}

}  // namespace vorla
