// Fetch and peek of accounts that log in with OAuth 2.0 access tokens or AUTH PLAIN and take
// their secret from a command, against a real Dovecot whose OAuth password database asks a
// token introspection endpoint on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/FetchCycle.h"
#include "engine/FetchCycleFixture.h"
#include "engine/ZivadPeek.h"
#include "support/DovecotServer.h"
#include "support/OAuthServer.h"
#include "support/RecordingProxy.h"
#include "support/TestCertificates.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::Mail;
using test::TDovecotServer;
using test::TTestCertificates;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kGoodToken = "ya29.fresh-token-of-the-user";
constexpr const char* kExpiredToken = "ya29.token-that-has-expired";

class FetchLoginTest : public test::FetchFixture {
protected:
    void SetUp() override {
        std::string why = TDovecotServer::Unavailable();
        if (why.empty()) why = TTestCertificates::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_certificates = std::make_unique<TTestCertificates>();
        const auto good = m_certificates->Issue("localhost", {"localhost"});
        std::vector<test::TAccessToken> tokens;
        std::vector<test::TPopUser> users;
        for (const char* user : {"alice", "bob", "carol", "dan"}) {
            tokens.push_back({kGoodToken + std::string("-") + user, user, true});
            tokens.push_back({kExpiredToken + std::string("-") + user, user, false});
            users.push_back({user, std::string(user) + "pw"});
        }
        m_tokens = std::make_unique<test::TIntrospectionServer>(tokens);
        m_server = std::make_unique<TDovecotServer>(users, test::TDovecotTls{good.certFile, good.keyFile}, m_tokens->Url());
        Engine().SetTrustedCa(m_certificates->CaFile());
    }

    // An account of user that logs in with auth over mode, its secret given by command.
    TZivadAccount& Account(const std::string& user, TPopAuth auth, TTlsMode mode, const std::string& command,
                           std::uint16_t port = 0) {
        if (port == 0) port = mode == TTlsMode::Implicit ? m_server->TlsPort() : m_server->Port();
        TZivadAccount& account = NewAccount(user, user, "", port, "localhost");
        account.Edit([&](TAccountSettings& s) {
            s.popsecurity = mode;
            s.popauth = auth;
            s.passwordcommand = command;
        });
        account.Save();
        return account;
    }
    static std::string Printing(const std::string& secret) { return "printf '%s\\n' '" + secret + "'"; }

    std::unique_ptr<TTestCertificates> m_certificates;
    std::unique_ptr<test::TIntrospectionServer> m_tokens;
    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(FetchLoginTest, EachMechanismFetchesWithTheSecretItsCommandGives) {
    struct TRow {
        const char* user;
        TPopAuth auth;
        TTlsMode mode;
        std::string secret;
    } rows[] = {
        {"alice", TPopAuth::XOAuth2, TTlsMode::StartTls, kGoodToken + std::string("-alice")},
        {"bob", TPopAuth::OAuthBearer, TTlsMode::Implicit, kGoodToken + std::string("-bob")},
        {"carol", TPopAuth::Plain, TTlsMode::StartTls, "carolpw"},
        {"dan", TPopAuth::XOAuth2, TTlsMode::None, kGoodToken + std::string("-dan")},  // loopback
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.user);
        m_server->AddMessage(row.user, Mail("first for " + std::string(row.user)));
        m_server->AddMessage(row.user, Mail("second for " + std::string(row.user)));
        TZivadAccount& account = Account(row.user, row.auth, row.mode, Printing(row.secret));
        FetchMail(account, Engine().Log());
        EXPECT_EQ(Subjects(account.QuarantineFolder()),
                  (std::vector<std::string>{"first for " + std::string(row.user), "second for " + std::string(row.user)}));
        EXPECT_TRUE(m_server->MessageFiles(row.user).empty());
        EXPECT_EQ(Status("FETCH").back(), "\tFETCH\t" + std::string(row.user) +
                                              "\tAccepted=0 Trashed=0 Quarantined=2 Rejected=0 Purged=0 Errors=0");
        // The secret is nowhere but in the command line of the account.
        EXPECT_THAT(Engine().Log().LogText(), Not(HasSubstr(row.secret)));
        for (const auto& entry : std::filesystem::recursive_directory_iterator(account.AccountFolder())) {
            if (!entry.is_regular_file() || entry.path().filename() == "options.ini") continue;
            EXPECT_THAT(test::ReadFile(entry.path().string()), Not(HasSubstr(row.secret))) << entry.path();
        }
    }
    EXPECT_TRUE(m_server->WaitForLog("method=OAUTHBEARER", 1, 5000));
    EXPECT_TRUE(m_server->WaitForLog("method=XOAUTH2", 2, 5000));
    EXPECT_TRUE(m_server->WaitForLog("method=PLAIN", 1, 5000));
}

