#include "ui/widgets/FiltersForm.h"

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/widgets/QtText.h"
#include "ui/widgets/WidgetKit.h"

namespace vorla {
namespace {

// The behaviour's texts end their lines in CR LF; a label wants LF.
QString Lines(const std::string& text) { return Q(text).replace("\r\n", "\n"); }

// "Text files|*.txt|All files|*.*" as a file dialog's name filters.
QStringList NameFilters(const std::string& filter) {
    const QStringList parts = Q(filter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString mask = parts[i + 1];
        if (mask == "*.*") mask = "*";  // every file, also one without a dot
        filters << parts[i] + " (" + mask + ")";
    }
    return filters;
}

constexpr int kPanelWidth = 190;

// The dialog's closing buttons, right-aligned at the bottom; OK is the default.
void AddOkCancel(QDialog& dialog, QBoxLayout& layout, const char* okCaption, const char* cancelCaption) {
    const TOkCancelRow buttons = NewOkCancelRow(&dialog, "OKButton", okCaption, cancelCaption);
    layout.addLayout(buttons.row);
    QObject::connect(buttons.ok, &QPushButton::clicked, &dialog, &QDialog::accept);
}

}  // namespace

TMergeLevelForm::TMergeLevelForm(QWidget* parent) : QDialog(parent) {
    setObjectName("MergeLevelForm");
    setWindowTitle("Merge Level");
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel("Received IP Merge Level", this);
    label->setObjectName("Label1");
    row->addWidget(label);
    m_spin = new QSpinBox(this);
    m_spin->setObjectName("SpinEdit1");
    m_spin->setRange(TMergeLevel::kMinimum, TMergeLevel::kMaximum);
    m_spin->setValue(m_level.Value());
    m_spin->setMaximumWidth(m_spin->fontMetrics().horizontalAdvance("0") * 2 + 40);  // one digit
    row->addWidget(m_spin);
    row->addStretch(1);
    layout->addLayout(row);
    auto* sampleRow = new QHBoxLayout;
    auto* sampleLabel = new QLabel("Sample :", this);
    sampleLabel->setObjectName("Label2");
    sampleRow->addWidget(sampleLabel);
    m_sample = new QLabel(Q(m_level.Sample()), this);
    m_sample->setObjectName("Label3");
    sampleRow->addWidget(m_sample);
    sampleRow->addStretch(1);
    layout->addLayout(sampleRow);
    AddOkCancel(*this, *layout, "&OK", "&Cancel");
    connect(m_spin, &QSpinBox::valueChanged, this, [this](int value) {
        m_level.SpinEdit1Change(value);
        m_sample->setText(Q(m_level.Sample()));
    });
}

TFiltersForm::TFiltersForm(TZivad& engine, const QColor& background, QWidget* parent)
    : QDialog(parent), m_editor(engine, *this), m_background(background) {
    setObjectName("FiltersForm");
    setWindowTitle(Q(m_editor.Caption()));
    setModal(true);
    resize(760, 440);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, background);
    setPalette(palette);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 4);
    layout->setSpacing(2);
    BuildToolbar(this);

    auto* toggles = new QWidget(this);
    toggles->setObjectName("ViewPanel");
    auto* togglesLayout = new QHBoxLayout(toggles);
    togglesLayout->setContentsMargins(0, 0, 0, 0);
    m_viewGroup = new QButtonGroup(toggles);
    m_viewGroup->setExclusive(true);
    const std::pair<const char*, const char*> views[] = {{"AcceptButton", "Accept"}, {"RejectButton", "Reject"}};
    for (int i = 0; i < 2; ++i) {
        auto* button = new QToolButton(toggles);
        button->setObjectName(views[i].first);
        button->setText(views[i].second);
        button->setCheckable(true);
        button->setChecked(i == 0);
        button->setMinimumWidth(80);
        m_viewGroup->addButton(button, i);
        togglesLayout->addWidget(button);
    }
    togglesLayout->addStretch(1);
    connect(m_viewGroup, &QButtonGroup::idClicked, this,
            [this](int id) { m_editor.ViewButtonClick(id == 0 ? TFiltersView::Accept : TFiltersView::Reject); });
    layout->addWidget(toggles);

    auto* middle = new QHBoxLayout;
    middle->setSpacing(4);
    auto* listColumn = new QVBoxLayout;
    listColumn->setSpacing(0);
    m_list = new QTreeWidget(this);
    m_list->setObjectName("FiltersList");
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSortingEnabled(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setAllColumnsShowFocus(true);
    QStringList titles;
    for (const char* title : TFiltersEditor::kColumnTitles) titles << title;
    m_list->setHeaderLabels(titles);
    for (int c = 0; c < TFiltersEditor::kColumnCount; ++c) m_list->setColumnWidth(c, TFiltersEditor::kColumnWidths[c]);
    m_list->headerItem()->setTextAlignment(static_cast<int>(TFiltersEditor::TColumn::Count),
                                           Qt::AlignRight | Qt::AlignVCenter);
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setStretchLastSection(false);
    connect(m_list->header(), &QHeaderView::sectionClicked, this, [this](int column) { m_editor.ColumnClick(column); });
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { ListSelectionChanged(); });
    connect(m_list, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item, int column) { ListItemChanged(item, column); });
    listColumn->addWidget(m_list, 1);
    m_footer = new QLabel(this);
    m_footer->setObjectName("ListFooterPanel");
    m_footer->setFrameShape(QFrame::StyledPanel);
    listColumn->addWidget(m_footer);
    middle->addLayout(listColumn, 1);
    middle->addWidget(BuildEditPanel(this));
    layout->addLayout(middle, 1);

    AddOkCancel(*this, *layout, "OK", "Cancel");

    m_editor.OnChanged = [this](unsigned parts) { Show(parts); };
    Show(~0u & ~(TFiltersEditor::kRow | TFiltersEditor::kFocusDescription | TFiltersEditor::kFocusList));
}

