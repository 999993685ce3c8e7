#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PopServerFixture.h"
#include "net/TcpListener.h"

using namespace vorla;
using namespace vorla::test;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

class PopServerTest : public PopServerFixture {};

struct TExchange {
    const char* command;
    std::string reply;  // the exact first reply line
};

void Play(TRawPopClient& client, const std::vector<TExchange>& table) {
    for (const TExchange& row : table) {
        SCOPED_TRACE(std::string("command \"") + row.command + "\"");
        EXPECT_EQ(client.Command(row.command), row.reply);
    }
}

std::string Size(const std::string& text) { return std::to_string(FileForm(text).size()); }

}  // namespace

TEST_F(PopServerTest, EveryCommandBeforeLoginGetsItsReply) {
    AddAccount("alice", "secret", Texts(3, 300));
    Start();
    auto client = Connect();
    Play(*client, {
                      {"STAT", "-ERR Please login first"},
                      {"LIST", "-ERR Please login first"},
                      {"LIST 1", "-ERR Please login first"},
                      {"RETR 1", "-ERR Please login first"},
                      {"TOP 1 0", "-ERR Please login first"},
                      {"DELE 1", "-ERR Please login first"},
                      {"RSET", "-ERR Please login first"},
                      {"UIDL", "-ERR Please login first"},
                      {"stat", "-ERR Please login first"},
                      {"NOOP", "+OK NOOP"},
                      {"APOP alice 0123456789abcdef", "-ERR Command Not Handled: APOP"},
                      {"XTND", "-ERR Unknown Command"},
                      {"", "-ERR Unknown Command"},
                      {"STATUS", "-ERR Unknown Command"},
                      {"USER alice", "+OK Password required"},
                      {"PASS wrong", "-ERR Login failed"},
                      {"PASS secret", "+OK Login OK"},  // retried on the same connection
                  });
    EXPECT_EQ(client->Command("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(client->ReadUntil("\r\n.\r\n"), "USER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n");
}

TEST_F(PopServerTest, EveryCommandAfterLoginGetsItsReply) {
    const auto texts = Texts(3, 300);
    AddAccount("alice", "secret", texts);
    Start();
    auto client = LogIn("alice", "secret");
    const std::string total = std::to_string(FileForm(texts[0]).size() + FileForm(texts[1]).size() +
                                             FileForm(texts[2]).size());
    Play(*client, {
                      {"USER bob", "-ERR Wrong State"},
                      {"PASS secret", "-ERR Wrong State"},
                      {"APOP alice 0123", "-ERR Wrong State"},
                      {"STAT", "+OK 3 " + total},
                      {"LIST 2", "+OK 2 " + Size(texts[1])},
                      {"list 3", "+OK 3 " + Size(texts[2])},
                      {"LIST 4", "-ERR Invalid Message Number"},
                      {"LIST 0", "-ERR Invalid Message Number"},
                      {"LIST x", "-ERR Invalid Message Number"},
                      {"RETR", "-ERR Invalid Message Number"},
                      {"RETR 0", "-ERR Invalid Message Number"},
                      {"RETR 4", "-ERR Invalid Message Number"},
                      {"RETR -1", "-ERR Invalid Message Number"},
                      {"RETR 99999999999999999999", "-ERR Invalid Message Number"},
                      {"TOP 1", "-ERR Invalid Syntax"},
                      {"TOP x 1", "-ERR Invalid Syntax"},
                      {"TOP 1 -1", "-ERR Invalid Syntax"},
                      {"TOP 1 1.5", "-ERR Invalid Syntax"},
                      {"TOP 4 0", "-ERR Invalid Message Number"},
                      {"DELE 4", "-ERR Invalid Message Number"},
                      {"DELE abc", "-ERR Invalid Message Number"},
                      {"UIDL 4", "-ERR Invalid Message Number"},
                      {"NOOP", "+OK NOOP"},
                      {"RSET", "+OK"},
                      {"FETCH 1", "-ERR Unknown Command"},
                  });
    EXPECT_EQ(client->Command("LIST"), "+OK 3 " + total);
    EXPECT_EQ(client->ReadUntil("\r\n.\r\n"),
              "1 " + Size(texts[0]) + "\r\n2 " + Size(texts[1]) + "\r\n3 " + Size(texts[2]) + "\r\n.\r\n");
    EXPECT_EQ(client->Command("QUIT"), "+OK Closing communication channel");
    EXPECT_TRUE(client->WaitClosed());
}

TEST_F(PopServerTest, RetrSendsTheStoredFileByteForByte) {
    const auto texts = Texts(2);
    AddAccount("alice", "secret", texts);
    Start();
    auto client = LogIn("alice", "secret");
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("message " + std::to_string(n));
        const std::string file = FileForm(texts[static_cast<std::size_t>(n - 1)]);
        EXPECT_EQ(client->Command("RETR " + std::to_string(n)), "+OK " + std::to_string(file.size()));
        EXPECT_EQ(client->ReadExactly(file.size()), file);
    }
    EXPECT_EQ(client->Command("NOOP"), "+OK NOOP");  // nothing stray after the message
}

// A client that sends its commands in one go gets every reply, in order, without waiting for
// each: small replies gathered together, a message larger than what is gathered at once
// between them, and the commands after a QUIT never answered.
TEST_F(PopServerTest, PipelinedCommandsAreAnsweredInOrder) {
    std::vector<std::string> texts = Texts(2);
    texts.push_back(Texts(1, 600 * 1024).front());
    AddAccount("alice", "secret", texts);
    Start();
    auto client = LogIn("alice", "secret");
    std::string commands;
    for (int round = 0; round < 3; ++round)
        for (int n = 1; n <= 3; ++n) commands += "LIST " + std::to_string(n) + "\r\nRETR " + std::to_string(n) + "\r\n";
    client->Send(commands + "TOP 1 0\r\nDELE 2\r\nNOOP\r\nQUIT\r\nNOOP\r\n");
    for (int round = 0; round < 3; ++round) {
        for (int n = 1; n <= 3; ++n) {
            SCOPED_TRACE("round " + std::to_string(round) + " message " + std::to_string(n));
            const std::string file = FileForm(texts[static_cast<std::size_t>(n - 1)]);
            EXPECT_EQ(client->ReadLine(), "+OK " + std::to_string(n) + " " + Size(texts[static_cast<std::size_t>(n - 1)]));
            EXPECT_EQ(client->ReadLine(), "+OK " + std::to_string(file.size()));
            EXPECT_TRUE(client->ReadExactly(file.size()) == file);
        }
    }
    EXPECT_EQ(client->ReadLine(), "+OK");
    const std::string header = client->ReadUntil("\r\n\r\n");
    EXPECT_EQ(header.rfind("Received: ", 0), 0u) << header;
    EXPECT_EQ(client->ReadLine(), ".");
    EXPECT_EQ(client->ReadLine(), "+OK");
    EXPECT_EQ(client->ReadLine(), "+OK NOOP");
    EXPECT_EQ(client->ReadLine(), "+OK Closing communication channel");
    std::string rest;
    EXPECT_TRUE(client->WaitClosed(std::chrono::seconds(5), &rest));
    EXPECT_EQ(rest, "");
}

TEST_F(PopServerTest, TopSendsTheHeaderAndTheRequestedBodyLines) {
    const std::string header = "From: a@example.org\r\nSubject: Top\r\n\r\n";
    AddAccount("alice", "secret", {header + "one\r\n.two\r\nthree\r\n", "Subject: no body\r\n", "\r\nonly body\r\n"});
    Start();
    auto client = LogIn("alice", "secret");
    const struct {
        const char* command;
        std::string body;
    } rows[] = {
        {"TOP 1 0", header + ".\r\n"},
        {"TOP 1 2", header + "one\r\n..two\r\n.\r\n"},
        {"TOP 1 100", header + "one\r\n..two\r\nthree\r\n.\r\n"},
        {"top 1 99999999999999999999", header + "one\r\n..two\r\nthree\r\n.\r\n"},
        {"TOP 2 5", "Subject: no body\r\n.\r\n"},
        {"TOP 3 0", "\r\n.\r\n"},
        {"TOP 3 1", "\r\nonly body\r\n.\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(client->Command(row.command), "+OK");
        EXPECT_EQ(client->ReadExactly(row.body.size()), row.body);
    }
    EXPECT_EQ(client->Command("NOOP"), "+OK NOOP");
}

TEST_F(PopServerTest, StatAndListOnAnEmptyFolder) {
    AddAccount("alice", "secret", {});
    Start();
    auto client = LogIn("alice", "secret");
    EXPECT_EQ(client->Command("STAT"), "+OK 0 0");
    EXPECT_EQ(client->Command("LIST"), "+OK 0 0");
    EXPECT_EQ(client->ReadLine(), ".");
    EXPECT_EQ(client->Command("UIDL"), "+OK");
    EXPECT_EQ(client->ReadLine(), ".");
    EXPECT_EQ(client->Command("RETR 1"), "-ERR Invalid Message Number");
}

TEST_F(PopServerTest, LoginFollowsTheAccountsUplinkNameAndPassword) {
    AddAccount("alice", "secret", Texts(1, 300));
    AddAccount("alice", "other", Texts(2, 300));  // the same login name later in the list
    AddAccount("bob", "pass word", Texts(3, 300));
    AddAccount("nopw", "", Texts(1, 300));
    Start();
    const struct {
        const char* user;
        const char* pass;
        const char* reply;
        int count;  // messages seen after a successful login
    } rows[] = {
        {"alice", "secret", "+OK Login OK", 1},
        {"alice", "other", "-ERR Login failed", 0},  // the first account with the name is used
        {"Alice", "secret", "-ERR Login failed", 0},  // letter case counts
        {"alice", "Secret", "-ERR Login failed", 0},
        {"bob", "pass word", "+OK Login OK", 3},     // the password is the rest of the line
        {"bob", "pass", "-ERR Login failed", 0},
        {"nopw", "", "-ERR Login failed", 0},        // an account without a password stays closed
        {"", "", "-ERR Login failed", 0},
        {"carol", "secret", "-ERR Login failed", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.user) + " / " + row.pass);
        auto client = Connect();
        EXPECT_EQ(client->Command(std::string("USER ") + row.user), "+OK Password required");
        EXPECT_EQ(client->Command(std::string("PASS ") + row.pass), row.reply);
        if (row.count > 0) {
            EXPECT_THAT(client->Command("STAT"), ::testing::StartsWith("+OK " + std::to_string(row.count) + " "));
        }
    }
}

TEST_F(PopServerTest, StatusLinesFollowTheirSwitches) {
    AddAccount("alice", "secret", Texts(2, 300));
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "switches on" : "switches off");
        ClearStatuses();
        Start([&](TPopServer& server) {
            server.SetLogConnections(on);
            server.SetLogSuccessful(on);
            server.SetLogFailed(on);
            server.SetLogQuit(on);
        });
        auto client = Connect();
        client->Command("USER alice");
        client->Command("PASS wrong");
        client->Command("USER carol\x01");
        client->Command("PASS x");
        client->Command("USER alice");
        client->Command("PASS secret");
        client->Command("RETR 1");
        client->ReadUntil("\r\n.\r\n");
        client->Command("DELE 2");
        client->Command("RSET");  // the next round finds the same messages
        client->Command("QUIT");
        ASSERT_TRUE(client->WaitClosed());
        EXPECT_EQ(HasStatus("", "Connection from 127.0.0.1"), on);
        EXPECT_EQ(HasStatus("alice", "Invalid password"), on);
        EXPECT_TRUE(HasStatus("carol?", "No such account name"));  // always, and made safe
        EXPECT_EQ(HasStatus("alice", "Connected"), on);
        EXPECT_TRUE(HasStatus("alice", "Retrieved message 1"));
        EXPECT_TRUE(HasStatus("alice", "Deleted message 2"));
        EXPECT_EQ(HasStatus("alice", "Quit"), on);
        m_server->SetActive(false);
        EXPECT_TRUE(HasStatus("", "Server deactivated"));
    }
}

