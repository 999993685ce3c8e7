#include "engine/ZivadAccounts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "engine/ZivadAccount.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "net/SendQueues.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

class AccountsTest : public ::testing::Test {
protected:
    AccountsTest() : m_root(m_home.Path() + "accounts/") { SetHomeFolder(m_home.Path()); }

    // An account folder as an earlier run (or the user) left it.
    void MakeAccount(const std::string& folder, const std::string& options) {
        ForceDirectories(m_root + folder + "/");
        WriteFile(m_root + folder + "/options.ini", "[options]\r\n" + options);
    }
    std::vector<std::string> Names(const TZivadAccounts& list) {
        std::vector<std::string> names;
        for (int i = 0; i < list.Count(); ++i) names.push_back(list.Items(i)->Settings()->name);
        return names;
    }
    std::unique_ptr<TZivadAccounts> List() {
        auto list = std::make_unique<TZivadAccounts>(nullptr);
        // Queue senders report from their own threads.
        list->SetStatusSink([this](const std::string& line) {
            std::scoped_lock lock(m_statusMutex);
            m_status.push_back(line);
        });
        return list;
    }

    TTempDir m_home;
    std::string m_root;
    std::mutex m_statusMutex;  // guards m_status
    std::vector<std::string> m_status;
};

TEST_F(AccountsTest, LoadAllTakesFoldersInNameOrderButNotDotFolders) {
    MakeAccount("b", "name=Bee\r\n");
    MakeAccount("a", "name=Ay\r\n");
    MakeAccount(".trash", "name=Hidden\r\n");
    WriteFile(m_root + "c", "a file, not an account");
    TZivadAccounts list(nullptr);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"Ay", "Bee"}));
    EXPECT_EQ(list.Items(1)->Index(), 1);
    EXPECT_EQ(list.Items(2), nullptr);
    EXPECT_EQ(list.Items(-1), nullptr);
    EXPECT_EQ(list.AccountsRoot(), m_root);
    EXPECT_FALSE(DirectoryExists(m_root + ".trash/vorla/"));  // not even touched
}

TEST_F(AccountsTest, MissingAccountsFolderGivesAnEmptyList) {
    TZivadAccounts list(nullptr);
    EXPECT_EQ(list.Count(), 0);
    TTempDir other;
    TZivadAccounts elsewhere(nullptr, other.Path() + "accts");
    EXPECT_EQ(elsewhere.AccountsRoot(), other.Path() + "accts/");
    EXPECT_EQ(elsewhere.Add("x").AccountFolder(), other.Path() + "accts/x/");
}

TEST_F(AccountsTest, DeletedAccountStaysGoneAndAnAddedOneComesBackWithLoadDefaults) {
    MakeAccount("keep", "name=Keep\r\nenablefetch=1\r\n");
    MakeAccount("drop", "name=Drop\r\n");
    std::string added;
    {
        auto list = List();
        ASSERT_EQ(Names(*list), (std::vector<std::string>{"Drop", "Keep"}));
        WriteFile(m_root + "drop/.dotfile", "x");
        list->Delete(0);
        EXPECT_FALSE(DirectoryExists(m_root + "drop/"));
        EXPECT_EQ(Names(*list), std::vector<std::string>{"Keep"});
        EXPECT_EQ(list->Items(0)->Index(), 0);  // indexes close up
        list->Delete(1);
        list->Delete(-1);
        EXPECT_EQ(list->Count(), 1);

        TZivadAccount& fresh = list->Add();
        added = fresh.FolderName();
        EXPECT_TRUE(DirectoryExists(fresh.AccountFolder()));
        EXPECT_TRUE(fresh.Settings()->enablefetch);
        // The editor is cancelled: the list is dropped and read again from disk.
        list->Clear();
        EXPECT_EQ(list->Count(), 0);
        EXPECT_TRUE(DirectoryExists(m_root + "keep/"));
        list->LoadAll();
        ASSERT_EQ(list->Count(), 2);
    }
    TZivadAccounts reloaded(nullptr);
    ASSERT_EQ(reloaded.Count(), 2);
    EXPECT_EQ(reloaded.FindByName("Drop"), nullptr);
    const TAccountPtr fresh = reloaded.Items(0)->FolderName() == added ? reloaded.Items(0) : reloaded.Items(1);
    EXPECT_EQ(fresh->FolderName(), added);
    EXPECT_EQ(fresh->Settings()->name, "");
    EXPECT_FALSE(fresh->Settings()->enablefetch);
}

