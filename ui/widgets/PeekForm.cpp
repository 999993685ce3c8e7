#include "ui/widgets/PeekForm.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/widgets/QtText.h"
#include "ui/widgets/WidgetKit.h"

namespace vorla {
namespace {

constexpr int kIdleIntervalMs = 100;
constexpr const char* kColumnTitles[TPeekWindow::kColumnCount] = {"Num", "Date/Time", "Size", "From", "Subject"};
constexpr int kColumnWidths[TPeekWindow::kColumnCount] = {50, 140, 60, 160, 250};

QPushButton* AddButton(QWidget* parent, QBoxLayout* layout, const char* name, const char* caption, const char* hint) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setAutoDefault(false);  // Enter belongs to the list
    layout->addWidget(button);
    return button;
}

void UseBackground(QWidget* widget, const QColor& background) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, background);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

}  // namespace

TPeekCustomForm::TPeekCustomForm(const TCustomPeekFields& fields, QWidget* parent) : QDialog(parent) {
    setObjectName("PeekCustomForm");
    setWindowTitle("Custom Peek");
    if (parent) UseBackground(this, parent->palette().color(QPalette::Window));
    auto* layout = new QGridLayout(this);
    auto addEdit = [&](int row, const char* name, const char* caption, const std::string& text) {
        auto* label = new QLabel(caption, this);
        auto* edit = new QLineEdit(Q(text), this);
        edit->setObjectName(name);
        label->setBuddy(edit);
        layout->addWidget(label, row, 0);
        layout->addWidget(edit, row, 1);
        return edit;
    };
    m_server = addEdit(0, "AccountServerEdit", "Pop Server", fields.server);
    m_port = addEdit(1, "AccountServerPortEdit", "Pop Port", fields.port);
    m_login = addEdit(2, "AccountLoginEdit", "Login Name", fields.login);
    m_password = addEdit(3, "AccountPasswordEdit", "Password", fields.password);
    m_password->setEchoMode(QLineEdit::Password);
    auto* note = new QLabel("(leave blank to keep existing)", this);
    note->setObjectName("PasswordNoteLabel");
    layout->addWidget(note, 4, 1);
    const TOkCancelRow buttons = NewOkCancelRow(this, "OkButton");
    layout->addLayout(buttons.row, 5, 0, 1, 2);
    connect(buttons.ok, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(320);
}

TCustomPeekFields TPeekCustomForm::Fields() const {
    return {m_server->text().toStdString(), m_port->text().toStdString(), m_login->text().toStdString(),
            m_password->text().toStdString()};
}

TPeekForm::TPeekForm(TPeekWindow& window, const QColor& background, QWidget* parent)
    : QDialog(parent), m_window(window) {
    setObjectName("PeekForm");
    setWindowTitle("Peek");
    setWindowFlag(Qt::Tool);
    setModal(true);
    setSizeGripEnabled(true);
    UseBackground(this, background);
    resize(720, 520);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* top = new QHBoxLayout;
    m_peekCombo = new QComboBox(this);
    m_peekCombo->setObjectName("PeekCombo");
    m_peekCombo->setMinimumWidth(150);
    top->addWidget(m_peekCombo);
    m_connectButton = AddButton(this, top, "ConnectButton", "Connect", "Connect to selected account");
    m_customButton = AddButton(this, top, "CustomButton", "Custom", "Connect to a server that is not an account");
    m_disconnectButton = AddButton(this, top, "DisconnectButton", "Discon", "Disconnect");
    m_allowButton = AddButton(this, top, "AllowButton", "Accept", "Create a mail filter rule");
    m_disallowButton = AddButton(this, top, "DisallowButton", "Reject", "Create a mail filter rule");
    m_deleteButton = AddButton(this, top, "DeleteButton", "Delete", "Delete selected messages");
    top->addStretch(1);
    layout->addLayout(top);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName("PeekSplitter");
    m_peekList = new QTreeWidget(splitter);
    m_peekList->setObjectName("PeekList");
    m_peekList->setRootIsDecorated(false);
    m_peekList->setUniformRowHeights(true);
    m_peekList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_peekList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_peekList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_peekList->setAlternatingRowColors(true);
    {
        QPalette palette = m_peekList->palette();  // odd rows in the button face colour
        palette.setColor(QPalette::AlternateBase, palette.color(QPalette::Button));
        m_peekList->setPalette(palette);
    }
    QStringList titles;
    for (const char* title : kColumnTitles) titles << title;
    m_peekList->setHeaderLabels(titles);
    for (int c = 0; c < TPeekWindow::kColumnCount; ++c) m_peekList->setColumnWidth(c, kColumnWidths[c]);
    m_peekList->header()->setSectionsClickable(true);
    m_peekList->installEventFilter(this);

    auto* bottom = new QWidget(splitter);
    auto* bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->setSpacing(2);
    auto* panel = new QWidget(bottom);
    panel->setObjectName("MessageTextPanel");
    auto* panelLayout = new QHBoxLayout(panel);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel("  Message Text", panel);
    caption->setObjectName("MessageTextLabel");
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);
    panelLayout->addWidget(caption);
    panelLayout->addStretch(1);
    QPushButton* strip = AddButton(panel, panelLayout, "StripHtmlButton", "Strip Html Tags", "Strip html like tags from message text");
    QPushButton* body = AddButton(panel, panelLayout, "PeekMessageButton", "Get Message Body",
                                  "Show the full text of the selected message");
    bottomLayout->addWidget(panel);
    m_peekMemo = new QPlainTextEdit(bottom);
    m_peekMemo->setObjectName("PeekMemo");
    m_peekMemo->setReadOnly(true);
    m_peekMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_peekMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_peekMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bottomLayout->addWidget(m_peekMemo, 1);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    auto* okRow = new QHBoxLayout;
    okRow->addStretch(1);
    QPushButton* ok = AddButton(this, okRow, "OkButton", "OK", "");
    layout->addLayout(okRow);

    m_allowPopup = BuildRulePopup("AllowPopup", TFilterAction::Accept);
    m_disallowPopup = BuildRulePopup("DisallowPopup", TFilterAction::Reject);
    auto popUnder = [](QPushButton* button, QMenu* menu) { menu->popup(button->mapToGlobal(QPoint(0, button->height()))); };

    connect(m_peekCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_filling) return;
        Tell(m_window.SelectAccount(index));
    });
    connect(m_connectButton, &QPushButton::clicked, this, [this] { ConnectButtonClick(); });
    connect(m_customButton, &QPushButton::clicked, this, [this] { CustomButtonClick(); });
    connect(m_disconnectButton, &QPushButton::clicked, this, [this] { Tell(m_window.DisconnectButtonClick()); });
    connect(m_allowButton, &QPushButton::clicked, this, [=, this] { popUnder(m_allowButton, m_allowPopup); });
    connect(m_disallowButton, &QPushButton::clicked, this, [=, this] { popUnder(m_disallowButton, m_disallowPopup); });
    connect(m_deleteButton, &QPushButton::clicked, this, [this] { DeleteButtonClick(); });
    connect(m_peekList, &QTreeWidget::itemSelectionChanged, this, [this] { SelectionChanged(); });
    connect(m_peekList->header(), &QHeaderView::sectionClicked, this, [this](int column) { m_window.SortByColumn(column); });
    connect(strip, &QPushButton::clicked, this, [this] { m_window.StripHtmlButtonClick(); });
    connect(body, &QPushButton::clicked, this, [this] { GetMessageBody(); });
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    m_idleTimer = new QTimer(this);
    m_idleTimer->setInterval(kIdleIntervalMs);
    connect(m_idleTimer, &QTimer::timeout, this, [this] { IdleTick(); });
    m_idleTimer->start();

    m_window.OnChanged = [this](unsigned parts) { Show(parts); };
    Show(~0u);
    IdleTick();
    if (parent) move(parent->geometry().center() - QPoint(width() / 2, height() / 2));
}

