#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <chrono>
#include <deque>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FetchCycleFixture.h"
#include "net/SaslAuth.h"
#include "net/TlsOptions.h"
#include "platform/Files.h"
#include "engine/FetchCycle.h"
#include "support/DovecotServer.h"
#include "support/SmtpServer.h"
#include "ui/AccountsForm.h"
#include "ui/MainForm.h"

namespace vorla::test {
namespace {

// Answers the editor's prompts from a script and keeps what it was told.
class TScriptUser : public TAccountsUser {
public:
    std::deque<std::optional<std::string>> texts, files;
    std::vector<std::string> prompts, errors;
    int busy = 0;

    std::optional<std::string> AskText(const std::string& caption, const std::string& prompt) override {
        prompts.push_back(caption + "/" + prompt);
        return Next(texts);
    }
    std::optional<std::string> ChooseOpenFile(const std::string& file) override {
        prompts.push_back("file:" + file);
        return Next(files);
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    void Busy(bool on) override { busy += on ? 1 : -1; }

private:
    static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

class AccountsFormTest : public FetchFixture {
protected:
    TZivadAccount& Account(const std::string& name, const std::function<void(TAccountSettings&)>& edit = {}) {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) {
            s.name = name;
            if (edit) edit(s);
        });
        account.Save();
        return account;
    }
    TAccountsEditor& Editor() {
        if (!m_editor) m_editor = std::make_unique<TAccountsEditor>(Engine().Accounts(), m_user);
        return *m_editor;
    }
    // The user changes one control: the editor stores every control.
    void Change(const std::function<void(TAccountValues&)>& edit) {
        TAccountValues v = Editor().Values();
        edit(v);
        Editor().AccountChange(v);
    }
    std::shared_ptr<const TAccountSettings> Selected() { return Editor().SelectedAccount()->Settings(); }

    TScriptUser m_user;
    std::unique_ptr<TAccountsEditor> m_editor;
};

TEST_F(AccountsFormTest, WithoutAccountsEveryAccountControlIsDisabled) {
    TAccountsEditor& editor = Editor();
    EXPECT_TRUE(editor.Rows().empty());
    EXPECT_EQ(editor.Selected(), -1);
    EXPECT_EQ(editor.Values().popPort, "110");
    EXPECT_EQ(editor.Enabling(), (TAccountsEnabling{}));
    // Commands that need a row do nothing.
    editor.AccountDeleteButtonClick();
    editor.RedirectAddButtonClick();
    editor.MailbotAddButtonClick();
    EXPECT_EQ(editor.FiltersButtonClick(), nullptr);
    EXPECT_TRUE(m_user.prompts.empty());
    Change([](TAccountValues& v) { v.name = "nobody"; });
    EXPECT_EQ(Engine().Accounts().Count(), 0);
}

TEST_F(AccountsFormTest, RowsStandInNameOrderAndShowTheSwitchesAndCounts) {
    Account("zeta", [](TAccountSettings& s) {
        s.enablefilters = false;
        s.enableredirect = true;
        s.enablefetch = false;
    });
    TZivadAccount& alpha = Account("Alpha", [](TAccountSettings& s) {
        s.enablesend = false;
        s.enablemailbot = true;
        s.away = true;
        s.rejectresponse = true;
    });
    TMailMessage message;
    message.LoadFromMailText(Mail("one"));
    alpha.QuarantineFolder().AddMessage(message, "");
    alpha.QuarantineFolder().AddMessage(message, "");
    alpha.QueueFolder().AddMessage(message, "");
    Account("beta");

    const std::vector<TAccountsEditor::TRow> expected = {
        {"Alpha", true, "Yes", "No", "No", "Yes", "Yes", "Yes", 0, 2, 0, 1},
        {"beta", true, "Yes", "No", "Yes", "No", "No", "No", 0, 0, 0, 0},
        {"zeta", false, "No", "Yes", "Yes", "No", "No", "No", 0, 0, 0, 0},
    };
    EXPECT_EQ(Editor().Rows(), expected);
    EXPECT_EQ(Editor().Selected(), 0);
    EXPECT_EQ(Editor().Values().name, "Alpha");

    // A renamed account moves to its place and stays selected.
    Change([](TAccountValues& v) { v.name = "omega"; });
    EXPECT_EQ(Editor().Rows()[1].name, "omega");
    EXPECT_EQ(Editor().Selected(), 1);
}

TEST_F(AccountsFormTest, EachControlIsEnabledByTheSwitchesItDependsOn) {
    Account("A");
    struct TRow {
        const char* what;
        std::function<void(TAccountValues&)> set;
        TAccountsEnabling expected;
    };
    // account, noDelete, smtp, filterChecks, redirect, awayText, rejectText, mailbot, attachmentDelete, filtersButton
    const TRow rows[] = {
        {"all off", [](TAccountValues&) {}, {true, true, false, false, false, false, false, false, false, false}},
        {"no download", [](TAccountValues& v) { v.noDownload = true; },
         {true, false, false, false, false, false, false, false, false, false}},
        {"send direct off", [](TAccountValues& v) { v.sendDirect = false; },
         {true, true, true, false, false, false, false, false, false, false}},
        {"filters", [](TAccountValues& v) { v.enableFilters = true; },
         {true, true, false, true, false, false, false, false, false, true}},
        {"redirect", [](TAccountValues& v) { v.enableRedirect = true; },
         {true, true, false, false, true, false, false, false, false, false}},
        {"away", [](TAccountValues& v) { v.away = true; },
         {true, true, false, false, false, true, false, false, false, false}},
        {"reject", [](TAccountValues& v) { v.rejectResponse = true; },
         {true, true, false, false, false, false, true, false, false, false}},
        {"mailbot", [](TAccountValues& v) { v.enableMailbot = true; },
         {true, true, false, false, false, false, false, true, false, false}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.what);
        Change([&](TAccountValues& v) {
            v.noDownload = v.enableFilters = v.enableRedirect = v.away = v.rejectResponse = v.enableMailbot = false;
            v.sendDirect = true;
            row.set(v);
        });
        Editor().SetControlsEnabled();
        EXPECT_EQ(Editor().Enabling(), row.expected);
    }
    // The attachment Delete needs a chosen mailbot with a selected attachment.
    Change([](TAccountValues& v) { v.enableMailbot = true; });
    m_user.texts = {"Bot"};
    m_user.files = {"/tmp/a.pdf"};
    Editor().MailbotAddButtonClick();
    Editor().AttachmentAddButtonClick();
    EXPECT_FALSE(Editor().Enabling().attachmentDelete);
    Editor().AttachmentSelected(0);
    EXPECT_TRUE(Editor().Enabling().attachmentDelete);
    // Deselected: every account control goes off again.
    Editor().SelectRow(-1);
    EXPECT_EQ(Editor().Enabling(), (TAccountsEnabling{}));
}

TEST_F(AccountsFormTest, NoDownloadClearsKeepACopyAndStoresIt) {
    Account("A", [](TAccountSettings& s) { s.nodelete = true; });
    Change([](TAccountValues& v) { v.noDownload = true; });
    Editor().SetControlsEnabled();
    EXPECT_FALSE(Editor().Values().noDelete);
    EXPECT_TRUE(Selected()->nodownload);
    EXPECT_FALSE(Selected()->nodelete);
}

TEST_F(AccountsFormTest, AnAccountLoadedWithSendDirectHasItsSmtpFieldsDisabled) {
    Account("A", [](TAccountSettings& s) { s.senddirect = false; });
    Account("B", [](TAccountSettings& s) { s.senddirect = true; });
    EXPECT_TRUE(Editor().Enabling().smtp);
    Editor().SelectRow(1);
    EXPECT_FALSE(Editor().Enabling().smtp);
}

TEST_F(AccountsFormTest, PortsAreStoredAsNumbersAndAnOutOfRangePopPortStopsThePass) {
    struct TRow {
        const char *popPort, *smtpPort;
        bool rangeError;
        int popStored, smtpStored;
    };
    const TRow rows[] = {
        {"995", "587", false, 995, 587},
        {" 995 ", "+465", false, 995, 465},
        {"pop", "smtp", false, 110, 25},       // not numbers: the defaults
        {"", "", false, 110, 25},
        {"65535", "70000", false, 65535, 70000},  // the smtp port has no range check
        {"0", "0", false, 0, 0},
        {"70000", "26", true, 0, 0},
        {"-1", "26", true, 0, 0},
        {"99999999999", "26", false, 110, 26},  // too big to be a number
    };
    Account("A", [](TAccountSettings& s) {
        s.popport = 2110;
        s.smtpport = 2525;
        s.loginname = "old";
        s.enablesend = false;
    });
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(row.popPort) + " / " + row.smtpPort);
        const auto before = Selected();
        m_user.errors.clear();
        Change([&](TAccountValues& v) {
            v.email = std::string("mail ") + row.popPort;
            v.popPort = row.popPort;
            v.smtpPort = row.smtpPort;
            v.loginName = std::string("login ") + row.popPort;
            v.enableSend = !v.enableSend;
        });
        const auto after = Selected();
        EXPECT_EQ(after->email, std::string("mail ") + row.popPort);  // stored before the port
        if (row.rangeError) {
            EXPECT_EQ(m_user.errors, std::vector<std::string>{"Range check error"});
            EXPECT_EQ(after->popport, before->popport);
            EXPECT_EQ(after->loginname, before->loginname);  // the fields after it keep their values
            EXPECT_EQ(after->enablesend, before->enablesend);
            EXPECT_EQ(after->smtpport, before->smtpport);
        } else {
            EXPECT_TRUE(m_user.errors.empty());
            EXPECT_EQ(after->popport, row.popStored);
            EXPECT_EQ(after->smtpport, row.smtpStored);
            EXPECT_EQ(after->loginname, std::string("login ") + row.popPort);
            EXPECT_NE(after->enablesend, before->enablesend);
        }
    }
}

