// The command line with an account that reaches its uplink over TLS: the security keys of
// "account add/set", "peek" and "fetch" against a real Dovecot, and the trusted-certificate
// setting read from the settings file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "support/DovecotServer.h"
#include "support/ProgramRun.h"
#include "support/SmtpServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::TDovecotServer;
using test::TTestCertificates;
using ::testing::HasSubstr;

std::string Mail(const std::string& subject) {
    return "From: Ann <ann@example.org>\nTo: fay@example.net\nSubject: " + subject +
           "\nDate: Mon, 4 Mar 2024 10:00:00 +0000\n\nHello.\n";
}

class TlsCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = TDovecotServer::Unavailable();
        if (why.empty()) why = TTestCertificates::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_certificates = std::make_unique<TTestCertificates>();
        const auto good = m_certificates->Issue("localhost", {"localhost"});
        m_server = std::make_unique<TDovecotServer>(std::vector<test::TPopUser>{{"fay", "faypw"}},
                                                    test::TDovecotTls{good.certFile, good.keyFile});
        ForceDirectories(m_dir / "run/");
    }

    test::TProgramResult Vorla(std::vector<std::string> args) {
        args.insert(args.begin(), {VORLA_BINARY, "--home", m_home});
        return test::RunProgram(args, {"XDG_RUNTIME_DIR=" + (m_dir / "run"), "XDG_CONFIG_HOME=" + (m_dir / "config")},
                                60s);
    }

    test::TTempDir m_dir;
    std::string m_home = m_dir / "home/";
    std::unique_ptr<TTestCertificates> m_certificates;
    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(TlsCommandsTest, PeekAndFetchOverTlsWithTheSettingsFileAuthority) {
    for (const char* subject : {"alpha", "beta"}) m_server->AddMessage("fay", Mail(subject));
    const test::TProgramResult added =
        Vorla({"account", "add", "Fay", "popserver=localhost", "popport=" + std::to_string(m_server->TlsPort()),
               "loginname=fay", "password=faypw", "popsecurity=tls", "enablesend=0", "enablefilters=0"});
    ASSERT_EQ(added.exitCode, 0) << added.out << added.err;

    // Only the system's store: the test authority is unknown to it.
    const test::TProgramResult untrusted = Vorla({"peek", "Fay"});
    EXPECT_EQ(untrusted.exitCode, 1);
    EXPECT_THAT(untrusted.err, HasSubstr("certificate verify failed: unable to get local issuer certificate"));

    test::WriteFile(m_home + "vorla.ini", "[options]\r\ncacerts=" + m_certificates->CaFile() + "\r\n");
    const test::TProgramResult list = Vorla({"peek", "Fay"});
    ASSERT_EQ(list.exitCode, 0) << list.out << list.err;
    EXPECT_THAT(list.out, HasSubstr("\talpha\n"));
    EXPECT_THAT(list.out, HasSubstr("\tbeta\n"));

    const test::TProgramResult wrong = Vorla({"account", "set", "Fay", "popsecurity=maybe"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_THAT(wrong.err, HasSubstr("popsecurity must be none, starttls (or stls) or tls"));

    const test::TProgramResult stls =
        Vorla({"account", "set", "Fay", "popsecurity=starttls", "popport=" + std::to_string(m_server->Port())});
    ASSERT_EQ(stls.exitCode, 0) << stls.err;
    const test::TProgramResult fetched = Vorla({"fetch", "Fay"});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.out << fetched.err;
    EXPECT_THAT(fetched.out, HasSubstr("\tFETCH\tFay\tAccepted=2 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0"));
    EXPECT_TRUE(m_server->MessageFiles("fay").empty());
    // Two logins, both encrypted: the refused peek never got as far.
    EXPECT_TRUE(m_server->WaitForLog("user=<fay>", 2, 5000));
    EXPECT_FALSE(m_server->WaitForLog("user=<fay>", 3, 200));
}

TEST(TlsSendCommandTest, SendsOverStartTlsWithTheAccountsLogin) {
    if (!TTestCertificates::Unavailable().empty()) GTEST_SKIP() << TTestCertificates::Unavailable();
    TTestCertificates certificates;
    const auto good = certificates.Issue("localhost", {"localhost"});
    test::TSmtpServerSetup setup;
    setup.users = {{"fay", "smtp-pw"}};
    setup.tlsMode = "starttls";
    setup.tlsCert = good.certFile;
    setup.tlsKey = good.keyFile;
    setup.authRequireTls = true;
    test::TSmtpServer server(setup);
    test::TTempDir home;
    const auto vorla = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {VORLA_BINARY, "--home", home.Path()});
        return test::RunProgram(args, {}, 60s);
    };
    const test::TProgramResult added =
        vorla({"account", "add", "Fay", "email=fay@example.net", "senddirect=0", "smtpserver=localhost",
               "smtpport=" + std::to_string(server.Port()), "smtploginname=fay", "smtppassword=smtp-pw",
               "smtpsecurity=starttls"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    test::WriteFile(home / "vorla.ini", "[options]\r\ncacerts=" + certificates.CaFile() + "\r\n");
    const std::vector<std::string> folders = FindFolders(home / "accounts/");
    ASSERT_EQ(folders.size(), 1u);
    test::WriteFile(home / ("accounts/" + folders[0] + "/queue/00001.msg"),
                    "From: fay@example.net\r\nTo: x@example.org\r\nSubject: out\r\n"
                    "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n\r\nHello\r\n.\r\n");
    const test::TProgramResult sent = vorla({"send"});
    ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
    EXPECT_THAT(sent.out, HasSubstr("\tSEND\tFay\tSent mail from fay@example.net to x@example.org"));
    ASSERT_EQ(server.Deliveries().size(), 1u);
    EXPECT_EQ(server.Deliveries()[0].login, "fay");
    const std::vector<std::string> events = server.Events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[1], "STARTTLS");
    EXPECT_EQ(events[4], "AUTH PLAIN fay smtp-pw ok");
}

}  // namespace
}  // namespace vorla
