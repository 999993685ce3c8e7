#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "net/PopServer.h"
#include "net/SaslAuth.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/DovecotServer.h"
#include "support/RawPopClient.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/widgets/AccountsForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCommandHint =
    "A command run by /bin/sh at each login (30 s at most, no terminal), such as a keyring lookup or a script "
    "that gets a fresh OAuth 2.0 access token: the first line it prints is the password, or the access token "
    "with XOAUTH2 and OAUTHBEARER. When it is set, the stored password is not used";

QStringList Items(const QComboBox& combo) {
    QStringList items;
    for (int i = 0; i < combo.count(); ++i) items << combo.itemText(i);
    return items;
}

// Runs work on the accounts editor once the Accounts button has opened it; false when no
// editor came up.
bool WithAccountsEditor(TForm1& window, const std::function<void(QDialog&)>& work) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!form || form->objectName() != "AccountsForm") return;
        seen = true;
        work(*form);
    });
    window.findChild<QAbstractButton*>("AccountsButton")->click();
    return seen;
}

// What the user types replaces the field's text (textEdited, as from the keyboard).
void Type(QDialog& form, const char* name, const QString& text) {
    auto* edit = form.findChild<QLineEdit*>(name);
    QVERIFY2(edit, name);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

void SaveAccount(const std::string& folder, const std::function<void(TAccountSettings&)>& edit) {
    TZivadAccounts accounts(nullptr);
    TZivadAccount& account = accounts.Add(folder);
    account.Edit(edit);
    account.Save();
}

}  // namespace

class AccountsFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() { m_home = std::make_unique<TTestHome>(); }
    void cleanup() { m_home.reset(); }

    void TheControlsCarryTheirNamesCaptionsAndHints_data() {
        const char* rows[][3] = {
            {"AccountAddButton", "Add", "Add a new account"},
            {"AccountDeleteButton", "Delete", "Delete selected account"},
            {"FiltersButton", "Filters", "Edit account filters"},
            {"FetchButton", "Fetch", ""},
            {"Filters2Button", "Filters", ""},
            {"RedirectButton", "Redirect", ""},
            {"SendButton", "Send", ""},
            {"MailbotButton", "Mailbot", ""},
            {"AwayButton", "Away", ""},
            {"RejectButton", "Reject", ""},
            {"OkButton", "OK", ""},
            {"CancelButton", "Cancel", ""},
            {"AccountFetchCheck", "Enable fetch", ""},
            {"AccountNoDownloadCheck", "No download (no body filter checks)", ""},
            {"AccountNoDeleteCheck", "Keep a copy on the server", ""},
            {"AccountVerifyCertCheck", "Check the server's certificate",
             "Check the certificate and name of the POP3 and SMTP servers on TLS connections"},
            {"AccountPopAuthCombo", "Login Method",
             "How Vorla logs in to the POP3 server: USER and PASS, AUTH PLAIN, or with an OAuth 2.0 access token "
             "(XOAUTH2, OAUTHBEARER), which is sent only over TLS or to a server on this machine"},
            {"AccountPasswordCommandEdit", "Password Command", kCommandHint},
            {"AccountSmtpAuthCombo", "Login Method",
             "How Vorla logs in to the SMTP server: AUTH PLAIN when the server offers it, else AUTH LOGIN; or with "
             "an OAuth 2.0 access token (XOAUTH2, OAUTHBEARER), which is sent only over TLS or to a server on this "
             "machine"},
            {"AccountSmtpPasswordCommandEdit", "Password Command", kCommandHint},
            {"AccountFiltersCheck", "Enable filters", ""},
            {"AccountFiltersRejectOwnCheck", "Reject msgs from me", ""},
            {"AccountFiltersRejectInvalidRecipient", "Reject invalid recipient", ""},
            {"AccountFiltersRejectOldDates", "Reject old dates", "Reject messages with date older than 5 years"},
            {"AccountFiltersRejectIllegalIPs", "Reject illegal IPs", ""},
            {"AccountRedirectCheck", "Enable redirection", ""},
            {"AccountRedirectNameCheck", "'To' Name redirection", ""},
            {"AccountRedirectQuarantinedCheck", "Include quarantined messages", ""},
            {"AccountRedirectDeleteCheck", "Delete original after redirecting", ""},
            {"AccountRedirectAddButton", "Add", "Add a redirection address"},
            {"AccountRedirectDeleteButton", "Delete", "Delete selected redirection"},
            {"AccountSendCheck", "Enable send", ""},
            {"AccountSendDirectCheck", "Send direct", ""},
            {"AccountMailbotCheck", "Enable mailbot", ""},
            {"AccountMailbotAddButton", "Add", "Add a mailbot"},
            {"AccountMailbotDeleteButton", "Delete", "Delete selected mailbot"},
            {"AccountMailbotAddAttachmentButton", "Add", "Add a mail attachment"},
            {"AccountMailbotDeleteAttachmentButton", "Delete", "Delete selected mail attachment"},
            {"AccountAwayCheck", "Enable away", ""},
            {"AccountRejectCheck", "Enable reject responses", ""},
        };
        AddControlRows(rows);
    }
    void TheControlsCarryTheirNamesCaptionsAndHints() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        TAccountsForm form(window.Form()->Engine(), QColor(10, 20, 30), &window);
        CompareControlRow(form);
    }

    // Without accounts: the table is empty, every account control and Delete and Filters are
    // off; Add, the page buttons, OK and Cancel stay usable. Fetch is the page shown.
    void OpensWithTheTableAndThePagesOfTheAccountPanel() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        TAccountsForm form(window.Form()->Engine(), QColor(10, 20, 30), &window);
        form.show();
        QCOMPARE(form.windowTitle(), QString("Accounts"));
        QVERIFY(form.isModal());
        QCOMPARE(form.palette().color(QPalette::Window), QColor(10, 20, 30));
        auto* list = form.findChild<QTreeWidget*>("AccountsList");
        QVERIFY(list);
        const QStringList columns = {"Name", "Filters", "Redir", "Send", "Bot", "Away", "Reject",
                                     "Vorla", "Quaran", "Trash", "Queue"};
        QCOMPARE(list->columnCount(), int(columns.size()));
        for (int c = 0; c < columns.size(); ++c) QCOMPARE(list->headerItem()->text(c), columns[c]);
        QCOMPARE(list->topLevelItemCount(), 0);
        for (const char* name : {"AccountDeleteButton", "FiltersButton"})
            QVERIFY2(!form.findChild<QAbstractButton*>(name)->isEnabled(), name);
        for (const char* name : {"AccountAddButton", "FetchButton", "RejectButton", "OkButton", "CancelButton"})
            QVERIFY2(form.findChild<QAbstractButton*>(name)->isEnabled(), name);
        for (const char* name : {"AccountNameEdit", "AccountEmailEdit", "AccountServerEdit", "AccountServerPortEdit",
                                 "AccountLoginEdit", "AccountPasswordEdit", "AccountSmtpEdit",
                                 "AccountPasswordCommandEdit", "AccountSmtpPasswordCommandEdit"})
            QVERIFY2(!form.findChild<QLineEdit*>(name)->isEnabled(), name);
        QCOMPARE(form.findChild<QLineEdit*>("AccountServerPortEdit")->text(), QString("110"));
        QCOMPARE(form.findChild<QLineEdit*>("AccountPasswordEdit")->echoMode(), QLineEdit::Password);
        QVERIFY(form.findChild<QAbstractButton*>("FetchButton")->isChecked());
        QVERIFY(form.findChild<QWidget*>("FetchPage")->isVisible());
        QVERIFY(!form.findChild<QLabel*>("HintLabel")->isVisible());

        // Add: a row, selected, the controls on, focus in the name.
        form.findChild<QAbstractButton*>("AccountAddButton")->click();
        QCOMPARE(list->topLevelItemCount(), 1);
        QVERIFY(list->topLevelItem(0)->isSelected());
        QVERIFY(form.findChild<QLineEdit*>("AccountNameEdit")->isEnabled());
        QTRY_VERIFY(form.findChild<QAbstractButton*>("AccountDeleteButton")->isEnabled());
        // Checking "No download" clears and disables "Keep a copy on the server".
        auto* keep = form.findChild<QCheckBox*>("AccountNoDeleteCheck");
        keep->click();
        QVERIFY(keep->isChecked());
        form.findChild<QCheckBox*>("AccountNoDownloadCheck")->click();
        QTRY_VERIFY(!keep->isChecked());
        QVERIFY(!keep->isEnabled());
        // The row's check box is the fetch switch.
        list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
        QVERIFY(!form.findChild<QCheckBox*>("AccountFetchCheck")->isChecked());
        QVERIFY(!window.Form()->Engine().Accounts().Items(0)->Settings()->enablefetch);
    }

    // The login choices show the account's methods, in the order of their numbers; a choice
    // and a typed command reach the account at once. The SMTP pair is off with "Send direct".
    void TheLoginMethodsAndPasswordCommandsReachTheAccount() {
        SaveAccount("eve", [](TAccountSettings& s) {
            s.name = "Eve";
            s.popauth = TPopAuth::OAuthBearer;
            s.passwordcommand = "~/bin/mail-token eve";
            s.smtpauth = TSmtpAuth::XOAuth2;
            s.senddirect = true;
        });
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        TAccountsForm form(window.Form()->Engine(), QColor(10, 20, 30), &window);
        form.show();
        auto* pop = form.findChild<QComboBox*>("AccountPopAuthCombo");
        auto* smtp = form.findChild<QComboBox*>("AccountSmtpAuthCombo");
        auto* smtpCommand = form.findChild<QLineEdit*>("AccountSmtpPasswordCommandEdit");
        QVERIFY(pop && smtp && smtpCommand);
        QCOMPARE(Items(*pop), (QStringList{"USER and PASS", "AUTH PLAIN", "XOAUTH2 (OAuth 2.0)", "OAUTHBEARER (OAuth 2.0)"}));
        QCOMPARE(Items(*smtp), (QStringList{"Automatic (PLAIN or LOGIN)", "XOAUTH2 (OAuth 2.0)", "OAUTHBEARER (OAuth 2.0)"}));
        QCOMPARE(pop->currentIndex(), 3);
        QCOMPARE(smtp->currentIndex(), 1);
        QCOMPARE(form.findChild<QLineEdit*>("AccountPasswordCommandEdit")->text(), QString("~/bin/mail-token eve"));
        QCOMPARE(form.findChild<QLineEdit*>("AccountPasswordCommandEdit")->echoMode(), QLineEdit::Normal);
        QVERIFY(pop->isEnabled());
        QTRY_VERIFY(!smtp->isEnabled());
        QVERIFY(!smtpCommand->isEnabled());

        const TAccountPtr eve = window.Form()->Engine().Accounts().FindByName("Eve");
        pop->setFocus();
        QTest::keyClick(pop, Qt::Key_Up);  // as the user chooses: activated
        QCOMPARE(pop->currentIndex(), 2);
        QCOMPARE(eve->Settings()->popauth, TPopAuth::XOAuth2);
        Type(form, "AccountPasswordCommandEdit", "pass show mail/eve");
        QCOMPARE(eve->Settings()->passwordcommand, std::string("pass show mail/eve"));

        form.findChild<QCheckBox*>("AccountSendDirectCheck")->click();
        QTRY_VERIFY(smtp->isEnabled());
        QVERIFY(smtpCommand->isEnabled());
        smtp->setFocus();
        QTest::keyClick(smtp, Qt::Key_Down);
        QCOMPARE(eve->Settings()->smtpauth, TSmtpAuth::OAuthBearer);
        Type(form, "AccountSmtpPasswordCommandEdit", "~/bin/mail-token eve");
        QCOMPARE(eve->Settings()->smtppasswordcommand, std::string("~/bin/mail-token eve"));
        QCOMPARE(eve->Settings()->popauth, TPopAuth::XOAuth2);  // the other page kept its choice
    }

    // Rows in name order, every second on the window's colour; the check box is the fetch
    // switch and the folder counts stand right-aligned.
    void TheTableShowsTheAccountsInNameOrder() {
        for (const char* name : {"Carl", "anna", "Bert"})
            SaveAccount(name, [&](TAccountSettings& s) {
                s.name = name;
                s.enablefetch = std::string(name) != "Bert";
            });
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        TAccountsForm form(window.Form()->Engine(), QColor(10, 20, 30), &window);
        auto* list = form.findChild<QTreeWidget*>("AccountsList");
        QCOMPARE(list->topLevelItemCount(), 3);
        const QString names[] = {"anna", "Bert", "Carl"};
        for (int r = 0; r < 3; ++r) {
            QTreeWidgetItem* item = list->topLevelItem(r);
            QCOMPARE(item->text(0), names[r]);
            QCOMPARE(item->checkState(0), r == 1 ? Qt::Unchecked : Qt::Checked);
            QCOMPARE(item->background(0).color() == QColor(10, 20, 30), r % 2 == 1);
            QCOMPARE(item->text(7), QString("0"));
            QCOMPARE(item->textAlignment(7) & Qt::AlignRight, int(Qt::AlignRight));
        }
        QVERIFY(list->topLevelItem(0)->isSelected());
        QCOMPARE(form.findChild<QLineEdit*>("AccountNameEdit")->text(), QString("anna"));
    }

    // The whole way: an account added in the editor and pointed at a POP3 server on
    // loopback, OK, its "options.ini" holds the values, and Get Mail fetches from it. It
    // logs in with USER and PASS and the typed password, or with AUTH PLAIN and a password
    // from a command (none stored then).
    void AnAccountMadeInTheEditorFetchesItsMail_data() {
        QTest::addColumn<int>("method");  // the login choice's row
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("popauth");
        QTest::newRow("USER and PASS") << 0 << "annpw" << "" << "user";
        QTest::newRow("AUTH PLAIN from a command") << 1 << "" << "printf 'annpw\\n'" << "plain";
    }
    void AnAccountMadeInTheEditorFetchesItsMail() {
        QFETCH(int, method);
        QFETCH(QString, password);
        QFETCH(QString, command);
        QFETCH(QString, popauth);
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) QSKIP(why.c_str());
        TDovecotServer server(std::vector<TPopUser>{{"ann", "annpw"}});
        for (int i = 0; i < 3; ++i)
            server.AddMessage("ann", "From: Ann Example <ann@example.org>\nTo: ann@example.net\nSubject: hello " +
                                         std::to_string(i) + "\nDate: Mon, 4 Mar 2024 10:00:00 +0000\n\nHello.\n");
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        TMainForm& form = *window.Form();
        form.Engine().Filters().AddRuleIfAbsent("ann@example.org", TFilterAction::Accept, TFilterSection::From);
        const bool seen = WithAccountsEditor(window, [&](QDialog& editor) {
            editor.findChild<QAbstractButton*>("AccountAddButton")->click();
            Type(editor, "AccountNameEdit", "Ann");
            Type(editor, "AccountEmailEdit", "ann@example.net");
            Type(editor, "AccountServerEdit", TDovecotServer::kHost);
            Type(editor, "AccountServerPortEdit", QString::number(server.Port()));
            Type(editor, "AccountLoginEdit", "ann");
            if (!password.isEmpty()) Type(editor, "AccountPasswordEdit", password);
            auto* choice = editor.findChild<QComboBox*>("AccountPopAuthCombo");
            choice->setFocus();
            for (int i = 0; i < method; ++i) QTest::keyClick(choice, Qt::Key_Down);
            if (!command.isEmpty()) Type(editor, "AccountPasswordCommandEdit", command);
            for (const TAccountPtr& account : form.Engine().Accounts().Snapshot()) QVERIFY(account->Busy());
            editor.findChild<QAbstractButton*>("OkButton")->click();
        });
        QVERIFY(seen);
        const auto accounts = form.Engine().Accounts().Snapshot();
        QCOMPARE(accounts.size(), std::size_t{1});
        QVERIFY(!accounts[0]->Busy());
        TIniFile ini(accounts[0]->OptionsFileName());
        QCOMPARE(ini.ReadString("options", "name", ""), std::string("Ann"));
        QCOMPARE(ini.ReadString("options", "popserver", ""), std::string(TDovecotServer::kHost));
        QCOMPARE(ini.ReadInteger("options", "popport", 0), static_cast<long long>(server.Port()));
        QCOMPARE(ini.ReadString("options", "loginname", ""), std::string("ann"));
        QCOMPARE(ini.ReadString("options", "popauth", ""), popauth.toStdString());
        QCOMPARE(ini.ReadString("options", "passwordcommand", ""), command.toStdString());
        const std::string stored = ini.ReadString("options", "password", "");
        if (!password.isEmpty()) QVERIFY(stored != password.toStdString());  // scrambled
        QCOMPARE(UnscramblePassword(stored), password.toStdString());
        QCOMPARE(window.findChild<QListWidget*>("rmMailList")->count(), 1);

        window.findChild<QAbstractButton*>("GetMailButton")->click();
        QTRY_VERIFY(!form.Running());
        QCOMPARE(accounts[0]->VorlaFolder().Count(), 3);
        QVERIFY(server.MessageFiles("ann").empty());
        window.close();
    }

    // Cancel reads the accounts from disk again: an unsaved change is gone.
    void CancelDiscardsTheChanges() {
        SaveAccount("bea", [](TAccountSettings& s) {
            s.name = "Bea";
            s.popserver = "pop.example.org";
        });
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        const bool seen = WithAccountsEditor(window, [&](QDialog& editor) {
            QCOMPARE(editor.findChild<QLineEdit*>("AccountServerEdit")->text(), QString("pop.example.org"));
            Type(editor, "AccountServerEdit", "elsewhere.example.org");
            QCOMPARE(window.Form()->Engine().Accounts().Items(0)->Settings()->popserver,
                     std::string("elsewhere.example.org"));
            editor.findChild<QAbstractButton*>("CancelButton")->click();
        });
        QVERIFY(seen);
        const TAccountPtr bea = window.Form()->Engine().Accounts().FindByName("Bea");
        QVERIFY(bea);
        QCOMPARE(bea->Settings()->popserver, std::string("pop.example.org"));
        QVERIFY(!bea->Busy());
        window.close();
    }

    // A mail client's session on the local server holds the account the editor deletes: the
    // session goes on with it to its end, then the folder goes.
    void DeletingAnAccountUnderAnOpenSessionEndsSafely() {
        SaveAccount("dana", [](TAccountSettings& s) {
            s.name = "Dana";
            s.loginname = "dana";
            s.password = "danapw";
        });
        {
            TZivadAccounts accounts(nullptr);
            TZivadAccount& dana = *accounts.Items(0);
            for (int i = 1; i <= 3; ++i) {
                TMailMessage message;
                message.LoadFromMailText("From: a@example.org\r\nSubject: kept " + std::to_string(i) + "\r\n\r\nHi.\r\n");
                dana.VorlaFolder().AddMessage(message, "accepted");
            }
        }
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        TZivad& engine = window.Form()->Engine();
        const std::string folder = engine.Accounts().Items(0)->AccountFolder();
        const std::uint16_t port = FreeLoopbackPort();
        engine.PopServer().SetBindAddress("127.0.0.1");
        engine.PopServer().SetPort(port);
        engine.PopServer().SetActive(true);
        QVERIFY(engine.PopServer().Active());

        TRawPopClient client(port);
        QVERIFY(client.ReadLine().rfind("+OK", 0) == 0);
        QCOMPARE(client.Command("USER dana"), std::string("+OK Password required"));
        QCOMPARE(client.Command("PASS danapw"), std::string("+OK Login OK"));
        const bool seen = WithAccountsEditor(window, [&](QDialog& editor) {
            editor.findChild<QAbstractButton*>("AccountDeleteButton")->click();
            QCOMPARE(editor.findChild<QTreeWidget*>("AccountsList")->topLevelItemCount(), 0);
            QVERIFY(DirectoryExists(folder));  // still in use
            editor.findChild<QAbstractButton*>("OkButton")->click();
        });
        QVERIFY(seen);
        QCOMPARE(engine.Accounts().Count(), 0);
        QCOMPARE(window.findChild<QListWidget*>("rmMailList")->count(), 0);
        QVERIFY(client.Command("STAT").rfind("+OK 3 ", 0) == 0);
        QVERIFY(client.Command("RETR 1").rfind("+OK", 0) == 0);
        QVERIFY(client.ReadUntil("\r\n.\r\n").find("kept") != std::string::npos);
        QCOMPARE(client.Command("DELE 1"), std::string("+OK"));
        QCOMPARE(client.Command("QUIT"), std::string("+OK Closing communication channel"));
        QVERIFY(client.WaitClosed());
        QTRY_VERIFY_WITH_TIMEOUT(!DirectoryExists(folder), 5000);
        window.close();
    }

    // The first start opens the editor on a new account with the hint; with accounts nothing
    // opens.
    void TheFirstStartOpensTheEditorOnANewAccount() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.SetFirstStartEditor(true);
        QString hint, port;
        bool seen = false;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!form || form->objectName() != "AccountsForm" || seen) return;
            seen = true;
            hint = form->findChild<QLabel*>("HintLabel")->text();
            port = form->findChild<QLineEdit*>("AccountServerPortEdit")->text();
            form->findChild<QAbstractButton*>("OkButton")->click();
        });
        probe.start(10);
        window.show();
        QTRY_VERIFY(seen);
        QCOMPARE(hint, QString(TAccountsEditor::kFirstStartHint));
        QCOMPARE(port, QString("995"));
        QCOMPARE(window.Form()->Engine().Accounts().Count(), 1);
        window.close();

        TForm1 again(dispatcher, "9.9");
        again.SetFirstStartEditor(true);
        seen = false;
        again.show();
        QTest::qWait(100);
        QVERIFY(!seen);
        again.close();
    }

    // A close asked for while the editor is open (a signal at the first start) cancels the
    // editor and then closes the window.
    void ACloseWhileTheEditorIsOpenClosesBoth() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.SetFirstStartEditor(true);
        bool closed = false;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!form || form->objectName() != "AccountsForm" || closed) return;
            closed = true;
            Type(*form, "AccountNameEdit", "unsaved");
            dispatcher.Post([&] { window.close(); });
        });
        probe.start(10);
        window.show();
        QTRY_VERIFY(closed);
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(!QApplication::activeModalWidget());
        window.Shutdown();
        // Cancelled: the new account stays, without the name typed.
        TZivadAccounts accounts(nullptr);
        QCOMPARE(accounts.Count(), 1);
        QCOMPARE(accounts.Items(0)->Settings()->name, std::string());
    }

private:
    std::unique_ptr<TTestHome> m_home;
};

int RunAccountsFormTests(int argc, char** argv) {
    AccountsFormTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "AccountsFormTest.moc"