TEST_F(PopServerTest, DeletionMarksBelongToTheSessionUntilQuit) {
    const auto texts = Texts(3, 300);
    TAccount& account = AddAccount("alice", "secret", texts);
    Start();
    auto first = LogIn("alice", "secret");
    auto second = LogIn("alice", "secret");
    EXPECT_EQ(first->Command("DELE 2"), "+OK");
    EXPECT_EQ(first->Command("DELE 2"), "-ERR Invalid Message Number");
    EXPECT_EQ(first->Command("RETR 2"), "-ERR Invalid Message Number");
    EXPECT_EQ(first->Command("LIST 2"), "-ERR Invalid Message Number");
    EXPECT_EQ(first->Command("STAT"), "+OK 2 " + std::to_string(FileForm(texts[0]).size() + FileForm(texts[2]).size()));
    EXPECT_EQ(first->Command("LIST"), "+OK 2 " + std::to_string(FileForm(texts[0]).size() + FileForm(texts[2]).size()));
    EXPECT_EQ(first->ReadUntil("\r\n.\r\n"), "1 " + Size(texts[0]) + "\r\n3 " + Size(texts[2]) + "\r\n.\r\n");
    // Another session does not see the first one's marks.
    EXPECT_THAT(second->Command("STAT"), ::testing::StartsWith("+OK 3 "));
    EXPECT_EQ(second->Command("RETR 2"), "+OK " + Size(texts[1]));
    second->ReadUntil("\r\n.\r\n");

    // RSET undoes the marks.
    EXPECT_EQ(first->Command("RSET"), "+OK");
    EXPECT_THAT(first->Command("STAT"), ::testing::StartsWith("+OK 3 "));
    EXPECT_EQ(first->Command("DELE 2"), "+OK");
    EXPECT_EQ(first->Command("QUIT"), "+OK Closing communication channel");
    ASSERT_TRUE(first->WaitClosed());
    EXPECT_EQ(MessageFiles(account.folderPath), (std::vector<std::string>{"00001.msg", "00002.msg"}));
    EXPECT_EQ(ReadFile(account.folderPath + "00001.msg"), FileForm(texts[0]));
    EXPECT_EQ(ReadFile(account.folderPath + "00002.msg"), FileForm(texts[2]));
    EXPECT_EQ(account.folder->Count(), 2);
}