TEST_F(AccountsFormTest, EveryControlReachesItsSetting) {
    Account("A");
    Change([](TAccountValues& v) {
        v.name = "Work";
        v.email = "me@work.example";
        v.enableFetch = false;
        v.noDownload = true;
        v.popServer = "pop.work.example";
        v.popPort = "995";
        v.popSecurity = 2;
        v.verifyCert = false;
        v.loginName = "me";
        v.password = "secret";
        v.popAuth = 2;
        v.passwordCommand = "~/bin/mail-token work";
        v.enableFilters = true;
        v.rejectKb = 2048;
        v.rejectOwn = v.rejectInvalidRecipient = v.rejectOldDates = v.rejectIllegalIps = true;
        v.enableRedirect = v.nameRedirect = v.redirectQuarantined = v.redirectDelete = true;
        v.enableSend = true;
        v.sendDirect = false;
        v.smtpServer = "smtp.work.example";
        v.smtpPort = "465";
        v.smtpSecurity = 1;
        v.smtpLogin = "me2";
        v.smtpPassword = "secret2";
        v.smtpAuth = 2;
        v.smtpPasswordCommand = "pass show mail/work";
        v.away = true;
        v.awayText = "gone\r\n";
        v.rejectResponse = true;
        v.rejectText = "no\r\n";
        v.enableMailbot = true;
    });
    const auto s = Selected();
    EXPECT_EQ(s->name, "Work");
    EXPECT_EQ(s->email, "me@work.example");
    EXPECT_FALSE(s->enablefetch);
    EXPECT_TRUE(s->nodownload);
    EXPECT_EQ(s->popserver, "pop.work.example");
    EXPECT_EQ(s->popport, 995);
    EXPECT_EQ(s->popsecurity, TTlsMode::Implicit);
    EXPECT_FALSE(s->verifycert);
    EXPECT_EQ(s->loginname, "me");
    EXPECT_EQ(s->password, "secret");
    EXPECT_EQ(s->popauth, TPopAuth::XOAuth2);
    EXPECT_EQ(s->passwordcommand, "~/bin/mail-token work");
    EXPECT_EQ(s->rejectkb, 2048);
    EXPECT_TRUE(s->rejectownemail && s->rejectinvalidrecipient && s->rejectolddates && s->rejectillegalips);
    EXPECT_TRUE(s->enableredirect && s->nameredirect && s->redirectquarantined && s->redirectdelete);
    EXPECT_FALSE(s->senddirect);
    EXPECT_EQ(s->smtpserver, "smtp.work.example");
    EXPECT_EQ(s->smtpport, 465);
    EXPECT_EQ(s->smtpsecurity, TTlsMode::StartTls);
    EXPECT_EQ(s->smtploginname, "me2");
    EXPECT_EQ(s->smtppassword, "secret2");
    EXPECT_EQ(s->smtpauth, TSmtpAuth::OAuthBearer);
    EXPECT_EQ(s->smtppasswordcommand, "pass show mail/work");
    EXPECT_TRUE(s->away && s->rejectresponse && s->enablemailbot);
    EXPECT_EQ(s->awayText, "gone\r\n");
    EXPECT_EQ(s->rejectText, "no\r\n");
    EXPECT_EQ(Editor().Rows()[0].name, "Work");
}

