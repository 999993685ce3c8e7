#pragma once
#include <QColor>
#include <QDialog>

#include <memory>
#include <optional>
#include <string>

#include "ui/FiltersForm.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

// The filters editor and its merge level dialog: they build the controls, forward their events
// to TFiltersEditor / TMergeLevel and show what those report.
namespace vorla {

class TZivad;
class TZivadFilters;

// "Merge Level": the Received IP merge level 1..4 with a sample pattern that follows it.
class TMergeLevelForm : public QDialog {
public:
    explicit TMergeLevelForm(QWidget* parent = nullptr);
    int Level() const { return m_level.Value(); }

private:
    TMergeLevel m_level;
    QSpinBox* m_spin = nullptr;
    QLabel* m_sample = nullptr;
};

// The modal rule editor on one rule list. The caller takes the list's snapshot before and
// saves or restores the list after, as the modal result says.
class TFiltersForm : public QDialog, private TFiltersUser {
public:
    // background: the engine's colour (window and every second row). engine outlives the form.
    TFiltersForm(TZivad& engine, const QColor& background, QWidget* parent = nullptr);
    ~TFiltersForm() override;

    // The list to edit; it outlives the form.
    void Bind(TZivadFilters& list) { m_editor.Bind(list); }
    // An account's list: the caption names it and the Move menu offers "Global".
    void SetAccountName(const std::string& name) { m_editor.SetAccountName(name); }
    TFiltersEditor& Editor() { return m_editor; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // TFiltersUser: the questions as dialogs.
    std::optional<std::string> AskText(const std::string& caption, const std::string& prompt,
                                       const std::string& value) override;
    TAnswer Confirm(const std::string& text, bool withCancel) override;
    void Inform(const std::string& text) override;
    void ShowError(const std::string& text) override;
    std::optional<std::string> ChooseSaveFile(const TFileChoice& choice) override;
    std::optional<std::string> ChooseOpenFile(const TFileChoice& choice) override;
    std::optional<int> AskMergeLevel() override;
    void Busy(bool on) override;

    void BuildToolbar(QWidget* parent);
    QWidget* BuildEditPanel(QWidget* parent);
    QToolButton* AddToolButton(QWidget* bar, const char* name, const char* caption, const char* hint, int icon);
    void Show(unsigned parts);
    void ShowRows();
    void ShowRow(int row);
    void ShowSelection();
    void ShowPanel();
    void ShowEnabled();
    void ShowMoveMenu();
    void FillItem(QTreeWidgetItem* item, int row);
    void ListSelectionChanged();
    void ListItemChanged(QTreeWidgetItem* item, int column);
    void PanelChanged();
    std::optional<std::string> ChooseFile(const TFileChoice& choice, bool save);
    void ToolButton1Click();

    TFiltersEditor m_editor;
    QColor m_background;
    bool m_filling = false;  // the controls are being filled: their signals are ours

    // Widgets: owned by their Qt parents.
    QToolButton* m_deleteButton = nullptr;
    QToolButton* m_lookupButton = nullptr;
    QToolButton* m_subIpButton = nullptr;
    QToolButton* m_moveButton = nullptr;
    QMenu* m_moveMenu = nullptr;
    QButtonGroup* m_viewGroup = nullptr;
    QTreeWidget* m_list = nullptr;
    QLineEdit* m_descriptionEdit = nullptr;
    QComboBox* m_sectionCombo = nullptr;
    QLineEdit* m_searchEdit = nullptr;
    QCheckBox* m_activeCheck = nullptr;
    QLabel* m_footer = nullptr;
};

}  // namespace vorla
