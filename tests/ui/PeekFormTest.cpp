#include "ui/PeekForm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "engine/FetchCycleFixture.h"
#include "support/DovecotServer.h"
#include "support/TestCertificates.h"
#include "ui/MainForm.h"

namespace vorla::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// A waiting message with its own date, sender, subject and body.
std::string Waiting(const std::string& subject, const std::string& from, int day, const std::string& body) {
    return "Received: from mx.example.org ([192.0.2.10]) by pop.example.net; Mon, 4 Mar 2024 10:00:05 +0000\n"
           "Received: from relay.example.com (relay [198.51.100.7]) by mx.example.org; Mon, 4 Mar 2024 10:00:01 +0000\n"
           "From: " + from + "\n"
           "To: Alice <alice@example.net>\n"
           "Reply-To: Help Desk <help@example.org>\n"
           "Subject: " + subject + "\n"
           "Date: " + std::to_string(day) + " Mar 2024 10:00:00 +0000\n"
           "\n" + body + "\n";
}

// Four messages whose order differs in every column: by date 2,4,1,3; by size 3,2,4,1; by
// sender (bytes: capitals first) 2,3,1,4; by subject 2,3,4,1.
const std::vector<std::string>& FourMessages() {
    static const std::vector<std::string> texts = {
        Waiting("pears", "Dora <dora@example.org>", 7, "<p>" + std::string(300, 'x') + "</p>"),
        Waiting("Zebra", "Bea <bea@example.org>", 3, std::string(50, 'y')),
        Waiting("apples", "Carl <carl@example.org>", 9, "z"),
        Waiting("melons", "adam <adam@example.org>", 5, std::string(150, 'w')),
    };
    return texts;
}

class PeekFormTest : public FetchFixture {
protected:
    void SetUp() override {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    void Serve(std::optional<TDovecotTls> tls = std::nullopt) {
        m_server = std::make_unique<TDovecotServer>(std::vector<TPopUser>{{"dan", "danpw"}, {"eve", "evepw"}}, tls);
    }
    void DeliverFour(const std::string& user) {
        for (const std::string& text : FourMessages()) m_server->AddMessage(user, text);
    }
    TPeekWindow& Window() {
        if (!m_window) {
            m_window = std::make_unique<TPeekWindow>(Engine());
            m_window->OnChanged = [this](unsigned parts) { m_changed |= parts; };
        }
        return *m_window;
    }
    std::vector<std::string> Subjects() const {
        std::vector<std::string> subjects;
        for (const auto& row : m_window->Rows()) subjects.push_back(row.subject);
        return subjects;
    }
    std::vector<std::string> Nums() const {
        std::vector<std::string> nums;
        for (const auto& row : m_window->Rows()) nums.push_back(row.num);
        return nums;
    }
    // The subjects of the messages that are still on the server for user.
    std::vector<std::string> OnServer(const std::string& user) const {
        std::vector<std::string> subjects;
        for (const std::string& file : m_server->MessageFiles(user)) {
            TMailMessage message;
            message.LoadFromMailText(ReadFile(file));
            subjects.push_back(message.Subject);
        }
        std::sort(subjects.begin(), subjects.end());
        return subjects;
    }

    std::unique_ptr<TDovecotServer> m_server;
    std::unique_ptr<TPeekWindow> m_window;
    unsigned m_changed = 0;
};

TEST_F(PeekFormTest, ListsTheWaitingMessagesWithTheirColumnsAndSortsByEachColumn) {
    Serve();
    DeliverFour("dan");
    NewAccount("Home", "dan", "danpw", m_server->Port());
    TPeekWindow& window = Window();
    EXPECT_THAT(window.AccountNames(), ElementsAre("Home"));
    EXPECT_EQ(window.SelectedAccount(), 0);
    const TPeekWindow::TEnabled before = window.Idle(false);
    EXPECT_TRUE(before.connect && before.custom && before.accountList);
    EXPECT_FALSE(before.disconnect || before.accept || before.reject || before.del);

    const TPeekNotice notice = window.ConnectButtonClick();
    ASSERT_FALSE(notice) << notice.text;
    EXPECT_TRUE(window.Connected());
    EXPECT_TRUE(m_changed & TPeekWindow::kMessageList);
    ASSERT_EQ(window.Rows().size(), 4u);
    const std::vector<std::string> files = m_server->MessageFiles("dan");
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const TPeekWindow::TRow& row = window.Rows()[i];
        TMailMessage original;
        original.LoadFromMailText(FourMessages()[i]);
        EXPECT_EQ(row.num, std::to_string(i + 1));
        EXPECT_EQ(row.dateTime, FormatDateTime(kMessageDateFormat, original.Date));
        EXPECT_EQ(row.from, original.From.Text());
        EXPECT_EQ(row.subject, original.Subject);
        // The server's listing: the file with CR LF line ends.
        const std::string file = ReadFile(files[i]);
        EXPECT_EQ(row.size, std::to_string(file.size() + std::count(file.begin(), file.end(), '\n')));
    }
    EXPECT_THAT(window.Rows()[0].dateTime, ::testing::MatchesRegex("[A-Z][a-z][a-z], 07 Mar 2024 [0-9][0-9]:00:00"));

