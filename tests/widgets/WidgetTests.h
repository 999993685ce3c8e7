#pragma once
#include <QAbstractButton>
#include <QObject>
#include <QString>
#include <QTest>

#include <cstddef>

// Each widget test file runs its QtTest class through one of these; main() runs them all.
namespace vorla::test {
int RunQtDispatcherTests(int argc, char** argv);
int RunForm1Tests(int argc, char** argv);
int RunLogPageTests(int argc, char** argv);
int RunAboutBoxTests(int argc, char** argv);
int RunFiltersFormTests(int argc, char** argv);
int RunPrefsFormTests(int argc, char** argv);
int RunPeekFormTests(int argc, char** argv);
int RunAccountsFormTests(int argc, char** argv);

// A window's table of controls: the data function adds one row per control (object name,
// caption, hint); the test function builds the window and checks the row's button in it.
template <std::size_t N>
void AddControlRows(const char* const (&rows)[N][3]) {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    for (const auto& row : rows) QTest::newRow(row[0]) << row[0] << row[1] << row[2];
}
// With emptyHintIsUnchecked, a row without a hint leaves the button's tool tip unchecked.
inline void CompareControlRow(const QObject& window, bool emptyHintIsUnchecked = false) {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, hint);
    auto* button = window.findChild<QAbstractButton*>(name);
    QVERIFY2(button, qPrintable(name));
    QCOMPARE(button->text(), caption);
    if (!emptyHintIsUnchecked || !hint.isEmpty()) QCOMPARE(button->toolTip(), hint);
}
}  // namespace vorla::test
