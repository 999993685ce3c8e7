#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "filters/ZivadFilters.h"
#include "platform/Files.h"
#include "support/TempDir.h"
#include "ui/MainForm.h"
#include "ui/widgets/FiltersForm.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

namespace vorla::test {

class FiltersFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() { m_home = std::make_unique<TTestHome>(); }
    void cleanup() { m_home.reset(); }

    void TheControlsCarryTheirNamesCaptionsAndHints_data() {
        const char* rows[][3] = {
            {"FilterAddButton", "Add", "Add a new filter"},
            {"FilterDeleteButton", "Delete", "Delete selected filter"},
            {"FilterFindButton", "Find", "Find a filter"},
            {"FilterImportButton", "Import", "Import filters"},
            {"FilterExportButton", "Export", "Export filters"},
            {"FilterMergeButton", "Merge", "Merge filters"},
            {"FilterLookupButton", "IP Lookup", "Lookup domain information"},
            {"SubIpButton", "Sub IP", "Reduce to 2 point IP"},
            {"FilterMoveButton", "Move", "Move selected filter"},
            {"ToolButton1", "Help", "Read the manual"},
            {"AcceptButton", "Accept", ""},
            {"RejectButton", "Reject", ""},
            {"FilterActiveCheck", "Active", ""},
            {"OKButton", "OK", ""},
            {"CancelButton", "Cancel", ""},
        };
        AddControlRows(rows);
    }
    void TheControlsCarryTheirNamesCaptionsAndHints() {
        TEventQueue queue;
        TZivad engine(queue);
        TFiltersForm form(engine, Qt::yellow);
        CompareControlRow(form);
    }

    void TheListPanelAndMenusCarryTheirTitlesAndItems() {
        TEventQueue queue;
        TZivad engine(queue);
        TFiltersForm form(engine, QColor(200, 220, 240));
        form.Bind(engine.Filters());
        QCOMPARE(form.windowTitle(), QString("Filters"));
        auto* list = form.findChild<QTreeWidget*>("FiltersList");
        QVERIFY(list);
        QStringList headers;
        QList<int> widths;
        for (int c = 0; c < list->columnCount(); ++c) {
            headers << list->headerItem()->text(c);
            widths << list->columnWidth(c);
        }
        QCOMPARE(headers, (QStringList{"Description", "Section", "Search", "Count", "Last Used"}));
        QCOMPARE(widths, (QList<int>{150, 70, 160, 60, 100}));
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        auto* combo = form.findChild<QComboBox*>("FilterSectionCombo");
        QCOMPARE(combo->count(), 12);
        QCOMPARE(combo->itemText(0), QString("None"));
        QCOMPARE(combo->itemText(11), QString("Received IP"));
        QCOMPARE(form.findChild<QLabel*>("ListFooterPanel")->text(), QString(" 0 items"));
        QStringList exports, exportNames;
        for (QAction* action : form.findChild<QMenu*>("FilterExportPopup")->actions()) {
            exports << action->text();
            exportNames << action->objectName();
        }
        QCOMPARE(exports, (QStringList{"Export Type None", "Export Type Accept", "Export Type Reject", "Export Type All"}));
        QCOMPARE(exportNames, (QStringList{"ExportTypeNone1", "ExportTypeAccept1", "ExportTypeReject1", "ExportTypeAll1"}));
        QVERIFY(form.findChild<QMenu*>("FilterMoveMenu"));
        // Nothing selected: the panel and the row commands are off.
        for (const char* name : {"FilterDescriptionEdit", "FilterSectionCombo", "FilterSearchEdit", "FilterActiveCheck",
                                 "FilterDeleteButton", "FilterLookupButton", "SubIpButton", "FilterMoveButton"})
            QVERIFY2(!form.findChild<QWidget*>(name)->isEnabled(), name);
        form.SetAccountName("Home");
        QCOMPARE(form.windowTitle(), QString("Filters [Home]"));
    }