TEST_F(PopServerTest, AConnectionEndingWithoutQuitDeletesNothing) {
    const auto texts = Texts(3, 300);
    TAccount& account = AddAccount("alice", "secret", texts);
    Start([](TPopServer& server) { server.SetIdleTimeout(300ms); });
    {
        auto client = LogIn("alice", "secret");
        EXPECT_EQ(client->Command("DELE 1"), "+OK");
        client->Drop();
    }
    {
        auto client = LogIn("alice", "secret");
        EXPECT_EQ(client->Command("DELE 2"), "+OK");
        std::string rest;
        EXPECT_TRUE(client->WaitClosed(5s, &rest));  // the idle time-out
        EXPECT_EQ(rest, "-ERR Idle time-out\r\n");
    }
    EXPECT_TRUE(WaitForStatus("alice", "Connection closed: idle time-out"));
    ASSERT_TRUE(WaitForNoConnections());
    EXPECT_EQ(MessageFiles(account.folderPath).size(), 3u);
    auto client = LogIn("alice", "secret");
    EXPECT_THAT(client->Command("STAT"), ::testing::StartsWith("+OK 3 "));
    EXPECT_EQ(client->Command("RETR 1"), "+OK " + Size(texts[0]));
}

TEST_F(PopServerTest, NumbersKeepNamingTheSameMessageWhileOthersPurge) {
    const auto texts = Texts(4, 300);
    TAccount& account = AddAccount("alice", "secret", texts);
    Start();
    auto session = LogIn("alice", "secret");
    // Another session removes messages 1 and 3; the folder is renumbered under us.
    {
        auto other = LogIn("alice", "secret");
        EXPECT_EQ(other->Command("DELE 1"), "+OK");
        EXPECT_EQ(other->Command("DELE 3"), "+OK");
        EXPECT_EQ(other->Command("QUIT"), "+OK Closing communication channel");
        ASSERT_TRUE(other->WaitClosed());
    }
    // ... and new mail arrives.
    TMailMessage arrived;
    arrived.LoadFromText(FileForm(MessageText(99, 300)));
    account.folder->AddMessage(arrived, "");
    ASSERT_EQ(MessageFiles(account.folderPath), (std::vector<std::string>{"00001.msg", "00002.msg", "00003.msg"}));

    EXPECT_THAT(session->Command("STAT"), ::testing::StartsWith("+OK 4 "));  // the folder as at login
    EXPECT_EQ(session->Command("RETR 1"), "-ERR Invalid Message Number");  // gone
    EXPECT_EQ(session->Command("RETR 4"), "+OK " + Size(texts[3]));       // now 00002.msg
    EXPECT_EQ(session->ReadExactly(FileForm(texts[3]).size()), FileForm(texts[3]));
    EXPECT_EQ(session->Command("RETR 2"), "+OK " + Size(texts[1]));       // now 00001.msg
    EXPECT_EQ(session->ReadExactly(FileForm(texts[1]).size()), FileForm(texts[1]));
    EXPECT_EQ(session->Command("TOP 2 0"), "+OK");
    EXPECT_THAT(session->ReadUntil("\r\n.\r\n"), HasSubstr("Subject: Message number 2\r\n"));
    // Its own deletion removes exactly the message it named, wherever it lies now.
    EXPECT_EQ(session->Command("DELE 4"), "+OK");
    EXPECT_EQ(session->Command("DELE 3"), "+OK");  // already removed by the other session
    EXPECT_EQ(session->Command("QUIT"), "+OK Closing communication channel");
    ASSERT_TRUE(session->WaitClosed());
    EXPECT_EQ(MessageFiles(account.folderPath), (std::vector<std::string>{"00001.msg", "00002.msg"}));
    EXPECT_EQ(ReadFile(account.folderPath + "00001.msg"), FileForm(texts[1]));
    EXPECT_THAT(ReadFile(account.folderPath + "00002.msg"), HasSubstr("Subject: Message number 99\r\n"));

    // The next session sees the message that arrived.
    auto next = LogIn("alice", "secret");
    EXPECT_THAT(next->Command("STAT"), ::testing::StartsWith("+OK 2 "));
}