    const TPeekWindow::TEnabled connected = window.Idle(true);
    EXPECT_FALSE(connected.connect || connected.custom || connected.accountList);
    EXPECT_TRUE(connected.disconnect && connected.accept && connected.reject && connected.del);
    EXPECT_FALSE(window.Idle(false).del);

    struct TSort {
        int column;
        std::vector<std::string> ascending;  // "Num" of each row after the first click
    } sorts[] = {
        {1, {"2", "4", "1", "3"}},
        {2, {"3", "2", "4", "1"}},
        {3, {"2", "3", "1", "4"}},
        {4, {"2", "3", "4", "1"}},
        {0, {"1", "2", "3", "4"}},
    };
    for (const TSort& sort : sorts) {
        SCOPED_TRACE(sort.column);
        window.SortByColumn(sort.column);
        EXPECT_EQ(Nums(), sort.ascending);
        EXPECT_TRUE(window.SortAscending());
        window.SortByColumn(sort.column);  // the same column again: reversed
        EXPECT_EQ(Nums(), std::vector<std::string>(sort.ascending.rbegin(), sort.ascending.rend()));
        window.SortByColumn(sort.column);
        EXPECT_EQ(Nums(), sort.ascending);
    }
    window.DisconnectButtonClick();
}

TEST_F(PeekFormTest, ShowsTheHeaderUntilTheBodyIsFetchedAndMarksComeAndGo) {
    Serve();
    DeliverFour("dan");
    NewAccount("Home", "dan", "danpw", m_server->Port());
    TPeekWindow& window = Window();
    ASSERT_FALSE(window.ConnectButtonClick());
    window.SortByColumn(4);  // rows 2,3,4,1: row 3 is message 1
    window.SelectRow(3);
    EXPECT_THAT(window.MessageText(), HasSubstr("Subject: pears"));
    EXPECT_THAT(window.MessageText(), Not(HasSubstr("xxxx")));
    m_changed = 0;
    EXPECT_FALSE(window.GetMessageBody());
    EXPECT_TRUE(m_changed & TPeekWindow::kMessageText);
    EXPECT_THAT(window.MessageText(), HasSubstr("<p>xxxx"));
    window.StripHtmlButtonClick();
    EXPECT_THAT(window.MessageText(), HasSubstr("\r\n\r\nxxxx"));
    EXPECT_THAT(window.MessageText(), Not(HasSubstr("<p>")));
    window.SelectRow(0);
    window.SelectRow(3);  // fetched: the whole message, untouched by the stripping
    EXPECT_THAT(window.MessageText(), HasSubstr("<p>xxxx"));

    // Space (Delete) twice on a row: the "*" comes and goes; several rows at once.
    window.DeleteButtonClick({3});
    EXPECT_EQ(Nums(), (std::vector<std::string>{"2", "3", "4", "*1"}));
    window.DeleteButtonClick({3});
    EXPECT_EQ(Nums(), (std::vector<std::string>{"2", "3", "4", "1"}));
    window.DeleteButtonClick({0, 2, 9});
    EXPECT_EQ(Nums(), (std::vector<std::string>{"*2", "3", "*4", "1"}));
    window.SortByColumn(0);  // the marks stay with their messages
    EXPECT_EQ(Nums(), (std::vector<std::string>{"1", "*2", "3", "*4"}));

    // Discon deletes exactly the marked messages on the server.
    EXPECT_FALSE(window.DisconnectButtonClick());
    EXPECT_FALSE(window.Connected());
    EXPECT_TRUE(window.Rows().empty());
    EXPECT_EQ(window.MessageText(), "");
    EXPECT_EQ(OnServer("dan"), (std::vector<std::string>{"apples", "pears"}));
    EXPECT_TRUE(window.Idle(false).connect);
}