TEST_F(AccountsFormTest, LoginMethodsAreStoredByTheirNumbersAndShownAgain) {
    struct TRow {
        int popChoice, smtpChoice;
        TPopAuth popStored;
        TSmtpAuth smtpStored;
        int popShown, smtpShown;  // the choices after the row is selected again
    };
    const TRow rows[] = {
        {0, 0, TPopAuth::User, TSmtpAuth::Auto, 0, 0},
        {1, 1, TPopAuth::Plain, TSmtpAuth::XOAuth2, 1, 1},
        {2, 2, TPopAuth::XOAuth2, TSmtpAuth::OAuthBearer, 2, 2},
        {3, 0, TPopAuth::OAuthBearer, TSmtpAuth::Auto, 3, 0},
        {4, 3, TPopAuth::User, TSmtpAuth::Auto, 0, 0},  // no such choice: the default
        {-1, -1, TPopAuth::User, TSmtpAuth::Auto, 0, 0},
    };
    Account("A");
    Account("B");
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.popChoice) + " / " + std::to_string(row.smtpChoice));
        Change([&](TAccountValues& v) {
            v.popAuth = row.popChoice;
            v.smtpAuth = row.smtpChoice;
        });
        EXPECT_EQ(Selected()->popauth, row.popStored);
        EXPECT_EQ(Selected()->smtpauth, row.smtpStored);
        Editor().SelectRow(1);
        EXPECT_EQ(Editor().Values().popAuth, 0);  // B keeps the defaults
        Editor().SelectRow(0);
        EXPECT_EQ(Editor().Values().popAuth, row.popShown);
        EXPECT_EQ(Editor().Values().smtpAuth, row.smtpShown);
    }
    EXPECT_EQ(Engine().Accounts().FindByName("B")->Settings()->popauth, TPopAuth::User);
}

TEST_F(AccountsFormTest, PasswordCommandsAreOneLineAndLeaveTheStoredPasswordsAlone) {
    struct TRow {
        const char *typed, *stored;
        bool redrawn;  // the values were sent back to the window
    };
    const TRow rows[] = {
        {"pass show mail/club", "pass show mail/club", false},
        {"secret-tool lookup service vorla account home", "secret-tool lookup service vorla account home", false},
        {R"(printf '%s\n' "$TOKEN")", R"(printf '%s\n' "$TOKEN")", false},  // an escape for the shell stays
        {"pass show mail/club\nrm -rf ~", "pass show mail/club rm -rf ~", true},
        {"a\r\nb\tc\x7f", "a  b c ", true},
        {"", "", false},
    };
    Account("A", [](TAccountSettings& s) {
        s.password = "pop-secret";
        s.smtppassword = "smtp-secret";
    });
    unsigned parts = 0;
    Editor().OnChanged = [&](unsigned changed) { parts |= changed; };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const TRow& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        parts = 0;
        Change([&](TAccountValues& v) {
            v.passwordCommand = row.typed;
            v.smtpPasswordCommand = row.typed;
        });
        EXPECT_EQ(Selected()->passwordcommand, row.stored);
        EXPECT_EQ(Selected()->smtppasswordcommand, row.stored);
        EXPECT_EQ(Editor().Values().passwordCommand, row.stored);
        EXPECT_EQ(Editor().Values().smtpPasswordCommand, row.stored);
        EXPECT_EQ((parts & TAccountsEditor::kValues) != 0, row.redrawn);
        EXPECT_EQ(Selected()->password, "pop-secret");
        EXPECT_EQ(Selected()->smtppassword, "smtp-secret");
    }
}

TEST_F(AccountsFormTest, PasswordsAreShownEmptyAndKeptUnlessTyped) {
    Account("A", [](TAccountSettings& s) {
        s.password = "pop-secret";
        s.smtppassword = "smtp-secret";
    });
    Account("B");
    EXPECT_EQ(Editor().Values().password, "");
    EXPECT_EQ(Editor().Values().smtpPassword, "");
    Change([](TAccountValues& v) { v.loginName = "changed"; });
    EXPECT_EQ(Selected()->password, "pop-secret");
    EXPECT_EQ(Selected()->smtppassword, "smtp-secret");

    Change([](TAccountValues& v) { v.password = "new-pop"; });
    EXPECT_EQ(Selected()->password, "new-pop");
    EXPECT_EQ(Selected()->smtppassword, "smtp-secret");
    Editor().SelectRow(1);
    Editor().SelectRow(0);
    EXPECT_EQ(Editor().Values().password, "");  // empty again each time the row is selected
    Change([](TAccountValues& v) { v.smtpPassword = "new-smtp"; });
    EXPECT_EQ(Selected()->password, "new-pop");
    EXPECT_EQ(Selected()->smtppassword, "new-smtp");
}