TEST_F(AccountsTest, FindersReturnTheFirstExactMatch) {
    MakeAccount("1", "name=One\r\nloginname=shared\r\n");
    MakeAccount("2", "name=Two\r\nloginname=shared\r\n");
    MakeAccount("3", "name=one\r\nloginname=Solo\r\n");
    TZivadAccounts list(nullptr);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.FindByLoginName("shared"), list.Items(0));
    EXPECT_EQ(list.FindByLoginName("Solo"), list.Items(2));
    EXPECT_EQ(list.FindByLoginName("solo"), nullptr);
    EXPECT_EQ(list.FindByLoginName(""), nullptr);
    EXPECT_EQ(list.FindByName("one"), list.Items(2));
    EXPECT_EQ(list.FindByName("One"), list.Items(0));
    EXPECT_EQ(list.FindByName("Three"), nullptr);
}

TEST_F(AccountsTest, StopAllWithoutARunLeavesEveryStopRequestSet) {
    MakeAccount("a", "name=A\r\nenablefilters=1\r\n");
    MakeAccount("b", "name=B\r\nenablefilters=1\r\n");
    auto list = List();
    list->StopAll();
    EXPECT_TRUE(list->StopRequested());
    EXPECT_TRUE(list->Items(0)->StopRequested());
    EXPECT_TRUE(list->Items(1)->StopRequested());
    // A filtering run of a stopped account does nothing.
    list->FilterAll();
    EXPECT_TRUE(m_status.empty());
}

TEST_F(AccountsTest, RunAccountsFetchesInOrderSkipsIdleAccountsAndHonoursStop) {
    MakeAccount("1", "name=First\r\nenablefetch=1\r\n");
    MakeAccount("2", "name=Off\r\nenablefetch=0\r\n");
    MakeAccount("3", "name=Busy\r\nenablefetch=1\r\n");
    MakeAccount("4", "name=Last\r\nenablefetch=1\r\n");
    auto list = List();
    TZivadLog log(m_home.Path() + "vorla.log");
    TZivadFilters filters(m_home.Path() + "vorla.fil");
    list->Items(2)->SetBusy(true);
    list->StopAll();  // cleared by the run itself
    // These accounts name no uplink server: each fetch that runs logs that and ends.
    const std::string missing = "Accepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=1";
    list->RunAccounts(log, filters);
    EXPECT_FALSE(list->StopRequested());
    EXPECT_EQ(m_status, (std::vector<std::string>{"\tFETCH\tFirst\t" + missing, "\tFETCH\tLast\t" + missing}));
    EXPECT_TRUE(list->Items(2)->Busy());   // not the run's to clear
    EXPECT_FALSE(list->Items(0)->Busy());  // released after the fetch
    EXPECT_NE(log.LogText().find("First\tError - First - Account information is missing"), std::string::npos);

    // A stop request raised during the first fetch ends the run after it.
    m_status.clear();
    list->SetStatusSink([&](const std::string& line) {
        m_status.push_back(line);
        list->StopAll();
    });
    list->RunAccounts(log, filters);
    EXPECT_EQ(m_status, std::vector<std::string>{"\tFETCH\tFirst\t" + missing});
}

