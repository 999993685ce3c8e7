#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FetchCycleFixture.h"
#include "net/PopServer.h"
#include "net/TcpListener.h"
#include "platform/Errors.h"
#include "platform/IniFile.h"
#include "support/DovecotServer.h"
#include "ui/MainForm.h"
#include "ui/PrefsForm.h"

namespace vorla::test {
namespace {

class PrefsFormTest : public FetchFixture {
protected:
    // The autostart entry goes to a folder of the test's own.
    PrefsFormTest() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_oldConfig = old;
        ::setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1);
    }
    ~PrefsFormTest() override {
        if (m_oldConfig)
            ::setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

    // The preferences window's behaviour as the main window's Prefs button makes it.
    std::unique_ptr<TPrefsEditor> Open() {
        TMainForm form(Engine());
        return form.PrefsButtonClick();
    }
    std::string Ini() const { return m_home / "vorla.ini"; }
    std::string AutostartEntry() const { return m_config / "autostart/vorla.desktop"; }
    // The POP3 status texts after the first `from` of them.
    std::vector<std::string> ServerLinesAfter(std::size_t from) {
        const std::vector<std::string> all = Status("POP3");
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }
    // The local server listening on 127.0.0.1 at a free port.
    std::uint16_t StartServer() {
        const std::uint16_t port = FreeLoopbackPort();
        Engine().PopServer().SetBindAddress("127.0.0.1");
        Engine().PopServer().SetPort(port);
        Engine().PopServer().SetActive(true);
        EXPECT_TRUE(Engine().PopServer().Active());
        return port;
    }

    TTempDir m_config;
    std::optional<std::string> m_oldConfig;
};

TEST_F(PrefsFormTest, TheDependentControlsAreEnabledByTheChecksTheyNeed) {
    struct TRow {
        bool tld, rdns, stls;
        TPrefsEnabling expected;  // tldList, reverseDnsCheck, reverseDnsHost, reverseDnsTimeout, stlsFiles
    };
    const TRow rows[] = {
        {false, false, false, {false, false, false, false, false}},
        {false, true, false, {false, false, false, false, false}},  // reverse DNS alone enables nothing
        {true, false, false, {true, true, false, false, false}},
        {true, true, false, {true, true, true, true, false}},
        {false, false, true, {false, false, false, false, true}},
        {true, true, true, {true, true, true, true, true}},
    };
    auto editor = Open();
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string("tld ") + (row.tld ? "on" : "off") + ", rdns " + (row.rdns ? "on" : "off") +
                     ", stls " + (row.stls ? "on" : "off"));
        editor->Values().tldCheck = row.tld;
        editor->Values().reverseDns = row.rdns;
        editor->Values().stls = row.stls;
        EXPECT_EQ(editor->Enabling(), row.expected);
    }
}

TEST_F(PrefsFormTest, OpensOnTheFirstPageWithSecondsRoundedDownAndAnUnknownPageUnchosen) {
    Engine().SetTimerInterval(125999);
    Engine().SetTimerEnabled(false);
    Engine().SetOpeningPage(2);  // valid in the file, but the list offers only Mail and Log
    auto editor = Open();
    EXPECT_EQ(editor->Page(), 0);
    EXPECT_EQ(editor->Values().fetchIntervalSeconds, 125);
    EXPECT_EQ(editor->Values().openingPage, -1);
    EXPECT_EQ(editor->Color(), (TRgb{185, 210, 253}));
    editor->ButtonClick(2);
    editor->ButtonClick(3);  // no such page
    EXPECT_EQ(editor->Page(), 2);

    // OK stores the rounded interval; the timer stays disabled.
    editor->Values().openingPage = 1;
    EXPECT_TRUE(editor->OkButtonClick().empty());
    EXPECT_EQ(Engine().TimerInterval(), 125000);
    EXPECT_FALSE(Engine().TimerEnabled());
    EXPECT_EQ(Engine().OpeningPage(), 1);
}