TEST_F(AccountsFormTest, TheRowCheckBoxInvertsFetchAlone) {
    Account("A", [](TAccountSettings& s) { s.email = "a@example.org"; });
    Account("B");
    Editor().SelectRow(1);
    Editor().FetchCheckClick(0);
    EXPECT_FALSE(Engine().Accounts().FindByName("A")->Settings()->enablefetch);
    EXPECT_EQ(Engine().Accounts().FindByName("A")->Settings()->email, "a@example.org");
    EXPECT_FALSE(Editor().Rows()[0].fetch);
    EXPECT_EQ(Editor().Selected(), 0);
    EXPECT_FALSE(Editor().Values().enableFetch);
    Editor().FetchCheckClick(0);
    EXPECT_TRUE(Editor().Values().enableFetch);
    EXPECT_TRUE(Editor().Rows()[0].fetch);
}

TEST_F(AccountsFormTest, MailbotsAreAddedEditedAndDeleted) {
    TZivadAccount& account = Account("A", [](TAccountSettings& s) { s.enablemailbot = true; });
    TAccountsEditor& editor = Editor();
    m_user.texts = {"Price list", "PRICE LIST", "Catalogue", std::nullopt};
    editor.MailbotAddButtonClick();
    editor.MailbotAddButtonClick();  // differs only in letter case: the existing one is chosen
    EXPECT_EQ(editor.Values().mailbots, std::vector<std::string>{"Price list"});
    EXPECT_EQ(editor.Values().mailbot, 0);
    editor.MailbotAddButtonClick();
    editor.MailbotAddButtonClick();  // cancelled
    EXPECT_EQ(m_user.prompts, (std::vector<std::string>(4, "New Mailbot/Subject")));
    EXPECT_EQ(editor.Values().mailbots, (std::vector<std::string>{"Price list", "Catalogue"}));
    EXPECT_EQ(editor.Values().mailbot, 1);

    editor.MailbotChosen(0);
    editor.MailbotSubjectChanged("Prices");
    editor.MailbotTextChanged("See attached.\r\n");
    m_user.files = {"/tmp/prices.pdf", "/tmp/terms.pdf", "/tmp/terms-2027.pdf"};
    editor.AttachmentAddButtonClick();
    editor.AttachmentAddButtonClick();
    editor.AttachmentDoubleClick(1);
    EXPECT_EQ(m_user.prompts.back(), "file:/tmp/terms.pdf");
    EXPECT_EQ(editor.Values().mailbots[0], "Prices");
    auto bots = account.Settings()->mailbots;
    ASSERT_EQ(bots.size(), 2u);
    EXPECT_EQ(bots[0].subject, "Prices");
    EXPECT_EQ(bots[0].text, "See attached.\r\n");
    EXPECT_EQ(bots[0].files, (std::vector<std::string>{"/tmp/prices.pdf", "/tmp/terms-2027.pdf"}));
    editor.AttachmentSelected(0);
    editor.AttachmentDeleteButtonClick();
    EXPECT_EQ(account.Settings()->mailbots[0].files, std::vector<std::string>{"/tmp/terms-2027.pdf"});
    EXPECT_EQ(editor.Values().attachments, std::vector<std::string>{"/tmp/terms-2027.pdf"});

    // Switching shows the other mailbot's fields.
    editor.MailbotChosen(1);
    EXPECT_EQ(editor.Values().mailbotSubject, "Catalogue");
    EXPECT_TRUE(editor.Values().attachments.empty());
    // Deleting the last chooses the one before; deleting the only one empties the fields.
    editor.MailbotDeleteButtonClick();
    EXPECT_EQ(editor.Values().mailbot, 0);
    EXPECT_EQ(editor.Values().mailbotSubject, "Prices");
    editor.MailbotDeleteButtonClick();
    EXPECT_EQ(editor.Values().mailbot, -1);
    EXPECT_EQ(editor.Values().mailbotSubject, "");
    EXPECT_TRUE(account.Settings()->mailbots.empty());
}

