// The uplink client's SASL logins against a real Dovecot: AUTH PLAIN against its password
// file, XOAUTH2 and OAUTHBEARER against its OAuth 2.0 password database, which asks a token
// introspection endpoint on loopback whether a token is active. What goes over the wire is
// recorded by a relay in between.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/Pop3Client.h"
#include "net/SaslAuth.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"
#include "support/OAuthServer.h"
#include "support/RecordingProxy.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using test::TDovecotServer;
using test::TRecordingProxy;
using test::TTestCertificates;

constexpr const char* kPassword = "s3cret-Pa55";
constexpr const char* kGoodToken = "ya29.good-token-for-alice";
constexpr const char* kExpiredToken = "ya29.expired-token-of-alice";
// Too long for the AUTH command line with it: it goes after the server's empty challenge.
const std::string kLongToken = "ya29.long-" + std::string(300, 'x');

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string SkipReason() {
    std::string why = TDovecotServer::Unavailable();
    if (why.empty()) why = TTestCertificates::Unavailable();
    return why;
}

// Dovecot slows down every failed login from one address more than the one before; each
// case that fails a login goes through a relay of its own address.
std::string SourceAddress() {
    static int next = 10;
    return "127.0.0." + std::to_string(next++);
}

class Pop3Auth : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!SkipReason().empty()) return;
        s_certificates = std::make_unique<TTestCertificates>();
        const auto good = s_certificates->Issue("localhost", {"localhost", "127.0.0.1"});
        s_tokens = std::make_unique<test::TIntrospectionServer>(std::vector<test::TAccessToken>{
            {kGoodToken, "alice", true}, {kExpiredToken, "alice", false}, {kLongToken, "alice", true}});
        s_server = std::make_unique<TDovecotServer>(std::vector<test::TPopUser>{{"alice", kPassword}},
                                                    test::TDovecotTls{good.certFile, good.keyFile}, s_tokens->Url());
        s_server->AddMessage("alice", "From: ann@example.org\nSubject: first\n\nHello.\n");
        s_server->AddMessage("alice", "Subject: second\n\nAgain.\n");
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_tokens.reset();
        s_certificates.reset();
    }
    void SetUp() override {
        const std::string why = SkipReason();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    // A client for the relay in front of the port that mode needs.
    static std::unique_ptr<TPop3Client> Client(const TRecordingProxy& relay, TTlsMode mode, TPopAuth auth,
                                               const std::string& secret) {
        auto client = std::make_unique<TPop3Client>();
        client->SetHost(mode == TTlsMode::None ? "127.0.0.1" : "localhost");
        client->SetPort(relay.Port());
        client->SetLogin("alice");
        client->SetPassword(secret);
        client->SetAuth(auth);
        client->SetTls(mode, {true, s_certificates->CaFile()});
        return client;
    }
    static std::uint16_t PortFor(TTlsMode mode) {
        return mode == TTlsMode::Implicit ? s_server->TlsPort() : s_server->Port();
    }
    // Every form in which the secret could go over the wire.
    static std::vector<std::string> Secrets(const std::string& secret, std::uint16_t port) {
        return {secret, EncodeBase64Line(XOAuth2Response("alice", secret)),
                EncodeBase64Line(OAuthBearerResponse("alice", "localhost", port, secret)),
                EncodeBase64Line(PlainResponse("alice", secret))};
    }

    static std::unique_ptr<TTestCertificates> s_certificates;
    static std::unique_ptr<test::TIntrospectionServer> s_tokens;
    static std::unique_ptr<TDovecotServer> s_server;
};

std::unique_ptr<TTestCertificates> Pop3Auth::s_certificates;
std::unique_ptr<test::TIntrospectionServer> Pop3Auth::s_tokens;
std::unique_ptr<TDovecotServer> Pop3Auth::s_server;

TEST_F(Pop3Auth, AGoodTokenOrPasswordFetchesOverTlsAndStlsAndNeverShowsOnTheWire) {
    struct TCase {
        TPopAuth auth;
        TTlsMode mode;
        std::string secret;
    };
    const TCase cases[] = {
        {TPopAuth::XOAuth2, TTlsMode::StartTls, kGoodToken},
        {TPopAuth::XOAuth2, TTlsMode::Implicit, kGoodToken},
        {TPopAuth::OAuthBearer, TTlsMode::StartTls, kGoodToken},
        {TPopAuth::OAuthBearer, TTlsMode::Implicit, kGoodToken},
        {TPopAuth::XOAuth2, TTlsMode::Implicit, kLongToken},
        {TPopAuth::OAuthBearer, TTlsMode::StartTls, kLongToken},
        {TPopAuth::Plain, TTlsMode::StartTls, kPassword},
        {TPopAuth::Plain, TTlsMode::Implicit, kPassword},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(PopAuthWord(c.auth)) + (c.mode == TTlsMode::Implicit ? " TLS " : " STLS ") +
                     c.secret.substr(0, 12));
        TRecordingProxy relay(PortFor(c.mode));
        auto client = Client(relay, c.mode, c.auth, c.secret);
        ASSERT_NO_THROW(client->Connect());
        EXPECT_TRUE(client->Encrypted());
        ASSERT_EQ(client->MessageCount(), 2);
        EXPECT_TRUE(Contains(client->RetrieveText(1), "Subject: first"));
        client->Disconnect();
        const std::string wire = relay.ClientBytes();
        for (const std::string& secret : Secrets(c.secret, relay.Port())) EXPECT_FALSE(Contains(wire, secret));
        EXPECT_FALSE(Contains(wire, "AUTH")) << "the login went out before the handshake";
    }
    // Each token was checked with the provider, none was taken from a cache.
    EXPECT_GE(s_tokens->Requests(), 6);
    EXPECT_EQ(s_server->MessageFiles("alice").size(), 2u);
}