TPeekForm::~TPeekForm() {
    m_window.OnChanged = nullptr;
    m_window.Close();  // a window that was never shown closes too
}

void TPeekForm::done(int result) {
    // A command that runs on a worker meanwhile carries the close out when it ends; what it
    // reports then is not shown, the window being gone.
    const TPeekNotice notice = m_window.Close();
    if (notice.kind == TPeekNotice::Error) Tell(notice);
    m_closing = true;
    QDialog::done(result);
}

bool TPeekForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_peekList && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter: GetMessageBody(); return true;
            case Qt::Key_Space: DeleteButtonClick(); return true;
            default: break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TPeekForm::Show(unsigned parts) {
    RequireGuiThread("TPeekForm::Show");
    if (parts & TPeekWindow::kAccountList) ShowAccounts();
    if (parts & TPeekWindow::kMessageList) ShowList();
    if (parts & TPeekWindow::kMarks) ShowMarks();
    if (parts & TPeekWindow::kMessageText) {
        m_peekMemo->setPlainText(Q(m_window.MessageText()));
        m_peekMemo->moveCursor(QTextCursor::Start);
    }
}

void TPeekForm::ShowAccounts() {
    m_filling = true;
    m_peekCombo->clear();
    for (const std::string& name : m_window.AccountNames()) m_peekCombo->addItem(Q(name));
    m_peekCombo->setCurrentIndex(m_window.SelectedAccount());
    m_filling = false;
}

void TPeekForm::ShowList() {
    const QSignalBlocker quiet(m_peekList);
    m_peekList->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& row : m_window.Rows())
        items.append(new QTreeWidgetItem(QStringList{Q(row.num), Q(row.dateTime), Q(row.size), Q(row.from), Q(row.subject)}));
    m_peekList->addTopLevelItems(items);
}

