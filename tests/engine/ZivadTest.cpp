#include "engine/Zivad.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <regex>
#include <thread>

#include "engine/EventQueue.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "net/PopServer.h"
#include "net/TcpListener.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

// A fresh home folder and private temporary folder per test; the engine runs on a queue whose
// clock moves only when the test says so.
class ZivadTest : public ::testing::Test {
protected:
    ZivadTest() {
        SetHomeFolder(m_home.Path());
        m_temp = m_home / "tmp/";
        ForceDirectories(m_temp);
        SetPrivateTempFolder(m_temp);
    }
    ~ZivadTest() override {
        SetPrivateTempFolder("");
        SetHomeFolder("");
    }
    std::string IniPath() const { return m_home / "vorla.ini"; }
    std::unique_ptr<TZivad> NewEngine() { return std::make_unique<TZivad>(m_queue); }

    // The "section/key" pairs of the file, in file order.
    std::vector<std::string> KeysInFile() const {
        std::vector<std::string> keys;
        std::string section;
        std::istringstream in(ReadFile(IniPath()));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            if (line.front() == '[') {
                section = line.substr(1, line.size() - 2);
                continue;
            }
            keys.push_back(section + "/" + line.substr(0, line.find('=')));
        }
        return keys;
    }

    TTempDir m_home;
    std::string m_temp;
    TEventQueue m_queue{TEventQueue::TClockMode::Manual};
};

TEST_F(ZivadTest, SaveAllWritesEverySectionInItsOrderAndLoadsBack) {
    {
        auto engine = NewEngine();
        engine->SetTimerInterval(300000);
        engine->SetTimerEnabled(false);
        engine->SetProxyEnabled(true);
        engine->SetDnsHost("10.0.0.53");
        engine->SetOpeningPage(1);
        engine->SetPurgeDays(14);
        engine->SetColor(0x00FF8040);
        engine->SetStatusSize(25);
        engine->SetStatusFetch(false);
        engine->SetStatusRdns(false);
        TLogSettings log = engine->Log().Settings();
        log.trimDays = 7;
        log.queued = false;
        engine->Log().SetSettings(log);
        TFilterSettings filters = engine->Filters().Settings();
        filters.tldCheck = false;
        filters.unwantedTlds = "ru cn";
        engine->Filters().SetSettings(filters);
        engine->PopServer().SetPort(1110);
        engine->PopServer().SetLogQuit(false);
        engine->SaveAll();
    }
    const std::vector<std::string> expected = {
        "options/timerinterval", "options/timerenabled", "options/loadonstartup", "options/proxyenabled",
        "options/dnshost", "options/openingpage", "options/purgedays", "options/color", "options/server",
        "options/cacerts",
        "log/trimdays", "log/accepted", "log/trashed", "log/queued", "log/quarantined", "log/rejected",
        "log/redirected", "log/error", "log/autoreply", "log/mailbot", "log/autoadd",
        "status/size", "status/fetch", "status/filter", "status/sync", "status/rdns",
        "status/connections", "status/successful", "status/failed", "status/quit",
        "filters/enabled", "filters/autoaddreceived", "filters/tld", "filters/reversedns", "filters/dnshost",
        "filters/dnstimeout", "filters/unwantedtld",
        "bind/ipaddress", "bind/port", "bind/stls", "bind/certfile", "bind/keyfile"};
    EXPECT_EQ(KeysInFile(), expected);

    auto engine = NewEngine();
    EXPECT_EQ(engine->TimerInterval(), 300000);
    EXPECT_FALSE(engine->TimerEnabled());
    EXPECT_TRUE(engine->ProxyEnabled());
    EXPECT_EQ(engine->DnsHost(), "10.0.0.53");
    EXPECT_EQ(engine->OpeningPage(), 1);
    EXPECT_EQ(engine->PurgeDays(), 14);
    EXPECT_EQ(engine->Color(), 0x00FF8040u);
    EXPECT_EQ(engine->StatusSize(), 25);
    EXPECT_FALSE(engine->StatusFetch());
    EXPECT_TRUE(engine->StatusFilter());
    EXPECT_FALSE(engine->StatusRdns());
    EXPECT_EQ(engine->Log().Settings().trimDays, 7);
    EXPECT_FALSE(engine->Log().Settings().queued);
    EXPECT_FALSE(engine->Filters().Settings().tldCheck);
    EXPECT_EQ(engine->Filters().Settings().unwantedTlds, "ru cn");
    EXPECT_EQ(engine->PopServer().Port(), 1110);
    EXPECT_FALSE(engine->PopServer().LogQuit());
}

