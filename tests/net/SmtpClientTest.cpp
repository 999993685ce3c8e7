#include "net/SaslAuth.h"
#include "net/SmtpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "support/SmtpServer.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A misbehaving SMTP peer for the faults a real server does not produce: it accepts one
// connection on loopback and runs script on it (on a thread of its own).
class TFakePeer {
public:
    // host: the IPv4 address to listen on, in host order.
    explicit TFakePeer(std::function<void(TFakePeer&)> script, in_addr_t host = INADDR_LOOPBACK) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(host);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_listener, 1) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("fake peer cannot listen");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, script = std::move(script)] {
            pollfd fd{m_listener, POLLIN, 0};
            if (poll(&fd, 1, 10000) != 1) return;
            m_fd = accept(m_listener, nullptr, nullptr);
            if (m_fd < 0) return;
            script(*this);
            close(m_fd);
        });
    }
    ~TFakePeer() {
        Join();
        close(m_listener);
    }
    // Waits for the script to end (it ends at the latest 10 s after its last read).
    void Join() {
        shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
    }
    std::uint16_t Port() const { return m_port; }

    void Write(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    // The next line from the client without its CR LF; "" when it closed or 10 s passed.
    std::string ReadLine() {
        std::string line;
        char c = 0;
        for (;;) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 10000) != 1 || recv(m_fd, &c, 1, 0) != 1) return line;
            if (c == '\n') break;
            line += c;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m_received.push_back(line);
        return line;
    }
    // Waits until the client closes (or 10 s pass).
    void WaitForClose() {
        char buffer[256];
        for (;;) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 10000) != 1 || recv(m_fd, buffer, sizeof buffer, 0) <= 0) return;
        }
    }
    // The lines the script read; call after Join.
    const std::vector<std::string>& Received() const { return m_received; }

private:
    int m_listener = -1;
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::vector<std::string> m_received;
    std::thread m_thread;
};

TSmtpDelivery Delivery(std::uint16_t port) {
    TSmtpDelivery d;
    d.host = "127.0.0.1";
    d.port = port;
    d.heloName = "me@example.org";
    d.mailFrom = "me@example.org";
    d.recipients = {"first@example.net", "second@example.net"};
    d.data = "Subject: hi\r\n\r\nline one\r\n..\r\n...two dots\r\nlast\r\n.\r\n";
    return d;
}

TEST(SmtpClient, DeliversToARealServerWithAuthOnlyWhereAsked) {
    struct TRow {
        const char* name;
        bool offerAuth;
        std::string login;
        std::string ehloReply;
        std::vector<std::string> events;  // from the greeting to the data
        std::string loggedIn;
    };
    const std::vector<TRow> rows = {
        {"login offered and wanted (PLAIN chosen over LOGIN)", true, "user", "",
         {"EHLO me@example.org", "RSET", "AUTH PLAIN user secret ok", "MAIL me@example.org",
          "RCPT first@example.net", "RCPT second@example.net"},
         "user"},
        {"login wanted, not offered", false, "user", "",
         {"EHLO me@example.org", "RSET", "MAIL me@example.org", "RCPT first@example.net", "RCPT second@example.net"},
         ""},
        {"login offered, none wanted", true, "", "",
         {"EHLO me@example.org", "RSET", "MAIL me@example.org", "RCPT first@example.net", "RCPT second@example.net"},
         ""},
        {"EHLO refused: HELO, and no AUTH after it", true, "user", "502 5.5.1 Not here",
         {"EHLO me@example.org", "HELO me@example.org", "RSET", "MAIL me@example.org", "RCPT first@example.net",
          "RCPT second@example.net"},
         ""},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TSmtpServerSetup setup;
        if (row.offerAuth) setup.users = {{"user", "secret"}};
        setup.ehloReply = row.ehloReply;
        test::TSmtpServer server(setup);
        TSmtpDelivery d = Delivery(server.Port());
        d.loginName = row.login;
        d.password = "secret";
        TSmtpClient client;
        int accepted = 0;
        std::size_t eventsWhenAccepted = 0;
        ASSERT_NO_THROW(client.Deliver(d, [&] {
            ++accepted;
            eventsWhenAccepted = server.Events().size();
        }));
        EXPECT_EQ(accepted, 1);
        EXPECT_EQ(eventsWhenAccepted, row.events.size() + 1);  // the data taken, no QUIT yet

        ASSERT_TRUE(server.WaitForEvents(row.events.size() + 2, 5s));
        std::vector<std::string> events = server.Events();
        ASSERT_EQ(events.size(), row.events.size() + 2);
        EXPECT_THAT(events.back(), "QUIT");
        EXPECT_THAT(events[events.size() - 2], HasSubstr("DATA "));
        events.resize(row.events.size());
        EXPECT_EQ(events, row.events);

        const auto received = server.Deliveries();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].mailFrom, "me@example.org");
        EXPECT_THAT(received[0].rcptTos, ElementsAre("first@example.net", "second@example.net"));
        EXPECT_EQ(received[0].login, row.loggedIn);
        // The wire form's dots are the server's to take off; the terminator is not data.
        EXPECT_EQ(received[0].data, "Subject: hi\r\n\r\nline one\r\n.\r\n..two dots\r\nlast\r\n");
    }
}