TEST_F(PopServerTest, UniqueIdsStayWithTheirMessages) {
    const auto texts = Texts(3, 300);
    TAccount& account = AddAccount("alice", "secret", {texts[0], texts[1], texts[2], texts[1]});
    Start();
    std::vector<std::string> ids;
    {
        auto client = LogIn("alice", "secret");
        EXPECT_EQ(client->Command("UIDL"), "+OK");
        std::string listing = client->ReadUntil("\r\n.\r\n");
        for (int n = 1; n <= 4; ++n) {
            const std::string prefix = std::to_string(n) + " ";
            ASSERT_TRUE(listing.starts_with(prefix)) << listing;
            const std::size_t end = listing.find("\r\n");
            ids.push_back(listing.substr(prefix.size(), end - prefix.size()));
            listing.erase(0, end + 2);
        }
        EXPECT_EQ(listing, ".\r\n");
        for (const std::string& id : ids) {
            EXPECT_FALSE(id.empty());
            EXPECT_LE(id.size(), 70u);
            EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
        }
        EXPECT_EQ(ids[3], ids[1] + "-2");  // the same content twice, still unique
        EXPECT_NE(ids[0], ids[1]);
        EXPECT_NE(ids[1], ids[2]);
        EXPECT_EQ(client->Command("UIDL 3"), "+OK 3 " + ids[2]);
        EXPECT_EQ(client->Command("DELE 1"), "+OK");
        EXPECT_EQ(client->Command("UIDL 1"), "-ERR Invalid Message Number");
        EXPECT_EQ(client->Command("QUIT"), "+OK Closing communication channel");
        ASSERT_TRUE(client->WaitClosed());
    }
    // After renumbering, and from a server that has never seen the files (a restart).
    Start();
    auto client = LogIn("alice", "secret");
    EXPECT_EQ(client->Command("UIDL 1"), "+OK 1 " + ids[1]);
    EXPECT_EQ(client->Command("UIDL 2"), "+OK 2 " + ids[2]);
    EXPECT_EQ(client->Command("UIDL 3"), "+OK 3 " + ids[3]);
    EXPECT_EQ(MessageFiles(account.folderPath).size(), 3u);
}