TFiltersForm::~TFiltersForm() {
    m_editor.OnChanged = nullptr;
    // The controls go after the editor: nothing they signal while being destroyed may reach it.
    for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
}

QToolButton* TFiltersForm::AddToolButton(QWidget* bar, const char* name, const char* caption, const char* hint,
                                         int icon) {
    QToolButton* button = NewToolButton(bar, name, caption, hint, icon);
    button->setMinimumWidth(56);
    bar->layout()->addWidget(button);
    return button;
}

void TFiltersForm::BuildToolbar(QWidget* parent) {
    auto* bar = new QWidget(parent);
    bar->setObjectName("ToolBar1");
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(0, 2, 0, 2);
    barLayout->setSpacing(1);
    connect(AddToolButton(bar, "FilterAddButton", "Add", "Add a new filter", QStyle::SP_FileDialogNewFolder),
            &QToolButton::clicked, this, [this] { m_editor.FilterAddButtonClick(); });
    m_deleteButton = AddToolButton(bar, "FilterDeleteButton", "Delete", "Delete selected filter", QStyle::SP_TrashIcon);
    connect(m_deleteButton, &QToolButton::clicked, this, [this] { m_editor.FilterDeleteButtonClick(); });
    connect(AddToolButton(bar, "FilterFindButton", "Find", "Find a filter", QStyle::SP_FileDialogContentsView),
            &QToolButton::clicked, this, [this] { m_editor.FilterFindButtonClick(); });
    connect(AddToolButton(bar, "FilterImportButton", "Import", "Import filters", QStyle::SP_DialogOpenButton),
            &QToolButton::clicked, this, [this] { m_editor.FilterImportButtonClick(); });
    QToolButton* exportButton =
        AddToolButton(bar, "FilterExportButton", "Export", "Export filters", QStyle::SP_DialogSaveButton);
    auto* exportPopup = new QMenu(exportButton);
    exportPopup->setObjectName("FilterExportPopup");
    using TExport = TFiltersEditor::TExportCommand;
    const std::tuple<const char*, const char*, TExport> exports[] = {
        {"ExportTypeNone1", "Export Type None", TExport::None},
        {"ExportTypeAccept1", "Export Type Accept", TExport::Accept},
        {"ExportTypeReject1", "Export Type Reject", TExport::Reject},
        {"ExportTypeAll1", "Export Type All", TExport::All},
    };
    for (const auto& [name, caption, command] : exports) {
        QAction* action = exportPopup->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, [this, which = command] { m_editor.ExportFilterClick(which); });
    }
    exportButton->setMenu(exportPopup);
    exportButton->setPopupMode(QToolButton::MenuButtonPopup);
    connect(exportButton, &QToolButton::clicked, this, [this] { m_editor.ExportFilterClick(TExport::Button); });
    connect(AddToolButton(bar, "FilterMergeButton", "Merge", "Merge filters", QStyle::SP_FileDialogListView),
            &QToolButton::clicked, this, [this] { m_editor.MergeFiltersButtonClick(); });
    m_lookupButton =
        AddToolButton(bar, "FilterLookupButton", "IP Lookup", "Lookup domain information", QStyle::SP_DriveNetIcon);
    connect(m_lookupButton, &QToolButton::clicked, this, [this] { m_editor.FilterTldButtonClick(); });
    m_subIpButton = AddToolButton(bar, "SubIpButton", "Sub IP", "Reduce to 2 point IP", QStyle::SP_ArrowLeft);
    connect(m_subIpButton, &QToolButton::clicked, this, [this] { m_editor.SubIpButtonClick(); });
    m_moveButton = AddToolButton(bar, "FilterMoveButton", "Move", "Move selected filter", QStyle::SP_ArrowRight);
    m_moveMenu = new QMenu(m_moveButton);
    m_moveMenu->setObjectName("FilterMoveMenu");
    m_moveButton->setMenu(m_moveMenu);
    m_moveButton->setPopupMode(QToolButton::MenuButtonPopup);
    connect(m_moveButton, &QToolButton::clicked, this, [this] { m_editor.FilterMoveButtonClick(); });
    connect(AddToolButton(bar, "ToolButton1", "Help", "Read the manual", QStyle::SP_DialogHelpButton),
            &QToolButton::clicked, this, [this] { ToolButton1Click(); });
    barLayout->addStretch(1);
    parent->layout()->addWidget(bar);
}

