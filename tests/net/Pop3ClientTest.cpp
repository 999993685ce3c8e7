#include "net/Pop3Client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/MailMessage.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"
#include "support/ScriptedPeer.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::PeerClose;
using test::PeerPause;
using test::PeerReadLine;
using test::PeerSend;
using test::TDovecotServer;
using test::TPeerStep;
using test::TScriptedPeer;

// Short waits for the fakes; the defaults are for real servers.
TPop3Limits QuickLimits() {
    TPop3Limits limits;
    limits.ConnectTimeout = 300ms;
    limits.ReplyTimeout = 300ms;
    return limits;
}

std::string WithCrLf(const std::string& lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

template <class TError, class F>
std::string ErrorOf(F&& call) {
    try {
        call();
    } catch (const TError& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception: " << e.what();
        return "";
    }
    ADD_FAILURE() << "no exception";
    return "";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------- against a real Dovecot

const std::string kPlainMessage =
    "From: Ann Example <ann@example.org>\n"
    "To: alice@example.net\n"
    "Subject: first\n"
    "Date: Mon, 4 Mar 2024 10:00:00 +0000\n"
    "\n"
    "Hello.\n";

// Lines that the server has to stuff, a lone "." that must not end the message early, an
// empty line before it and trailing blanks.
const std::string kDottedMessage =
    "From: bob@example.org\n"
    "Subject: dots\n"
    ".X-Dotted-Header: odd but legal\n"
    "\n"
    ".\n"
    "..two\n"
    ". space after\n"
    "\n"
    "last line   \n";

class DovecotPop3 : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_server = std::make_unique<TDovecotServer>(
            std::vector<test::TPopUser>{{"alice", "alicepw"}, {"bob", "bobpw"}});
    }

    std::unique_ptr<TPop3Client> Client(const std::string& user, const std::string& password) {
        auto client = std::make_unique<TPop3Client>();
        client->SetHost(TDovecotServer::kHost);
        client->SetPort(m_server->Port());
        client->SetLogin(user);
        client->SetPassword(password);
        return client;
    }

    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(DovecotPop3, ReadsCountSizesHeadersAndMessagesByteForByte) {
    m_server->AddMessage("alice", kPlainMessage);
    m_server->AddMessage("alice", kDottedMessage);
    // A line far longer than any reply line: message lines are bounded only by the message.
    const std::string longLine(1500000, 'L');
    m_server->AddMessage("alice", "Subject: long\n\n" + longLine + "\n");
    std::vector<std::string> transcript;
    auto client = Client("alice", "alicepw");
    client->SetTranscript([&](std::string_view line) {
        if (line.size() < 200) transcript.emplace_back(line);
    });
    client->Connect();
    ASSERT_TRUE(client->Connected());
    ASSERT_EQ(client->MessageCount(), 3);

    const std::vector<std::string> files = m_server->MessageFiles("alice");
    ASSERT_EQ(files.size(), 3u);
    const std::string headers[] = {"From: Ann Example <ann@example.org>\r\nTo: alice@example.net\r\n"
                                   "Subject: first\r\nDate: Mon, 4 Mar 2024 10:00:00 +0000\r\n\r\n",
                                   "From: bob@example.org\r\nSubject: dots\r\n.X-Dotted-Header: odd but legal\r\n\r\n",
                                   "Subject: long\r\n\r\n"};
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("message " + std::to_string(n));
        const std::string wire = WithCrLf(test::ReadFile(files[n - 1]));
        EXPECT_EQ(client->RetrieveHeaderText(n), headers[n - 1]);
        EXPECT_EQ(client->MessageSize(n), static_cast<std::int64_t>(wire.size()));
        const std::string text = client->RetrieveText(n);
        EXPECT_EQ(text.size(), wire.size());
        EXPECT_TRUE(text == wire);  // not EXPECT_EQ: the third is 1.5 MB
    }

    // The same sent all at once, and the sizes from one listing.
    ASSERT_TRUE(client->OffersPipelining());
    const std::optional<std::vector<std::int64_t>> sizes = client->ListAll();
    ASSERT_TRUE(sizes);
    ASSERT_EQ(sizes->size(), 3u);
    std::vector<TPop3Client::TTicket> tickets;
    for (int n = 1; n <= 3; ++n) {
        tickets.push_back(client->QueueHeader(n));
        tickets.push_back(client->QueueRetrieve(n));
    }
    client->SendQueued();
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("pipelined message " + std::to_string(n));
        const std::string wire = WithCrLf(test::ReadFile(files[n - 1]));
        const TPop3Client::TPipelined header = client->Take(tickets[2 * n - 2]);
        EXPECT_EQ(header.text, headers[n - 1]);
        EXPECT_EQ(header.size, static_cast<std::int64_t>(wire.size()));
        EXPECT_EQ((*sizes)[n - 1], static_cast<std::int64_t>(wire.size()));
        EXPECT_TRUE(client->Take(tickets[2 * n - 1]).text == wire);
    }
    EXPECT_EQ(client->Pending(), 0u);

    TMailMessage message;
    message.LoadMode = TLoadMode::Decoded;
    client->RetrieveHeader(1, message);
    EXPECT_EQ(message.LoadMode, TLoadMode::Raw);
    EXPECT_EQ(message.Subject, "first");
    EXPECT_EQ(message.From.Address, "ann@example.org");
    EXPECT_TRUE(message.Body.empty());
    client->Retrieve(2, message);
    EXPECT_EQ(message.Subject, "dots");
    EXPECT_EQ(message.Body, (std::vector<std::string>{".", "..two", ". space after", "", "last line   "}));

    client->Disconnect();
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(m_server->MessageFiles("alice").size(), 3u);
    EXPECT_NE(std::find(transcript.begin(), transcript.end(), "-> PASS ****"), transcript.end());
    EXPECT_NE(std::find(transcript.begin(), transcript.end(), "<- +OK Dovecot (Debian) ready."), transcript.end());
    for (const std::string& line : transcript) EXPECT_FALSE(Contains(line, "alicepw")) << line;
}

