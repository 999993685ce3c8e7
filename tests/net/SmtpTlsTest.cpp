// The SMTP client and the queue sender over TLS against aiosmtpd: STARTTLS and implicit TLS,
// AUTH PLAIN and AUTH LOGIN, logins with an OAuth 2.0 access token (XOAUTH2, OAUTHBEARER),
// refused certificates, and what goes over the wire meanwhile.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "mail/MessageStore.h"
#include "net/SaslAuth.h"
#include "net/SendQueue.h"
#include "net/SaslAuth.h"
#include "net/SmtpClient.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "support/RecordingProxy.h"
#include "support/ScriptedPeer.h"
#include "support/SmtpServer.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::PeerReadLine;
using test::PeerSend;
using test::TRecordingProxy;
using test::TSmtpServer;
using test::TSmtpServerSetup;
using test::TTestCertificates;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kLogin = "user";
constexpr const char* kPassword = "s3cret-Pa55";
// kPassword, and both AUTH forms of it, as they would show in clear.
const std::vector<std::string> kSecrets = {kPassword, EncodeBase64Line(kPassword),
                                           EncodeBase64Line(std::string("\0user\0", 6) + kPassword)};

constexpr const char* kToken = "ya29.tok-EN_42";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool HoldsASecret(const std::string& bytes) {
    for (const std::string& secret : kSecrets)
        if (Contains(bytes, secret)) return true;
    return false;
}

// Whether bytes hold kToken, its Base64, or the mechanism's message with it, plain or in
// Base64, as the login to localhost:port sends it.
bool HoldsTheToken(const std::string& bytes, TSmtpAuth auth, std::uint16_t port) {
    const std::string message = auth == TSmtpAuth::XOAuth2 ? XOAuth2Response(kLogin, kToken)
                                                           : OAuthBearerResponse(kLogin, "localhost", port, kToken);
    for (const std::string& secret : {std::string(kToken), EncodeBase64Line(kToken), message, EncodeBase64Line(message)})
        if (Contains(bytes, secret)) return true;
    return false;
}

TSmtpDelivery Delivery(std::uint16_t port, TTlsMode security, TTlsOptions tls) {
    TSmtpDelivery d;
    d.host = "localhost";  // by name: the certificate's DNS name is checked
    d.port = port;
    d.heloName = "me@example.org";
    d.loginName = kLogin;
    d.password = kPassword;
    d.mailFrom = "me@example.org";
    d.recipients = {"first@example.net"};
    d.data = "Subject: hi\r\n\r\n..dot\r\nlast\r\n.\r\n";
    d.security = security;
    d.tls = std::move(tls);
    return d;
}

std::string ErrorOf(const TSmtpDelivery& delivery) {
    TSmtpClient client;
    client.SetReplyTimeout(5s);
    try {
        client.Deliver(delivery);
    } catch (const TVorlaError& e) {
        return e.what();
    }
    return "";
}

class SmtpTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (TTestCertificates::Unavailable().empty()) s_certificates = std::make_unique<TTestCertificates>();
    }
    static void TearDownTestSuite() { s_certificates.reset(); }
    void SetUp() override {
        const std::string why = TTestCertificates::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    static TSmtpServerSetup Setup(const std::string& mode, const test::TTestCertificate& certificate) {
        TSmtpServerSetup setup;
        setup.users = {{kLogin, kPassword}};
        setup.tlsMode = mode;
        setup.tlsCert = certificate.certFile;
        setup.tlsKey = certificate.keyFile;
        return setup;
    }
    static test::TTestCertificate Good() { return s_certificates->Issue("localhost", {"localhost"}); }
    static TTlsOptions Trusting() { return {true, s_certificates->CaFile()}; }

    static std::unique_ptr<TTestCertificates> s_certificates;
};

std::unique_ptr<TTestCertificates> SmtpTls::s_certificates;

