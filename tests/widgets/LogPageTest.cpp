#include <QAbstractButton>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <memory>
#include <thread>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/ZivadLog.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class LogPageTest : public QObject {
    Q_OBJECT
private slots:
    void init() { m_home = std::make_unique<TTestHome>(); }
    void cleanup() { m_home.reset(); }

    void TheLogPageCarriesItsNamedControls() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        const char* buttons[][3] = {
            {"LogButton", "Log", "Raw log"},
            {"DailyButton", "Daily", "Daily log summary"},
            {"AccountSummaryButton", "Accounts", "Total account summary"},
            {"StatusButton", "Status", "Current status log"},
        };
        for (const auto& row : buttons) {
            auto* button = window.findChild<QAbstractButton*>(row[0]);
            QVERIFY2(button, row[0]);
            QCOMPARE(button->text(), QString(row[1]));
            QCOMPARE(button->toolTip(), QString(row[2]));
            QCOMPARE(button->isChecked(), QString(row[0]) == "LogButton");
        }
        auto* edit = window.findChild<QTextEdit*>("LogEdit");
        QVERIFY(edit);
        QVERIFY(edit->isReadOnly());
        QCOMPARE(edit->lineWrapMode(), QTextEdit::NoWrap);
        auto* popup = window.findChild<QMenu*>("LogPopupMenu");
        QVERIFY(popup);
        QStringList items;
        for (QAction* action : popup->actions()) items << (action->isSeparator() ? "-" : action->text());
        QCOMPARE(items, (QStringList{"&Find", "&Copy", "-", "Show Account", "Email Log"}));
        QCOMPARE(popup->actions()[0]->shortcut(), QKeySequence("Ctrl+F"));
        QCOMPARE(popup->actions()[1]->shortcut(), QKeySequence("Ctrl+C"));
        auto* find = window.findChild<QDialog*>("FindDialog1");
        QVERIFY(find);
        QVERIFY(find->findChild<QPushButton*>("FindNextButton"));
        QCOMPARE(find->findChild<QPushButton*>("FindNextButton")->text(), QString("Find Next"));
    }

    // A line a worker writes to the log reaches the view once the GUI thread runs the post;
    // the heading is bold, the line below it is not.
    void ALogLineFromAWorkerShowsInTheView() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        window.findChild<QAbstractButton*>("LogMailButton")->click();
        QCOMPARE(window.findChild<QStackedWidget*>("PageControl")->currentIndex(), 1);
        auto* edit = window.findChild<QTextEdit*>("LogEdit");
        std::thread worker(
            [&] { window.Form()->Engine().Log().AppendLine("Home\tAccepted - (whitelist) Subject: from a worker"); });
        worker.join();
        QTRY_VERIFY(edit->toPlainText().contains("from a worker"));
        QVERIFY(edit->toPlainText().startsWith("LOG DETAILS\n\nDate / Time\tAccount\tDescription\n"));
        QTextDocument* document = edit->document();
        QCOMPARE(document->findBlockByNumber(2).begin().fragment().charFormat().fontWeight(), int(QFont::Bold));
        QCOMPARE(document->findBlockByNumber(3).begin().fragment().charFormat().fontWeight(), int(QFont::Normal));
        for (const int number : {2, 3}) {
            const QList<QTextOption::Tab> tabs = document->findBlockByNumber(number).blockFormat().tabPositions();
            QCOMPARE(tabs.size(), 2);
            QVERIFY(tabs[0].position > 0 && tabs[1].position > tabs[0].position);
        }
        // The Status view has three stops.
        window.findChild<QAbstractButton*>("StatusButton")->click();
        QVERIFY(edit->toPlainText().startsWith("STATUS HISTORY\n"));
        QCOMPARE(document->findBlockByNumber(3).blockFormat().tabPositions().size(), 3);
        window.findChild<QAbstractButton*>("LogButton")->click();
        QTRY_COMPARE(window.findChild<QWidget*>("StatusLabel")->property("text").toString(), QString(" 4 entries"));
        // The mail view clears the log view.
        window.findChild<QAbstractButton*>("LogMailButton")->click();
        QCOMPARE(window.findChild<QStackedWidget*>("PageControl")->currentIndex(), 0);
        QCOMPARE(edit->toPlainText(), QString());
    }

    void TheOpeningPageCanBeTheLogPage() {
        {
            TZivadAccounts accounts(nullptr);
            TZivadAccount& account = accounts.Add("Home");
            account.Edit([&](TAccountSettings& s) { s.name = "Home"; });
            account.Save();
        }
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.Form()->Engine().SetOpeningPage(1);
        window.show();
        QCOMPARE(window.findChild<QStackedWidget*>("PageControl")->currentIndex(), 1);
        QVERIFY(window.findChild<QAbstractButton*>("LogMailButton")->isChecked());
        QCOMPARE(window.Form()->SelectedAccount(), -1);
        window.findChild<QAbstractButton*>("LogMailButton")->click();
        QCOMPARE(window.Form()->SelectedAccount(), 0);
    }

private:
    std::unique_ptr<TTestHome> m_home;
};

int RunLogPageTests(int argc, char** argv) {
    LogPageTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "LogPageTest.moc"
