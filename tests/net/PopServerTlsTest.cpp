// STLS on the local POP3 server: curl reading over it, CAPA and the command following the
// setting, plain text sent after STLS ignored, and bad certificate settings or handshakes
// leaving the server running.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/PopServerFixture.h"
#include "net/TcpSocket.h"
#include "net/TlsChannel.h"
#include "platform/Errors.h"
#include "platform/IniFile.h"
#include "support/ProgramRun.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::FileForm;
using test::TRawPopClient;
using test::TTestCertificates;
using ::testing::HasSubstr;
using ::testing::Not;

// A client that speaks plain lines first and then TLS on the same connection, to send what a
// proper client never would.
class TSwitchingClient {
public:
    explicit TSwitchingClient(std::uint16_t port) { m_socket.Connect("127.0.0.1", port, 5s); }
    void Send(const std::string& bytes) { m_socket.Send(bytes, 5s); }
    std::string ReadLine() {
        for (;;) {
            const std::size_t end = m_buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 2);
                return line;
            }
            char chunk[4096];
            const std::size_t got = m_socket.Receive(chunk, sizeof chunk, 5s);
            if (got == 0) throw TNetError("closed");
            m_buffer.append(chunk, got);
        }
    }
    std::string Command(const std::string& line) {
        Send(line + "\r\n");
        return ReadLine();
    }
    void StartTls(const std::string& caFile) {
        ASSERT_TRUE(m_buffer.empty());
        m_socket.StartTls("127.0.0.1", {true, caFile}, 5s);
    }

private:
    TTcpSocket m_socket;
    std::string m_buffer;
};

class PopServerTls : public test::PopServerFixture {
protected:
    void SetUp() override {
        const std::string why = TTestCertificates::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_certificates = std::make_unique<TTestCertificates>();
        m_good = m_certificates->Issue("localhost", {"localhost", "127.0.0.1"});
        m_texts = Texts(3);
        AddAccount("alice", "secret", m_texts);
    }
    TPopServer& StartWithStls(const std::string& cert, const std::string& key) {
        return Start([&](TPopServer& server) {
            server.SetCertificateFile(cert);
            server.SetKeyFile(key);
            server.SetStls(true);
        });
    }
    std::string Url(const std::string& path = "") const {
        return "pop3://localhost:" + std::to_string(m_port) + "/" + path;
    }
    test::TProgramResult Curl(std::vector<std::string> args) const {
        std::vector<std::string> argv = {"curl", "--silent", "--show-error", "--max-time", "30", "-u", "alice:secret"};
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunProgram(argv, {}, 40s);
    }

    std::unique_ptr<TTestCertificates> m_certificates;
    test::TTestCertificate m_good;
    std::vector<std::string> m_texts;
};

TEST_F(PopServerTls, CurlReadsOverStlsWhenItIsSwitchedOn) {
    if (!test::ProgramExists("curl")) GTEST_SKIP() << "curl is not installed (scripts/deps)";
    StartWithStls(m_good.certFile, m_good.keyFile);
    EXPECT_TRUE(m_server->StlsOffered());
    EXPECT_TRUE(HasStatus("", "STLS offered"));

    const test::TProgramResult listing =
        Curl({"--ssl-reqd", "--cacert", m_certificates->CaFile(), "--verbose", Url()});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    std::string expected;
    for (std::size_t n = 1; n <= m_texts.size(); ++n)
        expected += std::to_string(n) + " " + std::to_string(FileForm(m_texts[n - 1]).size()) + "\r\n";
    EXPECT_EQ(listing.out, expected);
    // The login went after the handshake.
    EXPECT_THAT(listing.err, HasSubstr("> STLS"));
    EXPECT_LT(listing.err.find("> STLS"), listing.err.find("USER alice"));

    const test::TProgramResult message = Curl({"--ssl-reqd", "--cacert", m_certificates->CaFile(), Url("2")});
    ASSERT_EQ(message.exitCode, 0) << message.err;
    EXPECT_THAT(message.out, HasSubstr("Subject: Message number 2\r\n"));
    EXPECT_TRUE(WaitForStatus("alice", "Retrieved message 2"));

    // A certificate curl does not trust: it gives up before its login.
    ClearStatuses();
    const test::TProgramResult untrusted = Curl({"--ssl-reqd", Url()});
    EXPECT_NE(untrusted.exitCode, 0);
    EXPECT_FALSE(HasStatus("alice", "Connected"));
}

TEST_F(PopServerTls, CurlRequiringTlsIsTurnedAwayWhileStlsIsOff) {
    if (!test::ProgramExists("curl")) GTEST_SKIP() << "curl is not installed (scripts/deps)";
    Start();
    EXPECT_FALSE(m_server->StlsOffered());
    const test::TProgramResult refused = Curl({"--ssl-reqd", "--cacert", m_certificates->CaFile(), Url()});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_FALSE(HasStatus("alice", "Connected"));
    const test::TProgramResult plain = Curl({Url()});
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
}