TEST_F(PopServerTest, AStoredFileNotInWireFormIsRepairedOnTheWay) {
    TAccount& account = AddAccount("alice", "secret", {});
    WriteFile(account.folderPath + "00001.msg", "Subject: by hand\nX: y\n\nline\n.\nlast");
    WriteFile(account.folderPath + "00002.msg", "Subject: early end\r\n\r\nbefore\r\n.\r\nafter\r\n.\r\n");
    WriteFile(account.folderPath + "00003.msg", "");
    account.folder->Reload();
    Start();
    auto client = LogIn("alice", "secret");
    const struct {
        const char* command;
        std::string wire;
    } rows[] = {
        {"RETR 1", "Subject: by hand\r\nX: y\r\n\r\nline\r\n..\r\nlast\r\n.\r\n"},
        {"RETR 2", "Subject: early end\r\n\r\nbefore\r\n..\r\nafter\r\n.\r\n"},
        {"RETR 3", ".\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(client->Command(row.command), "+OK " + std::to_string(row.wire.size()));
        EXPECT_EQ(client->ReadExactly(row.wire.size()), row.wire);
    }
    EXPECT_EQ(client->Command("TOP 1 0"), "+OK");
    EXPECT_EQ(client->ReadUntil("\r\n.\r\n"), "Subject: by hand\r\nX: y\r\n\r\n.\r\n");
}

TEST_F(PopServerTest, ProxyModeFetchesBeforeTheLoginReply) {
    TAccount& account = AddAccount("alice", "secret", Texts(1, 300));
    std::vector<std::string> fetched;
    m_proxyFetch = [&](const std::string& login) {
        fetched.push_back(login);
        TMailMessage message;
        message.LoadFromText(FileForm(MessageText(50, 300)));
        account.folder->AddMessage(message, "");
    };
    Start();
    auto client = Connect();
    client->Command("USER alice");
    EXPECT_EQ(client->Command("PASS wrong"), "-ERR Login failed");
    EXPECT_TRUE(fetched.empty());  // only a successful login fetches
    EXPECT_EQ(client->Command("PASS secret"), "+OK Login OK");
    EXPECT_EQ(fetched, std::vector<std::string>{"alice"});
    EXPECT_THAT(client->Command("STAT"), ::testing::StartsWith("+OK 2 "));  // what it fetched is served

    // A fetch that fails is reported; the login still stands.
    m_proxyFetch = [](const std::string&) { throw std::runtime_error("uplink down"); };
    auto second = LogIn("alice", "secret");
    EXPECT_THAT(second->Command("STAT"), ::testing::StartsWith("+OK 2 "));
    EXPECT_TRUE(HasStatus("", "Exception: uplink down"));
}

TEST_F(PopServerTest, OverLongCommandLinesEndTheConnection) {
    AddAccount("alice", "secret", Texts(1, 300));
    Start();
    const std::string longArgument(TPopServer::kMaxCommandLine, 'a');
    for (const std::string& input : {"USER " + longArgument + "\r\n", std::string(3 * TPopServer::kMaxCommandLine, 'x')}) {
        SCOPED_TRACE(input.size());
        auto client = Connect();
        client->Send(input);
        std::string rest;
        EXPECT_TRUE(client->WaitClosed(5s, &rest));
        EXPECT_EQ(rest, "-ERR Line too long\r\n");
    }
    EXPECT_TRUE(WaitForStatus("", "Connection closed: command line too long"));
    // A line just within the cap is a command like any other.
    auto client = Connect();
    EXPECT_EQ(client->Command("USER " + std::string(TPopServer::kMaxCommandLine - 5, 'b')), "+OK Password required");
}

TEST_F(PopServerTest, ConnectionsBeyondTheCapAreTurnedAway) {
    AddAccount("alice", "secret", Texts(1, 300));
    Start([](TPopServer& server) { server.SetMaxConnections(2); });
    auto first = Connect();
    auto second = Connect();
    {
        TRawPopClient third(m_port);
        EXPECT_EQ(third.ReadLine(), "-ERR Too many connections, try again later");
        EXPECT_TRUE(third.WaitClosed());
    }
    EXPECT_EQ(first->Command("NOOP"), "+OK NOOP");
    EXPECT_EQ(first->Command("QUIT"), "+OK Closing communication channel");
    ASSERT_TRUE(first->WaitClosed());
    // Once a connection has ended, its place is free again (its thread may take a moment).
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
        TRawPopClient again(m_port);
        admitted = again.ReadLine() == "+OK Vorla (v9.8.7)";
        if (!admitted) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(admitted);
}

TEST_F(PopServerTest, RepeatedFailedLoginsFromOneAddressAreSlowedDown) {
    AddAccount("alice", "secret", Texts(1, 300));
    Start([](TPopServer& server) { server.LoginThrottle().SetFirstDelay(300ms); });
    auto client = Connect();
    client->Command("USER alice");
    const auto timed = [&](const std::string& command) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = client->Command(command);
        return std::make_pair(reply, std::chrono::steady_clock::now() - start);
    };
    for (int i = 0; i < TPopLoginThrottle::kFreeFailures; ++i) EXPECT_EQ(client->Command("PASS wrong"), "-ERR Login failed");
    auto [slow, slowTime] = timed("PASS wrong");
    EXPECT_EQ(slow, "-ERR Login failed");
    EXPECT_GE(slowTime, 300ms);
    auto [slower, slowerTime] = timed("PASS wrong");
    EXPECT_EQ(slower, "-ERR Login failed");
    EXPECT_GE(slowerTime, 600ms);
    // Counted per address, across connections: a new connection is not a fresh start.
    auto other = Connect();
    other->Command("USER alice");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(other->Command("PASS wrong"), "-ERR Login failed");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1200ms);
    // A successful login starts afresh.
    EXPECT_EQ(client->Command("PASS secret"), "+OK Login OK");
    other->Command("USER alice");
    EXPECT_EQ(other->Command("PASS wrong"), "-ERR Login failed");
}