TEST_F(ZivadTest, HandEditedFileKeepsWhatIsNotOurs) {
    WriteFile(IniPath(),
              "; edited by hand\r\n"
              "[Display]\r\ntop=10\r\nleft=20\r\n"
              "[OPTIONS]\r\nTimerInterval=60000\r\nmykey=keep me\r\nDNSHOST=192.0.2.1\r\n"
              "[custom]\nanything=at all\n"
              "[Status]\nSize=5\n");
    {
        auto engine = NewEngine();
        EXPECT_EQ(engine->TimerInterval(), 60000);
        EXPECT_EQ(engine->DnsHost(), "192.0.2.1");
        EXPECT_EQ(engine->StatusSize(), 5);
        engine->SetTimerInterval(90000);
        engine->SaveAll();
    }
    TIniFile ini(IniPath());
    EXPECT_EQ(ini.ReadString("display", "top", ""), "10");
    EXPECT_EQ(ini.ReadString("options", "mykey", ""), "keep me");
    EXPECT_EQ(ini.ReadString("custom", "anything", ""), "at all");
    EXPECT_EQ(ini.ReadInteger("options", "timerinterval", 0), 90000);
    const std::string text = ReadFile(IniPath());
    EXPECT_THAT(text, ::testing::HasSubstr("; edited by hand"));
    // The key was changed where it stood, not added a second time in other letter case.
    std::size_t count = 0;
    for (const std::string& key : KeysInFile()) count += key == "OPTIONS/TimerInterval" || key == "OPTIONS/timerinterval";
    EXPECT_EQ(count, 1u);
    const auto sections = ini.ReadSections();
    EXPECT_EQ(std::count_if(sections.begin(), sections.end(),
                            [](const std::string& s) { return s == "options" || s == "OPTIONS" || s == "Options"; }),
              1);
}

TEST_F(ZivadTest, InvalidNumbersAreNamedAndLeaveTheDefault) {
    struct TCase {
        const char* key;
        const char* value;
        bool valid;
    };
    const TCase cases[] = {
        {"timerinterval", "-5", false},      {"timerinterval", "abc", false},
        {"timerinterval", "99999999999", false}, {"timerinterval", "0", true},
        {"openingpage", "256", false},       {"openingpage", "-1", false},
        {"openingpage", "1x", false},        {"openingpage", "255", true},
        {"openingpage", " 7 ", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        WriteFile(IniPath(), std::string("[options]\n") + c.key + "=" + c.value + "\n");
        auto engine = NewEngine();
        const auto lines = engine->StatusLines();
        const bool named = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                                           return line.find(std::string("options/") + c.key) != std::string::npos;
                                       });
        const std::string key = c.key;
        const long long value = key == "timerinterval" ? engine->TimerInterval() : engine->OpeningPage();
        if (c.valid) {
            EXPECT_FALSE(named);
            EXPECT_EQ(value, std::stoll(c.value));
        } else {
            EXPECT_TRUE(named);
            EXPECT_EQ(value, key == "timerinterval" ? TZivad::kDefaultTimerInterval : 0);
        }
    }
}