TEST_F(AccountsFormTest, RedirectAddressesAreAddedAsTypedAndDeleted) {
    Account("A", [](TAccountSettings& s) { s.enableredirect = true; });
    m_user.texts = {"one@example.org", "", std::nullopt};
    Editor().RedirectAddButtonClick();
    Editor().RedirectAddButtonClick();  // an empty text too
    Editor().RedirectAddButtonClick();  // cancelled
    EXPECT_EQ(m_user.prompts.front(), "Redirect Mail/Address");
    EXPECT_EQ(Selected()->redirectAddresses, (std::vector<std::string>{"one@example.org", ""}));
    Editor().RedirectDeleteButtonClick(1);
    Editor().RedirectDeleteButtonClick(5);  // out of range: nothing
    EXPECT_EQ(Selected()->redirectAddresses, std::vector<std::string>{"one@example.org"});
    EXPECT_EQ(Editor().Values().redirectAddresses, std::vector<std::string>{"one@example.org"});
}

TEST_F(AccountsFormTest, AddMakesTheFolderAndDeleteRemovesItAndSelectsANeighbour) {
    Account("A");
    Account("B");
    TAccountsEditor& editor = Editor();
    editor.AccountAddButtonClick();
    ASSERT_EQ(Engine().Accounts().Count(), 3);
    EXPECT_EQ(editor.Values().name, "");
    EXPECT_EQ(editor.Rows()[static_cast<std::size_t>(editor.Selected())].name, "");
    const std::string added = editor.SelectedAccount()->AccountFolder();
    EXPECT_TRUE(DirectoryExists(added));
    EXPECT_TRUE(editor.SelectedAccount()->Busy());  // held like the others

    // Names in order: "" first. Delete the last row: the new last is selected.
    editor.SelectRow(2);
    const std::string folderB = editor.SelectedAccount()->AccountFolder();
    editor.AccountDeleteButtonClick();
    EXPECT_FALSE(DirectoryExists(folderB));
    EXPECT_EQ(editor.Selected(), 1);
    EXPECT_EQ(editor.Values().name, "A");
    // Delete the first: the row at its place is selected.
    editor.SelectRow(0);
    editor.AccountDeleteButtonClick();
    EXPECT_FALSE(DirectoryExists(added));
    EXPECT_EQ(editor.Selected(), 0);
    EXPECT_EQ(editor.Values().name, "A");
    // The only row: the table is empty and everything off.
    editor.AccountDeleteButtonClick();
    EXPECT_TRUE(editor.Rows().empty());
    EXPECT_EQ(editor.Selected(), -1);
    EXPECT_EQ(editor.Enabling(), (TAccountsEnabling{}));
    EXPECT_EQ(Engine().Accounts().Count(), 0);
}

TEST_F(AccountsFormTest, AccountFiltersAreSavedOnOkAndRestoredOtherwise) {
    TZivadAccount& account = Account("A");
    for (bool ok : {false, true}) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        const int before = account.Filters().RuleCount();
        TZivadFilters* rules = Editor().FiltersButtonClick();
        ASSERT_EQ(rules, &account.Filters());
        AddRule(*rules, "spam.example", TFilterAction::Reject, TFilterSection::From);
        Editor().FiltersEditorClosed(ok);
        EXPECT_EQ(account.Filters().RuleCount(), ok ? before + 1 : before);
        EXPECT_EQ(m_user.busy, 0);
    }
    // Off with the account's filters switch.
    Change([](TAccountValues& v) { v.enableFilters = false; });
    EXPECT_EQ(Editor().FiltersButtonClick(), nullptr);
}

TEST_F(AccountsFormTest, TheFirstStartOffersANewAccountForTls) {
    TMainForm form(Engine());
    EXPECT_TRUE(form.FirstStart());
    Editor().StartFirstAccount();
    EXPECT_EQ(Editor().Selected(), 0);
    EXPECT_EQ(Editor().Values().popPort, "995");
    EXPECT_EQ(Editor().Values().popSecurity, static_cast<int>(TTlsMode::Implicit));
    EXPECT_EQ(Editor().Hint(), TAccountsEditor::kFirstStartHint);
    EXPECT_FALSE(form.FirstStart());
    // Cancel keeps the new account, and with it the preset.
    m_editor.reset();
    form.AccountsEditorClosed(false);
    ASSERT_EQ(Engine().Accounts().Count(), 1);
    EXPECT_EQ(Engine().Accounts().Items(0)->Settings()->popport, 995);
    EXPECT_EQ(Engine().Accounts().Items(0)->Settings()->popsecurity, TTlsMode::Implicit);
    // The window then shows the new account, not an empty list beside it.
    EXPECT_EQ(form.SelectedAccount(), 0);
    EXPECT_EQ(form.FolderCaptions()[0], "Vorla (0)");
}

