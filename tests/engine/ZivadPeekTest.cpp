#include "engine/ZivadPeek.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/FetchCycleFixture.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"
#include "support/ScriptedPeer.h"

namespace vorla {
namespace {

using test::Mail;
using test::PeerReadLine;
using test::PeerSend;
using test::TDovecotServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Every path under folder with its size, so that a test can tell that nothing changed.
std::vector<std::string> Tree(const std::string& folder) {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries.push_back(entry.path().string() +
                          (entry.is_regular_file() ? " " + std::to_string(entry.file_size()) : std::string("/")));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class ZivadPeekTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_server = std::make_unique<TDovecotServer>(std::vector<test::TPopUser>{{"dan", "danpw"}, {"eve", "evepw"}});
        SetHomeFolder(m_home.Path());
    }
    void TearDown() override { SetHomeFolder(""); }

    void Aim(TZivadPeek& peek, const std::string& user, const std::string& password) {
        peek.SetHost(TDovecotServer::kHost);
        peek.SetPort(m_server->Port());
        peek.SetLogin(user);
        peek.SetPassword(password);
    }

    test::TTempDir m_home;
    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(ZivadPeekTest, ListsFetchesAndDeletesOnlyTheMarkedMessagesAtDisconnect) {
    const std::string texts[] = {Mail("first"), Mail("second", "two\n.\nlines"), Mail("third")};
    for (const std::string& text : texts) m_server->AddMessage("dan", text);
    const std::vector<std::string> before = Tree(m_home.Path());
    TZivadPeek peek;
    int changes = 0;
    peek.OnChange.Set([&](TZivadMessageCollection&) { ++changes; });
    Aim(peek, "dan", "danpw");
    const TPeekResult listed = peek.ConnectAndList();
    ASSERT_TRUE(listed.ok) << listed.error;
    EXPECT_TRUE(peek.Connected());
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(peek.Count(), 3);
    const std::vector<std::string> files = m_server->MessageFiles("dan");
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        TZivadMessageItem& item = *peek.Item(i);
        TMailMessage original;
        original.LoadFromMailText(texts[i]);
        EXPECT_EQ(item.Message().Subject, original.Subject);
        EXPECT_TRUE(item.Message().Body.empty());  // the header only
        // The server's LIST size: its file with CR LF line ends.
        const std::string file = test::ReadFile(files[i]);
        EXPECT_EQ(item.Size(), static_cast<int>(file.size() + std::count(file.begin(), file.end(), '\n')));
    }
    EXPECT_EQ(peek.MessageText(0).find("Hello."), std::string::npos);
    peek.FetchWhole(1);
    EXPECT_THAT(peek.MessageText(1), HasSubstr("\r\n\r\ntwo\r\n..\r\nlines\r\n.\r\n"));
    EXPECT_EQ(peek.Item(1)->Message().Body, (std::vector<std::string>{"two", ".", "lines"}));
    EXPECT_EQ(peek.MessageText(7), "");

