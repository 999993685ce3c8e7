#include <QAbstractButton>
#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"
#include "ui/widgets/AboutBox.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class AboutBoxTest : public QObject {
    Q_OBJECT
private slots:
    void TheBoxShowsItsTextsAndTheLinkInItsPlace_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("label");
        QTest::newRow("the program") << VORLA_BINARY << "Version " VORLA_PROJECT_VERSION;
        // A program file without a version block: the label holds "Version " alone.
        QTest::newRow("no block") << "/bin/sh" << "Version ";
    }
    void TheBoxShowsItsTextsAndTheLinkInItsPlace() {
        QFETCH(QString, program);
        QFETCH(QString, label);
        TAboutBox box(program.toStdString(), QColor(200, 220, 240), nullptr);
        QCOMPARE(box.windowTitle(), QString("About"));
        QCOMPARE(box.size(), QSize(298, 213));
        QCOMPARE(box.findChild<QLabel*>("VersionLabel")->text(), label);
        QCOMPARE(box.findChild<QLabel*>("ProductName")->text(), QString("Vorla"));
        auto* ok = box.findChild<QPushButton*>("OKButton");
        QCOMPARE(ok->text(), QString("OK"));
        QCOMPARE(ok->size(), QSize(97, 33));
        TUrlLabel* link = box.UrlLabel();
        QCOMPARE(link->geometry(), QRect(8, 130, 265, 17));
        QVERIFY(link->font().bold() && link->font().underline());
        QCOMPARE(link->font().pointSize(), 10);
        QCOMPARE(link->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    }

    void TheLinkTurnsBlueUnderThePointerAndAClickRunsTheHandler() {
        TAboutBox box(VORLA_BINARY, Qt::white, nullptr);
        TUrlLabel* link = box.UrlLabel();
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0, 0, 128));
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(link, &enter);
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(link, &leave);
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0, 0, 128));
        QCOMPARE(link->cursor().shape(), Qt::ArrowCursor);
        int clicks = 0;
        link->OnClick = [&] { ++clicks; };
        QTest::mouseClick(link, Qt::RightButton);
        QTest::mouseClick(link, Qt::LeftButton);
        QCOMPARE(clicks, 1);
    }

    void EnterAndEscapeCloseTheBoxLikeOk() {
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            TAboutBox box("1.0", Qt::white, nullptr);
            box.show();
            QTest::keyClick(&box, key);
            QVERIFY(!box.isVisible());
            QCOMPARE(box.result(), int(QDialog::Accepted));
        }
    }

    // The toolbar's About button opens the box modally with the program's version.
    void TheAboutButtonOpensTheBox() {
        TTestHome home;
        {
            TQtDispatcher dispatcher;
            TForm1 window(dispatcher, "9.9");
            window.show();
            QString seen;
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                if (!box) return;
                seen = box->windowTitle() + " " + box->findChild<QLabel*>("VersionLabel")->text();
                box->accept();
            });
            window.findChild<QAbstractButton*>("AboutButton")->click();
            // The test program has no version block of its own.
            QCOMPARE(seen, QString("About Version "));
            window.close();
        }
    }
};

int RunAboutBoxTests(int argc, char** argv) {
    AboutBoxTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "AboutBoxTest.moc"