TEST(SmtpClient, RefusalsCarryTheServersOwnWordsAndEndWithQuit) {
    struct TRow {
        const char* name;
        std::string password;
        test::TSmtpServerSetup setup;
        std::string reply;
    };
    const std::map<std::string, std::string> users = {{"user", "secret"}};
    std::vector<TRow> rows(5);
    rows[0] = {"wrong password", "wrong", {}, "535 5.7.8 Authentication credentials invalid"};
    rows[0].setup.users = users;
    rows[1] = {"sender refused", "secret", {}, "553 5.7.1 Sender refused"};
    rows[1].setup.mailReplies = {{"me@example.org", "553 5.7.1 Sender refused"}};
    rows[2] = {"second recipient refused", "secret", {}, "550 5.1.1 No such user"};
    rows[2].setup.rcptReplies = {{"second@example.net", "550 5.1.1 No such user"}};
    rows[3] = {"data refused for a while", "secret", {}, "451 4.3.0 Try again later"};
    rows[3].setup.dataReplies = {{"first@example.net", "451 4.3.0 Try again later"}};
    rows[4] = {"login demanded, none offered by us", "", {}, "530 5.7.0 Authentication required"};
    rows[4].setup.users = users;
    rows[4].setup.authRequired = true;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TSmtpServer server(row.setup);
        TSmtpDelivery d = Delivery(server.Port());
        if (!row.password.empty()) {
            d.loginName = "user";
            d.password = row.password;
        }
        TSmtpClient client;
        bool accepted = false;
        try {
            client.Deliver(d, [&] { accepted = true; });
            ADD_FAILURE() << "delivered";
        } catch (const TPeerRefused& e) {
            EXPECT_FALSE(accepted);
            EXPECT_EQ(std::string(e.what()), row.reply);
            EXPECT_EQ(e.Reply(), row.reply);
        }
        EXPECT_TRUE(server.Deliveries().empty());
        ASSERT_TRUE(server.WaitForEvents(1, 5s));
        // The session is ended politely; the server must not see a dropped connection.
        for (int i = 0; i < 100 && server.Events().back() != "QUIT"; ++i) std::this_thread::sleep_for(20ms);
        EXPECT_EQ(server.Events().back(), "QUIT");
    }
}

TEST(SmtpClient, ForwardingReply251AcceptsTheRecipient) {
    test::TSmtpServerSetup setup;
    setup.rcptReplies = {{"second@example.net", "251 2.1.5 User not local; will forward"}};
    test::TSmtpServer server(setup);
    TSmtpClient client;
    ASSERT_NO_THROW(client.Deliver(Delivery(server.Port())));
    ASSERT_EQ(server.Deliveries().size(), 1u);
    EXPECT_THAT(server.Deliveries()[0].rcptTos, ElementsAre("first@example.net", "second@example.net"));
}

TEST(SmtpClient, RefusedConnectionIsANetError) {
    TSmtpClient client;
    try {
        client.Deliver(Delivery(test::UnusedLoopbackPort()));
        ADD_FAILURE() << "delivered";
    } catch (const TNetError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Cannot connect to 127.0.0.1"));
    }
}

