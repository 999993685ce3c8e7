// The uplink client over TLS: implicit TLS and STLS against a real Dovecot with certificates
// made for the test, the refusal of bad certificates before any login byte is sent, and the
// STLS faults only a scripted peer can produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/Pop3Client.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"
#include "support/RecordingProxy.h"
#include "support/ScriptedPeer.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::PeerReadLine;
using test::PeerSend;
using test::TDovecotServer;
using test::TRecordingProxy;
using test::TScriptedPeer;
using test::TTestCertificates;

constexpr const char* kPassword = "s3cret-Pa55";
// TLS clients connect by name, so that the certificate's DNS name is what gets checked.
constexpr const char* kTlsHost = "localhost";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const char* ModeName(TTlsMode mode) {
    switch (mode) {
        case TTlsMode::None: return "plain";
        case TTlsMode::StartTls: return "STLS";
        case TTlsMode::Implicit: return "implicit TLS";
    }
    return "?";
}

std::string ErrorOf(TPop3Client& client) {
    try {
        client.Connect();
    } catch (const TVorlaError& e) {
        return e.what();
    }
    return "";
}

std::string SkipReason() {
    std::string why = TDovecotServer::Unavailable();
    if (why.empty()) why = TTestCertificates::Unavailable();
    return why;
}

// One authority and one Dovecot with a good certificate for the whole suite: starting and
// stopping Dovecot takes over a second.
class Pop3Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!SkipReason().empty()) return;
        s_certificates = std::make_unique<TTestCertificates>();
        const auto good = s_certificates->Issue("localhost", {"localhost", "127.0.0.1"});
        s_server = std::make_unique<TDovecotServer>(std::vector<test::TPopUser>{{"alice", kPassword}},
                                                    test::TDovecotTls{good.certFile, good.keyFile});
        s_server->AddMessage("alice", "From: ann@example.org\nSubject: first\n\nHello.\n");
        s_server->AddMessage("alice", "Subject: dots\n\n.\n..two\nend\n");
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_certificates.reset();
    }
    void SetUp() override {
        const std::string why = SkipReason();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    static std::unique_ptr<TPop3Client> Client(std::uint16_t port, TTlsMode mode, TTlsOptions options) {
        auto client = std::make_unique<TPop3Client>();
        client->SetHost(kTlsHost);
        client->SetPort(port);
        client->SetLogin("alice");
        client->SetPassword(kPassword);
        client->SetTls(mode, std::move(options));
        return client;
    }
    static TTlsOptions Trusting() { return {true, s_certificates->CaFile()}; }
    static std::uint16_t PortFor(TTlsMode mode) {
        return mode == TTlsMode::Implicit ? s_server->TlsPort() : s_server->Port();
    }

    static std::unique_ptr<TTestCertificates> s_certificates;
    static std::unique_ptr<TDovecotServer> s_server;
};

std::unique_ptr<TTestCertificates> Pop3Tls::s_certificates;
std::unique_ptr<TDovecotServer> Pop3Tls::s_server;

TEST_F(Pop3Tls, ImplicitAndStlsReadExactlyWhatPlainReads) {
    struct TResult {
        int count = 0;
        std::vector<std::string> headers, texts;
        std::vector<std::int64_t> sizes;
    };
    std::vector<TResult> results;
    for (TTlsMode mode : {TTlsMode::None, TTlsMode::StartTls, TTlsMode::Implicit}) {
        SCOPED_TRACE(ModeName(mode));
        auto client = Client(PortFor(mode), mode, Trusting());
        ASSERT_NO_THROW(client->Connect());
        EXPECT_EQ(client->Encrypted(), mode != TTlsMode::None);
        TResult result;
        result.count = client->MessageCount();
        for (int n = 1; n <= result.count; ++n) {
            result.headers.push_back(client->RetrieveHeaderText(n));
            result.sizes.push_back(client->MessageSize(n));
            result.texts.push_back(client->RetrieveText(n));
        }
        client->Disconnect();
        EXPECT_FALSE(client->Connected());
        results.push_back(std::move(result));
    }
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].count, 2);
    EXPECT_EQ(results[0].texts.at(1), "Subject: dots\r\n\r\n.\r\n..two\r\nend\r\n");
    for (std::size_t i = 1; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].count, results[0].count);
        EXPECT_EQ(results[i].headers, results[0].headers);
        EXPECT_EQ(results[i].sizes, results[0].sizes);
        EXPECT_EQ(results[i].texts, results[0].texts);
    }
}