TEST_F(PopServerTls, CapaAndStlsFollowTheSettingAndTheState) {
    const std::string capaOff = "+OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n";
    const std::string capaOn = "+OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\nSTLS\r\n.\r\n";
    {
        Start();
        auto client = Connect();
        client->SendLine("CAPA");
        EXPECT_EQ(client->ReadUntil("\r\n.\r\n"), capaOff);
        EXPECT_EQ(client->Command("STLS"), "-ERR Unknown Command");
        EXPECT_EQ(client->Command("USER alice"), "+OK Password required");
        client->SendLine("QUIT");
        m_server->SetActive(false);
    }
    m_server->SetCertificateFile(m_good.certFile);
    m_server->SetKeyFile(m_good.keyFile);
    m_server->SetStls(true);
    m_server->SetActive(true);
    m_port = m_server->ListeningPort();
    auto client = Connect();
    client->SendLine("CAPA");
    EXPECT_EQ(client->ReadUntil("\r\n.\r\n"), capaOn);
    EXPECT_EQ(client->Command("USER alice"), "+OK Password required");
    EXPECT_EQ(client->Command("PASS secret"), "+OK Login OK");
    client->SendLine("CAPA");
    EXPECT_EQ(client->ReadUntil("\r\n.\r\n"), capaOff);  // too late for it now
    EXPECT_EQ(client->Command("STLS"), "-ERR Wrong State");
    EXPECT_THAT(client->Command("STAT"), HasSubstr("+OK 3 "));
}

TEST_F(PopServerTls, NothingSentInClearAfterStlsCounts) {
    StartWithStls(m_good.certFile, m_good.keyFile);
    TSwitchingClient client(m_port);
    EXPECT_EQ(client.ReadLine(), "+OK Vorla (v9.8.7)");
    EXPECT_EQ(client.Command("USER alice"), "+OK Password required");
    // One write: STLS and a command after it in clear.
    client.Send("STLS\r\nUSER mallory\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK Begin TLS negotiation");
    ASSERT_NO_FATAL_FAILURE(client.StartTls(m_certificates->CaFile()));
    // Neither the USER before STLS nor the one after it is remembered.
    EXPECT_EQ(client.Command("PASS secret"), "-ERR Login failed");
    EXPECT_TRUE(WaitForStatus("", "No such account name"));
    EXPECT_EQ(client.Command("STLS"), "-ERR Command not permitted when TLS active");
    EXPECT_EQ(client.Command("USER alice"), "+OK Password required");
    EXPECT_EQ(client.Command("PASS secret"), "+OK Login OK");
    // A whole message over TLS, as the plain connection would send it.
    const std::string file = FileForm(m_texts[0]);
    EXPECT_EQ(client.Command("RETR 1"), "+OK " + std::to_string(file.size()));
    std::string received;
    while (received.size() < file.size()) received += client.ReadLine() + "\r\n";
    EXPECT_EQ(received, file);
    EXPECT_EQ(client.Command("QUIT"), "+OK Closing communication channel");
}

TEST_F(PopServerTls, BadSettingsOrHandshakesLeaveThePlainServerRunning) {
    const auto other = m_certificates->Issue("localhost", {"localhost"});
    struct TRow {
        const char* name;
        std::string cert, key;
        std::string status;
    } rows[] = {
        {"no files set", "", "", "STLS not offered: no certificate or key file is set"},
        {"missing certificate", m_dir / "missing.pem", m_good.keyFile,
         "STLS not offered: Cannot load the TLS certificate " + m_dir / "missing.pem" + ": "},
        {"key of another certificate", m_good.certFile, other.keyFile,
         "STLS not offered: The TLS key " + other.keyFile + " does not belong to the certificate " + m_good.certFile},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        ClearStatuses();
        StartWithStls(row.cert, row.key);
        EXPECT_FALSE(m_server->StlsOffered());
        const auto statuses = Statuses();
        EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [&](const std::string& line) {
            return line.rfind("\tPOP3\t\t" + row.status, 0) == 0;
        })) << ::testing::PrintToString(statuses);
        auto client = LogIn("alice", "secret");
        EXPECT_EQ(client->Command("QUIT"), "+OK Closing communication channel");
        m_server->SetActive(false);
    }

    // A client that asks for STLS and then sends no TLS: its connection ends, nothing else.
    StartWithStls(m_good.certFile, m_good.keyFile);
    {
        auto client = Connect();
        EXPECT_EQ(client->Command("STLS"), "+OK Begin TLS negotiation");
        client->Send("this is no TLS record\r\n");
        EXPECT_TRUE(client->WaitClosed());
    }
    const auto failed = [&] {
        for (const std::string& line : Statuses())
            if (line.rfind("\tPOP3\t\tTLS handshake with 127.0.0.1 failed: ", 0) == 0) return true;
        return false;
    };
    for (int i = 0; i < 100 && !failed(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(failed()) << ::testing::PrintToString(Statuses());
    auto client = LogIn("alice", "secret");
    EXPECT_THAT(client->Command("STAT"), HasSubstr("+OK 3 "));
}

TEST_F(PopServerTls, StlsSettingsAreKeptBesideTheBinding) {
    const std::string file = m_dir / "vorla.ini";
    {
        TPopServer server({});
        server.SetStls(true);
        server.SetCertificateFile("certs/server.pem");
        server.SetKeyFile("/etc/vorla/server.key");
        TIniFile ini(file);
        server.SaveSettings(ini);
    }
    EXPECT_THAT(test::ReadFile(file), HasSubstr("[bind]\r\nipaddress=127.0.0.1\r\nport=110\r\nstls=1\r\n"
                                                "certfile=certs/server.pem\r\nkeyfile=/etc/vorla/server.key\r\n"));
    TPopServer loaded({});
    loaded.LoadSettings(TIniFile(file));
    EXPECT_TRUE(loaded.Stls());
    EXPECT_EQ(loaded.CertificateFile(), "certs/server.pem");
    EXPECT_EQ(loaded.KeyFile(), "/etc/vorla/server.key");
    TPopServer fresh({});
    fresh.LoadSettings(TIniFile(m_dir / "empty.ini"));
    EXPECT_FALSE(fresh.Stls());  // off unless asked for
    EXPECT_EQ(fresh.BindAddress(), "127.0.0.1");
}

}  // namespace
}  // namespace vorla