TEST_F(Pop3Auth, AnExpiredTokenIsRefusedWithTheServersReasonAfterTheAnswerTheMechanismRequires) {
    // On a plain loopback connection, so that the relay sees the answer to the challenge.
    struct TCase {
        TPopAuth auth;
        TTlsMode mode;
        const char* answer;  // the client's line after the error challenge
    };
    const TCase cases[] = {
        {TPopAuth::XOAuth2, TTlsMode::None, "\r\n"},
        {TPopAuth::OAuthBearer, TTlsMode::None, "AQ==\r\n"},
        {TPopAuth::XOAuth2, TTlsMode::StartTls, nullptr},
        {TPopAuth::OAuthBearer, TTlsMode::Implicit, nullptr},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(PopAuthWord(c.auth)) + " mode " + std::to_string(static_cast<int>(c.mode)));
        TRecordingProxy relay(PortFor(c.mode), SourceAddress());
        auto client = Client(relay, c.mode, c.auth, kExpiredToken);
        std::string error;
        try {
            client->Connect();
        } catch (const TPeerRefused& e) {
            error = e.what();
        }
        EXPECT_TRUE(Contains(error, std::string("AUTH ") + SaslMechanism(c.auth) + " refused: -ERR")) << error;
        EXPECT_TRUE(Contains(error, "\"status\":")) << "the reason of the error challenge: " << error;
        EXPECT_FALSE(client->Connected());
        if (c.answer) {
            const std::string wire = relay.ClientBytes();
            const std::string login = "AUTH " + std::string(SaslMechanism(c.auth)) + " ";
            const std::size_t at = wire.find(login);
            ASSERT_NE(at, std::string::npos) << wire;
            const std::size_t lineEnd = wire.find("\r\n", at);
            EXPECT_EQ(wire.substr(lineEnd + 2), std::string(c.answer) + "QUIT\r\n");
        }
    }
    EXPECT_EQ(s_server->MessageFiles("alice").size(), 2u);
}

TEST_F(Pop3Auth, AuthPlainSendsOneInitialResponseAndAWrongPasswordIsRefused) {
    {
        TRecordingProxy relay(s_server->Port());
        auto client = Client(relay, TTlsMode::None, TPopAuth::Plain, kPassword);
        ASSERT_NO_THROW(client->Connect());
        EXPECT_EQ(client->MessageCount(), 2);
        client->Disconnect();
        const std::string expected = "AUTH PLAIN " + EncodeBase64Line(PlainResponse("alice", kPassword)) + "\r\nSTAT\r\n";
        EXPECT_TRUE(Contains(relay.ClientBytes(), expected)) << relay.ClientBytes();
        EXPECT_FALSE(Contains(relay.ClientBytes(), "USER")) << "no USER/PASS beside the SASL login";
    }
    TRecordingProxy relay(s_server->Port(), SourceAddress());
    auto client = Client(relay, TTlsMode::StartTls, TPopAuth::Plain, "wrong-password");
    try {
        client->Connect();
        ADD_FAILURE() << "a wrong password logged in";
    } catch (const TPeerRefused& e) {
        EXPECT_TRUE(Contains(e.what(), "AUTH PLAIN refused: -ERR")) << e.what();
    }
}

TEST_F(Pop3Auth, ATokenIsNotSentInClearToAServerElsewhere) {
    // Inside a network namespace of its own, where an address outside 127.0.0.0/8 on the
    // loopback device stands for a server on another machine. The child process alone is in
    // the namespace.
    if (geteuid() != 0 || (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0))
        GTEST_SKIP() << "needs root and ip(8) for a network namespace";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto scenario = [] {
        if (unshare(CLONE_NEWNET) != 0) std::_Exit(2);
        if (std::system("ip link set lo up && ip addr add 10.77.0.1/32 dev lo") != 0) std::_Exit(3);
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, "10.77.0.1", &address.sin_addr);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::_Exit(4);
        std::string received;
        std::thread server([&] {
            const int fd = accept(listener, nullptr, nullptr);
            const char greeting[] = "+OK ready\r\n";
            if (send(fd, greeting, sizeof greeting - 1, MSG_NOSIGNAL) < 0) return;
            char buffer[512];
            for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                received.append(buffer, static_cast<std::size_t>(got));
                if (received.find("QUIT\r\n") != std::string::npos) {
                    const char bye[] = "+OK bye\r\n";
                    if (send(fd, bye, sizeof bye - 1, MSG_NOSIGNAL) < 0) break;
                }
            }
            close(fd);
        });
        TPop3Client client;
        client.SetHost("10.77.0.1");
        client.SetPort(ntohs(address.sin_port));
        client.SetLogin("alice");
        client.SetPassword(kGoodToken);
        client.SetAuth(TPopAuth::XOAuth2);
        std::string error;
        try {
            client.Connect();
        } catch (const TVorlaError& e) {
            error = e.what();
        }
        server.join();
        close(listener);
        if (!Contains(error, "XOAUTH2 login refused: the connection to 10.77.0.1 is not encrypted")) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            std::_Exit(5);
        }
        if (received != "QUIT\r\n") {
            std::fprintf(stderr, "the server got: %s\n", received.c_str());
            std::_Exit(6);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorla
