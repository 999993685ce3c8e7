#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>

#include "app/cli/AccountKeys.h"
#include "app/cli/Cli.h"
#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using test::ReadFile;
using test::TTempDir;

struct TResult {
    int status;
    std::string out;
    std::string err;
};

class AccountCommandsTest : public ::testing::Test {
protected:
    AccountCommandsTest() { SetPrivateTempFolder(m_dir.Path()); }
    ~AccountCommandsTest() override {
        SetPrivateTempFolder("");
        SetHomeFolder("");
    }

    // Runs one command line in this process, with --home after the command words.
    TResult Run(std::vector<std::string> args, const std::string& input = "") {
        args.push_back("--home");
        args.push_back(m_home);
        std::ostringstream out, err;
        std::istringstream in(input);
        const int status = RunCli(args, out, err, in);
        return {status, out.str(), err.str()};
    }
    std::vector<std::string> AccountFolders() const { return FindFolders(m_home + "accounts/"); }
    std::string OptionsOf(const std::string& name) {
        SetHomeFolder(m_home);
        TZivadAccounts list(nullptr);
        const TAccountPtr a = list.FindByName(name);
        std::string text = a ? ReadFile(a->OptionsFileName()) : "";
        list.Clear();
        return text;
    }

    TTempDir m_dir;
    std::string m_home = m_dir / "home/";
};

TEST_F(AccountCommandsTest, AddedAndChangedAccountLoadsBackInTheEngine) {
    TResult r = Run({"account", "add", "Work", "email=me@example.org", "popserver=pop.example.org", "popport=995",
                     "loginname=me", "password=-", "smtpserver=smtp.example.org", "SMTPPORT=587",
                     "smtppassword=-", "rejectkb=-1", "nodownload=yes", "enablemailbot=1"},
                    "pop secret\nsmtp secret\r\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"account", "set", "Work", "enablefetch=off", "rejectolddates=1", "name=Office", "popauth=XOAUTH2",
             "smtpauth=oauthbearer", "passwordcommand=~/bin/mail-token 'work account'",
             "smtppasswordcommand=pass show mail/work"});
    ASSERT_EQ(r.status, 0) << r.err;

    SetHomeFolder(m_home);
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    TZivad engine(queue);
    ASSERT_EQ(engine.Accounts().Count(), 1);
    const TZivadAccount& a = *engine.Accounts().Items(0);
    EXPECT_EQ(a.Settings()->name, "Office");
    EXPECT_EQ(a.Settings()->email, "me@example.org");
    EXPECT_EQ(a.Settings()->popserver, "pop.example.org");
    EXPECT_EQ(a.Settings()->popport, 995);
    EXPECT_EQ(a.Settings()->loginname, "me");
    EXPECT_EQ(a.Settings()->password, "pop secret");
    EXPECT_EQ(a.Settings()->smtpserver, "smtp.example.org");
    EXPECT_EQ(a.Settings()->smtpport, 587);
    EXPECT_EQ(a.Settings()->smtppassword, "smtp secret");
    EXPECT_EQ(a.Settings()->rejectkb, -1);
    EXPECT_TRUE(a.Settings()->nodownload);
    EXPECT_TRUE(a.Settings()->enablemailbot);
    EXPECT_FALSE(a.Settings()->enablefetch);
    EXPECT_TRUE(a.Settings()->rejectolddates);
    EXPECT_EQ(a.Settings()->popauth, TPopAuth::XOAuth2);
    EXPECT_EQ(a.Settings()->smtpauth, TSmtpAuth::OAuthBearer);
    EXPECT_EQ(a.Settings()->passwordcommand, "~/bin/mail-token 'work account'");
    EXPECT_EQ(a.Settings()->smtppasswordcommand, "pass show mail/work");
    // Untouched settings keep the new-account defaults, not the load defaults.
    EXPECT_TRUE(a.Settings()->enablesend);
    EXPECT_TRUE(a.Settings()->senddirect);
    EXPECT_TRUE(a.Settings()->enablefilters);
    EXPECT_FALSE(a.Settings()->rejectillegalips);
    EXPECT_EQ(a.FolderName().size(), 38u);  // a new GUID folder
}

TEST_F(AccountCommandsTest, PasswordsAreStoredScrambledAndNeverPrinted) {
    TResult add = Run({"account", "add", "Home", "password=-", "smtppassword=plain-smtp"}, "Hunter2-pop\n");
    ASSERT_EQ(add.status, 0) << add.err;
    TResult list = Run({"accounts"});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string options = OptionsOf("Home");
    for (const std::string& secret : {std::string("Hunter2-pop"), std::string("plain-smtp")}) {
        SCOPED_TRACE(secret);
        EXPECT_THAT(options, HasSubstr(ScramblePassword(secret)));
        EXPECT_THAT(options, Not(HasSubstr(secret)));
        EXPECT_THAT(add.out + add.err + list.out + list.err, Not(HasSubstr(secret)));
    }
    EXPECT_THAT(list.out, HasSubstr("Home\t"));
    EXPECT_THAT(list.out, HasSubstr("\tenablefetch=1\tvorla=0\tquarantine=0\ttrash=0\tqueue=0\n"));
}

