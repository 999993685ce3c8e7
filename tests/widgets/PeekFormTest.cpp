#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "support/DovecotServer.h"
#include "support/TempDir.h"
#include "ui/PeekForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/PeekForm.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {
namespace {

std::string Letter(const std::string& subject) {
    return "From: Ann <ann@example.org>\nTo: dan@example.net\nSubject: " + subject +
           "\nDate: Mon, 4 Mar 2024 10:00:00 +0000\n\nHello " + subject + ".\n";
}

// Accounts on disk before the engine reads them.
void MakeAccounts(const std::vector<std::pair<std::string, std::uint16_t>>& accounts) {
    TZivadAccounts list(nullptr);
    for (const auto& [name, port] : accounts) {
        TZivadAccount& account = list.Add(name);
        account.Edit([&](TAccountSettings& s) {
            s.name = name;
            s.popserver = TDovecotServer::kHost;
            s.popport = port;
            s.loginname = "dan";
            s.password = "danpw";
        });
        account.Save();
    }
}

QStringList Column(QTreeWidget* list, int column) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
    return texts;
}

// Runs steps once the modal window that opens next is up.
void WhenModal(std::function<void(QWidget*)> steps) {
    QTimer::singleShot(0, [steps = std::move(steps)] { steps(QApplication::activeModalWidget()); });
}

}  // namespace

class PeekFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() { m_home = std::make_unique<TTestHome>(); }
    void cleanup() { m_home.reset(); }

    void TheControlsCarryTheirNamesCaptionsAndHints_data() {
        const char* rows[][3] = {
            {"ConnectButton", "Connect", "Connect to selected account"},
            {"CustomButton", "Custom", "Connect to a server that is not an account"},
            {"DisconnectButton", "Discon", "Disconnect"},
            {"AllowButton", "Accept", "Create a mail filter rule"},
            {"DisallowButton", "Reject", "Create a mail filter rule"},
            {"DeleteButton", "Delete", "Delete selected messages"},
            {"StripHtmlButton", "Strip Html Tags", "Strip html like tags from message text"},
            {"PeekMessageButton", "Get Message Body", "Show the full text of the selected message"},
            {"OkButton", "OK", ""},
        };
        AddControlRows(rows);
    }
    void TheControlsCarryTheirNamesCaptionsAndHints() {
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        TPeekWindow window(engine);
        TPeekForm form(window, QColor(10, 20, 30), nullptr);
        CompareControlRow(form);
    }

    void TheWindowShowsItsListMenusAndStates() {
        MakeAccounts({{"Home", 1}, {"Work", 1}});
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        TPeekWindow window(engine);
        TPeekForm form(window, QColor(10, 20, 30), nullptr);
        QCOMPARE(form.windowTitle(), QString("Peek"));
        QVERIFY(form.isModal());
        QCOMPARE(form.palette().color(QPalette::Window), QColor(10, 20, 30));
        auto* list = form.findChild<QTreeWidget*>("PeekList");
        QVERIFY(list);
        QStringList headers;
        for (int c = 0; c < list->columnCount(); ++c) headers << list->headerItem()->text(c);
        QCOMPARE(headers, (QStringList{"Num", "Date/Time", "Size", "From", "Subject"}));
        QCOMPARE(list->columnWidth(1), 140);
        QCOMPARE(list->columnWidth(3), 160);
        QCOMPARE(list->columnWidth(4), 250);
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(list->palette().color(QPalette::AlternateBase), list->palette().color(QPalette::Button));
        auto* combo = form.findChild<QComboBox*>("PeekCombo");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->currentText(), QString("Home"));
        QCOMPARE(form.findChild<QLabel*>("MessageTextLabel")->text(), QString("  Message Text"));
        QVERIFY(form.findChild<QLabel*>("MessageTextLabel")->font().bold());
        auto* memo = form.findChild<QPlainTextEdit*>("PeekMemo");
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
        for (const char* popup : {"AllowPopup", "DisallowPopup"}) {
            QStringList entries;
            for (QAction* action : form.findChild<QMenu*>(popup)->actions()) entries << action->text();
            QCOMPARE(entries, (QStringList{"From Address", "From Domain", "To Address", "To Domain", "Subject", "Received",
                                           "All Received IPs", "Reply To", "Header Present", "Body", "In Any Header"}));
        }
        QTRY_VERIFY(form.findChild<QAbstractButton*>("ConnectButton")->isEnabled());
        QVERIFY(form.findChild<QAbstractButton*>("CustomButton")->isEnabled());
        QVERIFY(!form.findChild<QAbstractButton*>("DisconnectButton")->isEnabled());
        QVERIFY(!form.findChild<QAbstractButton*>("DeleteButton")->isEnabled());
        QVERIFY(!form.findChild<QAbstractButton*>("AllowButton")->isEnabled());
    }

    // From the main window's Peek button: connect, mark one message with Space, OK; the marked
    // message is gone from the server and the others stay.
    void PeekMarkAndCloseDeletesTheMarkedMessageOnTheServer() {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) QSKIP(why.c_str());
        TDovecotServer server(std::vector<TPopUser>{{"dan", "danpw"}});
        for (const char* subject : {"one", "two", "three"}) server.AddMessage("dan", Letter(subject));
        MakeAccounts({{"Home", server.Port()}});
        TQtDispatcher dispatcher;
        TForm1 main(dispatcher, "9.9");
        QStringList listed, marked;
        QString text;
        bool opened = false;
        WhenModal([&](QWidget* modal) {
            auto* peek = dynamic_cast<TPeekForm*>(modal);
            if (!peek) return;
            opened = true;
            peek->findChild<QAbstractButton*>("ConnectButton")->click();
            auto* list = peek->findChild<QTreeWidget*>("PeekList");
            listed = Column(list, 4);
            list->setFocus();
            list->setCurrentItem(list->topLevelItem(1));
            text = peek->findChild<QPlainTextEdit*>("PeekMemo")->toPlainText();
            QTest::keyClick(list, Qt::Key_Space);
            QTest::keyClick(list, Qt::Key_Return);  // Get Message Body
            marked = Column(list, 0);
            if (!marked.isEmpty()) text = peek->findChild<QPlainTextEdit*>("PeekMemo")->toPlainText();
            peek->findChild<QAbstractButton*>("OkButton")->click();
        });
        main.findChild<QAbstractButton*>("PeekButton")->click();
        QVERIFY(opened);
        QCOMPARE(listed, (QStringList{"one", "two", "three"}));
        QCOMPARE(marked, (QStringList{"1", "*2", "3"}));
        QVERIFY2(text.contains("Hello two."), qPrintable(text));
        const std::vector<std::string> left = server.MessageFiles("dan");
        QCOMPARE(left.size(), std::size_t{2});
        QVERIFY(ReadFile(left[0]).find("Subject: one") != std::string::npos);
        QVERIFY(ReadFile(left[1]).find("Subject: three") != std::string::npos);
        main.close();
    }

    // Custom: the dialog opens with port 110 and empty boxes; OK peeks at the server typed.
    void CustomPeeksAtTheServerTyped() {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) QSKIP(why.c_str());
        TDovecotServer server(std::vector<TPopUser>{{"dan", "danpw"}});
        for (const char* subject : {"alpha", "beta"}) server.AddMessage("dan", Letter(subject));
        TQtDispatcher dispatcher;
        TZivad engine(dispatcher);
        TPeekWindow window(engine);
        TPeekForm form(window, QColor(200, 200, 255), nullptr);
        form.show();
        QStringList opened;
        QString title;
        bool masked = false;
        WhenModal([&](QWidget* modal) {
            auto* custom = dynamic_cast<TPeekCustomForm*>(modal);
            if (!custom) return;
            title = custom->windowTitle();
            for (const char* name : {"AccountServerEdit", "AccountServerPortEdit", "AccountLoginEdit", "AccountPasswordEdit"})
                opened << custom->findChild<QLineEdit*>(name)->text();
            masked = custom->findChild<QLineEdit*>("AccountPasswordEdit")->echoMode() == QLineEdit::Password;
            custom->findChild<QLineEdit*>("AccountServerEdit")->setText(TDovecotServer::kHost);
            custom->findChild<QLineEdit*>("AccountServerPortEdit")->setText(QString::number(server.Port()));
            custom->findChild<QLineEdit*>("AccountLoginEdit")->setText("dan");
            custom->findChild<QLineEdit*>("AccountPasswordEdit")->setText("danpw");
            custom->findChild<QAbstractButton*>("OkButton")->click();
        });
        form.findChild<QAbstractButton*>("CustomButton")->click();
        QCOMPARE(title, QString("Custom Peek"));
        QCOMPARE(opened, (QStringList{"", "110", "", ""}));
        QVERIFY(masked);
        auto* list = form.findChild<QTreeWidget*>("PeekList");
        QCOMPARE(Column(list, 4), (QStringList{"alpha", "beta"}));
        // A click on the Subject title sorts, a second one reverses.
        list->header()->sectionClicked(4);
        list->header()->sectionClicked(4);
        QCOMPARE(Column(list, 4), (QStringList{"beta", "alpha"}));
        QTRY_VERIFY(form.findChild<QAbstractButton*>("DisconnectButton")->isEnabled());
        QVERIFY(!form.findChild<QAbstractButton*>("CustomButton")->isEnabled());
        form.findChild<QAbstractButton*>("DisconnectButton")->click();
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(server.MessageFiles("dan").size(), std::size_t{2});
        form.close();
    }

private:
    std::unique_ptr<TTestHome> m_home;
};

int RunPeekFormTests(int argc, char** argv) {
    PeekFormTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "PeekFormTest.moc"