TEST_F(DovecotPop3, DeletionsTakeEffectAtQuitAndOnlyThen) {
    const std::string texts[] = {"Subject: one\n\n1\n", "Subject: two\n\n2\n", "Subject: three\n\n3\n"};
    for (const std::string& text : texts) m_server->AddMessage("alice", text);

    // A client that goes without Disconnect (an error escaped the fetch) sends no QUIT, and a
    // dropped connection leaves everything on the server.
    {
        auto client = Client("alice", "alicepw");
        client->Connect();
        ASSERT_EQ(client->MessageCount(), 3);
        client->Delete(1);
        client->Delete(3);
    }
    // Dovecot logs the end of a mail session with its counters ("del=..").
    ASSERT_TRUE(m_server->WaitForLog("del=", 1, 5000)) << m_server->LogText();
    EXPECT_EQ(m_server->MessageFiles("alice").size(), 3u);

    auto client = Client("alice", "alicepw");
    client->Connect();
    ASSERT_EQ(client->MessageCount(), 3);
    client->Delete(2);
    EXPECT_EQ(m_server->MessageFiles("alice").size(), 3u);
    client->Disconnect();
    const std::vector<std::string> left = m_server->MessageFiles("alice");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(test::ReadFile(left[0]), texts[0]);
    EXPECT_EQ(test::ReadFile(left[1]), texts[2]);

    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    EXPECT_EQ(client->RetrieveHeaderText(2), "Subject: three\r\n\r\n");
    client->Disconnect();
}

TEST_F(DovecotPop3, BadPasswordIsRefusedThenQuitAndClosed) {
    m_server->AddMessage("bob", kPlainMessage);
    std::vector<std::string> transcript;
    auto client = Client("bob", "wrong");
    client->SetTranscript([&](std::string_view line) { transcript.emplace_back(line); });
    try {
        client->Connect();
        ADD_FAILURE() << "login with a bad password succeeded";
    } catch (const TPeerRefused& e) {
        EXPECT_EQ(std::string(e.what()), "PASS refused: " + e.Reply());
        EXPECT_TRUE(Contains(e.Reply(), "-ERR")) << e.Reply();
    }
    EXPECT_FALSE(client->Connected());
    ASSERT_GE(transcript.size(), 2u);
    EXPECT_EQ(transcript[transcript.size() - 2], "-> QUIT");
    EXPECT_EQ(transcript.back().rfind("<- +OK", 0), 0u) << transcript.back();
    // Dovecot tells a client that said QUIT from one that just went away.
    EXPECT_TRUE(m_server->WaitForLog("Aborted login by logging out", 1, 5000)) << m_server->LogText();
    // No second login here: Dovecot makes every login after a failed one wait seconds.
}