TEST_F(PeekFormTest, AccountChoicesEmptyMailboxesAndFailuresAreTold) {
    Serve();
    DeliverFour("dan");
    NewAccount("Home", "dan", "danpw", m_server->Port());
    NewAccount("Empty", "eve", "evepw", m_server->Port());
    NewAccount("Wrong", "eve", "nope", m_server->Port());
    TZivadAccount& nowhere = Engine().Accounts().Add("Nowhere");
    nowhere.Edit([](TAccountSettings& s) { s.name = "Nowhere"; });
    nowhere.Save();
    TPeekWindow& window = Window();
    ASSERT_EQ(window.AccountNames().size(), 4u);

    // Choosing another account while connected: the marked message goes first.
    ASSERT_FALSE(window.ConnectButtonClick());
    window.DeleteButtonClick({1});
    EXPECT_FALSE(window.SelectAccount(1));
    EXPECT_FALSE(window.Connected());
    EXPECT_EQ(OnServer("dan"), (std::vector<std::string>{"apples", "melons", "pears"}));
    EXPECT_EQ(window.SelectedAccount(), 1);

    struct TCase {
        int account;
        TPeekNotice::TKind kind;
        const char* text;
    } cases[] = {
        {1, TPeekNotice::Information, "No messages on server."},
        {2, TPeekNotice::Error, "PASS refused"},
        {3, TPeekNotice::Error, "has no uplink server or login name"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.account);
        window.SelectAccount(c.account);
        const TPeekNotice notice = window.ConnectButtonClick();
        EXPECT_EQ(notice.kind, c.kind);
        EXPECT_THAT(notice.text, HasSubstr(c.text));
        EXPECT_FALSE(window.Connected());
        EXPECT_TRUE(window.Rows().empty());
        EXPECT_TRUE(window.Idle(false).connect);  // still usable
    }
}

TEST_F(PeekFormTest, WithoutAccountsConnectStaysOffAndCustomPeeksAtAnyServer) {
    Serve();
    DeliverFour("dan");
    TPeekWindow& window = Window();
    EXPECT_EQ(window.SelectedAccount(), -1);
    EXPECT_FALSE(window.Idle(false).connect);
    EXPECT_TRUE(window.Idle(false).custom);
    EXPECT_FALSE(window.ConnectButtonClick());
    EXPECT_FALSE(window.Connected());

    const TCustomPeekFields first = window.CustomFields();
    EXPECT_EQ(first.server, "");
    EXPECT_EQ(first.port, "110");
    EXPECT_EQ(first.login, "");
    EXPECT_EQ(first.password, "");

    const std::string port = std::to_string(m_server->Port());
    ASSERT_FALSE(window.CustomOk({TDovecotServer::kHost, " " + port + " ", "dan", "danpw"}));
    EXPECT_EQ(window.Rows().size(), 4u);
    window.DeleteButtonClick({0});
    ASSERT_FALSE(window.DisconnectButtonClick());
    EXPECT_EQ(OnServer("dan"), (std::vector<std::string>{"Zebra", "apples", "melons"}));

    // The dialog opens with what was typed, but an empty password box; an empty box keeps
    // the earlier password.
    const TCustomPeekFields again = window.CustomFields();
    EXPECT_EQ(again.server, TDovecotServer::kHost);
    EXPECT_EQ(again.port, port);
    EXPECT_EQ(again.login, "dan");
    EXPECT_EQ(again.password, "");
    const TPeekNotice reused = window.CustomOk(again);
    ASSERT_FALSE(reused) << reused.text;
    EXPECT_EQ(window.Rows().size(), 3u);
    ASSERT_FALSE(window.DisconnectButtonClick());

    // A port that is no number is 110.
    for (const char* typed : {"", "pop", "70000", "-1"}) {
        SCOPED_TRACE(typed);
        window.CustomOk({"", typed, "dan", ""});  // no server: fails at once
        EXPECT_EQ(window.CustomFields().port, "110");
    }
}