TEST_F(SmtpTls, DeliversOverStartTlsAndImplicitTlsWithPlainOrLogin) {
    const auto certificate = Good();
    struct TRow {
        const char* name;
        const char* mode;
        TTlsMode security;
        std::vector<std::string> exclude;
        std::vector<std::string> events;  // up to the data
    } rows[] = {
        {"STARTTLS, PLAIN offered", "starttls", TTlsMode::StartTls, {},
         {"EHLO me@example.org", "STARTTLS", "EHLO me@example.org", "RSET", "AUTH PLAIN user s3cret-Pa55 ok",
          "MAIL me@example.org", "RCPT first@example.net"}},
        {"STARTTLS, only LOGIN offered", "starttls", TTlsMode::StartTls, {"PLAIN"},
         {"EHLO me@example.org", "STARTTLS", "EHLO me@example.org", "RSET", "AUTH LOGIN user s3cret-Pa55 ok",
          "MAIL me@example.org", "RCPT first@example.net"}},
        {"implicit TLS, PLAIN offered", "implicit", TTlsMode::Implicit, {},
         {"EHLO me@example.org", "RSET", "AUTH PLAIN user s3cret-Pa55 ok", "MAIL me@example.org",
          "RCPT first@example.net"}},
        {"implicit TLS, only LOGIN offered", "implicit", TTlsMode::Implicit, {"PLAIN"},
         {"EHLO me@example.org", "RSET", "AUTH LOGIN user s3cret-Pa55 ok", "MAIL me@example.org",
          "RCPT first@example.net"}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TSmtpServerSetup setup = Setup(row.mode, certificate);
        setup.authExclude = row.exclude;
        // Before STARTTLS the server offers no AUTH at all: a login can only follow it.
        setup.authRequireTls = true;
        TSmtpServer server(setup);
        TRecordingProxy proxy(server.Port());
        TSmtpClient client;
        ASSERT_NO_THROW(client.Deliver(Delivery(proxy.Port(), row.security, Trusting())));
        ASSERT_TRUE(server.WaitForEvents(row.events.size() + 2, 5s));
        std::vector<std::string> events = server.Events();
        events.resize(row.events.size());
        EXPECT_EQ(events, row.events);
        const auto received = server.Deliveries();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].login, kLogin);
        EXPECT_EQ(received[0].data, "Subject: hi\r\n\r\n.dot\r\nlast\r\n");
        EXPECT_FALSE(HoldsASecret(proxy.ClientBytes()));
        EXPECT_FALSE(Contains(proxy.ClientBytes(), "MAIL FROM"));
        if (row.security == TTlsMode::StartTls) {
            EXPECT_EQ(proxy.ClientBytes().rfind("EHLO me@example.org\r\nSTARTTLS\r\n", 0), 0u);
        }
    }

    // The same login on a plain connection shows in the recording: the checks above can fail.
    TSmtpServer plain(Setup("", certificate));
    TRecordingProxy proxy(plain.Port());
    TSmtpClient client;
    ASSERT_NO_THROW(client.Deliver(Delivery(proxy.Port(), TTlsMode::None, {})));
    EXPECT_TRUE(HoldsASecret(proxy.ClientBytes()));
}

TEST_F(SmtpTls, BadCertificatesAreRefusedBeforeAnyLoginOrMail) {
    struct TRow {
        const char* name;
        test::TTestCertificate certificate;
        const char* reason;
    } rows[] = {
        {"certificate for another host", s_certificates->Issue("other.example", {"other.example"}),
         "certificate verify failed: hostname mismatch"},
        {"expired certificate", s_certificates->Issue("localhost", {"localhost"}, true),
         "certificate verify failed: certificate has expired"},
        {"untrusted certificate", s_certificates->SelfSigned("localhost", {"localhost"}),
         "certificate verify failed: self-signed certificate"},
    };
    for (const TRow& row : rows) {
        for (const auto& [mode, security] :
             {std::pair{"starttls", TTlsMode::StartTls}, std::pair{"implicit", TTlsMode::Implicit}}) {
            SCOPED_TRACE(std::string(row.name) + ", " + mode);
            TSmtpServer server(Setup(mode, row.certificate));
            TRecordingProxy proxy(server.Port());
            const std::string error = ErrorOf(Delivery(proxy.Port(), security, Trusting()));
            EXPECT_THAT(error, HasSubstr(row.reason));
            EXPECT_THAT(error, HasSubstr("(server localhost port " + std::to_string(proxy.Port()) + ")"));
            EXPECT_FALSE(HoldsASecret(proxy.ClientBytes()));
            EXPECT_FALSE(Contains(proxy.ClientBytes(), "AUTH"));
            EXPECT_FALSE(Contains(proxy.ClientBytes(), "MAIL FROM"));
            EXPECT_THAT(server.Deliveries(), IsEmpty());
        }
    }
}