TEST_F(ZivadTest, StatusHistoryIsNewestFirstBoundedAndTimeStamped) {
    auto engine = NewEngine();
    int raised = 0;
    engine->OnStatusChanged.Set([&](TZivad&) { ++raised; });
    engine->SetVersion("1.2.3");
    const auto lines = engine->StatusLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.front(), std::regex(R"(\d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d )"
                                                           "\tVORLA\t\tVorla v1\\.2\\.3 initiated")))
        << lines.front();
    EXPECT_EQ(engine->PopServer().Greeting(), "+OK Vorla (v1.2.3)");
    EXPECT_EQ(raised, 1);

    engine->SetStatusSize(3);
    for (int i = 1; i <= 5; ++i) engine->AddStatus("\tFETCH\tacct\tline " + std::to_string(i));
    const auto kept = engine->StatusLines();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_THAT(kept[0], ::testing::EndsWith("line 5"));
    EXPECT_THAT(kept[2], ::testing::EndsWith("line 3"));
    EXPECT_EQ(engine->StatusText(), kept[0] + "\r\n" + kept[1] + "\r\n" + kept[2]);

    engine->SetStatusSize(0);
    raised = 0;
    engine->AddStatus("\tVORLA\t\tgone at once");
    EXPECT_TRUE(engine->StatusLines().empty());
    EXPECT_EQ(engine->StatusText(), "");
    EXPECT_EQ(raised, 1);
}

TEST_F(ZivadTest, StatusHistoryTakesLinesFromManyThreads) {
    auto engine = NewEngine();
    engine->SetStatusSize(50);
    std::atomic<int> raised{0};
    engine->OnStatusChanged.Set([&](TZivad& e) {
        raised++;
        (void)e.StatusText();  // a subscriber reads the history back
    });
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) engine->AddStatus("\tPOP3\t\tthread " + std::to_string(t));
            });
    }
    EXPECT_EQ(raised.load(), 800);
    EXPECT_EQ(engine->StatusLines().size(), 50u);
}

TEST_F(ZivadTest, TimerTicksRunAllAtItsIntervalOnly) {
    auto engine = NewEngine();
    int runs = 0;
    bool timerOffDuringRun = false;
    engine->OnRunEnd.Set([&](TZivad& e) {
        ++runs;
        timerOffDuringRun = !e.TimerEnabled();
    });
    EXPECT_TRUE(engine->TimerEnabled());
    EXPECT_EQ(engine->TimerInterval(), 120000);
    m_queue.Advance(119999ms);
    EXPECT_EQ(runs, 0);
    m_queue.Advance(1ms);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(timerOffDuringRun);
    EXPECT_TRUE(engine->TimerEnabled());  // restored after the run

    // A new interval starts a fresh countdown, even when it is the same value.
    engine->SetTimerInterval(1000);
    runs = 0;
    m_queue.Advance(900ms);
    engine->SetTimerInterval(1000);
    m_queue.Advance(900ms);
    EXPECT_EQ(runs, 0);
    m_queue.Advance(100ms);
    EXPECT_EQ(runs, 1);
    m_queue.Advance(4000ms);
    EXPECT_EQ(runs, 5);

    engine->SetTimerEnabled(false);
    m_queue.Advance(10000ms);
    EXPECT_EQ(runs, 5);
    engine->SetTimerInterval(500);  // keeps it disabled
    EXPECT_FALSE(engine->TimerEnabled());
    m_queue.Advance(10000ms);
    EXPECT_EQ(runs, 5);

    engine->SetTimerEnabled(true);
    engine->SetTimerInterval(0);
    m_queue.Advance(std::chrono::hours(24));
    EXPECT_EQ(runs, 5);
    EXPECT_EQ(m_queue.ActiveTimerCount(), 0u);
    EXPECT_THROW(engine->SetTimerInterval(-1), TVorlaError);
}

TEST_F(ZivadTest, RunAllRestoresTheTimerStateItFound) {
    auto engine = NewEngine();
    int runs = 0;
    engine->OnRunEnd.Set([&](TZivad&) { ++runs; });
    engine->SetTimerEnabled(false);
    engine->RunAll();
    EXPECT_FALSE(engine->TimerEnabled());
    engine->SetTimerEnabled(true);
    engine->FilterAll();
    engine->RunAll();
    EXPECT_TRUE(engine->TimerEnabled());
    EXPECT_EQ(runs, 2);
}

TEST_F(ZivadTest, InvalidTimerIntervalInFileKeepsTheTimerTicking) {
    WriteFile(IniPath(), "[options]\ntimerinterval=-1000\n");
    auto engine = NewEngine();
    int runs = 0;
    engine->OnRunEnd.Set([&](TZivad&) { ++runs; });
    m_queue.Advance(120000ms);
    EXPECT_EQ(runs, 1);
}