TEST_F(PopServerTest, StoppingTheServerEndsItsConnectionsWithoutDeleting) {
    TAccount& account = AddAccount("alice", "secret", Texts(2, 300));
    Start();
    auto client = LogIn("alice", "secret");
    EXPECT_EQ(client->Command("DELE 1"), "+OK");
    m_server->SetActive(false);
    EXPECT_FALSE(m_server->Active());
    EXPECT_EQ(m_server->ConnectionCount(), 0);
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_EQ(MessageFiles(account.folderPath).size(), 2u);
    EXPECT_THROW(TRawPopClient refused(m_port), std::runtime_error);
}

TEST_F(PopServerTest, ChangingTheBindingMovesAnActiveServer) {
    AddAccount("alice", "secret", Texts(1, 300));
    Start();
    const std::uint16_t before = m_port;
    // A port free a moment ago; the server restarts on it.
    std::uint16_t target;
    {
        TTcpListener probe("127.0.0.1", 0);
        target = probe.Port();
    }
    ClearStatuses();
    m_server->SetPort(target);
    EXPECT_TRUE(m_server->Active());
    EXPECT_EQ(m_server->ListeningPort(), target);
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"\tPOP3\t\tServer deactivated",
                                                    "\tPOP3\t\tServer activated on 127.0.0.1 port " + std::to_string(target)}));
    m_port = target;
    EXPECT_EQ(Connect()->Command("NOOP"), "+OK NOOP");
    EXPECT_THROW(TRawPopClient old(before), std::runtime_error);
}