TEST_F(SmtpTls, StartTlsIsNeverDroppedSilently) {
    // A real server without TLS: its EHLO reply has no STARTTLS.
    {
        TSmtpServer server(Setup("", Good()));
        const std::string error = ErrorOf(Delivery(server.Port(), TTlsMode::StartTls, Trusting()));
        EXPECT_THAT(error, HasSubstr("The SMTP server does not offer STARTTLS"));
        ASSERT_TRUE(server.WaitForEvents(2, 5s));
        EXPECT_THAT(server.Events(), ElementsAre("EHLO me@example.org", "QUIT"));
    }
    const std::string greeting = "220 fake.test\r\n";
    struct TRow {
        const char* name;
        std::vector<test::TPeerStep> script;
        std::string error;
        std::vector<std::string> received;  // the plain-text lines the peer got
    } rows[] = {
        {"EHLO refused, HELO has no extensions",
         {PeerSend(greeting), PeerReadLine(), PeerSend("502 no\r\n"), PeerReadLine(), PeerSend("250 hi\r\n"),
          PeerReadLine(), PeerSend("221 bye\r\n")},
         "The SMTP server does not offer STARTTLS", {"EHLO me@example.org", "HELO me@example.org", "QUIT"}},
        {"STARTTLS refused",
         {PeerSend(greeting), PeerReadLine(), PeerSend("250-fake.test\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n"),
          PeerReadLine(), PeerSend("454 4.7.0 TLS not available\r\n"), PeerReadLine(), PeerSend("221 bye\r\n")},
         "454 4.7.0 TLS not available", {"EHLO me@example.org", "STARTTLS", "QUIT"}},
        {"plain text injected after the go-ahead",
         {PeerSend(greeting), PeerReadLine(), PeerSend("250-fake.test\r\n250 STARTTLS\r\n"), PeerReadLine(),
          PeerSend("220 go ahead\r\n250-fake.test\r\n250 AUTH PLAIN\r\n")},
         "sent more than its reply to STARTTLS", {"EHLO me@example.org", "STARTTLS"}},
    };
    for (TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TScriptedPeer peer(std::move(row.script));
        TSmtpDelivery delivery = Delivery(peer.Port(), TTlsMode::StartTls, Trusting());
        delivery.host = "127.0.0.1";
        EXPECT_THAT(ErrorOf(delivery), HasSubstr(row.error));
        EXPECT_EQ(peer.Received(), row.received);
    }
}

TEST_F(SmtpTls, QueueSenderUsesTheAccountsSecurity) {
    const auto certificate = Good();
    TSmtpServer server(Setup("implicit", certificate));
    test::TTempDir dir;
    const std::string folder = dir / "queue/";
    ForceDirectories(folder);
    TZivadMessageCollection queue(folder);
    const std::string text = "From: Vorla <me@example.org>\r\nTo: first@example.net\r\nSubject: queued\r\n"
                             "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n\r\nHello\r\n.\r\n";
    std::vector<std::string> status;
    TSendQueueSettings settings;
    settings.smtpServer = "localhost";
    settings.smtpPort = server.Port();
    settings.accountName = "Work";
    settings.accountEmail = "me@example.org";
    settings.smtpLoginName = kLogin;
    settings.smtpPassword = kPassword;
    settings.smtpSecurity = TTlsMode::Implicit;
    settings.replyTimeout = 5s;

    // A pass the way its owner runs it: the pass, then the reload.
    const auto pass = [&] {
        if (TSendQueue(settings, queue, [&](const std::string& line) { status.push_back(line); }).Run()) queue.Reload();
    };
    // Without the authority the server is not trusted: the message stays queued.
    test::WriteFile(folder + "00001.msg", text);
    queue.Reload();
    settings.tls = {true, ""};
    pass();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_THAT(status[0], HasSubstr("\tSEND\tWork\tError: certificate verify failed: "));
    EXPECT_THAT(FindFiles(folder, "*.msg"), ElementsAre("00001.msg"));
    EXPECT_THAT(server.Deliveries(), IsEmpty());

    settings.tls = {true, s_certificates->CaFile()};
    pass();
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[1], "\tSEND\tWork\tSent mail from me@example.org to first@example.net");
    EXPECT_THAT(FindFiles(folder, "*.msg"), IsEmpty());
    ASSERT_EQ(server.Deliveries().size(), 1u);
    EXPECT_EQ(server.Deliveries()[0].login, kLogin);
}

