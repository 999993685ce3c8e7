#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <memory>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class Form1Test : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_home = std::make_unique<TTempDir>();
        SetHomeFolder(m_home->Path());
        ForceDirectories(*m_home / "tmp/");
        SetPrivateTempFolder(*m_home / "tmp/");
    }
    void cleanup() {
        SetPrivateTempFolder("");
        SetHomeFolder("");
        m_home.reset();
    }

    void TheControlsCarryTheirNamesAndCaptions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("hint");
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
        for (const auto& row : rows) QTest::newRow(row[0]) << row[0] << row[1] << row[2];
    }
    void TheControlsCarryTheirNamesAndCaptions() {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, hint);
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        auto* button = window.findChild<QAbstractButton*>(name);
        QVERIFY2(button, qPrintable(name));
        QCOMPARE(button->text(), caption);
        QCOMPARE(button->toolTip(), hint);
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

private:
    std::unique_ptr<TTempDir> m_home;
};

int RunForm1Tests(int argc, char** argv) {
    Form1Test test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "Form1Test.moc"