TEST_F(PrefsFormTest, TheDomainListIsSortedAndChecksWholeCodesWithoutRegardToCase) {
    const std::vector<TTldEntry> table = {{"com", "Commercial"}, {"co", "Colombia"}, {"De", "Germany"},
                                          {"ru", "Russia"},      {"BE", "Belgium"},  {"arpa", "Infrastructure"}};
    const auto lines = TPrefsEditor::TldLines(table, "COM  de\tarp");
    const std::vector<TTldLine> expected = {
        {"arpa (Infrastructure)", false},  // "arp" is not the whole code
        {"BE (Belgium)", false},
        {"co (Colombia)", false},  // "com" does not check "co"
        {"com (Commercial)", true},
        {"De (Germany)", true},
        {"ru (Russia)", false},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(TPrefsEditor::UnwantedTlds(lines), "com De");
    EXPECT_EQ(TPrefsEditor::UnwantedTlds({}), "");
}

TEST_F(PrefsFormTest, OkStoresTheCheckedCodesAsTheListSpellsThem) {
    TFilterSettings filters = Engine().Filters().Settings();
    filters.unwantedTlds = "RU de";
    Engine().Filters().SetSettings(filters);
    auto editor = Open();
    std::vector<std::string> checked;
    for (TTldLine& line : editor->Values().tldLines) {
        if (line.checked) checked.push_back(line.text.substr(0, line.text.find(' ')));
        if (line.text.rfind("cn ", 0) == 0) line.checked = true;
    }
    EXPECT_EQ(checked, (std::vector<std::string>{"de", "ru"}));
    ASSERT_TRUE(editor->OkButtonClick().empty());
    EXPECT_EQ(Engine().Filters().Settings().unwantedTlds, "cn de ru");
}

// A bad value stops the applying where it is met: what comes before it is applied, nothing
// after it, and nothing is saved.
TEST_F(PrefsFormTest, ARangeErrorStopsTheApplyingWhereItIsMet) {
    struct TRow {
        const char* name;
        long long fetchSeconds;
        int openingPage;
        bool intervalApplied, colourAndFiltersApplied, logApplied, dnsApplied, purgeAndDomainsApplied;
    };
    const TRow rows[] = {
        {"negative interval", -5, 0, false, false, false, false, false},
        {"interval beyond 32 bits", 3000000, 0, false, false, false, false, false},
        {"no opening page", 60, -1, true, true, true, true, false},
        {"nothing wrong", 60, 1, true, true, true, true, true},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        Engine().SetTimerEnabled(true);
        Engine().SetTimerInterval(120000);
        Engine().SetColor(TZivad::kDefaultColor);
        Engine().SetDnsHost("");
        Engine().SetPurgeDays(0);
        Engine().SetOpeningPage(0);
        TFilterSettings filters = Engine().Filters().Settings();
        filters.autoAddReceived = false;
        filters.unwantedTlds = "";
        Engine().Filters().SetSettings(filters);
        TLogSettings log = Engine().Log().Settings();
        log.trimDays = 30;
        Engine().Log().SetSettings(log);
        DeleteFile(Ini());

        auto editor = Open();
        TPrefsValues& v = editor->Values();
        v.regularFetch = false;
        v.fetchIntervalSeconds = row.fetchSeconds;
        v.autoAdd = true;
        v.logTrimDays = 3;
        v.outboundDns = "192.0.2.53";
        v.openingPage = row.openingPage;
        v.purgeDays = 14;
        v.tldLines.front().checked = true;
        editor->ColourChosen({1, 2, 3});

        const auto messages = editor->OkButtonClick();
        const bool failed = !row.purgeAndDomainsApplied;
        EXPECT_EQ(messages, failed ? std::vector<std::string>{"Range check error"} : std::vector<std::string>{});
        EXPECT_FALSE(Engine().TimerEnabled());  // the first step is always applied
        EXPECT_EQ(Engine().TimerInterval(), row.intervalApplied ? 60000 : 120000);
        EXPECT_EQ(Engine().Color() == TPrefsEditor::RgbToColor({1, 2, 3}), row.colourAndFiltersApplied);
        EXPECT_EQ(Engine().Filters().Settings().autoAddReceived, row.colourAndFiltersApplied);
        EXPECT_EQ(Engine().Log().Settings().trimDays, row.logApplied ? 3 : 30);
        EXPECT_EQ(Engine().DnsHost(), row.dnsApplied ? "192.0.2.53" : "");
        EXPECT_EQ(Engine().PurgeDays(), row.purgeAndDomainsApplied ? 14 : 0);
        EXPECT_EQ(Engine().Filters().Settings().unwantedTlds.empty(), !row.purgeAndDomainsApplied);
        EXPECT_EQ(FileExists(Ini()), !failed);
    }
}

TEST_F(PrefsFormTest, TheServerRestartsOnlyWhenItsAddressOrPortChanges) {
    const std::uint16_t first = StartServer();
    const std::uint16_t second = FreeLoopbackPort();
    struct TRow {
        const char* name;
        std::string address;
        std::uint16_t port;
        bool restarted;
    };
    const TRow rows[] = {
        {"nothing changed", "127.0.0.1", first, false},
        {"port changed", "127.0.0.1", second, true},
        {"address changed", "127.0.0.2", second, true},
        {"back to the first", "127.0.0.1", first, true},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t before = Status("POP3").size();
        auto editor = Open();
        editor->Values().statusQuit = false;  // a change elsewhere restarts nothing
        editor->Values().bindAddress = row.address;
        editor->Values().bindPort = row.port;
        EXPECT_TRUE(editor->OkButtonClick().empty());
        EXPECT_TRUE(Engine().PopServer().Active());
        EXPECT_EQ(Engine().PopServer().ListeningPort(), row.port);
        EXPECT_EQ(Engine().PopServer().BindAddress(), row.address);
        const auto lines = ServerLinesAfter(before);
        if (row.restarted) {
            EXPECT_GE(lines.size(), 2u);
            if (lines.size() >= 2) {
                EXPECT_EQ(lines.front(), "\tPOP3\t\tServer deactivated");
                EXPECT_EQ(lines.back(), "\tPOP3\t\tServer activated on " + row.address + " port " + std::to_string(row.port));
            }
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
    // Switched off by the check box.
    auto editor = Open();
    editor->Values().popServer = false;
    editor->OkButtonClick();
    EXPECT_FALSE(Engine().PopServer().Active());
    EXPECT_EQ(ServerLinesAfter(Status("POP3").size() - 1), (std::vector<std::string>{"\tPOP3\t\tServer deactivated"}));
}

TEST_F(PrefsFormTest, ABindFailureNamesTheSystemsReasonAndHowToChooseAnotherPort) {
    // A port below 1024 that cannot be bound: taken by this test where the user may bind it,
    // refused by the system where not.
    std::unique_ptr<TTcpListener> holder;
    std::uint16_t low = 0;
    for (std::uint16_t port = 1000; port > 900 && !holder; --port) {
        low = port;
        try {
            holder = std::make_unique<TTcpListener>("127.0.0.1", port);
        } catch (const TNetError&) {
        }
    }
    const std::uint16_t high = FreeLoopbackPort();
    TTcpListener highHolder("127.0.0.1", high);
    struct TRow {
        std::uint16_t port;
        const char* advice;
        bool runningBefore;
    };
    const TRow rows[] = {
        {low, "Choose a port above 1024", false},
        {high, "Choose another \"Bind Port\"", false},
        {high, "Choose another \"Bind Port\"", true},  // the restart fails: still one box
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.port) + (row.runningBefore ? ", running before" : ""));
        if (row.runningBefore) StartServer();
        auto editor = Open();
        editor->Values().bindAddress = "127.0.0.1";
        editor->Values().bindPort = row.port;
        editor->Values().popServer = true;
        editor->Values().purgeDays = 5;
        const auto messages = editor->OkButtonClick();
        ASSERT_EQ(messages.size(), 1u);
        const std::string& text = messages[0];
        const std::string head = "Unable to bind 127.0.0.1 on port " + std::to_string(row.port) + "\r\n\r\n";
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        const bool reasonGiven = text.find("Address already in use") != std::string::npos ||
                                 text.find("Permission denied") != std::string::npos;
        EXPECT_TRUE(reasonGiven) << text;
        EXPECT_NE(text.find(row.advice), std::string::npos) << text;
        EXPECT_NE(text.find("POP3 Server"), std::string::npos) << text;
        EXPECT_FALSE(Engine().PopServer().Active());
        // The rest is still applied and saved, the server wanted on.
        EXPECT_EQ(Engine().PurgeDays(), 5);
        EXPECT_EQ(TIniFile(Ini()).ReadInteger("bind", "port", 0), row.port);
        EXPECT_TRUE(TIniFile(Ini()).ReadBool("options", "server", false));
    }
}

TEST_F(PrefsFormTest, OkWritesTheSettingsFileThatTheNextStartReads) {
    auto editor = Open();
    TPrefsValues& v = editor->Values();
    v.fetchIntervalSeconds = 300;
    v.filters = false;
    v.reverseDns = true;
    v.reverseDnsHost = "192.0.2.1";
    v.reverseDnsTimeout = 4;
    v.proxy = true;
    v.bindAddress = "127.0.0.3";
    v.bindPort = 1110;
    v.stls = true;
    v.certificateFile = "server.pem";
    v.keyFile = "server.key";
    v.logRejected = false;
    v.statusFailed = false;
    v.statusSync = false;
    v.statusHistorySize = 250;
    v.openingPage = 1;
    v.trustedCa = "/etc/ssl/my-ca.pem";
    editor->ColourChosen({10, 20, 30});
    ASSERT_TRUE(editor->OkButtonClick().empty());

    const TIniFile ini(Ini());
    EXPECT_EQ(ini.ReadInteger("options", "timerinterval", 0), 300000);
    EXPECT_EQ(ini.ReadInteger("options", "color", 0), 10 + (20 << 8) + (30 << 16));
    EXPECT_EQ(ini.ReadString("bind", "ipaddress", ""), "127.0.0.3");
    EXPECT_EQ(ini.ReadInteger("bind", "port", 0), 1110);
    EXPECT_EQ(ini.ReadString("options", "cacerts", ""), "/etc/ssl/my-ca.pem");

    // A new engine on the same home folder opens the window with the same values.
    m_engine.reset();
    auto reopened = Open();
    const TPrefsValues& r = reopened->Values();
    EXPECT_EQ(r.fetchIntervalSeconds, 300);
    EXPECT_FALSE(r.filters);
    EXPECT_TRUE(r.reverseDns);
    EXPECT_EQ(r.reverseDnsHost, "192.0.2.1");
    EXPECT_EQ(r.reverseDnsTimeout, 4);
    EXPECT_TRUE(r.proxy);
    EXPECT_EQ(r.bindAddress, "127.0.0.3");
    EXPECT_EQ(r.bindPort, 1110);
    EXPECT_TRUE(r.stls);
    EXPECT_EQ(r.certificateFile, "server.pem");
    EXPECT_EQ(r.keyFile, "server.key");
    EXPECT_FALSE(r.logRejected);
    EXPECT_TRUE(r.logRedirected);
    EXPECT_FALSE(r.statusFailed);
    EXPECT_FALSE(r.statusSync);
    EXPECT_EQ(r.statusHistorySize, 250);
    EXPECT_EQ(r.openingPage, 1);
    EXPECT_EQ(r.trustedCa, "/etc/ssl/my-ca.pem");
    EXPECT_EQ(reopened->Color(), (TRgb{10, 20, 30}));
}

TEST_F(PrefsFormTest, WithoutOkNothingChanges) {
    const std::uint32_t color = Engine().Color();
    {
        auto editor = Open();
        editor->Values().fetchIntervalSeconds = 5;
        editor->Values().popServer = true;
        editor->Values().loadOnStartup = true;
        editor->Values().tldLines.front().checked = true;
        editor->ColourChosen({0, 0, 0});
        EXPECT_EQ(editor->Color(), (TRgb{0, 0, 0}));
    }  // Cancel: the editor goes unapplied
    EXPECT_EQ(Engine().TimerInterval(), TZivad::kDefaultTimerInterval);
    EXPECT_FALSE(Engine().PopServer().Active());
    EXPECT_EQ(Engine().Color(), color);
    EXPECT_EQ(Engine().Filters().Settings().unwantedTlds, "");
    EXPECT_FALSE(FileExists(Ini()));
    EXPECT_FALSE(FileExists(AutostartEntry()));
}

TEST_F(PrefsFormTest, StartWhenILogInCreatesAndRemovesTheAutostartEntryAtOnce) {
    for (const bool wanted : {true, true, false, false}) {
        SCOPED_TRACE(wanted);
        auto editor = Open();
        editor->Values().loadOnStartup = wanted;
        editor->OkButtonClick();
        EXPECT_EQ(FileExists(AutostartEntry()), wanted);
        EXPECT_EQ(TIniFile(Ini()).ReadBool("options", "loadonstartup", !wanted), wanted);
    }
}

TEST_F(PrefsFormTest, TheColourValueKeepsRedInTheLowByte) {
    EXPECT_EQ(TPrefsEditor::ColorToRgb(TZivad::kDefaultColor), (TRgb{185, 210, 253}));
    EXPECT_EQ(TPrefsEditor::RgbToColor({185, 210, 253}), TZivad::kDefaultColor);
    EXPECT_EQ(TPrefsEditor::RgbToColor({300, -4, 255}), 0xFF00FFu);  // parts cut to 0..255
}

}  // namespace
}  // namespace vorla::test