TEST_F(AccountCommandsTest, RefusedSettingsWriteNothing) {
    ASSERT_EQ(Run({"account", "add", "Keep", "popport=110"}).status, 0);
    const std::vector<std::string> folders = AccountFolders();
    const std::string options = OptionsOf("Keep");
    const std::vector<std::vector<std::string>> bad = {
        {"bogus=1"},          {"popport=70000"},       {"popport=abc"},   {"popport=-1"},
        {"smtpport=99999"},   {"enablefetch=maybe"},   {"rejectkb=1.5"},  {"rejectkb=3000000000"},
        {"name="},            {"email=a\nb"},          {"popserver=x\ry"}, {"noequals"},
        {"=1"},               {"password=-"},  // nothing on standard input
        {"popauth=apop"},     {"smtpauth=plain"},     {"popauth="},      {"passwordcommand=a\nb"},
        {"email=ok@example.org", "popport=65536"},  // one bad word spoils them all
    };
    for (const auto& words : bad) {
        SCOPED_TRACE(words.front());
        std::vector<std::string> add = {"account", "add", "New"};
        add.insert(add.end(), words.begin(), words.end());
        TResult r = Run(add);
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(AccountFolders(), folders);

        std::vector<std::string> set = {"account", "set", "Keep"};
        set.insert(set.end(), words.begin(), words.end());
        r = Run(set);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(OptionsOf("Keep"), options);
    }
    TResult unknown = Run({"account", "set", "Nobody", "email=x@example.org"});
    EXPECT_NE(unknown.status, 0);
    EXPECT_THAT(unknown.err, HasSubstr("no account named 'Nobody'"));
    TResult twice = Run({"account", "add", "Keep"});
    EXPECT_NE(twice.status, 0);
    EXPECT_THAT(twice.err, HasSubstr("exists already"));
    ASSERT_EQ(Run({"account", "add", "Other"}).status, 0);
    TResult rename = Run({"account", "set", "Other", "name=Keep"});
    EXPECT_NE(rename.status, 0);
    EXPECT_EQ(AccountFolders().size(), folders.size() + 1);
}

TEST_F(AccountCommandsTest, TheHelpNamesEveryAccountKeyAndTheLoginWords) {
    const TResult help = Run({"--help"});
    ASSERT_EQ(help.status, 0) << help.err;
    for (const std::string& key : AccountSettingKeys())
        EXPECT_THAT(help.out, ::testing::ContainsRegex("[ \n]" + key + "[ \n]")) << key;
    for (const char* word : {"user", "plain", "xoauth2", "oauthbearer", "auto", "secret-tool lookup", "pass show"})
        EXPECT_THAT(help.out, HasSubstr(word));
}

TEST_F(AccountCommandsTest, DeleteRemovesTheFolder) {
    ASSERT_EQ(Run({"account", "add", "Gone"}).status, 0);
    ASSERT_EQ(AccountFolders().size(), 1u);
    TResult r = Run({"account", "delete", "Gone"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(AccountFolders().empty());
    EXPECT_NE(Run({"account", "delete", "Gone"}).status, 0);
}

TEST_F(AccountCommandsTest, LockRefusesASecondWriterButNotReaders) {
    ASSERT_EQ(Run({"account", "add", "Kept"}).status, 0);
    const std::vector<std::string> folders = AccountFolders();
    THomeLock held(m_home);  // as a running service holds it
    const std::string holder = "in use by process " + std::to_string(::getpid());
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"account", "add", "Second"}, {"account", "delete", "Kept"},
          {"account", "set", "Kept", "email=x@example.org"}, {"import", "dir", "file.eml"}}) {
        SCOPED_TRACE(words[1]);
        TResult r = Run(words);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, HasSubstr(holder));
        EXPECT_EQ(AccountFolders(), folders);
    }
    TResult list = Run({"accounts"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out, HasSubstr("Kept\t"));
    EXPECT_EQ(Run({"log"}).status, 0);
}

TEST_F(AccountCommandsTest, UsageErrorsAreReported) {
    EXPECT_EQ(Run({"account"}).status, 2);
    EXPECT_EQ(Run({"account", "rename", "x"}).status, 2);
    EXPECT_EQ(Run({"account", "add"}).status, 2);
    EXPECT_EQ(Run({"log", "--daily", "--accounts"}).status, 2);
    EXPECT_EQ(Run({"log", "--account"}).status, 2);
    EXPECT_EQ(Run({"accounts", "extra"}).status, 2);
}

}  // namespace
}  // namespace vorla