    // The rows show their rules; every second row wears the window's colour; the check box
    // switches the rule and the panel writes back into it.
    void RowsCheckBoxesAndThePanelWorkOnTheRules() {
        TEventQueue queue;
        TZivad engine(queue);
        TZivadFilters& rules = engine.Filters();
        for (const char* text : {"b@example.org", "a@example.org", "c@example.org"})
            rules.AddRuleIfAbsent(text, TFilterAction::Accept, TFilterSection::From);
        const QColor colour(200, 220, 240);
        TFiltersForm form(engine, colour);
        form.Bind(rules);
        form.show();
        auto* list = form.findChild<QTreeWidget*>("FiltersList");
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(0), QString("a@example.org"));
        QCOMPARE(list->topLevelItem(0)->text(1), QString("From"));
        QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Checked);
        QCOMPARE(list->topLevelItem(1)->background(0).color(), colour);
        QVERIFY(list->topLevelItem(0)->background(0).style() == Qt::NoBrush);
        QCOMPARE(form.findChild<QLabel*>("ListFooterPanel")->text(), QString(" 3 items"));

        list->topLevelItem(2)->setCheckState(0, Qt::Unchecked);  // as a click on the box does
        QVERIFY(!rules.RuleAt(2)->Active());
        QVERIFY(list->topLevelItem(2)->isSelected());
        QVERIFY(!form.findChild<QCheckBox*>("FilterActiveCheck")->isChecked());
        QVERIFY(form.findChild<QWidget*>("FilterDeleteButton")->isEnabled());

        form.findChild<QLineEdit*>("FilterSearchEdit")->setText("c@example.com");
        form.findChild<QComboBox*>("FilterSectionCombo")->setCurrentIndex(7);
        QCOMPARE(rules.RuleAt(2)->SearchText(), std::string("c@example.com"));
        QCOMPARE(rules.RuleAt(2)->Section(), TFilterSection::Body);
        QCOMPARE(list->topLevelItem(2)->text(1), QString("Body"));

        list->header()->sectionClicked(1);  // by section: From before Body
        QCOMPARE(list->topLevelItem(2)->text(1), QString("Body"));
        list->header()->sectionClicked(1);
        QCOMPARE(list->topLevelItem(0)->text(1), QString("Body"));
        form.findChild<QAbstractButton*>("RejectButton")->click();
        QCOMPARE(list->topLevelItemCount(), 0);
        form.reject();
    }

    void TheMergeLevelSampleFollowsTheNumber() {
        TMergeLevelForm dialog;
        QCOMPARE(dialog.windowTitle(), QString("Merge Level"));
        auto* spin = dialog.findChild<QSpinBox*>("SpinEdit1");
        auto* sample = dialog.findChild<QLabel*>("Label3");
        QCOMPARE(spin->value(), 3);
        QCOMPARE(sample->text(), QString("192.168.1.*"));
        QCOMPARE(spin->maximum(), 4);
        QCOMPARE(spin->minimum(), 1);
        spin->setValue(1);
        QCOMPARE(sample->text(), QString("192.*.*.*"));
        QCOMPARE(dialog.Level(), 1);
        QCOMPARE(dialog.findChild<QAbstractButton*>("OKButton")->text(), QString("&OK"));
        QCOMPARE(dialog.findChild<QAbstractButton*>("CancelButton")->text(), QString("&Cancel"));
    }

    // From the main window: a rule added and OK is in "vorla.fil"; Cancel leaves the file and
    // the rules as they were.
    void TheMainWindowsFiltersButtonSavesOnOkAndRestoresOnCancel() {
        TQtDispatcher dispatcher;
        TForm1 window(dispatcher, "9.9");
        window.show();
        const std::string file = window.Form()->GlobalRules().FileName();
        QVERIFY(!FileExists(file));

        bool edited = false;
        EditInModalEditor([&](TFiltersForm& editor) {
            editor.findChild<QAbstractButton*>("FilterAddButton")->click();
            editor.findChild<QLineEdit*>("FilterDescriptionEdit")->setText("Known sender");
            editor.findChild<QComboBox*>("FilterSectionCombo")->setCurrentIndex(1);
            editor.findChild<QLineEdit*>("FilterSearchEdit")->setText("ann@example.org");
            editor.findChild<QCheckBox*>("FilterActiveCheck")->setChecked(true);
            edited = editor.findChild<QTreeWidget*>("FiltersList")->topLevelItemCount() == 1;
            editor.findChild<QAbstractButton*>("OKButton")->click();
        });
        window.findChild<QAbstractButton*>("FilterButton")->click();
        QVERIFY(edited);
        QVERIFY(FileExists(file));
        const std::string saved = ReadFile(file);
        QCOMPARE(saved, std::string("\"Known sender\",\"Accept\",\"From\",\"ann@example.org\",\"1\"\r\n"));

        EditInModalEditor([&](TFiltersForm& editor) {
            editor.findChild<QAbstractButton*>("FilterAddButton")->click();
            editor.findChild<QLineEdit*>("FilterSearchEdit")->setText("bob@example.org");
            editor.findChild<QAbstractButton*>("CancelButton")->click();
        });
        window.findChild<QAbstractButton*>("FilterButton")->click();
        QCOMPARE(ReadFile(file), saved);
        QCOMPARE(window.Form()->GlobalRules().RuleCount(), 1);
        window.close();
    }

private:
    // Runs edit on the filters editor once it is up as the modal window.
    static void EditInModalEditor(std::function<void(TFiltersForm&)> edit) {
        QTimer::singleShot(0, [edit = std::move(edit)] {
            auto* editor = dynamic_cast<TFiltersForm*>(QApplication::activeModalWidget());
            if (!editor) {
                // Whatever is modal instead goes, so that the test ends.
                if (QWidget* other = QApplication::activeModalWidget()) other->close();
                QFAIL("the filters editor is not the modal window");
            }
            edit(*editor);
        });
    }

    std::unique_ptr<TTestHome> m_home;
};

int RunFiltersFormTests(int argc, char** argv) {
    FiltersFormTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "FiltersFormTest.moc"