TEST_F(DovecotPop3, RefusedCommandsLeaveTheSessionUsable) {
    m_server->AddMessage("alice", kPlainMessage);
    auto client = Client("alice", "alicepw");
    client->Connect();
    // Before STAT the client cannot know the count, so the server answers for message 9.
    const std::string retr = ErrorOf<TPeerRefused>([&] { client->RetrieveText(9); });
    EXPECT_TRUE(Contains(retr, "RETR 9 refused: -ERR")) << retr;
    EXPECT_TRUE(Contains(ErrorOf<TPeerRefused>([&] { client->RetrieveHeaderText(9); }), "TOP 9 0 refused: -ERR"));
    EXPECT_TRUE(Contains(ErrorOf<TPeerRefused>([&] { client->MessageSize(9); }), "LIST 9 refused: -ERR"));
    EXPECT_TRUE(Contains(ErrorOf<TPeerRefused>([&] { client->Delete(9); }), "DELE 9 refused: -ERR"));
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->MessageCount(), 1);
    EXPECT_EQ(client->RetrieveText(1), WithCrLf(kPlainMessage));
    // Now it knows: no exchange for a message that is not there.
    EXPECT_TRUE(Contains(ErrorOf<TVorlaError>([&] { client->RetrieveText(2); }), "no message 2"));
    client->Disconnect();

    auto empty = Client("bob", "bobpw");
    empty->Connect();
    EXPECT_EQ(empty->MessageCount(), 0);
    empty->Disconnect();
}

// ---------------------------------------------------------------- against scripted fakes

std::vector<TPeerStep> LoginSteps(const std::string& greeting = "+OK fake ready\r\n") {
    return {PeerSend(greeting), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK logged in\r\n")};
}

std::vector<TPeerStep> Then(std::vector<TPeerStep> steps, const std::vector<TPeerStep>& more) {
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

std::unique_ptr<TPop3Client> FakeClient(const TScriptedPeer& peer, TPop3Limits limits = QuickLimits()) {
    auto client = std::make_unique<TPop3Client>(limits);
    client->SetHost("127.0.0.1");
    client->SetPort(peer.Port());
    client->SetLogin("bob");
    client->SetPassword("pw");
    return client;
}

TEST(Pop3Client, ConnectFailuresAreNetErrors) {
    {
        TPop3Client client(QuickLimits());
        client.SetHost("127.0.0.1");
        const std::uint16_t port = test::FreeLoopbackPort();
        client.SetPort(port);
        client.SetLogin("bob");
        client.SetPassword("pw");
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.Connect(); }),
                  "Cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
        EXPECT_FALSE(client.Connected());
    }
    {
        // A listener whose queue is full drops further connection requests unanswered.
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 0), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        const std::uint16_t port = ntohs(address.sin_port);
        TTcpSocket filler;
        filler.Connect("127.0.0.1", port, 1s);
        TPop3Client client(QuickLimits());
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        EXPECT_EQ(ErrorOf<TNetError>([&] { client.Connect(); }),
                  "Connecting to 127.0.0.1 port " + std::to_string(port) + " timed out after 300 ms");
        EXPECT_FALSE(client.Connected());
        close(listener);
    }
}