    peek.Item(1)->Deleted = true;
    peek.Disconnect();
    EXPECT_FALSE(peek.Connected());
    EXPECT_EQ(peek.Count(), 0);
    EXPECT_EQ(changes, 2);
    const std::vector<std::string> left = m_server->MessageFiles("dan");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_THAT(test::ReadFile(left[0]), HasSubstr("Subject: first"));
    EXPECT_THAT(test::ReadFile(left[1]), HasSubstr("Subject: third"));
    EXPECT_EQ(Tree(m_home.Path()), before);  // no file was touched
}

TEST_F(ZivadPeekTest, AnEmptyMailboxListsNothingAndABadLoginSaysWhy) {
    TZivadPeek peek;
    Aim(peek, "eve", "evepw");
    ASSERT_TRUE(peek.ConnectAndList().ok);
    EXPECT_EQ(peek.Count(), 0);
    peek.Disconnect();

    m_server->AddMessage("eve", Mail("hidden"));
    Aim(peek, "eve", "nope");
    const TPeekResult refused = peek.ConnectAndList();
    EXPECT_FALSE(refused.ok);
    EXPECT_THAT(refused.error, HasSubstr("PASS refused"));
    EXPECT_FALSE(peek.Connected());
    EXPECT_EQ(peek.Count(), 0);
    EXPECT_EQ(m_server->MessageFiles("eve").size(), 1u);
}

TEST(ZivadPeekFaults, AHeaderThatFailsIsListedEmptyAndAWholeMessageIsFetchedOnce) {
    const std::string crlfHeader = "Subject: one\r\nFrom: a@example.org\r\n\r\n";
    test::TScriptedPeer peer({
        PeerSend("+OK ready\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK\r\n"),
        PeerReadLine(), PeerSend("+OK 2 300\r\n"),                         // STAT
        PeerReadLine(), PeerSend("+OK\r\nPIPELINING\r\n.\r\n"),            // CAPA: TOP and LIST go together
        PeerReadLine(), PeerSend("+OK\r\n" + crlfHeader + ".\r\n"),          // TOP 1 0
        PeerReadLine(), PeerSend("+OK 1 120\r\n"),                          // LIST 1
        PeerReadLine(), PeerSend("-ERR no TOP for you\r\n"),                // TOP 2 0
        PeerReadLine(), PeerSend("+OK 2\r\n"),                              // LIST 2: no size
        PeerReadLine(), PeerSend("+OK\r\n" + crlfHeader + "body\r\n.\r\n"),  // RETR 1
        PeerReadLine(), PeerSend("+OK\r\n"),                                // DELE 1
        PeerReadLine(), PeerSend("+OK bye\r\n"),                            // QUIT
    });
    TZivadPeek peek;
    peek.SetHost("127.0.0.1");
    peek.SetPort(peer.Port());
    peek.SetLogin("u");
    peek.SetPassword("p");
    ASSERT_TRUE(peek.ConnectAndList().ok);
    ASSERT_EQ(peek.Count(), 2);
    EXPECT_EQ(peek.Item(0)->Size(), 120);
    EXPECT_EQ(peek.Item(1)->Message().Subject, "");
    EXPECT_TRUE(peek.Item(1)->Message().Headers.empty());
    peek.FetchWhole(0);
    peek.FetchWhole(0);  // already whole: no second RETR
    EXPECT_EQ(peek.Item(0)->Message().Body, std::vector<std::string>{"body"});
    EXPECT_EQ(peek.Item(0)->Size(), static_cast<int>(peek.MessageText(0).size()));
    peek.Item(0)->Deleted = true;
    peek.Disconnect();
    EXPECT_THAT(peer.Received(),
                ElementsAre("USER u", "PASS p", "STAT", "CAPA", "TOP 1 0", "LIST 1", "TOP 2 0", "LIST 2", "RETR 1",
                            "DELE 1", "QUIT"));
}

TEST(ZivadPeekFaults, AFailedDeletionIsReportedAfterTheOthersAndQuit) {
    test::TScriptedPeer peer({
        PeerSend("+OK ready\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK\r\n"),
        PeerReadLine(), PeerSend("+OK 2 300\r\n"),
        PeerReadLine(), PeerSend("-ERR\r\n"),  // CAPA: one command at a time
        PeerReadLine(), PeerSend("+OK\r\nSubject: a\r\n\r\n.\r\n"), PeerReadLine(), PeerSend("+OK 1 10\r\n"),
        PeerReadLine(), PeerSend("+OK\r\nSubject: b\r\n\r\n.\r\n"), PeerReadLine(), PeerSend("+OK 2 10\r\n"),
        PeerReadLine(), PeerSend("-ERR locked\r\n"),  // DELE 1
        PeerReadLine(), PeerSend("+OK\r\n"),          // DELE 2
        PeerReadLine(), PeerSend("+OK bye\r\n"),      // QUIT
    });
    TZivadPeek peek;
    peek.SetHost("127.0.0.1");
    peek.SetPort(peer.Port());
    peek.SetLogin("u");
    peek.SetPassword("p");
    ASSERT_TRUE(peek.ConnectAndList().ok);
    peek.Item(0)->Deleted = true;
    peek.Item(1)->Deleted = true;
    EXPECT_THROW(peek.Disconnect(), TPeerRefused);
    EXPECT_EQ(peek.Count(), 0);
    EXPECT_FALSE(peek.Connected());
    const auto received = peer.Received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(received.end() - 3, received.end()), ElementsAre("DELE 1", "DELE 2", "QUIT"));
}

}  // namespace
}  // namespace vorla