TEST_F(PeekFormTest, RulesFromAPeekedMessageGoToTheGlobalRules) {
    Serve();
    DeliverFour("dan");
    TZivadAccount& home = NewAccount("Home", "dan", "danpw", m_server->Port());
    TPeekWindow& window = Window();
    const std::vector<TRuleEntry> entries = TPeekWindow::RuleEntries();
    EXPECT_EQ(entries.size(), 11u);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), TRuleEntry::Attachment), 0);
    ASSERT_FALSE(window.ConnectButtonClick());
    window.SelectRow(1);  // "Zebra" from Bea

    // What reads the message as the session holds it leaves it as it is: header only.
    struct TCase {
        TRuleEntry entry;
        TFilterAction action;
        const char* selection;
        const char* value;
        TFilterSection section;
        bool fetches;  // the whole message is fetched first
    } cases[] = {
        {TRuleEntry::Received, TFilterAction::Reject, "", "192.0.2.10", TFilterSection::ReceivedIP, false},
        {TRuleEntry::Subject, TFilterAction::Accept, "Zeb", "Zeb", TFilterSection::Subject, false},
        {TRuleEntry::Body, TFilterAction::Reject, "yyy", "yyy", TFilterSection::Body, false},
        {TRuleEntry::FromAddress, TFilterAction::Accept, "", "bea@example.org", TFilterSection::From, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(RuleEntryCaption(c.entry));
        TPeekNotice notice;
        const TRuleOffer offer = window.OfferRule(c.entry, c.action, c.selection, notice);
        EXPECT_FALSE(notice) << notice.text;
        EXPECT_EQ(offer.value, c.value);
        EXPECT_EQ(offer.section, c.section);
        EXPECT_EQ(window.MessageText().find(std::string(50, 'y')) != std::string::npos, c.fetches);
    }
    TPeekNotice notice;
    const TRuleOffer from = window.OfferRule(TRuleEntry::FromDomain, TFilterAction::Reject, "", notice);
    EXPECT_EQ(from.title, "Create Reject Filter");
    EXPECT_EQ(from.value, "@example.org");
    EXPECT_EQ(window.CreateRule(from, from.value), TRuleOutcome::Created);
    EXPECT_EQ(window.CreateRule(from, "@EXAMPLE.org"), TRuleOutcome::Exists);
    EXPECT_TRUE(Engine().Filters().FindRule("@example.org", TFilterAction::Reject, TFilterSection::From));
    EXPECT_EQ(home.Filters().RuleCount(), 0);
    EXPECT_EQ(window.OfferRule(TRuleEntry::ToDomain, TFilterAction::Accept, "", notice).value, "@example.net>");
    EXPECT_EQ(window.OfferRule(TRuleEntry::ReplyTo, TFilterAction::Accept, "", notice).value,
              "Help Desk <help@example.org>");

    const std::string box = "Added the following IP addresses:\r\n\r\n192.0.2.10\r\n198.51.100.7\r\n";
    EXPECT_EQ(window.AddAllReceivedIps(TFilterAction::Reject), box);
    EXPECT_EQ(window.AddAllReceivedIps(TFilterAction::Reject), box);  // nothing new, the same box
    EXPECT_TRUE(Engine().Filters().FindRule("198.51.100.7", TFilterAction::Reject, TFilterSection::ReceivedIP));
    EXPECT_EQ(home.Filters().RuleCount(), 0);
    window.DisconnectButtonClick();
    EXPECT_EQ(OnServer("dan").size(), 4u);  // nothing was marked
}