TEST(Pop3Client, LoginFaultsCloseTheConnectionAndQuitWhenItStillStands) {
    enum class TKind { Net, Protocol, Refused, None };
    struct TRow {
        const char* name;
        std::vector<TPeerStep> script;
        TKind kind;
        std::string message;              // expected error text (None: nothing)
        std::vector<std::string> received;  // what the server got
    } rows[] = {
        {"close before the greeting", {PeerClose()}, TKind::Net,
         "Connection closed by the peer waiting for the greeting", {}},
        {"silent peer", {}, TKind::Net, "Timed out after 300 ms waiting for the greeting", {}},
        {"greeting cut off", {PeerSend("+OK hal"), PeerClose()}, TKind::Net,
         "Connection closed by the peer in the middle of a line waiting for the greeting", {}},
        {"not a POP3 server", {PeerSend("SSH-2.0-OpenSSH_9.2\r\n")}, TKind::Protocol,
         "Unexpected greeting: \"SSH-2.0-OpenSSH_9.2\"", {}},
        {"greeting refused", {PeerSend("-ERR too busy\r\n"), PeerReadLine(), PeerSend("+OK bye\r\n")},
         TKind::Refused, "The server refused the session: -ERR too busy", {"QUIT"}},
        {"user refused",
         {PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("-ERR no such user\r\n"), PeerReadLine(), PeerSend("+OK\r\n")},
         TKind::Refused, "USER bob refused: -ERR no such user", {"USER bob", "QUIT"}},
        {"silent after PASS", {PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine()},
         TKind::Net, "Timed out after 300 ms waiting for the reply to PASS", {"USER bob", "PASS pw"}},
        {"garbage to PASS",
         {PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("\x01what\x7f\r\n")},
         TKind::Protocol, "Unexpected reply to PASS: \"?what?\"", {"USER bob", "PASS pw"}},
        {"lower-case success", {PeerSend("+ok hi\r\n"), PeerReadLine(), PeerSend("+ok\r\n"), PeerReadLine(),
                                PeerSend("+oK\r\n")},
         TKind::None, "", {"USER bob", "PASS pw"}},
    };
    for (TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TScriptedPeer peer(std::move(row.script));
        auto client = FakeClient(peer);
        switch (row.kind) {
        case TKind::Net: EXPECT_EQ(ErrorOf<TNetError>([&] { client->Connect(); }), row.message); break;
        case TKind::Protocol: EXPECT_EQ(ErrorOf<TProtocolError>([&] { client->Connect(); }), row.message); break;
        case TKind::Refused: EXPECT_EQ(ErrorOf<TPeerRefused>([&] { client->Connect(); }), row.message); break;
        case TKind::None: EXPECT_NO_THROW(client->Connect()); break;
        }
        EXPECT_EQ(client->Connected(), row.kind == TKind::None);
        client.reset();
        EXPECT_EQ(peer.Received(), row.received);
    }
}

TEST(Pop3Client, OneClientConnectsAgainAfterAFailedOrFinishedSession) {
    TScriptedPeer refusing({PeerSend("+OK\r\n"), PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(),
                            PeerSend("-ERR [AUTH] Authentication failed.\r\n"), PeerReadLine(), PeerSend("+OK\r\n")});
    TScriptedPeer first(Then(LoginSteps(), {PeerReadLine(), PeerSend("+OK 1 10\r\n")}));
    TScriptedPeer second(Then(LoginSteps(), {PeerReadLine(), PeerSend("+OK 5 100\r\n"), PeerReadLine(),
                                             PeerSend("+OK\r\nSubject: 3\r\n.\r\n")}));
    auto client = FakeClient(refusing);
    EXPECT_THROW(client->Connect(), TPeerRefused);
    client->SetPort(first.Port());
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 1);
    // Connecting anew drops the old session without QUIT and forgets its count.
    client->SetPort(second.Port());
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 5);
    EXPECT_EQ(client->RetrieveText(3), "Subject: 3\r\n");
    client.reset();
    EXPECT_EQ(refusing.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "QUIT"}));
    EXPECT_EQ(first.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "STAT"}));
    EXPECT_EQ(second.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "STAT", "RETR 3"}));
}

TEST(Pop3Client, LineBreaksInTheLoginNeverReachTheServer) {
    TScriptedPeer peer(LoginSteps());
    auto client = FakeClient(peer);
    client->SetLogin("bob\r\nDELE 1");
    EXPECT_THROW(client->Connect(), TVorlaError);
    client->SetLogin("bob");
    client->SetPassword(std::string("pw\0x", 4));
    EXPECT_THROW(client->Connect(), TVorlaError);
    EXPECT_FALSE(client->Connected());
}

