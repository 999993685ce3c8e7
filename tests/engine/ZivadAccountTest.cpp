#include "engine/ZivadAccount.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

// The account folders of a test lie in their own temporary home.
class AccountTest : public ::testing::Test {
protected:
    AccountTest() {
        SetHomeFolder(m_home.Path());
        m_root = m_home.Path() + "accounts/";
    }
    std::string Folder(const std::string& name) const { return m_root + name + "/"; }
    std::unique_ptr<TZivadAccount> Loaded(const std::string& name) {
        auto account = std::make_unique<TZivadAccount>(nullptr, name);
        account->Load();
        return account;
    }

    TTempDir m_home;
    std::string m_root;
};

// Expected values computed by hand: each character XOR the key character "tUkIr"[p mod 5],
// four upper-case hex digits per character, the last character's group first.
TEST(PasswordScrambling, GroupsStandInReverseOrderWithTheCyclicKey) {
    struct Row {
        const char* password;
        const char* stored;
    } rows[] = {
        {"", ""},
        {"ab", "00370015"},  // 'a'^'t' = 0x15, 'b'^'U' = 0x37
        {"secret", "00000017003B000800300007"},
        {"tUkIrX", "002C00000000000000000000"},  // the sixth character uses 't' again
        {"\xff", "008B"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.password);
        EXPECT_EQ(ScramblePassword(row.password), row.stored);
        EXPECT_EQ(UnscramblePassword(row.stored), row.password);
    }
}

TEST(PasswordScrambling, DamageEndsDecodingAfterTheGoodGroups) {
    struct Row {
        const char* stored;
        const char* password;
    } rows[] = {
        {"ZZ370015", "a"},      // the first group (second character) is damaged
        {"00370015", "ab"},
        {"00000017003b000800300007", "secret"},  // lower-case hex reads too
        {"700370015", "ab"},    // length not a multiple of four: the leftover front character
        {"015", ""},            // fewer than four characters
        {"01000015", "a"},      // a group above one byte is damage
        {"00370Z15", ""},       // the last group is damaged: nothing decodes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored);
        EXPECT_EQ(UnscramblePassword(row.stored), row.password);
    }
}

TEST(PasswordScrambling, EveryByteValueRoundTrips) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    const std::string stored = ScramblePassword(all);
    EXPECT_EQ(stored.size(), all.size() * 4);
    EXPECT_EQ(UnscramblePassword(stored), all);
}

TEST_F(AccountTest, EmptyFolderNameGetsAGuidFolderWithItsMessageFolders) {
    TZivadAccount account(nullptr, "");
    EXPECT_TRUE(std::regex_match(account.FolderName(),
                                 std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})")))
        << account.FolderName();
    EXPECT_EQ(account.AccountFolder(), Folder(account.FolderName()));
    for (const char* sub : {"", "vorla/", "quarantine/", "trash/", "queue/", "queue/temp/"}) {
        SCOPED_TRACE(sub);
        EXPECT_TRUE(DirectoryExists(account.AccountFolder() + sub));
    }
    EXPECT_EQ(account.VorlaFolder().Folder(), account.AccountFolder() + "vorla/");
    EXPECT_EQ(account.QueueFolder().Folder(), account.AccountFolder() + "queue/");
    EXPECT_EQ(ModeOf(account.AccountFolder()), 0700u);
    TZivadAccount second(nullptr, "");
    EXPECT_NE(second.FolderName(), account.FolderName());
}