TEST_F(FetchLoginTest, AFailedLoginOrCommandIsReportedAndLeavesTheMailOnTheServer) {
    struct TRow {
        const char* user;
        TPopAuth auth;
        std::string command;
        std::string error;     // the start of the account's error line after "Error - name - "
        bool onStatusLine;     // the error shows on the status line too
    } rows[] = {
        {"alice", TPopAuth::XOAuth2, Printing(kExpiredToken + std::string("-alice")),
         "AUTH XOAUTH2 refused: -ERR [AUTH] Authentication failed. ({\"status\":", false},
        {"bob", TPopAuth::OAuthBearer, Printing(kExpiredToken + std::string("-bob")),
         "AUTH OAUTHBEARER refused: -ERR [AUTH] Authentication failed. ({\"status\":\"invalid_token\"", false},
        {"carol", TPopAuth::XOAuth2, "echo 'refresh token revoked' >&2; exit 2",
         "password command failed: exit status 2: refresh token revoked", true},
        // The token of another user is no token of this one.
        {"dan", TPopAuth::OAuthBearer, Printing(kGoodToken + std::string("-alice")),
         "AUTH OAUTHBEARER refused: -ERR", false},
    };
    int source = 20;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.user);
        m_server->AddMessage(row.user, Mail("waiting for " + std::string(row.user)));
        // Dovecot slows down each failed login from one address more than the one before:
        // each account comes through a relay from an address of its own.
        test::TRecordingProxy relay(m_server->Port(), "127.0.0." + std::to_string(source++));
        TZivadAccount& account = Account(row.user, row.auth, TTlsMode::StartTls, row.command, relay.Port());
        FetchMail(account, Engine().Log());
        const std::string prefix = std::string(row.user) + "\tError - " + row.user + " - ";
        const std::vector<std::string> events = LogEvents();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().rfind(prefix + row.error, 0), 0u) << events.back();
        EXPECT_EQ(Status("FETCH").back(), "\tFETCH\t" + std::string(row.user) +
                                              "\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=1");
        const std::vector<std::string> progress = Progress();
        const bool shown = std::any_of(progress.begin(), progress.end(), [&](const std::string& line) {
            return line.rfind("[" + std::string(row.user) + "] " + row.error, 0) == 0;
        });
        EXPECT_EQ(shown, row.onStatusLine);
        const std::vector<std::string> history = Status("FETCH");
        EXPECT_EQ(history.size() >= 2 && history[history.size() - 2] == "\tFETCH\t" + std::string(row.user) + "\t" + row.error,
                  row.onStatusLine);
        EXPECT_EQ(m_server->MessageFiles(row.user).size(), 1u);
        EXPECT_EQ(account.QuarantineFolder().Count() + account.VorlaFolder().Count(), 0);
        EXPECT_FALSE(account.Busy());
    }
}

TEST_F(FetchLoginTest, StopEndsAHangingCommandAndTheFetchEndsCleanly) {
    m_server->AddMessage("alice", Mail("stays"));
    const std::string started = m_home / "started";
    TZivadAccount& alice = Account("alice", TPopAuth::XOAuth2, TTlsMode::StartTls, "touch " + started + "; sleep 60");
    std::thread fetch([&] { FetchMail(alice, Engine().Log()); });
    for (int i = 0; i < 500 && !std::filesystem::exists(started); ++i) std::this_thread::sleep_for(10ms);
    alice.RequestStop();
    fetch.join();
    EXPECT_EQ(LogEvents().back(), "alice\tError - alice - password command failed: stopped");
    EXPECT_EQ(m_server->MessageFiles("alice").size(), 1u);
    EXPECT_FALSE(alice.Busy());
}

TEST_F(FetchLoginTest, PeekListsWithEachMechanismAndSaysWhyWhenTheCommandFails) {
    struct TRow {
        const char* user;
        TPopAuth auth;
        std::string secret;
    } rows[] = {
        {"alice", TPopAuth::OAuthBearer, kGoodToken + std::string("-alice")},
        {"bob", TPopAuth::XOAuth2, kGoodToken + std::string("-bob")},
        {"carol", TPopAuth::Plain, "carolpw"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.user);
        m_server->AddMessage(row.user, Mail("look at me"));
        TZivadAccount& account = Account(row.user, row.auth, TTlsMode::StartTls, Printing(row.secret));
        TZivadPeek peek;
        peek.SetAccount(account);
        const TPeekResult listed = peek.ConnectAndList();
        ASSERT_TRUE(listed.ok) << listed.error;
        ASSERT_EQ(peek.Count(), 1);
        EXPECT_EQ(peek.Item(0)->Message().Subject, "look at me");
        peek.Item(0)->Deleted = true;
        peek.Disconnect();
        EXPECT_TRUE(m_server->MessageFiles(row.user).empty());
    }

    TZivadAccount& dan = Account("dan", TPopAuth::XOAuth2, TTlsMode::StartTls, "echo 'keyring is locked' >&2; exit 1");
    TZivadPeek peek;
    peek.SetAccount(dan);
    const TPeekResult refused = peek.ConnectAndList();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, "password command failed: exit status 1: keyring is locked");
    EXPECT_FALSE(peek.Connected());
}

}  // namespace
}  // namespace vorla