TEST_F(PopServerTest, ABindFailureWarnsWithTheSystemsReason) {
    TTcpListener holder("127.0.0.1", 0);  // the port is taken
    const std::string port = std::to_string(holder.Port());
    struct TRow {
        std::string address;
        std::uint16_t port;
        std::string reason;
    };
    std::vector<TRow> rows = {{"127.0.0.1", holder.Port(), "Address already in use"},
                              {"mail.example.org", 1110, "Not a numeric IP address: mail.example.org"}};
    if (::geteuid() != 0) rows.push_back({"127.0.0.1", 1, "Permission denied"});
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.address + ":" + std::to_string(row.port));
        std::vector<std::string> warnings;
        std::vector<std::string> statuses;
        TPopServer server([&](const std::string& line) { statuses.push_back(line); }, Access());
        server.OnWarning.Set([&](const std::string& text) { warnings.push_back(text); });
        server.SetBindAddress(row.address);
        server.SetPort(row.port);
        server.SetActive(true);
        EXPECT_FALSE(server.Active());
        EXPECT_TRUE(server.ActiveSetting());  // the wish is kept for the next start
        const std::string where = row.address + " port " + std::to_string(row.port);
        EXPECT_EQ(warnings, std::vector<std::string>{"Unable to bind " + row.address + " on port " +
                                                     std::to_string(row.port) + "\r\n\r\n" + row.reason});
        EXPECT_EQ(statuses, (std::vector<std::string>{"\tPOP3\t\tServer activated on " + where,
                                                      "\tPOP3\t\tServer error on " + where + " " + row.reason}));
    }
}

TEST_F(PopServerTest, HostileInputGetsSaneAnswers) {
    AddAccount("alice", "secret", Texts(2, 300));
    Start();
    auto client = Connect();
    const std::vector<std::string> inputs = {
        std::string("US\0ER alice", 11), "USER\talice", "\x01\x02\x03", "   ", "\r", "PASS",
        "USER alice alice alice", std::string("PASS sec\0ret", 12), "RETR 1 2 3", std::string(500, ' ') + "NOOP",
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE(::testing::PrintToString(input));
        const std::string reply = client->Command(input);
        EXPECT_TRUE(reply.starts_with("+OK") || reply.starts_with("-ERR")) << reply;
    }
    // Bare LF line ends are accepted, and several commands in one packet are all answered.
    client->Send("USER alice\nPASS secret\nSTAT\r\nNOOP\n");
    EXPECT_EQ(client->ReadLine(), "+OK Password required");
    EXPECT_EQ(client->ReadLine(), "+OK Login OK");
    EXPECT_THAT(client->ReadLine(), ::testing::StartsWith("+OK 2 "));
    EXPECT_EQ(client->ReadLine(), "+OK NOOP");
}