TEST_F(AccountTest, FolderNamesThatLeaveTheAccountsFolderAreRefused) {
    for (const char* bad : {"..", ".", "a/b", "../escape"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(TZivadAccount(nullptr, bad), TVorlaError);
    }
    EXPECT_FALSE(DirectoryExists(m_home.Path() + "escape"));
}

TEST_F(AccountTest, FolderWithoutOptionsLoadsTheLoadDefaults) {
    ForceDirectories(Folder("byhand"));
    auto account = Loaded("byhand");
    EXPECT_FALSE(account->Settings()->enablefetch);
    EXPECT_FALSE(account->Settings()->enablesend);
    EXPECT_FALSE(account->Settings()->senddirect);
    EXPECT_FALSE(account->Settings()->enablefilters);
    EXPECT_TRUE(account->Settings()->rejectolddates);
    EXPECT_TRUE(account->Settings()->rejectillegalips);
    EXPECT_EQ(account->Settings()->popport, 110);
    EXPECT_EQ(account->Settings()->smtpport, 25);
    EXPECT_EQ(account->Settings()->awayText, TAccountSettings::kDefaultAwayText);  // no away.txt: kept
    EXPECT_TRUE(account->LoadWarnings().empty());
    // The first read creates the options file, private to the user.
    EXPECT_TRUE(FileExists(account->OptionsFileName()));
    EXPECT_EQ(ModeOf(account->OptionsFileName()), 0600u);
    // A new account that is not loaded keeps the construction defaults.
    TZivadAccount fresh(nullptr, "fresh");
    EXPECT_TRUE(fresh.Settings()->enablefetch && fresh.Settings()->enablesend && fresh.Settings()->senddirect && fresh.Settings()->enablefilters);
    EXPECT_FALSE(fresh.Settings()->rejectolddates || fresh.Settings()->rejectillegalips);
}

TEST_F(AccountTest, OptionsRoundTripInKeyOrderWithScrambledPasswords) {
    {
        TZivadAccount account(nullptr, "acc");
        account.Edit([&](TAccountSettings& s) {
            s.name = "Home";
            s.email = "me@example.org";
            s.popserver = "pop.example.org";
            s.popport = 995;
            s.loginname = "me";
            s.password = "ab";
            s.enablefetch = false;
            s.away = true;
            s.rejectresponse = true;
            s.enablefilters = false;
            s.enablesend = false;
            s.senddirect = false;
            s.smtpserver = "smtp.example.org";
            s.smtpport = 587;
            s.smtploginname = "smtpme";
            s.smtppassword = "secret";
            s.enableredirect = true;
            s.redirectquarantined = true;
            s.redirectdelete = true;
            s.nameredirect = true;
            s.nodownload = true;
            s.enablemailbot = true;
            s.nodelete = true;
            s.rejectkb = 512;
            s.rejectownemail = true;
            s.rejectinvalidrecipient = true;
            s.rejectolddates = false;
            s.rejectillegalips = false;
        });
        account.Save();
    }
    const std::string options = ReadFile(Folder("acc") + "options.ini");
    std::vector<std::string> keys;
    std::size_t pos = options.find("[options]\r\n");
    ASSERT_NE(pos, std::string::npos);
    for (std::size_t start = pos + 11; start < options.size();) {
        const std::size_t end = options.find("\r\n", start);
        const std::string line = options.substr(start, end - start);
        keys.push_back(line.substr(0, line.find('=')));
        start = end == std::string::npos ? options.size() : end + 2;
    }
    const std::vector<std::string> expected = {
        "name", "email", "popserver", "popport", "loginname", "password", "enablefetch", "away",
        "rejectresponse", "enablefilters", "enablesend", "senddirect", "smtpserver", "smtpport",
        "smtploginname", "smtppassword", "enableredirect", "redirectquarantined", "redirectdelete",
        "nameredirect", "nodownload", "enablemailbot", "nodelete", "rejectkb", "rejectownemail",
        "rejectinvalidrecipient", "rejectolddates", "rejectillegalips", "popsecurity", "smtpsecurity",
        "verifycert", "popauth", "smtpauth", "passwordcommand", "smtppasswordcommand"};
    EXPECT_EQ(keys, expected);
    EXPECT_NE(options.find("\r\npassword=00370015\r\n"), std::string::npos);
    EXPECT_NE(options.find("\r\nsmtppassword=00000017003B000800300007\r\n"), std::string::npos);
    EXPECT_NE(options.find("\r\nenablefetch=0\r\naway=1\r\n"), std::string::npos);
    EXPECT_EQ(ModeOf(Folder("acc") + "options.ini"), 0600u);

    auto loaded = Loaded("acc");
    EXPECT_EQ(loaded->Settings()->name, "Home");
    EXPECT_EQ(loaded->Settings()->email, "me@example.org");
    EXPECT_EQ(loaded->Settings()->popserver, "pop.example.org");
    EXPECT_EQ(loaded->Settings()->popport, 995);
    EXPECT_EQ(loaded->Settings()->loginname, "me");
    EXPECT_EQ(loaded->Settings()->password, "ab");
    EXPECT_FALSE(loaded->Settings()->enablefetch);
    EXPECT_TRUE(loaded->Settings()->away);
    EXPECT_TRUE(loaded->Settings()->rejectresponse);
    EXPECT_FALSE(loaded->Settings()->enablefilters);
    EXPECT_FALSE(loaded->Settings()->enablesend);
    EXPECT_FALSE(loaded->Settings()->senddirect);
    EXPECT_EQ(loaded->Settings()->smtpserver, "smtp.example.org");
    EXPECT_EQ(loaded->Settings()->smtpport, 587);
    EXPECT_EQ(loaded->Settings()->smtploginname, "smtpme");
    EXPECT_EQ(loaded->Settings()->smtppassword, "secret");
    EXPECT_TRUE(loaded->Settings()->enableredirect && loaded->Settings()->redirectquarantined && loaded->Settings()->redirectdelete &&
                loaded->Settings()->nameredirect && loaded->Settings()->nodownload && loaded->Settings()->enablemailbot && loaded->Settings()->nodelete);
    EXPECT_EQ(loaded->Settings()->rejectkb, 512);
    EXPECT_TRUE(loaded->Settings()->rejectownemail && loaded->Settings()->rejectinvalidrecipient);
    EXPECT_FALSE(loaded->Settings()->rejectolddates || loaded->Settings()->rejectillegalips);
}

TEST_F(AccountTest, SaveKeepsLinesThatAreNotAccountKeys) {
    ForceDirectories(Folder("keep"));
    WriteFile(Folder("keep") + "options.ini", "[other]\r\nfoo=bar\r\n\r\n[options]\r\nname=Old\r\ncustom=1\r\n");
    auto account = Loaded("keep");
    EXPECT_EQ(account->Settings()->name, "Old");
    account->Edit([&](TAccountSettings& s) { s.name = "New"; });
    account->Save();
    const std::string options = ReadFile(Folder("keep") + "options.ini");
    EXPECT_NE(options.find("foo=bar"), std::string::npos);
    EXPECT_NE(options.find("custom=1"), std::string::npos);
    EXPECT_NE(options.find("name=New\r\n"), std::string::npos);
    EXPECT_EQ(options.find("name=Old"), std::string::npos);
}

TEST_F(AccountTest, LineBreaksInTextsCannotInjectOptionLines) {
    TZivadAccount account(nullptr, "inject");
    account.Edit([&](TAccountSettings& s) {
        s.name = "Evil\r\npassword=0000";
        s.password = "ab";
    });
    account.Save();
    auto loaded = Loaded("inject");
    EXPECT_EQ(loaded->Settings()->password, "ab");
    EXPECT_EQ(loaded->Settings()->name, "Evil  password=0000");
}

TEST_F(AccountTest, NumbersAreReadWithTheirDefaults) {
    struct Row {
        const char* popport;
        int expectedPort;
        bool warned;
    } rows[] = {
        {"995", 995, false}, {"0", 0, false},     {"65535", 65535, false}, {" 110", 110, false},
        {"abc", 110, false}, {"", 110, false},    {"12x", 110, false},     {"70000", 110, true},
        {"-1", 110, true},   {"99999999999999999999", 110, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.popport);
        TTempDir home;
        SetHomeFolder(home.Path());
        ForceDirectories(home.Path() + "accounts/a/");
        WriteFile(home.Path() + "accounts/a/options.ini",
                  std::string("[options]\r\npopport=") + row.popport + "\r\nsmtpport=x25\r\nrejectkb=4294967296\r\n");
        TZivadAccount account(nullptr, "a");
        account.Load();
        EXPECT_EQ(account.Settings()->popport, row.expectedPort);
        EXPECT_EQ(!account.LoadWarnings().empty(), row.warned);
        if (row.warned) {
            EXPECT_NE(account.LoadWarnings().front().find(row.popport), std::string::npos);
        }
        EXPECT_EQ(account.Settings()->smtpport, 25);
        EXPECT_EQ(account.Settings()->rejectkb, 0);
    }
}

TEST_F(AccountTest, ResponseTextsAndRedirectListAreLineFiles) {
    ForceDirectories(Folder("texts"));
    WriteFile(Folder("texts") + "away.txt", "Gone\nfishing");
    WriteFile(Folder("texts") + "redirect.txt", "a@example.org\r\nb@example.org\r\n");
    auto account = Loaded("texts");
    EXPECT_EQ(account->Settings()->awayText, "Gone\r\nfishing\r\n");
    EXPECT_EQ(account->Settings()->rejectText, TAccountSettings::kDefaultRejectText);
    EXPECT_EQ(account->Settings()->redirectAddresses, (std::vector<std::string>{"a@example.org", "b@example.org"}));

    account->Edit([&](TAccountSettings& s) {
        s.rejectText = "";
        s.redirectAddresses = {"c@example.org"};
    });
    account->Save();
    EXPECT_EQ(ReadFile(Folder("texts") + "away.txt"), "Gone\r\nfishing\r\n");
    EXPECT_EQ(ReadFile(Folder("texts") + "reject.txt"), "");
    EXPECT_EQ(ReadFile(Folder("texts") + "redirect.txt"), "c@example.org\r\n");
    auto reloaded = Loaded("texts");
    EXPECT_EQ(reloaded->Settings()->awayText, "Gone\r\nfishing\r\n");
    EXPECT_EQ(reloaded->Settings()->rejectText, "");
    EXPECT_EQ(reloaded->Settings()->redirectAddresses, std::vector<std::string>{"c@example.org"});
}

TEST_F(AccountTest, MailbotsRoundTripWithAttachmentsAndMultiLineTexts) {
    {
        TZivadAccount account(nullptr, "bots");
        account.AddMailbot("Info", "Line 1\r\n  indented \r\n-- \r\n", {"/docs/a.pdf", "/docs/b.txt", "/docs/c.zip"});
        account.AddMailbot("Prices", "Only one line");
        account.AddMailbot("Empty");
        account.Save();
    }
    EXPECT_EQ(ReadFile(Folder("bots") + "mailbot.ini"),
              "[Info]\r\ntext=Line 1\r\ntext=  indented \r\ntext=-- \r\ntext=\r\n"
              "file=/docs/a.pdf\r\nfile=/docs/b.txt\r\nfile=/docs/c.zip\r\n"
              "[Prices]\r\ntext=Only one line\r\n"
              "[Empty]\r\ntext=\r\n");
    auto loaded = Loaded("bots");
    ASSERT_EQ(loaded->Settings()->mailbots.size(), 3u);
    EXPECT_EQ(loaded->Settings()->mailbots[0].subject, "Info");
    EXPECT_EQ(loaded->Settings()->mailbots[0].text, "Line 1\r\n  indented \r\n-- \r\n");
    EXPECT_EQ(loaded->Settings()->mailbots[0].files, (std::vector<std::string>{"/docs/a.pdf", "/docs/b.txt", "/docs/c.zip"}));
    EXPECT_EQ(loaded->Settings()->mailbots[1].text, "Only one line");
    EXPECT_EQ(loaded->Settings()->mailbots[2].subject, "Empty");
    EXPECT_EQ(loaded->Settings()->mailbots[2].text, "");
    EXPECT_TRUE(loaded->Settings()->mailbots[2].files.empty());

    // A text whose lines end in lone LF comes back with CR LF, every line kept.
    loaded->Edit([](TAccountSettings& s) { s.mailbots[1].text = "one\ntwo\n\nfour"; });
    loaded->Save();
    EXPECT_EQ(Loaded("bots")->Settings()->mailbots[1].text, "one\r\ntwo\r\n\r\nfour");

    // No mailbots: no file.
    loaded->DeleteMailbot(5);
    loaded->DeleteMailbot(-1);
    ASSERT_EQ(loaded->Settings()->mailbots.size(), 3u);
    loaded->DeleteMailbot(1);
    EXPECT_EQ(loaded->Settings()->mailbots[1].subject, "Empty");
    loaded->DeleteMailbot(0);
    loaded->DeleteMailbot(0);
    loaded->Save();
    EXPECT_FALSE(FileExists(Folder("bots") + "mailbot.ini"));
}

TEST_F(AccountTest, MailbotFileOfAnEarlierInstallationLoads) {
    ForceDirectories(Folder("old"));
    WriteFile(Folder("old") + "mailbot.ini", "[send info]\r\nTEXT=Here it is\r\nFile=C:\\a.doc\r\nfile=C:\\b.doc\r\nother=x\r\n[two]\r\ntext=a=b\r\n");
    auto account = Loaded("old");
    ASSERT_EQ(account->Settings()->mailbots.size(), 2u);
    EXPECT_EQ(account->Settings()->mailbots[0].subject, "send info");
    EXPECT_EQ(account->Settings()->mailbots[0].text, "Here it is");
    EXPECT_EQ(account->Settings()->mailbots[0].files, (std::vector<std::string>{"C:\\a.doc", "C:\\b.doc"}));
    EXPECT_EQ(account->Settings()->mailbots[1].text, "a=b");

    // Subjects that differ only in case stay two mailbots, each with its own lines.
    WriteFile(Folder("old") + "mailbot.ini", "[Help]\r\ntext=one\r\n[HELP]\r\ntext=two\r\n");
    account->Load();
    ASSERT_EQ(account->Settings()->mailbots.size(), 2u);
    EXPECT_EQ(account->Settings()->mailbots[0].text, "one");
    EXPECT_EQ(account->Settings()->mailbots[1].subject, "HELP");
    EXPECT_EQ(account->Settings()->mailbots[1].text, "two");
}

TEST_F(AccountTest, SeenChecksumsFileIsLittleEndianAndIgnoresAPartialValue) {
    ForceDirectories(Folder("crc"));
    WriteFile(Folder("crc") + "msgcrc", std::string("\x01\x00\x00\x00\x78\x56\x34\x12\xff\xff", 10));
    auto account = Loaded("crc");
    EXPECT_EQ(account->SeenList(), (std::vector<std::uint32_t>{1u, 0x12345678u}));
    EXPECT_TRUE(account->IsSeen(0x12345678u));
    EXPECT_FALSE(account->IsSeen(0xffffu));

    const std::string header = "From: a@example.org\r\nSubject: hi\r\n\r\n.\r\n";
    const std::uint32_t crc = HeaderChecksum(header);
    EXPECT_FALSE(account->IsSeen(crc));
    account->AddSeen(crc);
    account->AddSeen(HeaderChecksum(header));  // the same header block seen a second time
    EXPECT_EQ(account->SeenCount(), 3u);
    EXPECT_TRUE(account->IsSeen(crc));

    account->SaveSeen();
    const std::string bytes = ReadFile(Folder("crc") + "msgcrc");
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\x00\x00\x00\x78\x56\x34\x12", 8));
    EXPECT_EQ(Loaded("crc")->SeenList(), (std::vector<std::uint32_t>{1u, 0x12345678u, crc}));
    EXPECT_FALSE(FileExists(Folder("crc") + "msgcrc.tmp"));
}

TEST_F(AccountTest, LoadReplacesTheMailbotsAndKeepsWhatWasSeenMeanwhile) {
    // A reload while a fetch runs: the checksums the fetch has seen but not yet written stay,
    // or its messages would be filed a second time by the next fetch.
    ForceDirectories(Folder("twice"));
    WriteFile(Folder("twice") + "mailbot.ini", "[a]\r\ntext=x\r\n");
    WriteFile(Folder("twice") + "msgcrc", std::string("\x05\x00\x00\x00", 4));
    auto account = Loaded("twice");
    account->AddMailbot("b");
    account->AddSeen(9);
    TZivadMessageCollection* vorla = &account->VorlaFolder();
    account->Load();
    EXPECT_EQ(account->Settings()->mailbots.size(), 1u);
    EXPECT_EQ(account->SeenList(), (std::vector<std::uint32_t>{5u, 9u}));
    EXPECT_EQ(&account->VorlaFolder(), vorla);  // the folders stay the same objects
}

TEST_F(AccountTest, SaveErrorNamesTheAccountSaveAndKeepsWhatWasWritten) {
    TZivadAccount account(nullptr, "broken");
    ForceDirectories(Folder("broken") + "away.txt/");  // a folder where the away text goes
    WriteFile(Folder("broken") + "away.txt/x", "");
    account.Edit([&](TAccountSettings& s) { s.name = "Written"; });
    try {
        account.Save();
        FAIL() << "Save did not report the error";
    } catch (const TFileError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error saving account: ", 0), 0u) << e.what();
        EXPECT_GT(std::string(e.what()).size(), std::string("Error saving account: ").size());
    }
    EXPECT_EQ(Loaded("broken")->Settings()->name, "Written");
    EXPECT_FALSE(FileExists(Folder("broken") + "reject.txt"));  // saving stopped at the error
}

TEST_F(AccountTest, DeleteFolderRemovesEverythingAndLoadOfAMissingFolderKeepsTheAccount) {
    TZivadAccount account(nullptr, "gone");
    WriteFile(Folder("gone") + ".hidden", "x");
    WriteFile(Folder("gone") + "vorla/00001.msg", "Subject: x\r\n\r\nbody\r\n");
    account.Edit([&](TAccountSettings& s) { s.name = "Kept"; });
    account.DeleteFolder();
    EXPECT_FALSE(DirectoryExists(Folder("gone")));
    account.Load();
    EXPECT_EQ(account.Settings()->name, "Kept");
    EXPECT_TRUE(account.Settings()->enablefetch);
}

}  // namespace
}  // namespace vorla