TEST_F(SmtpTls, AccessTokensLogInOrGetTheErrorChallengeAnsweredAsTheMechanismRequires) {
    const auto certificate = Good();
    struct TMode {
        const char* mode;
        TTlsMode security;
    } modes[] = {{"", TTlsMode::None}, {"starttls", TTlsMode::StartTls}, {"implicit", TTlsMode::Implicit}};
    struct TRow {
        TSmtpAuth auth;
        const char* token;
        std::string authEvent;  // what the server logged for the AUTH command
        std::string answer;     // its log of the answer to the error challenge; "" for a good token
    } rows[] = {
        {TSmtpAuth::XOAuth2, kToken, "AUTH XOAUTH2 user ya29.tok-EN_42 ok", ""},
        {TSmtpAuth::XOAuth2, "expired", "AUTH XOAUTH2 user expired refused", "ANSWER "},
        {TSmtpAuth::OAuthBearer, kToken, "AUTH OAUTHBEARER user ya29.tok-EN_42 ok host=localhost port=", ""},
        {TSmtpAuth::OAuthBearer, "expired", "AUTH OAUTHBEARER user expired refused host=localhost port=", "ANSWER AQ=="},
    };
    for (const TMode& mode : modes) {
        for (const TRow& row : rows) {
            SCOPED_TRACE(std::string(SmtpAuthWord(row.auth)) + " " + row.token + " over \"" + mode.mode + "\"");
            TSmtpServerSetup setup = Setup(mode.mode, certificate);
            setup.users.clear();
            setup.tokens = {{kLogin, {"other", kToken}}};
            setup.oauthError = R"({"status":"invalid_token","scope":"mail"})";
            setup.authRequireTls = mode.security != TTlsMode::None;
            TSmtpServer server(setup);
            TRecordingProxy proxy(server.Port());
            TSmtpDelivery delivery = Delivery(proxy.Port(), mode.security, Trusting());
            delivery.auth = row.auth;
            delivery.password = row.token;
            const std::string error = ErrorOf(delivery);
            std::vector<std::string> events = server.Events();
            const auto authEvent = std::find_if(events.begin(), events.end(),
                                                [](const std::string& e) { return e.rfind("AUTH", 0) == 0; });
            ASSERT_NE(authEvent, events.end());
            std::string expected = row.authEvent;
            if (row.auth == TSmtpAuth::OAuthBearer) expected += std::to_string(proxy.Port());
            EXPECT_EQ(*authEvent, expected);
            if (row.answer.empty()) {
                EXPECT_EQ(error, "");
                ASSERT_EQ(server.Deliveries().size(), 1u);
                EXPECT_EQ(server.Deliveries()[0].login, kLogin);
            } else {
                ASSERT_NE(authEvent + 1, events.end());
                EXPECT_EQ(authEvent[1], row.answer);
                EXPECT_EQ(error, "AUTH " + std::string(SaslMechanism(row.auth)) +
                                     " refused: 535 5.7.8 Authentication credentials invalid "
                                     R"(({"status":"invalid_token","scope":"mail"}))");
                EXPECT_THAT(server.Deliveries(), IsEmpty());
                EXPECT_FALSE(Contains(proxy.ClientBytes(), "MAIL FROM"));
            }
            // Encrypted, nothing of the login shows on the wire; in plain text (loopback
            // only) it does, which shows that the check can fail.
            if (std::string(row.token) == kToken) {
                EXPECT_EQ(HoldsTheToken(proxy.ClientBytes(), row.auth, proxy.Port()), mode.security == TTlsMode::None);
            }
        }
    }
}