class AccountsFromMainFormTest : public AccountsFormTest {};

TEST_F(AccountsFromMainFormTest, OkSavesEveryAccountAndCancelReadsThemFromDisk) {
    for (bool ok : {true, false}) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        m_editor.reset();
        Engine().Accounts().Clear();
        DeleteTree(Engine().Accounts().AccountsRoot());  // the account added by the last round too
        Account("keep", [](TAccountSettings& s) { s.popserver = "old.example"; });
        const std::string gone = Account("gone").AccountFolder();

        TMainForm form(Engine());
        form.AccountsButtonClick();
        for (const TAccountPtr& account : Engine().Accounts().Snapshot()) EXPECT_TRUE(account->Busy());
        TAccountsEditor& editor = Editor();
        editor.SelectRow(1);
        ASSERT_EQ(editor.Values().name, "keep");
        Change([](TAccountValues& v) { v.popServer = "new.example"; });
        editor.AccountAddButtonClick();
        const std::string added = editor.SelectedAccount()->AccountFolder();
        editor.SelectRow(1);  // "", "gone", "keep"
        ASSERT_EQ(editor.Values().name, "gone");
        editor.AccountDeleteButtonClick();
        m_editor.reset();

        EXPECT_TRUE(form.AccountsEditorClosed(ok).empty());
        TZivadAccounts& list = Engine().Accounts();
        ASSERT_EQ(list.Count(), 2);  // Add and Delete are not undone
        EXPECT_FALSE(DirectoryExists(gone));
        EXPECT_TRUE(DirectoryExists(added));
        EXPECT_EQ(list.FindByName("keep")->Settings()->popserver, ok ? "new.example" : "old.example");
        EXPECT_NE(ReadFile(list.FindByName("keep")->OptionsFileName()).find(ok ? "new.example" : "old.example"),
                  std::string::npos);
        for (const TAccountPtr& account : list.Snapshot()) EXPECT_FALSE(account->Busy());
        EXPECT_EQ(form.AccountRows().size(), 2u);
    }
}