QWidget* TFiltersForm::BuildEditPanel(QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setObjectName("FilterEditPanel");
    panel->setFixedWidth(kPanelWidth);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto addLabel = [&](const char* text) { layout->addWidget(new QLabel(text, panel)); };
    addLabel("Description");
    m_descriptionEdit = new QLineEdit(panel);
    m_descriptionEdit->setObjectName("FilterDescriptionEdit");
    layout->addWidget(m_descriptionEdit);
    addLabel("Message Section");
    m_sectionCombo = new QComboBox(panel);
    m_sectionCombo->setObjectName("FilterSectionCombo");
    for (const std::string& name : TFiltersEditor::SectionNames()) m_sectionCombo->addItem(Q(name));
    m_sectionCombo->setCurrentIndex(-1);
    m_sectionCombo->setMaxVisibleItems(12);
    layout->addWidget(m_sectionCombo);
    addLabel("Search String");
    m_searchEdit = new QLineEdit(panel);
    m_searchEdit->setObjectName("FilterSearchEdit");
    layout->addWidget(m_searchEdit);
    m_activeCheck = new QCheckBox("Active", panel);
    m_activeCheck->setObjectName("FilterActiveCheck");
    layout->addWidget(m_activeCheck);
    layout->addStretch(1);
    connect(m_descriptionEdit, &QLineEdit::textChanged, this, [this] { PanelChanged(); });
    connect(m_sectionCombo, &QComboBox::currentIndexChanged, this, [this] { PanelChanged(); });
    connect(m_searchEdit, &QLineEdit::textChanged, this, [this] { PanelChanged(); });
    connect(m_activeCheck, &QCheckBox::toggled, this, [this] { PanelChanged(); });
    return panel;
}

void TFiltersForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) m_editor.FormShow();
}

void TFiltersForm::Show(unsigned parts) {
    RequireGuiThread("TFiltersForm::Show");
    if (parts & TFiltersEditor::kCaption) setWindowTitle(Q(m_editor.Caption()));
    if (parts & TFiltersEditor::kRows) ShowRows();
    if (parts & TFiltersEditor::kRow) ShowRow(m_editor.ChangedRow());
    if (parts & (TFiltersEditor::kRows | TFiltersEditor::kSelection)) ShowSelection();
    if (parts & TFiltersEditor::kPanel) ShowPanel();
    if (parts & TFiltersEditor::kEnabled) ShowEnabled();
    if (parts & TFiltersEditor::kMoveMenu) ShowMoveMenu();
    if (parts & TFiltersEditor::kFocusDescription) m_descriptionEdit->setFocus();
    if (parts & TFiltersEditor::kFocusList) m_list->setFocus();
}

void TFiltersForm::FillItem(QTreeWidgetItem* item, int row) {
    const auto& shown = m_editor.Rows()[row];
    const QString texts[] = {Q(shown.description), Q(shown.section), Q(shown.search), Q(shown.count),
                             Q(shown.lastUsed)};
    for (int c = 0; c < TFiltersEditor::kColumnCount; ++c) {
        item->setText(c, texts[c]);
        if (TFiltersEditor::RowInWindowColour(row))
            item->setBackground(c, m_background);
        else
            item->setData(c, Qt::BackgroundRole, QVariant());
    }
    item->setTextAlignment(static_cast<int>(TFiltersEditor::TColumn::Count), Qt::AlignRight | Qt::AlignVCenter);
    item->setCheckState(0, shown.active ? Qt::Checked : Qt::Unchecked);
}

void TFiltersForm::ShowRows() {
    m_filling = true;
    m_list->clear();
    QList<QTreeWidgetItem*> items;
    for (int row = 0; row < static_cast<int>(m_editor.Rows().size()); ++row) {
        auto* item = new QTreeWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        FillItem(item, row);
        items.append(item);
    }
    m_list->addTopLevelItems(items);
    m_footer->setText(Q(m_editor.Footer()));
    m_filling = false;
}

void TFiltersForm::ShowRow(int row) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (!item) return;
    m_filling = true;
    FillItem(item, row);
    m_filling = false;
}

void TFiltersForm::ShowSelection() {
    m_filling = true;
    const int row = m_editor.Selected();
    if (QTreeWidgetItem* item = row >= 0 ? m_list->topLevelItem(row) : nullptr) {
        m_list->setCurrentItem(item);
        m_list->scrollToItem(item);
    } else {
        m_list->clearSelection();
        m_list->setCurrentItem(nullptr);
    }
    m_filling = false;
}

void TFiltersForm::ShowPanel() {
    m_filling = true;
    const auto& panel = m_editor.Panel();
    m_descriptionEdit->setText(Q(panel.description));
    m_sectionCombo->setCurrentIndex(panel.section);
    m_searchEdit->setText(Q(panel.search));
    m_activeCheck->setChecked(panel.active);
    m_filling = false;
}

void TFiltersForm::ShowEnabled() {
    const bool enabled = m_editor.RowControlsEnabled();
    for (QWidget* control : std::initializer_list<QWidget*>{m_descriptionEdit, m_sectionCombo, m_searchEdit,
                                                            m_activeCheck, m_deleteButton, m_lookupButton,
                                                            m_subIpButton, m_moveButton})
        control->setEnabled(enabled);
}