TEST_F(ZivadTest, DestructionSavesTheSettingsAndSweepsTemporaryFiles) {
    WriteFile(m_temp + "Ind1.tmp", "x");
    WriteFile(m_temp + "IndABC.tmp", "x");
    WriteFile(m_temp + "other.tmp", "x");
    WriteFile(m_temp + "ind2.tmp", "x");  // letter case counts: not ours
    {
        auto engine = NewEngine();
        engine->SetTimerInterval(5000);
        engine->SetLoadOnStartup(false);
        engine->Accounts().Add("acct").AddSeen(0xDEADBEEF);
    }
    EXPECT_EQ(TIniFile(IniPath()).ReadInteger("options", "timerinterval", 0), 5000);
    EXPECT_EQ(FindFiles(m_temp, "*"), (std::vector<std::string>{"ind2.tmp", "other.tmp"}));
    EXPECT_EQ(FileSize(m_home / "accounts/acct/msgcrc"), 4u);  // seen checksums written
}

TEST_F(ZivadTest, PopServerSettingsAreCheckedAndABindFailureIsReported) {
    // A port that another socket holds: the server must say it could not bind, with the
    // system's reason, and not claim to listen.
    TTcpListener holder("127.0.0.1", 0);
    const std::string taken = std::to_string(holder.Port());
    WriteFile(IniPath(), "[options]\nserver=1\n[bind]\nipaddress=127.0.0.1\nport=70000\n");
    {
        auto engine = NewEngine();
        EXPECT_EQ(engine->PopServer().Port(), 110);
        EXPECT_THAT(engine->StatusText(), ::testing::HasSubstr("\tPOP3\t\tInvalid port \"70000\""));
    }
    WriteFile(IniPath(), "[options]\nserver=1\n[bind]\nipaddress=127.0.0.1\nport=" + taken + "\n");
    {
        auto engine = NewEngine();
        EXPECT_FALSE(engine->PopServer().Active());
        EXPECT_EQ(engine->PopServer().Port(), holder.Port());
        const std::string history = engine->StatusText();
        EXPECT_THAT(history, ::testing::HasSubstr("\tPOP3\t\tServer error on 127.0.0.1 port " + taken));
        EXPECT_THAT(history, ::testing::HasSubstr("in use"));
        engine->SaveAll();
    }
    // The wish to run the server survives a failed bind.
    EXPECT_TRUE(TIniFile(IniPath()).ReadBool("options", "server", false));
}

TEST_F(ZivadTest, FetchSummaryFollowsTheLogSwitches) {
    auto engine = NewEngine();
    EXPECT_EQ(engine->FetchSummary(2, 0, 0, 1, 0, 0, false),
              "Accepted=2 Trashed=0 Quarantined=0 Rejected=1 Purged=0 Errors=0");
    EXPECT_EQ(engine->FetchSummary(3, 1, 2, -1, -1, -1, false), "Accepted=3 Trashed=1 Quarantined=2");
    EXPECT_EQ(engine->FetchSummary(4, -1, 5, 0, 0, 0, true), "Ok=4 Unknown=5 Rejected=0 Purged=0 Errors=0");
    TLogSettings log = engine->Log().Settings();
    log.accepted = log.errors = false;
    engine->Log().SetSettings(log);
    EXPECT_EQ(engine->FetchSummary(2, 0, 0, 1, 7, 3, false), "Trashed=0 Quarantined=0 Rejected=1 Purged=7");
    EXPECT_EQ(engine->FetchSummary(-1, -1, -1, -1, -1, -1, false), "");
}

// SendAll reaching every account is checked with the account list, where the passes can be
// waited for; here the stop request.
TEST_F(ZivadTest, StopReachesEveryAccount) {
    auto engine = NewEngine();
    TZivadAccount& a = engine->Accounts().Add("a");
    a.Edit([&](TAccountSettings& s) { s.name = "First"; });
    TZivadAccount& b = engine->Accounts().Add("b");
    b.Edit([&](TAccountSettings& s) { s.name = "Second"; });
    engine->Stop();
    EXPECT_TRUE(a.StopRequested());
    EXPECT_TRUE(b.StopRequested());
}

}  // namespace
}  // namespace vorla