TEST_F(Pop3Tls, NoLoginCrossesTheWireInClearWhenTlsIsAsked) {
    for (TTlsMode mode : {TTlsMode::None, TTlsMode::StartTls, TTlsMode::Implicit}) {
        SCOPED_TRACE(ModeName(mode));
        TRecordingProxy proxy(PortFor(mode));
        auto client = Client(proxy.Port(), mode, Trusting());
        ASSERT_NO_THROW(client->Connect());
        EXPECT_EQ(client->MessageCount(), 2);
        client->Disconnect();
        const std::string sent = proxy.ClientBytes();
        if (mode == TTlsMode::None) {
            // The recording sees what goes in clear: the check below can fail.
            EXPECT_TRUE(Contains(sent, std::string("PASS ") + kPassword)) << sent;
            continue;
        }
        EXPECT_FALSE(Contains(sent, kPassword));
        EXPECT_FALSE(Contains(sent, "alice"));
        EXPECT_FALSE(Contains(proxy.ServerBytes(), "+OK Logged in"));
        if (mode == TTlsMode::StartTls) {
            EXPECT_EQ(sent.rfind("CAPA\r\nSTLS\r\n", 0), 0u) << sent.substr(0, 40);
        }
    }
}

TEST_F(Pop3Tls, BadCertificatesAreRefusedBeforeAnyLoginByte) {
    struct TRow {
        const char* name;
        test::TTestCertificate certificate;
        const char* reason;
    } rows[] = {
        {"certificate for another host", s_certificates->Issue("other.example", {"other.example"}),
         "certificate verify failed: hostname mismatch"},
        {"expired certificate", s_certificates->Issue("localhost", {"localhost", "127.0.0.1"}, true),
         "certificate verify failed: certificate has expired"},
        {"untrusted certificate", s_certificates->SelfSigned("localhost", {"localhost", "127.0.0.1"}),
         "certificate verify failed: self-signed certificate"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TDovecotServer server(std::vector<test::TPopUser>{{"alice", kPassword}}, test::TDovecotTls{row.certificate.certFile, row.certificate.keyFile});
        for (TTlsMode mode : {TTlsMode::StartTls, TTlsMode::Implicit}) {
            SCOPED_TRACE(ModeName(mode));
            TRecordingProxy proxy(mode == TTlsMode::Implicit ? server.TlsPort() : server.Port());
            auto client = Client(proxy.Port(), mode, Trusting());
            const std::string error = ErrorOf(*client);
            EXPECT_TRUE(Contains(error, row.reason)) << error;
            EXPECT_TRUE(Contains(error, "(server localhost port " + std::to_string(proxy.Port()) + ")")) << error;
            EXPECT_FALSE(client->Connected());
            EXPECT_EQ(proxy.Connections(), 1);
            const std::string sent = proxy.ClientBytes();
            EXPECT_FALSE(Contains(sent, kPassword));
            EXPECT_FALSE(Contains(sent, "USER"));
            // The same server is fine for a client that does not check.
            auto lax = Client(proxy.Port(), mode, {false, ""});
            EXPECT_NO_THROW(lax->Connect());
            EXPECT_TRUE(lax->Encrypted());
            EXPECT_EQ(lax->MessageCount(), 0);
            lax->Disconnect();
        }
    }
}

TEST_F(Pop3Tls, TrustedCertificatesComeFromAFileOrAFolder) {
    test::TTempDir folders;
    const std::string withCa = folders / "with-ca/";
    const std::string empty = folders / "empty/";
    std::filesystem::create_directories(withCa);
    std::filesystem::create_directories(empty);
    std::filesystem::copy_file(s_certificates->CaFile(), withCa + "test-ca.pem");
    test::WriteFile(withCa + "notes.txt", "not a certificate\n");
    struct TRow {
        const char* name;
        std::string trusted;
        std::string error;  // "" for success
    } rows[] = {
        {"the authority's file", s_certificates->CaFile(), ""},
        {"a folder holding it among other files", withCa, ""},
        {"the system's store alone", "", "certificate verify failed: unable to get local issuer certificate"},
        {"a path that does not exist", folders / "missing.pem",
         "Cannot load the trusted certificates from " + folders / "missing.pem"},
        {"a folder without certificates", empty, "the folder holds no certificate"},
        {"a file that is no certificate", withCa + "notes.txt", "Cannot load the trusted certificates from"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        auto client = Client(s_server->TlsPort(), TTlsMode::Implicit, {true, row.trusted});
        const std::string error = ErrorOf(*client);
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(client->Encrypted());
            client->Disconnect();
        } else {
            EXPECT_TRUE(Contains(error, row.error)) << error;
            EXPECT_FALSE(client->Connected());
        }
    }
}

TEST_F(Pop3Tls, TlsToAPlainPortFailsWithoutSendingTheLogin) {
    TRecordingProxy proxy(s_server->Port());
    auto client = Client(proxy.Port(), TTlsMode::Implicit, Trusting());
    const std::string error = ErrorOf(*client);
    EXPECT_TRUE(Contains(error, "TLS handshake failed: ")) << error;
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(Contains(proxy.ClientBytes(), kPassword));
    EXPECT_FALSE(Contains(proxy.ClientBytes(), "USER"));
}

TEST_F(Pop3Tls, StlsIsNeverDroppedSilently) {
    // A real server without TLS: its CAPA has no STLS.
    TDovecotServer plain(std::vector<test::TPopUser>{{"alice", kPassword}});
    {
        TRecordingProxy proxy(plain.Port());
        auto client = Client(proxy.Port(), TTlsMode::StartTls, Trusting());
        EXPECT_TRUE(Contains(ErrorOf(*client), "The server does not offer STLS"));
        EXPECT_FALSE(client->Connected());
        EXPECT_EQ(proxy.ClientBytes(), "CAPA\r\nQUIT\r\n");
    }
    const std::string greeting = "+OK ready\r\n";
    struct TRow {
        const char* name;
        std::vector<test::TPeerStep> script;
        std::string error;
        std::vector<std::string> received;  // the plain-text lines the peer got, in order
    } rows[] = {
        {"CAPA refused",
         {PeerSend(greeting), PeerReadLine(), PeerSend("-ERR no CAPA here\r\n"), PeerReadLine(), PeerSend("+OK\r\n")},
         "The server does not offer STLS", {"CAPA", "QUIT"}},
        {"STLS only as part of another word",
         {PeerSend(greeting), PeerReadLine(), PeerSend("+OK\r\nUSER\r\nSTLSX\r\n.\r\n"), PeerReadLine(),
          PeerSend("+OK\r\n")},
         "The server does not offer STLS", {"CAPA", "QUIT"}},
        {"STLS offered, then refused",
         {PeerSend(greeting), PeerReadLine(), PeerSend("+OK\r\nstls\r\n.\r\n"), PeerReadLine(),
          PeerSend("-ERR not now\r\n"), PeerReadLine(), PeerSend("+OK\r\n")},
         "STLS refused: -ERR not now", {"CAPA", "STLS", "QUIT"}},
        // Bytes after the go-ahead are someone's plain text: taking them would let them write
        // the first "server" replies of the encrypted dialogue.
        {"plain text injected after the go-ahead",
         {PeerSend(greeting), PeerReadLine(), PeerSend("+OK\r\nSTLS\r\n.\r\n"), PeerReadLine(),
          PeerSend("+OK go ahead\r\n+OK fake\r\n")},
         "The server sent more than its reply to STLS", {"CAPA", "STLS"}},
        {"go-ahead, then no TLS at all",
         {PeerSend(greeting), PeerReadLine(), PeerSend("+OK\r\nSTLS\r\n.\r\n"), PeerReadLine(),
          PeerSend("+OK go ahead\r\n"), test::PeerPause(50ms), PeerSend("+OK just kidding\r\n")},
         "TLS handshake failed: ", {"CAPA", "STLS"}},
    };
    for (TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TScriptedPeer peer(std::move(row.script));
        TPop3Limits limits;
        limits.ReplyTimeout = 2s;
        TPop3Client client(limits);
        client.SetHost("127.0.0.1");
        client.SetPort(peer.Port());
        client.SetLogin("alice");
        client.SetPassword(kPassword);
        client.SetTls(TTlsMode::StartTls, Trusting());
        const std::string error = ErrorOf(client);
        EXPECT_TRUE(Contains(error, row.error)) << error;
        EXPECT_FALSE(client.Connected());
        std::vector<std::string> received = peer.Received();
        for (const std::string& line : received) EXPECT_FALSE(Contains(line, "alice") || Contains(line, kPassword));
        // The last row's client starts its handshake: binary records follow the two lines.
        if (received.size() > row.received.size() && received[row.received.size()].rfind("\x16\x03", 0) == 0)
            received.resize(row.received.size());
        EXPECT_EQ(received, row.received);
    }
}

TEST(Pop3TlsStop, ShutdownWakesAWaitingHandshake) {
    // A peer that takes the connection and never answers the client's hello.
    TScriptedPeer silent({test::PeerPause(5s)});
    TPop3Limits limits;
    limits.ReplyTimeout = 10s;
    TPop3Client client(limits);
    client.SetHost("127.0.0.1");
    client.SetPort(silent.Port());
    client.SetTls(TTlsMode::Implicit, {});
    std::jthread stopper([&] {
        std::this_thread::sleep_for(100ms);
        client.Shutdown();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf(client), "Connection stopped");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_FALSE(client.Connected());
}

}  // namespace
}  // namespace vorla