void TFiltersForm::ShowMoveMenu() {
    m_moveMenu->clear();
    auto* group = new QActionGroup(m_moveMenu);
    group->setExclusive(true);
    const auto& items = m_editor.MoveMenu();
    for (int i = 0; i < static_cast<int>(items.size()); ++i) {
        if (items[i].caption == "-") {
            m_moveMenu->addSeparator();
            continue;
        }
        QAction* action = m_moveMenu->addAction(Q(items[i].caption));
        action->setCheckable(true);
        action->setChecked(items[i].checked);
        group->addAction(action);
        // Queued: the click rebuilds this very menu.
        connect(action, &QAction::triggered, this,
                [this, i] { QMetaObject::invokeMethod(this, [this, i] { m_editor.FilterMoveMenuClick(i); }, Qt::QueuedConnection); });
    }
}

void TFiltersForm::ListSelectionChanged() {
    if (m_filling) return;
    const auto selected = m_list->selectedItems();
    m_editor.SelectRow(selected.isEmpty() ? -1 : m_list->indexOfTopLevelItem(selected.first()));
}

void TFiltersForm::ListItemChanged(QTreeWidgetItem* item, int column) {
    if (m_filling || column != 0) return;
    const int row = m_list->indexOfTopLevelItem(item);
    if (row < 0 || row >= static_cast<int>(m_editor.Rows().size())) return;
    // Only a click on the check box changes an item here; the editor flips the rule.
    if ((item->checkState(0) == Qt::Checked) != m_editor.Rows()[row].active) m_editor.RowCheckClicked(row);
}

void TFiltersForm::PanelChanged() {
    if (m_filling) return;
    TFiltersEditor::TPanel panel;
    panel.description = m_descriptionEdit->text().toStdString();
    panel.section = m_sectionCombo->currentIndex();
    panel.search = m_searchEdit->text().toStdString();
    panel.active = m_activeCheck->isChecked();
    m_editor.PanelEdited(panel);
}

void TFiltersForm::ToolButton1Click() {
    const std::string path = m_editor.ToolButton1Click(QCoreApplication::applicationDirPath().toStdString());
    if (!path.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
}

std::optional<std::string> TFiltersForm::AskText(const std::string& caption, const std::string& prompt,
                                                 const std::string& value) {
    bool ok = false;
    const QString text = QInputDialog::getText(this, Q(caption), Q(prompt), QLineEdit::Normal, Q(value), &ok);
    if (!ok) return std::nullopt;
    return text.toStdString();
}

TFiltersUser::TAnswer TFiltersForm::Confirm(const std::string& text, bool withCancel) {
    QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
    if (withCancel) buttons |= QMessageBox::Cancel;
    switch (QMessageBox::question(this, "Confirm", Lines(text), buttons)) {
    case QMessageBox::Yes: return TAnswer::Yes;
    case QMessageBox::No: return TAnswer::No;
    default: return withCancel ? TAnswer::Cancel : TAnswer::No;
    }
}

void TFiltersForm::Inform(const std::string& text) { QMessageBox::information(this, "Information", Lines(text)); }

void TFiltersForm::ShowError(const std::string& text) { QMessageBox::warning(this, "Error", Lines(text)); }

std::optional<std::string> TFiltersForm::ChooseFile(const TFileChoice& choice, bool save) {
    QFileDialog dialog(this, Q(choice.title), Q(choice.folder));
    dialog.setObjectName(save ? "SaveDialog1" : "OpenDialog1");
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(NameFilters(choice.filter));
    dialog.setDefaultSuffix(Q(choice.defaultExtension));
    if (!choice.overwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!choice.fileName.empty()) dialog.selectFile(Q(choice.fileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> TFiltersForm::ChooseSaveFile(const TFileChoice& choice) { return ChooseFile(choice, true); }
std::optional<std::string> TFiltersForm::ChooseOpenFile(const TFileChoice& choice) { return ChooseFile(choice, false); }

std::optional<int> TFiltersForm::AskMergeLevel() {
    TMergeLevelForm dialog(this);
    dialog.setPalette(palette());
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Level();
}

void TFiltersForm::Busy(bool on) {
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

}  // namespace vorla
