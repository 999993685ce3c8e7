#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ui/AboutBox.h"

// The preferences window's behaviour, without the toolkit: what its controls show when it
// opens, which of them are enabled, and what OK writes back into the engine. The widget
// (TPrefsForm) builds the controls, shows TPrefsValues and hands the edited values back.
namespace vorla {

class TZivad;
struct TTldEntry;

// One line of the top-level-domain list: "de (Germany)" and its check mark.
struct TTldLine {
    std::string text;
    bool checked = false;
    bool operator==(const TTldLine&) const = default;
};

// What the controls show, one field per control. Number boxes without bounds keep whatever
// the user typed, negative values included; OK checks them.
struct TPrefsValues {
    // Services page
    bool regularFetch = true;           // RegularFetchCheck
    long long fetchIntervalSeconds = 0;  // FetchIntervalEdit
    bool filters = true;                // FiltersCheck
    bool autoAdd = false;               // AutoAddCheck
    bool popServer = false;             // PopServerCheck
    std::string bindAddress;            // PopServerIPAddress
    int bindPort = 110;                 // PopServerPort, 1..65535
    bool proxy = false;                 // ProxyCheck
    bool stls = false;                  // StlsCheck
    std::string certificateFile;        // StlsCertificateEdit
    std::string keyFile;                // StlsKeyEdit
    bool tldCheck = true;               // TLDCheck
    std::vector<TTldLine> tldLines;     // TldCheckList, sorted
    bool reverseDns = false;            // ReverseDnsCheck
    std::string reverseDnsHost;         // ReverseDnsHost
    long long reverseDnsTimeout = 10;   // ReverseDnsTimeoutSpin, seconds
    // Logs page
    bool logAccepted = true, logTrashed = true, logQuarantined = true, logRejected = true;
    bool logRedirected = true, logErrors = true, logAutoReply = true, logMailbot = true;
    long long logTrimDays = 30;  // LogTrimDaysEdit
    bool statusConnections = true, statusSuccessful = true, statusFailed = true, statusQuit = true;
    bool statusFetch = true, statusFilter = true, statusSync = true, statusRdns = true;
    long long statusHistorySize = 1000;  // StatusHistoryEdit
    // Misc page
    int openingPage = 0;       // PageCombo: 0 "Mail", 1 "Log", -1 no entry chosen
    int purgeDays = 0;         // PurgeDaysSpin, 0..32766
    std::string outboundDns;   // DNSEdit
    std::string trustedCa;     // TrustedCaEdit
    bool loadOnStartup = false;  // LoadOnStartupCheck
};

// Which of the controls that depend on others are enabled.
struct TPrefsEnabling {
    bool tldList, reverseDnsCheck, reverseDnsHost, reverseDnsTimeout;
    bool stlsFiles;  // certificate and key
    bool operator==(const TPrefsEnabling&) const = default;
};

class TPrefsEditor {
public:
    static constexpr int kPageCount = 3;  // Services, Logs, Misc
    static constexpr const char* kRangeCheckError = "Range check error";
    static constexpr int kMaxPurgeDays = 32766;

    // Loads every control's value from the engine, its global filters, its log and its local
    // server, and the domain list from the filters' table. The editor keeps a reference;
    // engine outlives it. UI thread.
    explicit TPrefsEditor(TZivad& engine);

    // What the controls show; the widget writes the user's edits back here before OK.
    TPrefsValues& Values() { return m_values; }
    const TPrefsValues& Values() const { return m_values; }
    TPrefsEnabling Enabling() const;

    // The page shown (0 Services, 1 Logs, 2 Misc); always 0 when the window opens.
    int Page() const { return m_page; }
    void ButtonClick(int page);

    // The colour being chosen, the dialog's background. It becomes the engine's colour only
    // on OK.
    TRgb Color() const { return ColorToRgb(m_color); }
    void ColourChosen(const TRgb& color) { m_color = RgbToColor(color); }
    // The engine keeps a colour with blue in the high byte and red in the low byte.
    static TRgb ColorToRgb(std::uint32_t color);
    static std::uint32_t RgbToColor(const TRgb& rgb);  // each part cut to 0..255

    // OK: writes the values into the engine in the fixed order (timer, interval, start at
    // logon, colour, global filters, proxy, STLS files, bind address and port, server on/off,
    // log, status history, outbound DNS host, trusted certificates, opening page, purge days,
    // unwanted domains) and saves everything. A fetch interval that cannot be stored, or no
    // opening page chosen, stops the applying there with "Range check error": what follows is
    // neither applied nor saved. Returns the texts of the message boxes to show, in order: a
    // failure to bind the local server (with what to do about it), a range error, a failure
    // to save. The window closes in every case. UI thread.
    std::vector<std::string> OkButtonClick();

    // The domain-list lines for the filters' table, sorted without regard to letter case;
    // a line is checked when its code occurs as a whole word (letter case ignored) in
    // unwantedTlds.
    static std::vector<TTldLine> TldLines(const std::vector<TTldEntry>& table, const std::string& unwantedTlds);
    // The codes of the checked lines, in list order, separated by single spaces.
    static std::string UnwantedTlds(const std::vector<TTldLine>& lines);
    // The warning of a failed bind with advice on choosing a port the user may bind.
    static std::string BindFailureText(const std::string& warning, int port);

private:
    // Steps of OkButtonClick; each returns false after a range error (already in messages).
    bool ApplyServices(std::vector<std::string>& messages);
    bool ApplyMisc(std::vector<std::string>& messages);
    void ApplyLogs();
    void ApplyLocalServer(std::vector<std::string>& messages);

    TZivad& m_engine;
    TPrefsValues m_values;
    std::uint32_t m_color;
    int m_page = 0;
};

}  // namespace vorla
