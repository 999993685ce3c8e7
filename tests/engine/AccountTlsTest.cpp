// An account's connection security: how "options.ini" keeps it, and the fetch cycle over
// implicit TLS and STLS against a real Dovecot.
#include "engine/AccountTls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/FetchCycle.h"
#include "engine/FetchCycleFixture.h"
#include "engine/InfoFile.h"
#include "net/SendQueue.h"
#include "support/DovecotServer.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using test::Mail;
using test::TDovecotServer;
using test::TTestCertificates;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class AccountTls : public test::FetchFixture {};

TEST_F(AccountTls, SecurityKeysFollowTheOthersAndOldFilesLoadAsPlain) {
    struct TRow {
        const char* name;
        std::string lines;  // appended to a file with the other keys
        TTlsMode pop, smtp;
        bool verify;
        std::size_t warnings;
    } rows[] = {
        {"a file from before TLS", "", TTlsMode::None, TTlsMode::None, true, 0},
        {"numbers", "popsecurity=2\r\nsmtpsecurity=1\r\nverifycert=0\r\n", TTlsMode::Implicit, TTlsMode::StartTls,
         false, 0},
        {"words, any case", "popsecurity=STLS\r\nsmtpsecurity= tls \r\n", TTlsMode::StartTls, TTlsMode::Implicit,
         true, 0},
        {"empty values", "popsecurity=\r\nsmtpsecurity=\r\n", TTlsMode::None, TTlsMode::None, true, 0},
        // What the user meant is unknown; a password must not go out in clear for it.
        {"values that mean nothing", "popsecurity=3\r\nsmtpsecurity=yes\r\n", TTlsMode::Implicit, TTlsMode::Implicit,
         true, 2},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = m_home / "accounts/one/";
        std::filesystem::remove_all(folder);
        ForceDirectories(folder);
        test::WriteFile(folder + "options.ini", "[options]\r\nname=One\r\npopport=110\r\nenablefetch=1\r\n" + row.lines);
        TZivadAccount account(nullptr, "one");
        account.Load();
        EXPECT_EQ(account.Settings()->popsecurity, row.pop);
        EXPECT_EQ(account.Settings()->smtpsecurity, row.smtp);
        EXPECT_EQ(account.Settings()->verifycert, row.verify);
        ASSERT_EQ(account.LoadWarnings().size(), row.warnings);
        if (row.warnings > 0) {
            EXPECT_THAT(account.LoadWarnings()[0], HasSubstr("Invalid popsecurity value \"3\""));
            EXPECT_THAT(account.LoadWarnings()[1], HasSubstr("Invalid smtpsecurity value \"yes\""));
        }

        // A save writes the values (new keys after all the others) and loads back the same.
        account.Save();
        const std::string text = test::ReadFile(folder + "options.ini");
        const std::string values = "popsecurity=" + std::to_string(static_cast<int>(row.pop)) +
                                   "\r\nsmtpsecurity=" + std::to_string(static_cast<int>(row.smtp)) + "\r\n";
        const std::string verify = std::string("\r\nverifycert=") + (row.verify ? "1" : "0") + "\r\n";
        EXPECT_THAT(text, HasSubstr(verify));
        if (row.lines.empty()) {
            EXPECT_THAT(text, ::testing::EndsWith("\r\nrejectillegalips=1\r\n" + values + verify.substr(2) +
                                                  "popauth=user\r\nsmtpauth=auto\r\npasswordcommand=\r\n"
                                                  "smtppasswordcommand=\r\n"));
        } else {
            EXPECT_THAT(text, HasSubstr("\r\n" + values));
        }
        TZivadAccount again(nullptr, "one");
        again.Load();
        EXPECT_EQ(again.Settings()->popsecurity, row.pop);
        EXPECT_EQ(again.Settings()->smtpsecurity, row.smtp);
        EXPECT_EQ(again.Settings()->verifycert, row.verify);
        EXPECT_TRUE(again.LoadWarnings().empty());
    }
}