TEST_F(SmtpTls, AccessTokenMechanismsMustBeOfferedAndAutoStaysAsItWas) {
    struct TRow {
        const char* name;
        TSmtpAuth auth;
        std::vector<std::string> exclude;
        std::string error;
        std::string authEvent;  // the server's log of the login; "" for none
    } rows[] = {
        {"XOAUTH2 not offered", TSmtpAuth::XOAuth2, {"XOAUTH2"}, "The SMTP server does not offer XOAUTH2", ""},
        {"OAUTHBEARER not offered", TSmtpAuth::OAuthBearer, {"OAUTHBEARER"},
         "The SMTP server does not offer OAUTHBEARER", ""},
        {"auto takes PLAIN beside the token mechanisms", TSmtpAuth::Auto, {}, "", "AUTH PLAIN user s3cret-Pa55 ok"},
        {"auto takes LOGIN without PLAIN", TSmtpAuth::Auto, {"PLAIN"}, "", "AUTH LOGIN user s3cret-Pa55 ok"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TSmtpServerSetup setup = Setup("", Good());
        setup.tokens = {{kLogin, {kToken}}};
        setup.authExclude = row.exclude;
        TSmtpServer server(setup);
        TSmtpDelivery delivery = Delivery(server.Port(), TTlsMode::None, {});
        delivery.auth = row.auth;
        if (row.auth != TSmtpAuth::Auto) delivery.password = kToken;
        const std::string error = ErrorOf(delivery);
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_THAT(error, HasSubstr(row.error));
        }
        ASSERT_TRUE(server.WaitForEvents(3, 5s));
        std::vector<std::string> logins;
        for (const std::string& event : server.Events())
            if (event.rfind("AUTH", 0) == 0) logins.push_back(event);
        EXPECT_EQ(logins, row.authEvent.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.authEvent});
        EXPECT_EQ(server.Deliveries().size(), row.error.empty() ? 1u : 0u);
    }
}

TEST_F(SmtpTls, TokenDialoguesTheServerMayLead) {
    const std::string greeting = "220 fake.test\r\n";
    const std::string ehlo = "250-fake.test\r\n250 AUTH PLAIN XOAUTH2 OAUTHBEARER\r\n";
    const std::string longToken(13000, 't');
    const std::string error = EncodeBase64Line(R"({"status":"401"})");
    struct TRow {
        const char* name;
        std::string token;
        std::vector<test::TPeerStep> script;  // after the greeting, EHLO and RSET
        std::string error;                    // the delivery's error
        std::vector<std::string> received;    // what the peer read after RSET
    } rows[] = {
        {"a response too long for the command line follows the empty challenge", longToken,
         {PeerReadLine(), PeerSend("334 \r\n"), PeerReadLine(), PeerSend("235 ok\r\n"), PeerReadLine(),
          PeerSend("421 enough\r\n"), PeerReadLine(), PeerSend("221 bye\r\n")},
         "421 enough",
         {"AUTH XOAUTH2", EncodeBase64Line(XOAuth2Response(kLogin, longToken)), "MAIL FROM:<me@example.org>", "QUIT"}},
        {"a second challenge after the answer ends the login", kToken,
         {PeerReadLine(), PeerSend("334 " + error + "\r\n"), PeerReadLine(), PeerSend("334 more\r\n"), PeerReadLine(),
          PeerSend("221 bye\r\n")},
         R"(AUTH XOAUTH2 refused: 334 more ({"status":"401"}))",
         {"AUTH XOAUTH2 " + EncodeBase64Line(XOAuth2Response(kLogin, kToken)), "", "QUIT"}},
        {"a refusal without a challenge", kToken,
         {PeerReadLine(), PeerSend("454 4.7.0 Temporary failure\r\n"), PeerReadLine(), PeerSend("221 bye\r\n")},
         "AUTH XOAUTH2 refused: 454 4.7.0 Temporary failure",
         {"AUTH XOAUTH2 " + EncodeBase64Line(XOAuth2Response(kLogin, kToken)), "QUIT"}},
    };
    for (TRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<test::TPeerStep> script = {PeerSend(greeting), PeerReadLine(), PeerSend(ehlo), PeerReadLine(),
                                               PeerSend("250 ok\r\n")};
        for (test::TPeerStep& step : row.script) script.push_back(std::move(step));
        test::TScriptedPeer peer(std::move(script));
        TSmtpDelivery delivery = Delivery(peer.Port(), TTlsMode::None, {});
        delivery.host = "127.0.0.1";
        delivery.auth = TSmtpAuth::XOAuth2;
        delivery.password = row.token;
        EXPECT_EQ(ErrorOf(delivery), row.error);
        std::vector<std::string> received = peer.Received();
        ASSERT_GE(received.size(), 2u);
        EXPECT_EQ(received[1], "RSET");
        received.erase(received.begin(), received.begin() + 2);
        EXPECT_EQ(received, row.received);
    }
}

}  // namespace
}  // namespace vorla