// What the client does when the peer misbehaves: always an error of the right kind, never a
// hang, and no message text sent to a peer that has not asked for it.
TEST(SmtpClient, MisbehavingPeersGiveSaneErrors) {
    enum class TKind { Refused, Net, Protocol };
    struct TRow {
        const char* name;
        std::function<void(TFakePeer&)> script;
        TKind kind;
        std::string text;  // part of what()
    };
    const std::string longLine(TSmtpClient::kMaxReplyLine + 10, 'x');
    const std::vector<TRow> rows = {
        {"greeting refuses", [](TFakePeer& p) { p.Write("554 5.3.2 No service today\r\n"); p.WaitForClose(); },
         TKind::Refused, "554 5.3.2 No service today"},
        {"multi-line refusal", [](TFakePeer& p) { p.Write("554-first\r\n554 second\r\n"); p.WaitForClose(); },
         TKind::Refused, "554 first 554 second"},
        {"closed before the greeting", [](TFakePeer&) {}, TKind::Net, "closed"},
        {"closed in the middle of the greeting", [](TFakePeer& p) { p.Write("220 half"); }, TKind::Net,
         "in the middle of a line"},
        {"silent", [](TFakePeer& p) { p.WaitForClose(); }, TKind::Net, "Timed out"},
        {"not SMTP", [](TFakePeer& p) { p.Write("+OK POP3 ready\r\n"); p.WaitForClose(); }, TKind::Protocol,
         "+OK POP3 ready"},
        {"over-long reply line", [&](TFakePeer& p) { p.Write("220 " + longLine + "\r\n"); p.WaitForClose(); },
         TKind::Protocol, "longer than"},
        {"endless EHLO reply",
         [](TFakePeer& p) {
             p.Write("220 hi\r\n");
             p.ReadLine();
             for (std::size_t i = 0; i <= TSmtpClient::kMaxReplyLines; ++i) p.Write("250-more\r\n");
             p.WaitForClose();
         },
         TKind::Protocol, "did not end"},
        {"RCPT answered with 354",
         [](TFakePeer& p) {
             p.Write("220 hi\r\n");
             for (const char* reply : {"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go on\r\n"}) {
                 p.ReadLine();
                 p.Write(reply);
             }
             p.WaitForClose();
         },
         TKind::Refused, "354 go on"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TFakePeer peer(row.script);
        TSmtpClient client;
        client.SetReplyTimeout(300ms);
        const auto started = std::chrono::steady_clock::now();
        try {
            client.Deliver(Delivery(peer.Port()));
            ADD_FAILURE() << "delivered";
        } catch (const TPeerRefused& e) {
            EXPECT_EQ(row.kind, TKind::Refused) << e.what();
            EXPECT_THAT(e.what(), HasSubstr(row.text));
        } catch (const TProtocolError& e) {
            EXPECT_EQ(row.kind, TKind::Protocol) << e.what();
            EXPECT_THAT(e.what(), HasSubstr(row.text));
        } catch (const TNetError& e) {
            EXPECT_EQ(row.kind, TKind::Net) << e.what();
            EXPECT_THAT(e.what(), HasSubstr(row.text));
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
        client.Close();
    }
}

TEST(SmtpClient, ReadsRepliesSplitAcrossWritesAndTheOldAuthForm) {
    TFakePeer peer([](TFakePeer& p) {
        p.Write("22");
        std::this_thread::sleep_for(30ms);
        p.Write("0 hi\r\n");
        p.ReadLine();  // EHLO
        p.Write("250-fake.test\r\n250-SIZE 1000");
        std::this_thread::sleep_for(30ms);
        p.Write("0\r\n250-AUTH=LOGIN\r");
        std::this_thread::sleep_for(30ms);
        p.Write("\n250 HELP\r\n");
        for (const char* reply : {"250 reset\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 ok\r\n",
                                  "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
            p.ReadLine();
            p.Write(reply);
        }
        for (int i = 0; i < 20 && p.ReadLine() != "."; ++i) {
        }
        p.Write("250 taken\r\n");
        p.ReadLine();  // QUIT
        p.Write("221 bye\r\n");
    });
    TSmtpDelivery d = Delivery(peer.Port());
    d.loginName = "user";
    d.password = "pass word";
    TSmtpClient client;
    ASSERT_NO_THROW(client.Deliver(d));
    peer.Join();
    const std::vector<std::string>& lines = peer.Received();
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 9),
              (std::vector<std::string>{"EHLO me@example.org", "RSET", "AUTH LOGIN", "dXNlcg==", "cGFzcyB3b3Jk",
                                        "MAIL FROM:<me@example.org>", "RCPT TO:<first@example.net>",
                                        "RCPT TO:<second@example.net>", "DATA"}));
    EXPECT_EQ(lines.back(), "QUIT");
}

TEST(SmtpClient, DataTakenThenNoQuitReplyStillDelivers) {
    TFakePeer peer([](TFakePeer& p) {
        p.Write("220 hi\r\n");
        for (const char* reply : {"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
            p.ReadLine();
            p.Write(reply);
        }
        for (int i = 0; i < 20 && p.ReadLine() != "."; ++i) {
        }
        p.Write("250 taken\r\n");  // and gone: no reply to QUIT
    });
    TSmtpClient client;
    client.SetReplyTimeout(300ms);
    EXPECT_NO_THROW(client.Deliver(Delivery(peer.Port())));
}

TEST(SmtpClient, ShutdownFromAnotherThreadEndsAWaitAtOnce) {
    TFakePeer peer([](TFakePeer& p) { p.WaitForClose(); });
    TSmtpClient client;  // the reply time-out stays a minute
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        client.Shutdown();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Deliver(Delivery(peer.Port())), TNetError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    stopper.join();
}

TEST(SmtpClient, DataWithoutItsFinalLineIsNeverSent) {
    test::TSmtpServer server;
    TSmtpDelivery d = Delivery(server.Port());
    d.data = "Subject: cut\r\n\r\nno terminator\r\n";
    TSmtpClient client;
    EXPECT_THROW(client.Deliver(d), TVorlaError);
    EXPECT_TRUE(server.Deliveries().empty());
}

// In a network namespace of its own (made by the calling process, which must be a child that
// ends right after): lo up, and 10.9.9.9 on it, an address outside the loopback range that
// no packet can leave the namespace for. False when that is not allowed here.
bool OwnNetworkWithAnOtherAddress() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    ifreq alias{};
    std::strcpy(alias.ifr_name, "lo:1");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x0a090909);
    std::memcpy(&alias.ifr_addr, &address, sizeof address);
    ok = ok && ioctl(fd, SIOCSIFADDR, &alias) == 0;
    close(fd);
    return ok;
}

