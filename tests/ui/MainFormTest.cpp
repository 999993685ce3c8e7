#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "engine/FetchCycleFixture.h"
#include "support/DovecotServer.h"
#include "net/PopServer.h"
#include "ui/MainForm.h"

using namespace std::chrono_literals;

namespace vorla::test {
namespace {

class MainFormTest : public FetchFixture {
protected:
    // An account without a server, fetch enabled or not.
    TZivadAccount& Account(const std::string& name, bool fetch = true) {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) {
            s.name = name;
            s.enablefetch = fetch;
        });
        account.Save();
        return account;
    }
    static void Store(TZivadMessageCollection& folder, const std::string& subject,
                      const std::string& from = "Ann Example <ann@example.org>") {
        TMailMessage message;
        message.LoadFromMailText(Mail(subject, "Hello.", from));
        folder.AddMessage(message, "");
    }
    TMainForm& Form() {
        if (!m_form) {
            m_form = std::make_unique<TMainForm>(Engine());
            m_form->OnChanged = [this](unsigned parts) { m_changed |= parts; };
        }
        return *m_form;
    }
    static std::vector<std::string> Subjects(const TMainForm& form) {
        std::vector<std::string> subjects;
        for (const auto& row : form.MessageRows()) subjects.push_back(row.subject);
        return subjects;
    }
    void RunPosted() { m_queue.ProcessEvents(); }

    std::unique_ptr<TMainForm> m_form;
    unsigned m_changed = 0;
};

TEST_F(MainFormTest, WithoutAccountsNothingIsCurrentAndTheStatusLineKeepsItsText) {
    TMainForm& form = Form();
    EXPECT_TRUE(form.AccountRows().empty());
    form.SelectAccount(0);
    form.FolderButtonClick(TFolderKind::Trash);
    EXPECT_FALSE(form.HasCurrentFolder());
    EXPECT_TRUE(form.MessageRows().empty());
    form.AccountsButtonClick();
    const std::string said = form.StatusText();
    form.Idle(false);
    EXPECT_EQ(form.StatusText(), said);
    EXPECT_EQ(form.AccountLabel(), "Account");
}

TEST_F(MainFormTest, AHelpFileThatIsNotFoundIsNamedOnTheStatusLine) {
    TMainForm& form = Form();
    EXPECT_EQ(form.HelpButtonClick("/nonexistent-vorla-folder/bin", TMainForm::kReadMeFile), "");
    EXPECT_EQ(form.StatusText(), "The help file readme.txt was not found");
    EXPECT_TRUE(m_changed & TMainForm::kStatusLine);
}

TEST_F(MainFormTest, AccountRowsAndTheGetMailMenuFollowTheFetchSetting) {
    Account("Home", true);
    Account("Work", false);
    Account("Club", true);
    TMainForm& form = Form();
    ASSERT_EQ(form.AccountRows().size(), 3u);
    std::vector<std::string> menu;
    for (const auto& item : form.GetMailMenu()) menu.push_back(item.caption);
    // Rows and menu keep the list's order: folders are loaded by name, added ones appended.
    for (int i = 0; i < 3; ++i) {
        const auto& row = form.AccountRows()[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.fetchEnabled, row.name != "Work");
    }
    EXPECT_EQ(menu, (std::vector<std::string>{"Home", "Club"}));
}

TEST_F(MainFormTest, SelectingAnAccountListsTheDownFolderAndCountsAllFour) {
    TZivadAccount& account = Account("Home");
    Store(account.VorlaFolder(), "first");
    Store(account.VorlaFolder(), "second", "\"Bob B.\" <bob@example.com>");
    Store(account.QuarantineFolder(), "doubtful");
    TMainForm& form = Form();
    form.SelectAccount(0);
    EXPECT_EQ(form.SelectedAccount(), 0);
    EXPECT_EQ(form.AccountLabel(), "Home");
    EXPECT_EQ(form.FolderCaptions(), (std::array<std::string, 4>{"Vorla (2)", "Quarantine (1)", "Trash (0)", "Queue (0)"}));
    ASSERT_EQ(form.MessageRows().size(), 2u);
    const auto& second = form.MessageRows()[1];
    EXPECT_EQ(second.num, "2");
    EXPECT_EQ(second.subject, "second");
    EXPECT_NE(second.from.find("bob@example.com"), std::string::npos);
    EXPECT_EQ(second.dateTime.size(), std::string("Mon, 04 Mar 2024 10:00:00").size());
    EXPECT_GT(std::stoi(second.size), 100);
    form.SelectMessage(1);
    EXPECT_NE(form.MessageText().find("second"), std::string::npos);
    form.Idle(false);
    EXPECT_EQ(form.StatusText(), " 2 entries");
}

