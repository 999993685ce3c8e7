// Drives the real vorla program: vorla classify and vorla rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/HomeLock.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

using ::testing::HasSubstr;
using vorla::test::ReadFile;
using vorla::test::RunVorla;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

using TRun = vorla::test::TProgramResult;

std::string Corpus(const std::string& name) { return std::string(CORPUS_DIR) + "/" + name; }

constexpr char kAccountRules[] =
    "\"friends\",\"Accept\",\"From\",\"@world.std.com\",\"1\"\r\n"
    "\"casino\",\"Reject\",\"Body\",\"casino bonus\",\"1\"\r\n"
    "\"parked\",\"None\",\"Subject\",\"later\",\"0\"\r\n";
constexpr char kGlobalRules[] =
    "\"GTUBE\",\"Reject\",\"Body\",\"GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL\",\"1\"\r\n"
    "\"lottery\",\"Reject\",\"Body\",\"lottery prize\",\"1\"\r\n";

class FilterCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Vorla({"account", "add", "Work", "email=me@example.net"}).exitCode, 0);
        WriteFile(m_dir / "account.txt", kAccountRules);
        WriteFile(m_dir / "global.txt", kGlobalRules);
        TRun r = Vorla({"rules", "Work", "--import", m_dir / "account.txt"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Imported 3 rules into the rules of Work\n");
        r = Vorla({"rules", "--import", m_dir / "global.txt"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Imported 2 rules into global rules\n");
    }
    TRun Vorla(std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", m_home});
        return RunVorla(args);
    }
    std::string AccountFolder() const {
        const std::vector<std::string> folders = vorla::FindFolders(m_home + "accounts/");
        return folders.empty() ? "" : m_home + "accounts/" + folders.front() + "/";
    }
    std::string Message(const std::string& name, const std::string& text) {
        WriteFile(m_dir / name, text);
        return m_dir / name;
    }
    // Every file of the home folder with its bytes, to see that nothing changed.
    std::vector<std::pair<std::string, std::string>> Snapshot() const {
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<std::string> folders = {m_home};
        for (std::size_t i = 0; i < folders.size(); ++i) {
            for (const std::string& sub : vorla::FindFolders(folders[i])) folders.push_back(folders[i] + sub + "/");
            for (const std::string& file : vorla::FindFiles(folders[i], "*"))
                if (file != ".lock") files.emplace_back(folders[i] + file, ReadFile(folders[i] + file));
        }
        return files;
    }

    TTempDir m_dir;
    std::string m_home = m_dir / "home/";
};

TEST_F(FilterCommandsTest, ImportedRulesAreListedExportedAndNotImportedTwice) {
    TRun r = Vorla({"rules", "Work"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Accept\tFrom\t1\t0\t-\tfriends\t@world.std.com\n"
              "Reject\tBody\t1\t0\t-\tcasino\tcasino bonus\n"
              "None\tSubject\t0\t0\t-\tparked\tlater\n");
    EXPECT_EQ(ReadFile(AccountFolder() + "filters"), kAccountRules);

    const struct {
        const char* which;
        std::string want;
    } exports[] = {
        {"all", kAccountRules},
        {"accept", "\"friends\",\"Accept\",\"From\",\"@world.std.com\",\"1\"\r\n"},
        {"reject", "\"casino\",\"Reject\",\"Body\",\"casino bonus\",\"1\"\r\n"},
        {"none", "\"parked\",\"None\",\"Subject\",\"later\",\"0\"\r\n"},
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.which);
        r = Vorla({"rules", "Work", "--export", e.which});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, e.want);
    }
    r = Vorla({"rules", "--export", "all"});
    EXPECT_EQ(r.out, kGlobalRules);

    // Importing the export again adds nothing; the same search text in other letter case is new.
    WriteFile(m_dir / "again.txt", std::string(kAccountRules) + "\"shout\",\"Reject\",\"Body\",\"CASINO BONUS\",\"1\"\n");
    r = Vorla({"rules", "Work", "--import", m_dir / "again.txt"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Imported 1 rule into the rules of Work\n");
    EXPECT_EQ(Vorla({"rules", "Work", "--export", "reject"}).out,
              "\"casino\",\"Reject\",\"Body\",\"casino bonus\",\"1\"\r\n"
              "\"shout\",\"Reject\",\"Body\",\"CASINO BONUS\",\"1\"\r\n");
}

TEST_F(FilterCommandsTest, ClassifyPrintsResultAndReasonForEachFile) {
    const std::string undecided = Message("undecided.msg", "From: someone@example.org\r\nTo: me@example.net\r\n"
                                                           "Subject: hello\r\n\r\nJust saying hello.\r\n.\r\n");
    const std::string casino = Message("casino.msg", "From: a@example.org\r\nSubject: x\r\n\r\nA casino bonus!\r\n.\r\n");
    TRun r = Vorla({"classify", "Work", Corpus("spamassassin/sample-spam.txt"),
                    Corpus("spamassassin/sample-nonspam.txt"), undecided, casino, m_dir / "missing.msg"});
    EXPECT_EQ(r.exitCode, 1);  // one file could not be read; the others were classified
    EXPECT_EQ(r.out, Corpus("spamassassin/sample-spam.txt") + "\t-1\tglobal:GTUBE\n" +
                         Corpus("spamassassin/sample-nonspam.txt") + "\t1\tlocal:friends\n" + undecided + "\t0\t\n" +
                         casino + "\t-1\tlocal:casino\n");
    EXPECT_THAT(r.err, HasSubstr(m_dir / "missing.msg"));

    // The built-in checks come from the account's options.
    ASSERT_EQ(Vorla({"account", "set", "Work", "rejectinvalidrecipient=1", "rejectolddates=1"}).exitCode, 0);
    r = Vorla({"classify", "Work", undecided, Corpus("spamassassin/sample-nonspam.txt")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, undecided + "\t-1\tOld_date\n" + Corpus("spamassassin/sample-nonspam.txt") +
                         "\t-1\tInvalid_Recipient\n");
}

TEST_F(FilterCommandsTest, ClassifyReadsTheDisplayTextAndItsLength) {
    // The body rule's words stand only in a base64 text part: the display text decodes it.
    const std::string multipart = Message(
        "multipart.msg",
        "From: a@example.org\r\nSubject: x\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n--b\r\n"
        "Content-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "WW91ciBjYXNpbm8gYm9udXMgYXdhaXRzLg==\r\n--b--\r\n.\r\n");
    TRun r = Vorla({"classify", "Work", multipart});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, multipart + "\t-1\tlocal:casino\n");

    std::string big = "From: a@example.org\r\nSubject: x\r\n\r\n";
    while (big.size() < 1200) big += "A line of ordinary text.\r\n";
    const std::string bigFile = Message("big.msg", big + ".\r\n");
    const std::string small = Message("small.msg", "From: a@example.org\r\nSubject: x\r\n\r\nShort.\r\n.\r\n");
    ASSERT_EQ(Vorla({"account", "set", "Work", "rejectkb=1"}).exitCode, 0);
    r = Vorla({"classify", "Work", bigFile, small});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, bigFile + "\t-1\tMsg_Too_Big\n" + small + "\t0\t\n");
}

TEST_F(FilterCommandsTest, ClassifyChangesNothingAndRunsBesideALockHolder) {
    // With auto-add on, a global body hit would add Received IP rules and log them.
    WriteFile(m_home + "vorla.ini", "[filters]\r\nautoaddreceived=1\r\n");
    const std::string lottery =
        Message("lottery.msg", ReadFile(std::string(TEST_DATA_DIR) + "/three-received-lines-two-addresses.eml"));
    const auto before = Snapshot();
    {
        vorla::THomeLock lock(m_home);  // as the running service would hold it
        TRun r = Vorla({"classify", "Work", lottery, lottery});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, lottery + "\t-1\tglobal:lottery\n" + lottery + "\t-1\tglobal:lottery\n");

        r = Vorla({"rules", "--import", m_dir / "account.txt"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.err, HasSubstr("in use by process"));
        EXPECT_EQ(Vorla({"rules", "Work"}).exitCode, 0);
    }
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(vorla::FileExists(m_home + "vorla.log"));
    EXPECT_EQ(Vorla({"rules", "--export", "all"}).out, kGlobalRules);
}

TEST_F(FilterCommandsTest, ListingCountsHitsFromTheLog) {
    WriteFile(m_home + "vorla.log",
              "07 Dec 2026 12:22:26\tWork\tRejected - (local:casino) Date: x From: a@example.org Subject: one\r\n"
              "08 Dec 2026 09:00:00\tWork\tTrashed - (local:casino) Date: x From: a@example.org Subject: two\r\n"
              "08 Dec 2026 10:00:00\tWork\tRejected - (global:GTUBE) Date: x From: b@example.net Subject: t\r\n");
    TRun r = Vorla({"rules", "Work"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Reject\tBody\t1\t2\t08 Dec 2026\tcasino\tcasino bonus\n"));
    r = Vorla({"rules"});
    EXPECT_EQ(r.out,
              "Reject\tBody\t1\t1\t08 Dec 2026\tGTUBE\tGTUBE-STANDARD-ANTI-UBE-TEST-EMAIL\n"
              "Reject\tBody\t1\t0\t-\tlottery\tlottery prize\n");
}

TEST_F(FilterCommandsTest, WrongCommandLinesChangeNothing) {
    const auto before = Snapshot();
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } rows[] = {
        {{"classify", "Work"}, 2, "usage: classify ACCOUNT FILE..."},
        {{"classify", "Nobody", "x.msg"}, 1, "no account named 'Nobody'"},
        {{"classify", "Work", "--fast", "x.msg"}, 2, "unknown classify option '--fast'"},
        {{"rules", "--export", "some"}, 2, "--export needs accept, reject, none or all"},
        {{"rules", "--export"}, 2, "--export needs"},
        {{"rules", "--import"}, 2, "--import needs a file"},
        {{"rules", "--export", "all", "--import", "x"}, 2, "choose one of --export and --import"},
        {{"rules", "Work", "Home"}, 2, "one account name at most"},
        {{"rules", "Nobody"}, 1, "no account named 'Nobody'"},
        {{"rules", "Nobody", "--import", m_dir / "account.txt"}, 1, "no account named 'Nobody'"},
        {{"rules", "--import", m_dir / "missing.txt"}, 1, "missing.txt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const TRun r = Vorla(row.args);
        EXPECT_EQ(r.exitCode, row.status);
        EXPECT_THAT(r.err, HasSubstr(row.err));
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Snapshot(), before);
}

TEST(FilterCommands, UnusedHomeHasNoRulesAndStaysUnmade) {
    TTempDir dir;
    const TRun r = RunVorla({"rules", "--home", dir / "never-used"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(vorla::DirectoryExists(dir / "never-used"));
}

}  // namespace