TEST_F(AccountsTest, FilterAllRunsTheEnabledAccountsAndSendAllEveryOne) {
    MakeAccount("1", "name=A\r\nenablefilters=1\r\n");
    MakeAccount("2", "name=B\r\nenablefilters=0\r\n");
    auto list = List();
    list->FilterAll();
    EXPECT_EQ(m_status, std::vector<std::string>{"\tFILTER\tA\tAccepted=0 Trashed=0 Quarantined=0"});
    m_status.clear();
    // Send Mail starts a pass for every account, whatever its enablesend: with one queued
    // message and an SMTP port nobody listens on, each pass reports its failure.
    for (int i = 0; i < 2; ++i) {
        TZivadAccount& account = *list->Items(i);
        account.Edit([&](TAccountSettings& s) {
            s.enablesend = (i == 0);
            s.smtpserver = "127.0.0.1";
            s.smtpport = 1;
        });
        TMailMessage message;
        message.LoadFromMailText("From: a@example.org\r\nTo: b@example.org\r\nSubject: x\r\n\r\nbody\r\n");
        account.QueueFolder().AddMessage(message, "");
    }
    list->SendAll();
    for (int round = 0; round < 200 && SharedSendQueues().Running() > 0; ++round)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(SharedSendQueues().Running(), 0);
    SharedSendQueues().Reap();
    bool sawA = false, sawB = false;
    {
        std::scoped_lock lock(m_statusMutex);  // the passes have ended; their lines are in
        for (const std::string& line : m_status) {
            sawA = sawA || line.rfind("\tSEND\tA\t", 0) == 0;
            sawB = sawB || line.rfind("\tSEND\tB\t", 0) == 0;
        }
        m_status.clear();
    }
    EXPECT_TRUE(sawA && sawB);
    EXPECT_EQ(list->Items(0)->QueueFolder().Count(), 1);  // the failed message stays queued
    EXPECT_EQ(list->Items(1)->QueueFolder().Count(), 1);
    list->SetBusyAll(true);
    EXPECT_TRUE(list->Items(0)->Busy() && list->Items(1)->Busy());
    list->FilterAll();
    EXPECT_TRUE(m_status.empty());
    list->SetBusyAll(false);
    EXPECT_FALSE(list->Items(0)->Busy() || list->Items(1)->Busy());
}

TEST_F(AccountsTest, SaveAllReportsEachFailureAndSavesTheOthers) {
    MakeAccount("a", "name=A\r\n");
    MakeAccount("b", "name=B\r\n");
    auto list = List();
    ForceDirectories(m_root + "a/reject.txt/");  // a folder where a's reject text goes
    WriteFile(m_root + "a/reject.txt/x", "");
    list->Items(0)->Edit([&](TAccountSettings& s) { s.name = "A2"; });
    list->Items(1)->Edit([&](TAccountSettings& s) { s.name = "B2"; });
    const auto errors = list->SaveAll();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Error saving account: ", 0), 0u) << errors[0];
    TZivadAccounts reloaded(nullptr);
    EXPECT_EQ(Names(reloaded), (std::vector<std::string>{"A2", "B2"}));
}

TEST_F(AccountsTest, DestructionWritesEverySeenList) {
    MakeAccount("a", "name=A\r\n");
    MakeAccount("b", "name=B\r\n");
    {
        TZivadAccounts list(nullptr);
        list.Items(0)->AddSeen(0x01020304u);
        list.Items(1)->AddSeen(7);
        list.Items(1)->AddSeen(7);
    }
    EXPECT_EQ(ReadFile(m_root + "a/msgcrc"), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(ReadFile(m_root + "b/msgcrc"), std::string("\x07\x00\x00\x00", 4));
    // Clear drops the accounts without writing their seen lists.
    {
        TZivadAccounts list(nullptr);
        list.Items(0)->AddSeen(9);
        list.Clear();
    }
    EXPECT_EQ(ReadFile(m_root + "a/msgcrc").size(), 4u);
}

TEST_F(AccountsTest, LoadProblemsBecomeStatusLinesAndTheOtherAccountsStillLoad) {
    MakeAccount("a", "name=Bad\r\npopport=70000\r\n");
    MakeAccount("b", "name=Good\r\npopport=995\r\n");
    auto list = std::make_unique<TZivadAccounts>(nullptr);  // no sink yet: lines are dropped
    EXPECT_EQ(list->Count(), 2);
    list->Clear();
    list->SetStatusSink([this](const std::string& line) { m_status.push_back(line); });
    list->LoadAll();
    ASSERT_EQ(m_status.size(), 1u);
    EXPECT_EQ(m_status[0].rfind("\tVORLA\tBad\t", 0), 0u) << m_status[0];
    EXPECT_NE(m_status[0].find("70000"), std::string::npos);
    EXPECT_EQ(list->Items(0)->Settings()->popport, 110);
    EXPECT_EQ(list->Items(1)->Settings()->popport, 995);
}

}  // namespace
}  // namespace vorla
