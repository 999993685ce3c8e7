#include "ui/PrefsForm.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>
#include <sstream>
#include <utility>

#include "engine/Zivad.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "net/PopServer.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

// Ports below this one are the system's: a normal user may not bind them.
constexpr int kFirstUserPort = 1024;

std::int32_t ClampToInt32(long long value) {
    return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

// The check boxes of the log and filter settings, each with the field it shows. The log's
// "queued" and "autoadd" have no box and keep their values.
constexpr std::pair<bool TPrefsValues::*, bool TLogSettings::*> kLogChecks[] = {
    {&TPrefsValues::logAccepted, &TLogSettings::accepted},
    {&TPrefsValues::logTrashed, &TLogSettings::trashed},
    {&TPrefsValues::logQuarantined, &TLogSettings::quarantined},
    {&TPrefsValues::logRejected, &TLogSettings::rejected},
    {&TPrefsValues::logRedirected, &TLogSettings::redirected},
    {&TPrefsValues::logErrors, &TLogSettings::errors},
    {&TPrefsValues::logAutoReply, &TLogSettings::autoReplies},
    {&TPrefsValues::logMailbot, &TLogSettings::mailbot},
};
constexpr std::pair<bool TPrefsValues::*, bool TFilterSettings::*> kFilterChecks[] = {
    {&TPrefsValues::filters, &TFilterSettings::enabled},
    {&TPrefsValues::autoAdd, &TFilterSettings::autoAddReceived},
    {&TPrefsValues::tldCheck, &TFilterSettings::tldCheck},
    {&TPrefsValues::reverseDns, &TFilterSettings::reverseDns},
};

// Unsubscribes from a slot when it goes.
class TWarningCollector {
public:
    TWarningCollector(TPopServer& server, std::vector<std::string>& into)
        : m_server(server), m_id(server.OnWarning.Subscribe([&into](const std::string& text) { into.push_back(text); })) {}
    ~TWarningCollector() { m_server.OnWarning.Unsubscribe(m_id); }
    TWarningCollector(const TWarningCollector&) = delete;
    TWarningCollector& operator=(const TWarningCollector&) = delete;

private:
    TPopServer& m_server;
    std::uint64_t m_id;
};

}  // namespace

TPrefsEditor::TPrefsEditor(TZivad& engine) : m_engine(engine), m_color(engine.Color()) {
    TPrefsValues& v = m_values;
    v.regularFetch = engine.TimerEnabled();
    v.fetchIntervalSeconds = engine.TimerInterval() / 1000;  // whole seconds, the rest dropped

    const TFilterSettings filters = engine.Filters().Settings();
    for (const auto& [value, setting] : kFilterChecks) v.*value = filters.*setting;
    v.reverseDnsHost = filters.dnsHost;
    v.reverseDnsTimeout = filters.dnsTimeout;
    v.tldLines = TldLines(engine.Filters().TldTable(), filters.unwantedTlds);

    TPopServer& server = engine.PopServer();
    v.popServer = server.Active();
    v.bindAddress = server.BindAddress();
    v.bindPort = server.Port();
    v.proxy = engine.ProxyEnabled();
    v.stls = server.Stls();
    v.certificateFile = server.CertificateFile();
    v.keyFile = server.KeyFile();

    const TLogSettings log = engine.Log().Settings();
    v.logTrimDays = log.trimDays;
    for (const auto& [value, setting] : kLogChecks) v.*value = log.*setting;

    v.statusConnections = server.LogConnections();
    v.statusSuccessful = server.LogSuccessful();
    v.statusFailed = server.LogFailed();
    v.statusQuit = server.LogQuit();
    v.statusFetch = engine.StatusFetch();
    v.statusFilter = engine.StatusFilter();
    v.statusSync = engine.StatusSync();
    v.statusRdns = engine.StatusRdns();
    v.statusHistorySize = engine.StatusSize();

    // The list offers "Mail" and "Log"; any other stored page is no choice.
    const int page = engine.OpeningPage();
    v.openingPage = page == 0 || page == 1 ? page : -1;
    v.purgeDays = std::clamp(engine.PurgeDays(), 0, kMaxPurgeDays);
    v.outboundDns = engine.DnsHost();
    v.trustedCa = engine.TrustedCa();
    v.loadOnStartup = engine.LoadOnStartup();
}

TPrefsEnabling TPrefsEditor::Enabling() const {
    const bool tld = m_values.tldCheck;
    const bool rdns = tld && m_values.reverseDns;
    return {tld, tld, rdns, rdns, m_values.stls};
}

TRgb TPrefsEditor::ColorToRgb(std::uint32_t color) {
    return {static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF), static_cast<int>((color >> 16) & 0xFF)};
}

std::uint32_t TPrefsEditor::RgbToColor(const TRgb& rgb) {
    auto part = [](int value) { return static_cast<std::uint32_t>(std::clamp(value, 0, 255)); };
    return part(rgb.red) | part(rgb.green) << 8 | part(rgb.blue) << 16;
}

void TPrefsEditor::ButtonClick(int page) {
    if (page >= 0 && page < kPageCount) m_page = page;
}

std::vector<TTldLine> TPrefsEditor::TldLines(const std::vector<TTldEntry>& table, const std::string& unwantedTlds) {
    std::vector<std::string> unwanted;
    std::istringstream words(unwantedTlds);
    for (std::string word; words >> word;) unwanted.push_back(AsciiUpper(word));

    std::vector<TTldLine> lines;
    lines.reserve(table.size());
    for (const TTldEntry& entry : table) {
        const std::string code = AsciiUpper(entry.code);
        const bool checked = std::find(unwanted.begin(), unwanted.end(), code) != unwanted.end();
        lines.push_back({entry.code + " (" + entry.description + ")", checked});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const TTldLine& a, const TTldLine& b) { return AsciiUpper(a.text) < AsciiUpper(b.text); });
    return lines;
}

