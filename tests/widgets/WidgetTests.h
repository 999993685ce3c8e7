#pragma once
#include <QAbstractButton>
#include <QLabel>
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
// caption, hint); the test function builds the window and checks the row's control in it. A
// button's caption is its text; any other control's is the text of the label it is the buddy of.
template <std::size_t N>
void AddControlRows(const char* const (&rows)[N][3]) {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    for (const auto& row : rows) QTest::newRow(row[0]) << row[0] << row[1] << row[2];
}
inline QString ControlCaption(const QObject& window, const QWidget& control) {
    if (auto* button = qobject_cast<const QAbstractButton*>(&control)) return button->text();
    for (const QLabel* label : window.findChildren<QLabel*>())
        if (label->buddy() == &control) return label->text();
    return {};
}
// With emptyHintIsUnchecked, a row without a hint leaves the control's tool tip unchecked.
inline void CompareControlRow(const QObject& window, bool emptyHintIsUnchecked = false) {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, hint);
    auto* control = window.findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(ControlCaption(window, *control), caption);
    if (!emptyHintIsUnchecked || !hint.isEmpty()) QCOMPARE(control->toolTip(), hint);
}
}  // namespace vorla::test
