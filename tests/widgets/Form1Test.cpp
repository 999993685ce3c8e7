#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QFile>
#include <QApplication>
#include <QInputDialog>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <memory>
#include <vector>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/TempFolder.h"
#include "filters/ZivadFilters.h"
#include "support/DovecotServer.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "ui/widgets/QtText.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class Form1Test : public QObject {
    Q_OBJECT
private slots:
    void init() { m_home = std::make_unique<TTestHome>(); }
    void cleanup() { m_home.reset(); }

    void TheControlsCarryTheirNamesAndCaptions_data() {
        const char* rows[][3] = {
            {"GetMailButton", "Get Mail", "Collect mail for all accounts"},
            {"SendMailButton", "Send Mail", "Send queued mail for all accounts"},
            {"RunFiltersButton", "Run Filters", "Run filters on existing mail"},
            {"StopButton", "Stop", "Stop mail collection"},
            {"AccountsButton", "Accounts", "Edit accounts"},
            {"FilterButton", "Filters", "Edit global filters"},
            {"PeekButton", "Peek", "Peek at uplink mail"},
            {"PrefsButton", "Prefs", "Application preferences"},
            {"LogMailButton", "Log", "Switch between log and mailbox views"},
            {"ReadDocButton", "Help", "View the manual"},
            {"AboutButton", "About", "Program information"},
            {"VorlaButton", "Vorla", "Accepted mail"},
            {"QuarantineButton", "Quar", "Quarantined mail"},
            {"TrashButton", "Trash", "Trashed mail"},
            {"QueueButton", "Queue", "Queued mail"},
            {"AllowButton", "Accept", "Create a mail filter rule"},
            {"RejectButton", "Reject", "Create a mail filter rule"},
            {"MoveButton", "Move", "Move selected messages"},
            {"StripHtmlButton", "Strip Html Tags", "Strip html like tags from message text"},
        };
        AddControlRows(rows);
    }
    void TheControlsCarryTheirNamesAndCaptions() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        CompareControlRow(window);
    }

    void TheWindowShowsItsListsAndMenus() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        QCOMPARE(window.windowTitle(), QString("Vorla"));
        auto* messages = window.findChild<QTreeWidget*>("MessagesList");
        QVERIFY(messages);
        QStringList headers;
        QList<int> widths;
        for (int c = 0; c < messages->columnCount(); ++c) {
            headers << messages->headerItem()->text(c);
            widths << messages->columnWidth(c);
        }
        QCOMPARE(headers, (QStringList{"Num", "Date/Time", "Size", "From", "Subject"}));
        QCOMPARE(widths, (QList<int>{55, 140, 55, 180, 250}));
        QVERIFY(window.findChild<QListWidget*>("rmMailList"));
        QVERIFY(window.findChild<QPlainTextEdit*>("MessageBodyMemo"));
        QCOMPARE(window.findChild<QLabel*>("AccountLabel")->text(), QString("Account"));
        QStringList prefs;
        for (QAction* action : window.findChild<QMenu*>("PrefsPopup")->actions()) prefs << action->text();
        QCOMPARE(prefs, (QStringList{"Fetch Service", "Filters Service", "POP3 Service"}));
        QStringList help;
        for (QAction* action : window.findChild<QMenu*>("HelpMenu")->actions()) help << action->text();
        QCOMPARE(help, (QStringList{"Manual", "Read Me"}));
        QCOMPARE(window.findChild<QToolButton*>("ReadDocButton")->menu(), window.findChild<QMenu*>("HelpMenu"));
    }

    // Shown, the window selects the first account and lists its messages; a folder button
    // switches the list; the close saves the placement.
    void ShowingSelectsTheFirstAccountAndTheFolderButtonsSwitchTheList() {
        {
            TZivadAccounts accounts(nullptr);
            for (const char* name : {"Home", "Work"}) {
                TZivadAccount& account = accounts.Add(name);
                account.Edit([&](TAccountSettings& s) { s.name = name; });
                account.Save();
            }
            TMailMessage message;
            message.LoadFromMailText("From: Ann <ann@example.org>\nSubject: hello\n\nHi.\n");
            accounts.Items(0)->VorlaFolder().AddMessage(message, "");
        }
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        auto* accounts = window.findChild<QListWidget*>("rmMailList");
        QCOMPARE(accounts->count(), 2);
        QCOMPARE(accounts->item(1)->text(), QString("Work"));
        window.show();
        QCOMPARE(accounts->currentRow(), 0);
        auto* messages = window.findChild<QTreeWidget*>("MessagesList");
        QCOMPARE(messages->topLevelItemCount(), 1);
        QCOMPARE(messages->topLevelItem(0)->text(4), QString("hello"));
        QCOMPARE(window.findChild<QAbstractButton*>("VorlaButton")->text(), QString("Vorla (1)"));
        QCOMPARE(window.findChild<QLabel*>("AccountLabel")->text(), QString("Home"));
        window.findChild<QAbstractButton*>("TrashButton")->click();
        QCOMPARE(messages->topLevelItemCount(), 0);
        QTRY_VERIFY(window.findChild<QAbstractButton*>("AllowButton")->isEnabled());
        window.findChild<QAbstractButton*>("QueueButton")->click();
        QTRY_VERIFY(!window.findChild<QAbstractButton*>("AllowButton")->isEnabled());
        QTRY_COMPARE(window.findChild<QLabel*>("StatusLabel")->text(), QString(" 0 entries"));
        window.close();
        QVERIFY(ReadFile(m_home->Path() + "vorla.ini").find("[display]") != std::string::npos);
    }

    // A Reject "From Address" rule made from a stored message, through the menu and the prompt,
    // lands in the account's own rules file; the Move menu moves the message to the trash.
    void ARuleFromAStoredMessageAndAMoveThroughTheMenus() {
        {
            TZivadAccounts accounts(nullptr);
            TZivadAccount& account = accounts.Add("Home");
            account.Edit([&](TAccountSettings& s) { s.name = "Home"; });
            account.Save();
            TMailMessage message;
            message.LoadFromMailText("From: Spam Sender <spam@bad.example>\nSubject: offer\n\nBuy.\n");
            account.VorlaFolder().AddMessage(message, "");
        }
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        auto* messages = window.findChild<QTreeWidget*>("MessagesList");
        QCOMPARE(messages->topLevelItemCount(), 1);
        messages->topLevelItem(0)->setSelected(true);
        auto* reject = window.findChild<QMenu*>("DisallowPopup");
        QVERIFY(reject);
        QStringList entries;
        for (QAction* action : reject->actions()) entries << action->text();
        QCOMPARE(entries, (QStringList{"From Address", "From Domain", "To Address", "To Domain", "Subject", "Received",
                                       "All Received IPs", "Reply To", "Header Present", "Body", "Attachment",
                                       "In Any Header"}));
        QString title, offered;
        QTimer::singleShot(0, [&] {
            auto* prompt = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (!prompt) return;
            title = prompt->windowTitle();
            offered = prompt->textValue();
            prompt->accept();
        });
        reject->actions()[0]->trigger();
        QCOMPARE(title, QString("Create Reject Filter"));
        QCOMPARE(offered, QString("spam@bad.example"));
        const TAccountPtr home = window.Form()->Engine().Accounts().Items(0);
        const std::string rules = ReadFile(home->Filters().FileName());
        QVERIFY2(rules.find("spam@bad.example") != std::string::npos, rules.c_str());

        window.findChild<QAbstractButton*>("MoveButton")->click();
        auto* move = window.findChild<QMenu*>("MovePopup");
        QTRY_VERIFY(move->isVisible());
        QAction* trash = move->findChild<QAction*>("MoveTrash1");
        QVERIFY(trash && trash->isEnabled());
        QVERIFY(!move->findChild<QAction*>("MoveVorla1")->isEnabled());
        move->close();
        trash->trigger();
        QTRY_COMPARE(window.findChild<QAbstractButton*>("TrashButton")->text(), QString("Trash (1)"));
        QCOMPARE(messages->topLevelItemCount(), 0);
        window.close();
    }

    // Before the desktop session ends, the window saves what its close saves and stays open.
    void SavingForTheSessionKeepsTheWindowOpen() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        window.move(30, 40);
        QVERIFY(!QFile::exists(Q(m_home->Path() + "vorla.ini")));
        window.SaveState();
        QVERIFY(window.isVisible());
        TIniFile ini(m_home->Path() + "vorla.ini");
        QCOMPARE(ini.ReadInteger("display", "width", -1), 848);
        QCOMPARE(ini.ReadInteger("options", "timerinterval", -1), 120000);
        window.close();
    }

    // Narrowed until its buttons wrap, the toolbar takes two rows' height; widened, one again.
    void TheToolbarFitsItsHeightToItsRows() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        auto* toolbar = window.findChild<QWidget*>("ToolBar1");
        QVERIFY(toolbar);
        QTRY_COMPARE(toolbar->height(), 39);
        QCOMPARE(window.findChild<QWidget*>("AboutButton")->y() < 38, true);
        window.resize(420, 549);
        QTRY_COMPARE(toolbar->height(), 77);
        window.resize(848, 549);
        QTRY_COMPARE(toolbar->height(), 39);
        window.close();
    }

    // Get Mail over three accounts of a real server: the selected account's list and counts
    // change while the run goes on (the window keeps handling events), and Stop, clicked while
    // the second account is fetched, ends the run before the third.
    void GetMailUpdatesTheWindowDuringTheRunAndStopEndsIt() {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) QSKIP(why.c_str());
        TDovecotServer server({{"ann", "annpw"}, {"bob", "bobpw"}, {"cy", "cypw"}});
        const char* users[] = {"ann", "bob", "cy"};
        // Bob's mailbox is the large one, so that the run is still on it when Stop arrives.
        const int counts[] = {3, 40, 3};
        for (int u = 0; u < 3; ++u)
            for (int i = 0; i < counts[u]; ++i)
                server.AddMessage(users[u], "From: Ann Example <ann@example.org>\nTo: x@example.net\nSubject: " +
                                                std::string(users[u]) + " " + std::to_string(i) +
                                                "\nDate: Mon, 4 Mar 2024 10:00:00 +0000\n\nHello.\n");
        {
            TZivadAccounts accounts(nullptr);
            for (const char* user : users) {
                TZivadAccount& account = accounts.Add(user);
                account.Edit([&](TAccountSettings& s) {
                    s.name = user;
                    s.popserver = TDovecotServer::kHost;
                    s.popport = server.Port();
                    s.loginname = user;
                    s.password = std::string(user) + "pw";
                    s.enablefetch = true;
                    s.enablesend = false;
                });
                account.Save();
            }
        }
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        TMainForm& form = *window.Form();
        form.Engine().Filters().AddRuleIfAbsent("ann@example.org", TFilterAction::Accept, TFilterSection::From);
        window.show();
        auto* status = window.findChild<QLabel*>("StatusLabel");
        auto* vorla = window.findChild<QAbstractButton*>("VorlaButton");
        auto* messages = window.findChild<QTreeWidget*>("MessagesList");
        QCOMPARE(vorla->text(), QString("Vorla (0)"));

        // What the window showed when the run reached each later account, and whether a timer
        // of the GUI thread ticked during the run.
        QString captionAtBob, statusAtBob;
        int rowsAtBob = -1;
        bool stopped = false;
        int ticksWhileRunning = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (form.Running()) ++ticksWhileRunning;
        });
        ticker.start(5);
        const auto shown = form.OnChanged;
        form.OnChanged = [&](unsigned parts) {
            shown(parts);
            if (!(parts & TMainForm::kStatusLine) || status->text() != "[bob] Fetching mail" || stopped) return;
            captionAtBob = vorla->text();
            statusAtBob = status->text();
            rowsAtBob = messages->topLevelItemCount();
            stopped = true;
            // As the user would: the click arrives through the event queue in the middle of the run.
            QTimer::singleShot(0, window.findChild<QAbstractButton*>("StopButton"), &QAbstractButton::click);
        };
        window.findChild<QAbstractButton*>("GetMailButton")->click();
        QVERIFY(!form.Running());
        QVERIFY(stopped);
        QCOMPARE(captionAtBob, QString("Vorla (3)"));
        QCOMPARE(rowsAtBob, 3);
        QVERIFY(ticksWhileRunning > 0);
        QTRY_COMPARE(status->text(), QString(" 3 entries"));
        // Cy's mail was never fetched: it is all still on the server.
        const auto accounts = form.Engine().Accounts().Snapshot();
        QCOMPARE(accounts.size(), std::size_t{3});
        QCOMPARE(accounts[2]->VorlaFolder().Count(), 0);
        QCOMPARE(server.MessageFiles("cy").size(), std::size_t{3});
        QVERIFY(accounts[1]->VorlaFolder().Count() <= 40);
        window.close();
    }

private:
    std::unique_ptr<TTestHome> m_home;
};

int RunForm1Tests(int argc, char** argv) {
    Form1Test test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "Form1Test.moc"