TEST_F(MainFormTest, FolderButtonsSwitchTheListButNotTheCountsAndGateAcceptAndReject) {
    TZivadAccount& account = Account("Home");
    Store(account.VorlaFolder(), "kept");
    Store(account.TrashFolder(), "binned");
    Store(account.QueueFolder(), "outgoing");
    TMainForm& form = Form();
    form.SelectAccount(0);
    Store(account.TrashFolder(), "binned later");  // not the current folder: no recount
    RunPosted();
    struct TCase {
        TFolderKind kind;
        std::vector<std::string> subjects;
        bool acceptReject;
    };
    const TCase cases[] = {
        {TFolderKind::Quarantine, {}, true},
        {TFolderKind::Trash, {"binned", "binned later"}, true},
        {TFolderKind::Queue, {"outgoing"}, false},
        {TFolderKind::Vorla, {"kept"}, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        form.FolderButtonClick(c.kind);
        EXPECT_EQ(Subjects(form), c.subjects);
        EXPECT_EQ(form.FolderCaptions()[2], "Trash (1)");
        const auto idle = form.Idle(false);
        EXPECT_EQ(idle.allowRejectEnabled, c.acceptReject);
        EXPECT_FALSE(idle.moveEnabled);
        EXPECT_TRUE(form.Idle(true).moveEnabled);
    }
}

TEST_F(MainFormTest, OnlyAChangeOfTheCurrentFolderRebuildsTheListOnTheUiThread) {
    TZivadAccount& home = Account("Home");
    TZivadAccount& work = Account("Work");
    TMainForm& form = Form();
    form.SelectAccount(0);
    // Filed by a worker, as a fetch does: nothing may change until the UI thread runs.
    std::thread([&] { Store(home.VorlaFolder(), "from a worker"); }).join();
    EXPECT_TRUE(form.MessageRows().empty());
    RunPosted();
    EXPECT_EQ(Subjects(form), std::vector<std::string>{"from a worker"});
    EXPECT_EQ(form.FolderCaptions()[0], "Vorla (1)");

    m_changed = 0;
    Store(work.VorlaFolder(), "other account");
    Store(home.QuarantineFolder(), "other folder");
    RunPosted();
    EXPECT_EQ(m_changed & (TMainForm::kMessageList | TMainForm::kFolderButtons), 0u);
    EXPECT_EQ(form.FolderCaptions()[1], "Quarantine (0)");
}

TEST_F(MainFormTest, AccountNotificationsFromAWorkerNameTheAccountOnTheStatusLine) {
    TZivadAccount& home = Account("Home");
    const std::string folder = home.FolderName();
    TMainForm& form = Form();
    struct TCase {
        std::function<void()> raise;
        std::string status;
    };
    const TCase cases[] = {
        {[&] { Engine().OnFetchStart.Raise(folder); }, "[Home] Fetching mail"},
        {[&] { Engine().OnFetchEnd.Raise(folder); }, ""},
        {[&] { Engine().OnFilterStart.Raise(folder); }, "[Home] Filtering messages"},
        {[&] { Engine().OnStatusText.Raise("Looking up 192.0.2.1"); }, "Looking up 192.0.2.1"},
        {[&] { Engine().OnFetchStart.Raise("{NO-SUCH-FOLDER}"); }, "Looking up 192.0.2.1"},
        {[&] { Engine().OnRunEnd.Raise(Engine()); }, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.status);
        std::thread(c.raise).join();
        RunPosted();
        EXPECT_EQ(form.StatusText(), c.status);
    }
}

TEST_F(MainFormTest, AfterADeletionTheFormLetsTheAccountGoAndForgetsItsFolders) {
    Account("Home");
    TZivadAccount& work = Account("Work");
    std::weak_ptr<TZivadAccount> gone = Engine().Accounts().Items(1);
    Store(work.VorlaFolder(), "work mail");
    TMainForm& form = Form();
    form.SelectAccount(1);
    ASSERT_EQ(form.MessageRows().size(), 1u);
    Engine().Accounts().Delete(1);
    form.FillAccountList();
    EXPECT_EQ(form.AccountRows().size(), 1u);
    EXPECT_EQ(form.SelectedAccount(), -1);
    EXPECT_FALSE(form.HasCurrentFolder());
    EXPECT_TRUE(form.MessageRows().empty());
    EXPECT_TRUE(gone.expired());  // nothing of the form keeps it (or its folder on disk)
    form.SelectAccount(0);
    EXPECT_EQ(form.AccountLabel(), "Home");
}

TEST_F(MainFormTest, CallsPostedBeforeTheFormWentDoNothing) {
    TZivadAccount& home = Account("Home");
    Form().SelectAccount(0);
    Store(home.VorlaFolder(), "late");
    Engine().OnFetchStart.Raise(home.FolderName());
    m_form.reset();
    m_changed = 0;
    RunPosted();
    EXPECT_EQ(m_changed, 0u);
}

TEST_F(MainFormTest, GetMailFillsTheListAndClearsTheStatusWhenTheRunEnds) {
    const std::string why = TDovecotServer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TDovecotServer server({{"alice", "alicepw"}, {"bob", "bobpw"}});
    server.AddMessage("alice", Mail("one"));
    server.AddMessage("alice", Mail("two"));
    server.AddMessage("bob", Mail("for bob"));
    NewAccount("Alice", "alice", "alicepw", server.Port());
    NewAccount("Bob", "bob", "bobpw", server.Port());
    AddRule(Engine().Filters(), "ann@example.org", TFilterAction::Accept, TFilterSection::From);
    TMainForm& form = Form();
    form.SelectAccount(0);
    std::vector<std::string> seen;
    form.OnChanged = [&](unsigned parts) {
        if (parts & TMainForm::kStatusLine) seen.push_back(form.StatusText());
    };
    form.GetMailButtonClick();
    RunPosted();
    EXPECT_EQ(Subjects(form), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(form.FolderCaptions()[0], "Vorla (2)");
    EXPECT_NE(std::find(seen.begin(), seen.end(), "[Bob] Fetching mail"), seen.end());
    EXPECT_EQ(form.StatusText(), "");

    server.AddMessage("bob", Mail("second for bob"));
    form.SelectAccount(1);
    for (const auto& item : form.GetMailMenu())
        if (item.caption == "Bob") form.GetMailMenuClick(item.folderName);
    RunPosted();
    EXPECT_EQ(Subjects(form), (std::vector<std::string>{"for bob", "second for bob"}));
}

// Each Prefs menu item inverts its own service, at once, and the idle check marks follow;
// the other two services stay as they were.
TEST_F(MainFormTest, EachPrefsServiceItemInvertsItsOwnServiceAtOnce) {
    Engine().PopServer().SetPort(FreeLoopbackPort());
    TMainForm& form = Form();
    using S = TMainForm::TService;
    auto marks = [&] {
        const auto state = form.Idle(false);
        return std::array<bool, 3>{state.fetchService, state.filtersService, state.pop3Service};
    };
    const std::array<bool, 3> start = marks();
    EXPECT_FALSE(start[2]);  // the local server is not started by the form
    const S services[] = {S::Fetch, S::Filters, S::Pop3};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        form.PrefsServiceClick(services[i]);
        std::array<bool, 3> expected = start;
        expected[i] = !start[i];
        EXPECT_EQ(marks(), expected);
        form.PrefsServiceClick(services[i]);
        EXPECT_EQ(marks(), start);
    }
    form.PrefsServiceClick(S::Pop3);
    EXPECT_TRUE(Engine().PopServer().Active());
    EXPECT_NE(Engine().PopServer().ListeningPort(), 0);
}

TEST(MainFormToolbar, TheHeightFollowsTheRowOfTheAboutButton) {
    struct {
        int aboutTop, height, expected;
    } const cases[] = {
        {0, 77, 39},   // widened back to one row
        {38, 39, 77},  // wrapped to a second row
        {0, 39, 39},
        {76, 77, 77},  // a third row: left alone
        {12, 50, 50},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TMainForm::ToolbarHeight(c.aboutTop, c.height), c.expected) << c.aboutTop << " " << c.height;
}

TEST_F(MainFormTest, WindowBoundsAreReadOnlyOnceStoredAndKeepTheEngineSettings) {
    const TWindowBounds current{10, 20, 549, 848};
    Engine().SaveSettings();
    EXPECT_FALSE(TMainForm::StoredBounds(current));
    TMainForm::SaveBounds({5, 6, 400, 700});
    Engine().SaveSettings();  // the engine writes its sections and keeps "display"
    const auto stored = TMainForm::StoredBounds(current);
    ASSERT_TRUE(stored);
    EXPECT_EQ((std::array<int, 4>{stored->top, stored->left, stored->height, stored->width}),
              (std::array<int, 4>{5, 6, 400, 700}));
    WriteFile(m_home / "vorla.ini", "[display]\ntop=7\nwidth=wide\n");
    const auto partial = TMainForm::StoredBounds(current);
    ASSERT_TRUE(partial);
    EXPECT_EQ((std::array<int, 4>{partial->top, partial->left, partial->height, partial->width}),
              (std::array<int, 4>{7, 20, 549, 848}));
}

}  // namespace
}  // namespace vorla::test