std::string TPrefsEditor::UnwantedTlds(const std::vector<TTldLine>& lines) {
    std::string codes;
    for (const TTldLine& line : lines) {
        if (!line.checked) continue;
        if (!codes.empty()) codes += ' ';
        codes += line.text.substr(0, line.text.find(' '));
    }
    return codes;
}

std::string TPrefsEditor::BindFailureText(const std::string& warning, int port) {
    std::string advice;
    if (port < kFirstUserPort)
        advice = "Ports below " + std::to_string(kFirstUserPort) +
                 " are reserved for the system. Choose a port above " + std::to_string(kFirstUserPort) +
                 " (for example 1110) as \"Bind Port\" in Prefs, page Services, group \"POP3 Server\", and set "
                 "your mail client to collect from that port.";
    else
        advice = "Choose another \"Bind Port\" (or \"Bind IP Address\") in Prefs, page Services, group \"POP3 "
                 "Server\", and set your mail client to collect from it.";
    return warning + "\r\n\r\n" + advice;
}

std::vector<std::string> TPrefsEditor::OkButtonClick() {
    std::vector<std::string> messages;
    if (!ApplyServices(messages)) return messages;
    ApplyLogs();
    if (!ApplyMisc(messages)) return messages;
    try {
        m_engine.SaveAll();
    } catch (const std::exception& e) {
        messages.push_back(std::string("The settings could not be saved.\r\n\r\n") + e.what());
    }
    return messages;
}

bool TPrefsEditor::ApplyServices(std::vector<std::string>& messages) {
    const TPrefsValues& v = m_values;
    m_engine.SetTimerEnabled(v.regularFetch);
    // The interval is kept in milliseconds in a signed 32-bit value.
    if (v.fetchIntervalSeconds < 0 || v.fetchIntervalSeconds > INT_MAX / 1000) {
        messages.push_back(kRangeCheckError);
        return false;
    }
    m_engine.SetTimerInterval(static_cast<int>(v.fetchIntervalSeconds * 1000));
    m_engine.SetLoadOnStartup(v.loadOnStartup);  // creates or removes the autostart entry at once
    m_engine.SetColor(m_color);

    TFilterSettings filters = m_engine.Filters().Settings();
    for (const auto& [value, setting] : kFilterChecks) filters.*setting = v.*value;
    filters.dnsHost = v.reverseDnsHost;
    filters.dnsTimeout = ClampToInt32(v.reverseDnsTimeout);
    m_engine.Filters().SetSettings(filters);

    m_engine.SetProxyEnabled(v.proxy);
    ApplyLocalServer(messages);
    return true;
}

void TPrefsEditor::ApplyLocalServer(std::vector<std::string>& messages) {
    const TPrefsValues& v = m_values;
    TPopServer& server = m_engine.PopServer();
    std::vector<std::string> warnings;
    {
        TWarningCollector collect(server, warnings);
        // The STLS settings each restart a running server; changed together they restart it once.
        const bool stlsChanged = v.stls != server.Stls() || v.certificateFile != server.CertificateFile() ||
                                 v.keyFile != server.KeyFile();
        if (stlsChanged) {
            const bool wasActive = server.Active();
            if (wasActive) server.SetActive(false);
            server.SetCertificateFile(v.certificateFile);
            server.SetKeyFile(v.keyFile);
            server.SetStls(v.stls);
            if (wasActive) server.SetActive(true);
        }
        server.SetBindAddress(v.bindAddress);
        server.SetPort(static_cast<std::uint16_t>(std::clamp(v.bindPort, 1, 65535)));
        server.SetActive(v.popServer);
    }
    // A running server moved to a port it cannot bind fails at the restart and again when it
    // is switched on: one box says it.
    warnings.erase(std::unique(warnings.begin(), warnings.end()), warnings.end());
    for (const std::string& warning : warnings) messages.push_back(BindFailureText(warning, server.Port()));
}

void TPrefsEditor::ApplyLogs() {
    const TPrefsValues& v = m_values;
    TLogSettings log = m_engine.Log().Settings();
    log.trimDays = ClampToInt32(v.logTrimDays);
    for (const auto& [value, setting] : kLogChecks) log.*setting = v.*value;
    m_engine.Log().SetSettings(log);

    m_engine.SetStatusSize(ClampToInt32(v.statusHistorySize));
    m_engine.SetStatusFetch(v.statusFetch);
    m_engine.SetStatusFilter(v.statusFilter);
    m_engine.SetStatusSync(v.statusSync);
    m_engine.SetStatusRdns(v.statusRdns);
    TPopServer& server = m_engine.PopServer();
    server.SetLogConnections(v.statusConnections);
    server.SetLogSuccessful(v.statusSuccessful);
    server.SetLogFailed(v.statusFailed);
    server.SetLogQuit(v.statusQuit);
}

bool TPrefsEditor::ApplyMisc(std::vector<std::string>& messages) {
    const TPrefsValues& v = m_values;
    m_engine.SetDnsHost(v.outboundDns);
    m_engine.SetTrustedCa(v.trustedCa);
    if (v.openingPage != 0 && v.openingPage != 1) {
        messages.push_back(kRangeCheckError);
        return false;
    }
    m_engine.SetOpeningPage(v.openingPage);
    m_engine.SetPurgeDays(std::clamp(v.purgeDays, 0, kMaxPurgeDays));

    TFilterSettings filters = m_engine.Filters().Settings();
    filters.unwantedTlds = UnwantedTlds(v.tldLines);
    m_engine.Filters().SetSettings(filters);
    return true;
}

}  // namespace vorla