TEST_F(PeekFormTest, TheAccountsTlsSettingsSecureThePeekAndABadCertificateIsTold) {
    const std::string why = TTestCertificates::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TTestCertificates certificates;
    const TTestCertificate expired = certificates.Issue("localhost", {"localhost"}, true);
    const TTestCertificate good = certificates.Issue("localhost", {"localhost"});
    Engine().SetTrustedCa(certificates.CaFile());
    Serve(TDovecotTls{good.certFile, good.keyFile});
    DeliverFour("dan");
    TZivadAccount& implicit = NewAccount("Implicit", "dan", "danpw", m_server->TlsPort(), "localhost");
    implicit.Edit([](TAccountSettings& s) { s.popsecurity = TTlsMode::Implicit; });
    TZivadAccount& stls = NewAccount("Stls", "dan", "danpw", m_server->Port(), "localhost");
    stls.Edit([](TAccountSettings& s) { s.popsecurity = TTlsMode::StartTls; });
    TPeekWindow& window = Window();
    for (int account : {0, 1}) {
        SCOPED_TRACE(account);
        window.SelectAccount(account);
        const TPeekNotice notice = window.ConnectButtonClick();
        ASSERT_FALSE(notice) << notice.text;
        EXPECT_EQ(Subjects(), (std::vector<std::string>{"pears", "Zebra", "apples", "melons"}));
        window.SelectRow(0);
        EXPECT_FALSE(window.GetMessageBody());
        EXPECT_THAT(window.MessageText(), HasSubstr("xxxx"));
        window.DisconnectButtonClick();
    }
    EXPECT_TRUE(m_server->WaitForLog("TLS", 1, 5000));

    // A server whose certificate fails the check: the reason, and no login.
    m_server.reset();
    Serve(TDovecotTls{expired.certFile, expired.keyFile});
    DeliverFour("dan");
    implicit.Edit([&](TAccountSettings& s) { s.popport = m_server->TlsPort(); });
    window.SelectAccount(0);
    const TPeekNotice refused = window.ConnectButtonClick();
    EXPECT_EQ(refused.kind, TPeekNotice::Error);
    EXPECT_THAT(refused.text, HasSubstr("certificate verify failed: certificate has expired"));
    EXPECT_FALSE(window.Connected());
    EXPECT_THAT(m_server->LogText(), Not(HasSubstr("user=<dan>")));
}

TEST_F(PeekFormTest, AWindowClosedWhileTheServerWorksDisconnectsWhenTheWorkEnds) {
    Serve();
    DeliverFour("dan");
    NewAccount("Home", "dan", "danpw", m_server->Port());
    TPeekWindow& window = Window();
    ASSERT_FALSE(window.ConnectButtonClick());
    window.DeleteButtonClick({2});
    window.SelectRow(0);
    // The close arrives among the events that run while the body is fetched.
    bool closedWhileBusy = false;
    m_queue.Post([&] {
        closedWhileBusy = window.Busy();
        window.Close();
    });
    window.GetMessageBody();
    EXPECT_TRUE(closedWhileBusy);
    EXPECT_TRUE(window.CloseWanted());
    EXPECT_FALSE(window.Connected());
    EXPECT_EQ(OnServer("dan"), (std::vector<std::string>{"Zebra", "melons", "pears"}));
    // Nothing runs after the close.
    EXPECT_FALSE(window.ConnectButtonClick());
    EXPECT_FALSE(window.Connected());
    const TPeekWindow::TEnabled closed = window.Idle(true);
    EXPECT_FALSE(closed.connect || closed.custom || closed.disconnect || closed.del);
}

TEST_F(PeekFormTest, ThePeekButtonShowsTheWindowOnTheEngineWhileTheMainWindowCountsAsRunning) {
    NewAccount("Home", "dan", "danpw", 1);
    NewAccount("Work", "eve", "evepw", 1);
    TMainForm form(Engine());
    bool running = false;
    std::vector<std::string> names;
    form.PeekButtonClick([&](TPeekWindow& window) {
        running = form.Running();
        names = window.AccountNames();
    });
    EXPECT_TRUE(running);
    EXPECT_FALSE(form.Running());
    EXPECT_THAT(names, ElementsAre("Home", "Work"));
}

}  // namespace
}  // namespace vorla::test