TEST(Pop3Client, MessageWholeWhereverTheReplyIsSplit) {
    const std::string reply = "+OK 41 octets\r\nSubject: x\r\n\r\n..dot\r\nbare\nend\r\n.\r\n";
    const std::string message = "Subject: x\r\n\r\n.dot\r\nbare\r\nend\r\n";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        SCOPED_TRACE("split at byte " + std::to_string(cut));
        TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine(), PeerSend(reply.substr(0, cut)), PeerPause(2ms),
                                               PeerSend(reply.substr(cut)), PeerReadLine(), PeerSend("+OK bye\r\n")}));
        auto client = FakeClient(peer);
        client->Connect();
        EXPECT_EQ(client->RetrieveText(1), message);
        client->Disconnect();
        EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "RETR 1", "QUIT"}));
    }
}

TEST(Pop3Client, LostConnectionFailsEveryLaterCommandAtOnce) {
    TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine(), PeerSend("+OK 2 500\r\n"), PeerReadLine(),
                                           PeerSend("+OK 300 octets\r\nSubject: half\r\n\r\nbody"), PeerClose()}));
    auto client = FakeClient(peer);
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    EXPECT_EQ(ErrorOf<TNetError>([&] { client->RetrieveText(1); }),
              "Connection closed by the peer in the middle of a line during the reply to RETR 1");
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(ErrorOf<TNetError>([&] { client->Delete(2); }), "Not connected to the server (DELE 2)");
    EXPECT_NO_THROW(client->Disconnect());
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "STAT", "RETR 1"}));
}

TEST(Pop3Client, OverlongReplyLineFailsWithoutHoldingIt) {
    // Four times the line limit with no line end; the client stops reading at the limit.
    TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine(), PeerSend("+OK " + std::string(4u << 20, '7'))}));
    auto client = FakeClient(peer);
    client->Connect();
    EXPECT_EQ(ErrorOf<TProtocolError>([&] { client->MessageCount(); }),
              "Line longer than " + std::to_string(TLineReader::kMaxLine) + " bytes waiting for the reply to STAT");
    EXPECT_FALSE(client->Connected());
}

TEST(Pop3Client, MessageOverTheLimitFailsAloneAndTheSessionGoesOn) {
    TPop3Limits limits = QuickLimits();
    limits.MaxMessage = 1000;
    const std::string fits = "Subject: fits\r\n\r\n" + std::string(1000 - 19, 'f') + "\r\n";  // exactly 1000
    ASSERT_EQ(fits.size(), 1000u);
    std::string big = "Subject: big\r\n\r\n";
    for (int i = 0; i < 50; ++i) big += std::string(78, 'b') + "\r\n";
    TScriptedPeer peer(Then(LoginSteps(),
                            {PeerReadLine(), PeerSend("+OK 3 9000\r\n"),                       // STAT
                             PeerReadLine(), PeerSend("+OK\r\n" + big + ".\r\n"),              // RETR 1
                             PeerReadLine(), PeerSend("+OK\r\n" + fits + ".\r\n"),             // RETR 2
                             PeerReadLine(), PeerSend("+OK\r\n"),                              // DELE 2
                             PeerReadLine(), PeerSend("+OK\r\n" + std::string(9000, 'e'))}));  // RETR 3
    auto client = FakeClient(peer, limits);
    client->Connect();
    ASSERT_EQ(client->MessageCount(), 3);
    EXPECT_EQ(ErrorOf<TProtocolError>([&] { client->RetrieveText(1); }),
              "RETR 1: the message is larger than the limit of 1000 bytes");
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->RetrieveText(2), fits);
    client->Delete(2);
    // A reply that never ends is given up after four times the limit more.
    EXPECT_EQ(ErrorOf<TProtocolError>([&] { client->RetrieveText(3); }),
              "Listing did not end within 5000 bytes in the reply to RETR 3");
    EXPECT_FALSE(client->Connected());
    client.reset();
    EXPECT_EQ(peer.Received(),
              (std::vector<std::string>{"USER bob", "PASS pw", "STAT", "RETR 1", "RETR 2", "DELE 2", "RETR 3"}));
}