// A fetch runs while the editor, opened from the main window, edits the fetched account,
// deletes another one and is cancelled: the fetch goes on with its account to the end, the
// deleted one is not fetched and its folder is gone, and the fetch's busy mark stays its own.
TEST_F(AccountsFromMainFormTest, AFetchGoesOnWhileTheEditorDeletesAndReloads) {
    const std::string why = TDovecotServer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TDovecotServer server({{"alice", "alicepw"}, {"bob", "bobpw"}});
    constexpr int kCount = 30;
    for (int i = 1; i <= kCount; ++i) {
        server.AddMessage("alice", Mail("alice " + std::to_string(i)));
        server.AddMessage("bob", Mail("bob " + std::to_string(i)));
    }
    for (auto [name, user] : {std::pair{"Alice", "alice"}, std::pair{"Bob", "bob"}}) {
        TZivadAccount& account = NewAccount(name, user, std::string(user) + "pw", server.Port());
        account.Edit([](TAccountSettings& s) { s.enablefilters = false; });  // every message accepted
        account.Save();
    }
    const std::string bobFolder = Engine().Accounts().FindByName("Bob")->AccountFolder();
    TMainForm form(Engine());

    // The progress comes on the fetch's worker: it waits there until the editor has done its
    // work on the UI thread, so that the fetch is surely still running meanwhile.
    std::atomic<bool> posted{false};
    std::atomic<bool> edited{false};
    Engine().OnStatusText.Set([&](const std::string& text) {
        if (text.find("[Alice] Retrieving header 10") == std::string::npos || posted.exchange(true)) return;
        m_queue.Post([&] {
            struct TMark {
                std::atomic<bool>& flag;
                ~TMark() { flag = true; }
            } mark{edited};
            form.AccountsButtonClick();
            for (const TAccountPtr& account : Engine().Accounts().Snapshot()) EXPECT_TRUE(account->Busy());
            {
                TAccountsEditor editor(Engine().Accounts(), m_user);
                ASSERT_EQ(editor.Values().name, "Alice");
                TAccountValues v = editor.Values();
                v.awayText = "edited while fetching";
                editor.AccountChange(v);
                editor.SelectRow(1);
                ASSERT_EQ(editor.Values().name, "Bob");
                editor.AccountDeleteButtonClick();
            }
            EXPECT_TRUE(form.AccountsEditorClosed(false).empty());
            // The fetch still holds Alice: the mark is the fetch's until it ends.
            EXPECT_TRUE(Engine().Accounts().FindByName("Alice")->Busy());
        });
        for (int i = 0; i < 3000 && !edited; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    form.GetMailButtonClick();
    Engine().OnStatusText.Clear();

    ASSERT_TRUE(edited);
    TZivadAccounts& list = Engine().Accounts();
    ASSERT_EQ(list.Count(), 1);
    const TAccountPtr alice = list.FindByName("Alice");
    EXPECT_EQ(alice->VorlaFolder().Count(), kCount);
    EXPECT_TRUE(server.MessageFiles("alice").empty());
    EXPECT_EQ(server.MessageFiles("bob").size(), static_cast<std::size_t>(kCount));  // never fetched
    EXPECT_FALSE(DirectoryExists(bobFolder));
    EXPECT_NE(alice->Settings()->awayText, "edited while fetching");  // Cancel read it from disk
    EXPECT_FALSE(alice->Busy());
    EXPECT_EQ(form.AccountRows().size(), 1u);
}

// Queue passes send while the editor changes one account's SMTP port, deletes the other and
// is cancelled: the pass of the kept account sends every message once, the deleted account's
// pass stops and its folder goes.
TEST_F(AccountsFromMainFormTest, QueuePassesGoOnWhileTheEditorDeletesAndReloads) {
    test::TSmtpServerSetup setup;
    setup.dataDelaySeconds = 0.05;  // a pass that takes a while
    test::TSmtpServer smtp(setup);
    constexpr int kCount = 12;
    for (const std::string name : {"Fay", "Gus"}) {
        TZivadAccount& account = NewAccount(name, name, "pw", 110);
        account.Edit([&](TAccountSettings& s) {
            s.enablesend = true;
            s.senddirect = false;
            s.smtpserver = "127.0.0.1";
            s.smtpport = smtp.Port();
        });
        for (int i = 1; i <= kCount; ++i) {
            TMailMessage message;
            message.LoadFromMailText("From: " + name + "@example.net\nTo: friend@example.org\nSubject: " + name + " " +
                                     std::to_string(i) + "\n\nHello.\n");
            account.QueueFolder().AddMessage(message, "");
        }
        account.Save();
    }
    const std::string gusFolder = Engine().Accounts().FindByName("Gus")->AccountFolder();
    TMainForm form(Engine());
    form.SendMailButtonClick();
    ASSERT_TRUE(m_queue.ProcessEventsUntil([&] { return smtp.Deliveries().size() >= 2; }, std::chrono::seconds(20)));

    form.AccountsButtonClick();
    {
        TAccountsEditor& editor = Editor();
        ASSERT_EQ(editor.Values().name, "Fay");
        Change([](TAccountValues& v) { v.smtpPort = "1"; });  // not saved: Cancel reads it back
        editor.SelectRow(1);
        editor.AccountDeleteButtonClick();
        m_editor.reset();
    }
    EXPECT_TRUE(form.AccountsEditorClosed(false).empty());
    ASSERT_TRUE(m_queue.ProcessEventsUntil([] { return RunningQueueSenders() == 0; }, std::chrono::seconds(20)));

    std::multiset<std::string> fay, expected;
    for (int i = 1; i <= kCount; ++i) expected.insert("Fay " + std::to_string(i));
    for (const test::TSmtpReceived& received : smtp.Deliveries()) {
        TMailMessage message;
        message.LoadFromMailText(received.data);
        if (message.Subject.rfind("Fay ", 0) == 0) fay.insert(message.Subject);
    }
    EXPECT_EQ(fay, expected);  // every one, none twice
    ASSERT_EQ(Engine().Accounts().Count(), 1);
    EXPECT_EQ(Engine().Accounts().Items(0)->QueueFolder().Count(), 0);
    EXPECT_EQ(Engine().Accounts().Items(0)->Settings()->smtpport, smtp.Port());
    EXPECT_FALSE(DirectoryExists(gusFolder));
}

}  // namespace
}  // namespace vorla::test