void TPeekForm::ShowMarks() {
    const auto& rows = m_window.Rows();
    for (int i = 0; i < m_peekList->topLevelItemCount() && i < static_cast<int>(rows.size()); ++i)
        m_peekList->topLevelItem(i)->setText(0, Q(rows[i].num));
}

void TPeekForm::IdleTick() {
    const TPeekWindow::TEnabled enabled = m_window.Idle(!m_peekList->selectedItems().isEmpty());
    m_connectButton->setEnabled(enabled.connect);
    m_customButton->setEnabled(enabled.custom);
    m_peekCombo->setEnabled(enabled.accountList);
    m_disconnectButton->setEnabled(enabled.disconnect);
    m_allowButton->setEnabled(enabled.accept);
    m_disallowButton->setEnabled(enabled.reject);
    m_deleteButton->setEnabled(enabled.del);
}

void TPeekForm::Tell(const TPeekNotice& notice) {
    if (!notice || m_closing) return;
    if (notice.kind == TPeekNotice::Error)
        QMessageBox::critical(this, "Peek", Q(notice.text));
    else
        QMessageBox::information(this, "Peek", Q(notice.text));
}

std::vector<int> TPeekForm::SelectedRows() const {
    std::vector<int> rows;
    for (int i = 0; i < m_peekList->topLevelItemCount(); ++i)
        if (m_peekList->topLevelItem(i)->isSelected()) rows.push_back(i);
    return rows;
}

void TPeekForm::SelectionChanged() {
    // The current row when it is selected, else the first selected one.
    QTreeWidgetItem* current = m_peekList->currentItem();
    int row = current && current->isSelected() ? m_peekList->indexOfTopLevelItem(current) : -1;
    if (row < 0) {
        const std::vector<int> rows = SelectedRows();
        row = rows.empty() ? -1 : rows.front();
    }
    if (row == m_window.SelectedRow()) return;
    m_window.SelectRow(row);
}

void TPeekForm::ConnectButtonClick() {
    TPeekNotice notice;
    {
        TBusyCursor busy;
        notice = m_window.ConnectButtonClick();
    }
    Tell(notice);
}

void TPeekForm::CustomButtonClick() {
    if (!m_window.Idle(false).custom) return;
    TPeekCustomForm dialog(m_window.CustomFields(), this);
    m_customForm = &dialog;
    const int result = dialog.exec();
    m_customForm = nullptr;
    if (result != QDialog::Accepted) return;
    TPeekNotice notice;
    {
        TBusyCursor busy;
        notice = m_window.CustomOk(dialog.Fields());
    }
    Tell(notice);
}

void TPeekForm::DeleteButtonClick() { m_window.DeleteButtonClick(SelectedRows()); }

void TPeekForm::GetMessageBody() {
    TPeekNotice notice;
    {
        TBusyCursor busy;
        notice = m_window.GetMessageBody();
    }
    Tell(notice);
}

QMenu* TPeekForm::BuildRulePopup(const char* name, TFilterAction action) {
    auto* menu = new QMenu(this);
    menu->setObjectName(name);
    for (const TRuleEntry entry : TPeekWindow::RuleEntries())
        menu->addAction(RuleEntryCaption(entry), this, [this, entry, action] { RuleMenuClick(entry, action); });
    return menu;
}

void TPeekForm::RuleMenuClick(TRuleEntry entry, TFilterAction action) {
    const std::string selection =
        m_peekMemo->textCursor().selectedText().replace(QChar::ParagraphSeparator, '\n').toStdString();
    try {
        if (entry == TRuleEntry::AllReceivedIps) {
            std::string box;
            {
                TBusyCursor busy;
                box = m_window.AddAllReceivedIps(action);
            }
            QMessageBox::information(this, "Vorla", Q(box));
            return;
        }
        TPeekNotice notice;
        TRuleOffer offer;
        {
            TBusyCursor busy;
            offer = m_window.OfferRule(entry, action, selection, notice);
        }
        if (notice || m_window.CloseWanted()) {
            Tell(notice);
            return;
        }
        bool ok = false;
        const QString text =
            QInputDialog::getText(this, Q(offer.title), Q(offer.prompt), QLineEdit::Normal, Q(offer.value), &ok);
        if (!ok) return;
        TRuleOutcome outcome;
        {
            TBusyCursor busy;
            outcome = m_window.CreateRule(offer, text.toStdString());
        }
        if (outcome == TRuleOutcome::Exists) QMessageBox::information(this, "Vorla", kFilterExistsText);
    } catch (const std::exception& e) {
        QMessageBox::warning(this, "Vorla", Q(e.what()));
    }
}

}  // namespace vorla