TEST(Pop3Client, CountAndSizeReplies) {
    enum class TOp { Count, Size };
    enum class TKind { Value, Protocol, Refused };
    struct TRow {
        TOp op;
        std::string reply;
        TKind kind;
        std::int64_t value;
    } rows[] = {
        {TOp::Count, "+OK 5 1234", TKind::Value, 5},
        {TOp::Count, "+OK", TKind::Value, 0},
        {TOp::Count, "+OK 0 0", TKind::Value, 0},
        {TOp::Count, "+ok 7", TKind::Value, 7},
        {TOp::Count, "+OK  12 99", TKind::Value, 12},
        {TOp::Count, "+OK abc", TKind::Protocol, 0},
        {TOp::Count, "+OK -3 0", TKind::Protocol, 0},
        {TOp::Count, "+OK 3x 0", TKind::Protocol, 0},
        {TOp::Count, "+OK 99999999999 0", TKind::Protocol, 0},
        {TOp::Count, "hello", TKind::Protocol, 0},
        {TOp::Count, "-ERR mailbox locked", TKind::Refused, 0},
        {TOp::Size, "+OK 1 886", TKind::Value, 886},
        {TOp::Size, "+OK 1 886 ", TKind::Value, 886},
        {TOp::Size, "+OK 1 5000000000", TKind::Value, 5000000000},
        {TOp::Size, "+OK 1", TKind::Value, -1},
        {TOp::Size, "+OK", TKind::Value, -1},
        {TOp::Size, "+OK 1 abc", TKind::Value, -1},
        {TOp::Size, "+OK 1 -5", TKind::Value, -1},
        {TOp::Size, "+OK 1 12 octets", TKind::Value, -1},
        {TOp::Size, "+OK 1 99999999999999999999", TKind::Value, -1},
        {TOp::Size, "-ERR no such message", TKind::Refused, 0},
        {TOp::Size, "OK 1 5", TKind::Protocol, 0},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.reply);
        TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine(), PeerSend(row.reply + "\r\n")}));
        auto client = FakeClient(peer);
        client->Connect();
        const auto call = [&]() -> std::int64_t {
            return row.op == TOp::Count ? client->MessageCount() : client->MessageSize(1);
        };
        if (row.kind == TKind::Value) {
            EXPECT_EQ(call(), row.value);
        } else if (row.kind == TKind::Refused) {
            EXPECT_EQ(ErrorOf<TPeerRefused>(call), (row.op == TOp::Count ? "STAT" : "LIST 1") +
                                                       std::string(" refused: ") + row.reply);
        } else {
            EXPECT_EQ(ErrorOf<TProtocolError>(call), (row.op == TOp::Count ? "Unexpected reply to STAT: \""
                                                                            : "Unexpected reply to LIST 1: \"") +
                                                         row.reply + "\"");
        }
        EXPECT_EQ(client->Connected(), row.kind != TKind::Protocol);
    }
}

TEST(Pop3Client, ShutdownFromAnotherThreadWakesAWaitingCommand) {
    TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine()}));  // then silent
    TPop3Limits limits;  // the real reply time-out: only the wake-up ends the wait early
    auto client = FakeClient(peer, limits);
    client->Connect();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(100ms);
        client->Shutdown();
    });
    EXPECT_EQ(ErrorOf<TNetError>([&] { client->MessageCount(); }), "Connection stopped waiting for the reply to STAT");
    stopper.join();
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(ErrorOf<TNetError>([&] { client->Connect(); }), "Connection stopped");
}

TEST(Pop3Client, RefusedQuitIsReportedAndStillCloses) {
    TScriptedPeer peer(Then(LoginSteps(), {PeerReadLine(), PeerSend("+OK\r\n"), PeerReadLine(),
                                           PeerSend("-ERR could not remove messages\r\n")}));
    auto client = FakeClient(peer);
    client->Connect();
    client->Delete(1);
    EXPECT_EQ(ErrorOf<TPeerRefused>([&] { client->Disconnect(); }), "QUIT refused: -ERR could not remove messages");
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "DELE 1", "QUIT"}));
}

}  // namespace
}  // namespace vorla