// The queue sender gets the relay's way of logging in and its password command from the
// account; with a command, no stored password is needed.
TEST_F(AccountTls, TheQueueSenderGetsTheRelaysLoginWayAndPasswordCommand) {
    struct TRow {
        std::string lines;
        TSmtpAuth auth;
        std::string command;
    } rows[] = {
        {"", TSmtpAuth::Auto, ""},
        {"smtpauth=oauthbearer\r\nsmtppasswordcommand=pass show mail/relay-token\r\n", TSmtpAuth::OAuthBearer,
         "pass show mail/relay-token"},
        {"smtpauth=xoauth2\r\nsmtppasswordcommand=printf tok\r\n", TSmtpAuth::XOAuth2, "printf tok"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.lines);
        const std::string folder = m_home / "accounts/one/";
        std::filesystem::remove_all(folder);
        ForceDirectories(folder);
        test::WriteFile(folder + "options.ini", "[options]\r\nname=One\r\nsmtpserver=relay.example\r\n"
                                                "smtploginname=me\r\n" + row.lines);
        TZivadAccount account(nullptr, "one");
        account.Load();
        const TSendQueueSettings settings = SendQueueSettingsOf(account, "");
        EXPECT_EQ(settings.smtpLoginName, "me");
        EXPECT_EQ(settings.smtpPassword, "");
        EXPECT_EQ(settings.smtpAuth, row.auth);
        EXPECT_EQ(settings.smtpPasswordCommand, row.command);
    }
}

class AccountTlsFetch : public test::FetchFixture {
protected:
    void SetUp() override {
        std::string why = TDovecotServer::Unavailable();
        if (why.empty()) why = TTestCertificates::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_certificates = std::make_unique<TTestCertificates>();
    }

    TZivadAccount& Account(const std::string& user, std::uint16_t port, TTlsMode mode) {
        TZivadAccount& account = NewAccount(user, user, user + "pw", port, "localhost");
        account.Edit([&](TAccountSettings& s) { s.popsecurity = mode; });
        account.Save();
        return account;
    }

    std::unique_ptr<TTestCertificates> m_certificates;
};

TEST_F(AccountTlsFetch, ImplicitTlsAndStlsFetchWhatPlainFetches) {
    const auto good = m_certificates->Issue("localhost", {"localhost"});
    TDovecotServer server({{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}},
                          test::TDovecotTls{good.certFile, good.keyFile});
    // Taken from the home folder: the setting is a relative path.
    std::filesystem::copy_file(m_certificates->CaFile(), m_home / "provider-ca.pem");
    Engine().SetTrustedCa("provider-ca.pem");
    const std::string texts[] = {Mail("hello friend"), Mail("buy pills now"), Mail("no opinion")};
    AddRule(Engine().Filters(), "friend", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(Engine().Filters(), "pills", TFilterAction::Reject, TFilterSection::Subject);
    struct TRow {
        const char* user;
        TTlsMode mode;
        std::uint16_t port;
    } rows[] = {{"alice", TTlsMode::None, server.Port()},
                {"bob", TTlsMode::StartTls, server.Port()},
                {"carol", TTlsMode::Implicit, server.TlsPort()}};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.user);
        for (const std::string& text : texts) server.AddMessage(row.user, text);
        TZivadAccount& account = Account(row.user, row.port, row.mode);
        FetchMail(account, Engine().Log());
        EXPECT_EQ(Subjects(account.VorlaFolder()), std::vector<std::string>{"hello friend"});
        EXPECT_EQ(Subjects(account.QuarantineFolder()), std::vector<std::string>{"no opinion"});
        EXPECT_EQ(server.MessageFiles(row.user).size(), 0u);
        EXPECT_EQ(Status("FETCH").back(), "\tFETCH\t" + std::string(row.user) +
                                              "\tAccepted=1 Trashed=0 Quarantined=1 Rejected=1 Purged=0 Errors=0");
    }
    // Dovecot says how each session came in.
    EXPECT_TRUE(server.WaitForLog("user=<carol>", 1, 5000));
    EXPECT_THAT(server.LogText(), HasSubstr("TLS"));
}

TEST_F(AccountTlsFetch, RefusedCertificateIsAFetchErrorAndTheMailStays) {
    const auto expired = m_certificates->Issue("localhost", {"localhost"}, true);
    TDovecotServer server({{"alice", "alicepw"}}, test::TDovecotTls{expired.certFile, expired.keyFile});
    Engine().SetTrustedCa(m_certificates->CaFile());
    server.AddMessage("alice", Mail("waiting"));
    TZivadAccount& alice = Account("alice", server.TlsPort(), TTlsMode::Implicit);
    FetchMail(alice, Engine().Log());
    EXPECT_THAT(LogEvents(), ElementsAre("alice\tError - alice - certificate verify failed: certificate has expired "
                                         "(server localhost port " + std::to_string(server.TlsPort()) + ")"));
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\talice\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=1");
    EXPECT_EQ(server.MessageFiles("alice").size(), 1u);
    EXPECT_EQ(alice.VorlaFolder().Count(), 0);

    // The user may choose not to check: the mail then comes.
    alice.Edit([&](TAccountSettings& s) { s.verifycert = false; });
    FetchMail(alice, Engine().Log());
    EXPECT_EQ(Subjects(alice.QuarantineFolder()), std::vector<std::string>{"waiting"});
}

}  // namespace
}  // namespace vorla