TEST(SmtpClient, AnAccessTokenGoesInPlainTextToNoServerOffLoopback) {
    constexpr int kNoNamespace = 77;
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!OwnNetworkWithAnOtherAddress()) _exit(kNoNamespace);
        int failures = 0;
        for (const TSmtpAuth auth : {TSmtpAuth::XOAuth2, TSmtpAuth::OAuthBearer}) {
            TFakePeer peer(
                [](TFakePeer& p) {
                    p.Write("220 far.test\r\n");
                    p.ReadLine();
                    p.Write("250-far.test\r\n250 AUTH XOAUTH2 OAUTHBEARER\r\n");
                    p.ReadLine();
                    p.Write("250 ok\r\n");
                    while (!p.ReadLine().empty()) p.Write("235 ok\r\n");
                },
                0x0a090909);
            TSmtpDelivery delivery = Delivery(peer.Port());
            delivery.host = "10.9.9.9";
            delivery.loginName = "user";
            delivery.password = "tok-en";
            delivery.auth = auth;
            std::string error;
            try {
                TSmtpClient client;
                client.SetConnectTimeout(5s);
                client.SetReplyTimeout(5s);
                client.Deliver(delivery);
            } catch (const TVorlaError& e) {
                error = e.what();
            }
            peer.Join();
            const std::string expected = std::string(SaslMechanism(auth)) +
                                         " login refused: the connection to 10.9.9.9 is not encrypted, and an "
                                         "access token is sent only over TLS (choose STARTTLS or TLS)";
            const std::vector<std::string> lines = {"EHLO me@example.org", "RSET", "QUIT"};
            if (error != expected || peer.Received() != lines) {
                std::fprintf(stderr, "%s: error \"%s\", the peer read %zu lines\n", SaslMechanism(auth), error.c_str(),
                             peer.Received().size());
                ++failures;
            }
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "no network namespace of our own here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failures in the namespace (see the messages above)";
}

TEST(SmtpClient, Base64OfLoginTexts) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {std::string("\xff\x00\xfe", 3), "/wD+"}};
    for (const auto& [plain, encoded] : rows) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(EncodeBase64Line(plain), encoded);
    }
}

}  // namespace
}  // namespace vorla
