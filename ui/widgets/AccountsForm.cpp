#include "ui/widgets/AccountsForm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <climits>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "ui/widgets/FiltersForm.h"
#include "ui/widgets/QtText.h"
#include "ui/widgets/WidgetKit.h"

namespace vorla {
namespace {

constexpr int kIdleIntervalMs = 100;
constexpr int kFolderColumnWidth = 70;

struct TColumn {
    const char* caption;
    int width;  // 0: as the caption needs
    bool right;
};
constexpr TColumn kColumns[] = {
    {"Name", 120, false}, {"Filters", 0, false}, {"Redir", 0, false}, {"Send", 0, false},
    {"Bot", 0, false},    {"Away", 0, false},    {"Reject", 0, false}, {"Vorla", kFolderColumnWidth, true},
    {"Quaran", kFolderColumnWidth, true}, {"Trash", kFolderColumnWidth, true}, {"Queue", kFolderColumnWidth, true},
};
constexpr int kColumnCount = static_cast<int>(std::size(kColumns));

constexpr const char* kPasswordCommandHint =
    "A command run by /bin/sh at each login (30 s at most, no terminal), such as a keyring lookup or a "
    "script that gets a fresh OAuth 2.0 access token: the first line it prints is the password, or the "
    "access token with XOAUTH2 and OAUTHBEARER. When it is set, the stored password is not used";

struct TPageButton {
    const char* name;
    const char* caption;
};
constexpr TPageButton kPageButtons[TAccountsEditor::kPageCount] = {
    {"FetchButton", "Fetch"},   {"Filters2Button", "Filters"}, {"RedirectButton", "Redirect"}, {"SendButton", "Send"},
    {"MailbotButton", "Mailbot"}, {"AwayButton", "Away"},       {"RejectButton", "Reject"},
};

// The memos show lines broken with LF; the account keeps CR LF.
QString MemoText(const std::string& text) { return Q(text).replace("\r\n", "\n"); }
std::string StoredText(const QString& text) {
    QString stored = text;
    return stored.replace("\n", "\r\n").toStdString();
}

QLabel* Caption(QWidget* parent, const char* text, QWidget* buddy = nullptr) {
    auto* label = new QLabel(text, parent);
    if (buddy) label->setBuddy(buddy);
    return label;
}

QToolButton* SmallButton(QWidget* parent, const char* name, const char* caption, const char* hint) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setToolTip(hint);
    button->setMinimumWidth(56);
    return button;
}

// A choice whose items stand in the order of the setting's numbers.
QComboBox* Choice(QWidget* parent, const char* name, const QStringList& items, const char* hint) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    combo->setToolTip(hint);
    return combo;
}
QComboBox* SecurityCombo(QWidget* parent, const char* name, const char* upgrade, const char* hint) {
    return Choice(parent, name, {"None", upgrade, "TLS"}, hint);
}

void SetText(QLineEdit* edit, const std::string& text) {
    const QString value = Q(text);
    if (edit->text() != value) edit->setText(value);
}
void SetText(QPlainTextEdit* memo, const std::string& text) {
    const QString value = MemoText(text);
    if (memo->toPlainText() != value) memo->setPlainText(value);
}
void SetItems(QListWidget* list, const std::vector<std::string>& lines) {
    QStringList items;
    for (const std::string& line : lines) items << Q(line);
    QStringList shown;
    for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
    if (shown == items) return;
    const int row = list->currentRow();
    list->clear();
    list->addItems(items);
    if (row < list->count()) list->setCurrentRow(row);
}

}  // namespace

TAccountsForm::TAccountsForm(TZivad& engine, const QColor& background, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      m_engine(engine),
      m_editor(engine.Accounts(), *this),
      m_background(background) {
    setObjectName("AccountsForm");
    setWindowTitle("Accounts");
    setModal(true);
    QFont font = QFontDatabase::hasFamily("Verdana") ? QFont("Verdana") : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, background);
    setPalette(palette);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    auto* toolbar = new QHBoxLayout;
    struct TToolButton {
        const char *name, *caption, *hint;
        QStyle::StandardPixmap icon;
    };
    const TToolButton tools[] = {
        {"AccountAddButton", "Add", "Add a new account", QStyle::SP_FileDialogNewFolder},
        {"AccountDeleteButton", "Delete", "Delete selected account", QStyle::SP_TrashIcon},
        {"FiltersButton", "Filters", "Edit account filters", QStyle::SP_FileDialogDetailedView},
    };
    QToolButton* toolButtons[3] = {};
    for (int i = 0; i < 3; ++i) {
        auto* button = new QToolButton(this);
        button->setObjectName(tools[i].name);
        button->setText(tools[i].caption);
        button->setToolTip(tools[i].hint);
        button->setIcon(style()->standardIcon(tools[i].icon));
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setMinimumSize(44, 36);
        toolbar->addWidget(button);
        toolButtons[i] = button;
    }
    toolbar->addStretch(1);
    layout->addLayout(toolbar);
    m_deleteButton = toolButtons[1];
    m_filtersButton = toolButtons[2];
    connect(toolButtons[0], &QToolButton::clicked, this, [this] { m_editor.AccountAddButtonClick(); });
    connect(m_deleteButton, &QToolButton::clicked, this, [this] { m_editor.AccountDeleteButtonClick(); });
    connect(m_filtersButton, &QToolButton::clicked, this, [this] { FiltersButtonClick(); });

    m_hint = new QLabel(this);
    m_hint->setObjectName("HintLabel");
    m_hint->setWordWrap(true);
    m_hint->hide();
    layout->addWidget(m_hint);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName("Splitter");
    m_list = new QTreeWidget(splitter);
    m_list->setObjectName("AccountsList");
    m_list->setColumnCount(kColumnCount);
    QStringList headers;
    for (const TColumn& column : kColumns) headers << column.caption;
    m_list->setHeaderLabels(headers);
    for (int c = 0; c < kColumnCount; ++c) {
        if (kColumns[c].width) m_list->setColumnWidth(c, kColumns[c].width);
        else m_list->header()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
        if (kColumns[c].right) m_list->headerItem()->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_filling) return;
        const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
        m_editor.SelectRow(selected.isEmpty() ? -1 : m_list->indexOfTopLevelItem(selected.front()));
    });
    connect(m_list, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) { ListItemChanged(item, column); });
    splitter->addWidget(m_list);
    QWidget* panel = BuildPanel(splitter);
    splitter->addWidget(panel);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({kClientWidth - kPanelWidth, kPanelWidth});
    layout->addWidget(splitter, 1);

    const TOkCancelRow buttons = NewOkCancelRow(this, "OkButton");
    layout->addLayout(buttons.row);
    connect(buttons.ok, &QPushButton::clicked, this, &QDialog::accept);

    m_editor.OnChanged = [this](unsigned parts) { Show(parts); };
    Show(~0u & ~unsigned(TAccountsEditor::kFocusName));

    // The idle processing: the enabling follows the values while the window exists.
    m_idleTimer = new QTimer(this);
    m_idleTimer->setInterval(kIdleIntervalMs);
    connect(m_idleTimer, &QTimer::timeout, this, [this] { m_editor.SetControlsEnabled(); });
    m_idleTimer->start();

    resize(kClientWidth, kClientHeight);
    if (parent) {
        const QPoint centre = parent->mapToGlobal(parent->rect().center());
        move(centre.x() - kClientWidth / 2, centre.y() - kClientHeight / 2);
    }
}

TAccountsForm::~TAccountsForm() {
    m_editor.OnChanged = nullptr;
    // The controls go after the editor: nothing they signal while being destroyed may reach it.
    for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
}

QCheckBox* TAccountsForm::AddCheck(QWidget* parent, const char* name, const char* caption, bool TAccountValues::*value,
                                   const char* hint) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setToolTip(hint);
    m_checks.push_back({box, value});
    connect(box, &QCheckBox::clicked, this, [this] { AccountChange(); });
    return box;
}

QLineEdit* TAccountsForm::AddEdit(QWidget* parent, const char* name, std::string TAccountValues::*value, bool password) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    if (password) edit->setEchoMode(QLineEdit::Password);
    m_edits.push_back({edit, value});
    connect(edit, &QLineEdit::textEdited, this, [this] { AccountChange(); });
    return edit;
}

QWidget* TAccountsForm::BuildPanel(QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setObjectName("AccountPanel");
    panel->setMinimumWidth(kPanelWidth);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 0, 0, 0);
    m_nameEdit = AddEdit(panel, "AccountNameEdit", &TAccountValues::name);
    layout->addWidget(Caption(panel, "Account Name", m_nameEdit));
    layout->addWidget(m_nameEdit);
    m_emailEdit = AddEdit(panel, "AccountEmailEdit", &TAccountValues::email);
    layout->addWidget(Caption(panel, "Email Address", m_emailEdit));
    layout->addWidget(m_emailEdit);

    auto* pageRow = new QHBoxLayout;
    pageRow->setSpacing(1);
    m_pageButtons = new QButtonGroup(panel);
    m_pageButtons->setExclusive(true);
    for (int page = 0; page < TAccountsEditor::kPageCount; ++page) {
        auto* button = new QToolButton(panel);
        button->setObjectName(kPageButtons[page].name);
        button->setText(kPageButtons[page].caption);
        button->setCheckable(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_pageButtons->addButton(button, page);
        pageRow->addWidget(button);
    }
    layout->addLayout(pageRow);
    connect(m_pageButtons, &QButtonGroup::idClicked, this, [this](int page) { m_editor.ButtonClick(page); });

    m_pages = new QStackedWidget(panel);
    m_pages->setObjectName("AccountPages");
    m_pages->addWidget(BuildFetchPage());
    m_pages->addWidget(BuildFiltersPage());
    m_pages->addWidget(BuildRedirectPage());
    m_pages->addWidget(BuildSendPage());
    m_pages->addWidget(BuildMailbotPage());
    m_pages->addWidget(BuildTextPage("AwayPage", "AccountAwayCheck", "Enable away", &TAccountValues::away, m_awayMemo,
                                     "AccountAwayMemo"));
    m_pages->addWidget(BuildTextPage("RejectPage", "AccountRejectCheck", "Enable reject responses",
                                     &TAccountValues::rejectResponse, m_rejectMemo, "AccountRejectMemo"));
    layout->addWidget(m_pages, 1);
    m_awayCheck = m_checks[m_checks.size() - 2].box;
    m_rejectCheck = m_checks.back().box;
    return panel;
}

QWidget* TAccountsForm::BuildFetchPage() {
    auto* page = new QWidget;
    page->setObjectName("FetchPage");
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(0, 4, 0, 0);
    m_fetchCheck = AddCheck(page, "AccountFetchCheck", "Enable fetch", &TAccountValues::enableFetch);
    grid->addWidget(m_fetchCheck, 0, 0, 1, 2);
    m_noDownloadCheck = AddCheck(page, "AccountNoDownloadCheck", "No download (no body filter checks)",
                                 &TAccountValues::noDownload);
    grid->addWidget(m_noDownloadCheck, 1, 0, 1, 2);
    m_ifDownloadingLabel = new QLabel("If downloading then:", page);
    m_ifDownloadingLabel->setObjectName("IfDownloadingLabel");
    grid->addWidget(m_ifDownloadingLabel, 2, 0);
    m_noDeleteCheck = AddCheck(page, "AccountNoDeleteCheck", "Keep a copy on the server", &TAccountValues::noDelete);
    grid->addWidget(m_noDeleteCheck, 2, 1);

    m_popSecurity = SecurityCombo(page, "AccountPopSecurityCombo", "STLS",
                                  "How the connection to the POP3 server is secured: TLS from the start (usually "
                                  "port 995), an upgrade with STLS (port 110), or none");
    const TServerRows rows = {{"AccountServerEdit", "Pop Server", &TAccountValues::popServer},
                              {"AccountServerPortEdit", "Pop Port", &TAccountValues::popPort},
                              {"AccountLoginEdit", "Login Name", &TAccountValues::loginName},
                              {"AccountPasswordEdit", "Password", &TAccountValues::password},
                              "AccountPasswordNote"};
    m_popControls = AddServerRows(page, grid, 3, rows, m_popSecurity);
    m_popAuth = Choice(page, "AccountPopAuthCombo",
                       {"USER and PASS", "AUTH PLAIN", "XOAUTH2 (OAuth 2.0)", "OAUTHBEARER (OAuth 2.0)"},
                       "How Vorla logs in to the POP3 server: USER and PASS, AUTH PLAIN, or with an OAuth 2.0 "
                       "access token (XOAUTH2, OAUTHBEARER), which is sent only over TLS or to a server on "
                       "this machine");
    for (QWidget* w : AddLoginRows(page, grid, 8, m_popAuth,
                                   {"AccountPasswordCommandEdit", "Password Command", &TAccountValues::passwordCommand},
                                   kPasswordCommandHint))
        m_popControls.push_back(w);
    m_verifyCert = AddCheck(page, "AccountVerifyCertCheck", "Check the server's certificate",
                            &TAccountValues::verifyCert,
                            "Check the certificate and name of the POP3 and SMTP servers on TLS connections");
    grid->addWidget(m_verifyCert, 10, 0, 1, 2);
    grid->setRowStretch(11, 1);
    m_popControls.push_back(m_verifyCert);
    return page;
}

std::vector<QWidget*> TAccountsForm::AddServerRows(QWidget* page, QGridLayout* grid, int row, const TServerRows& rows,
                                                   QComboBox* security) {
    QLineEdit* server = AddEdit(page, rows.server.name, rows.server.value);
    QLineEdit* port = AddEdit(page, rows.port.name, rows.port.value);
    QLineEdit* login = AddEdit(page, rows.login.name, rows.login.value);
    QLineEdit* password = AddEdit(page, rows.password.name, rows.password.value, true);
    connect(security, &QComboBox::activated, this, [this] { AccountChange(); });
    grid->addWidget(Caption(page, rows.server.caption, server), row, 0);
    grid->addWidget(Caption(page, rows.port.caption, port), row, 1);
    grid->addWidget(server, row + 1, 0);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(port);
    portRow->addWidget(security);
    grid->addLayout(portRow, row + 1, 1);
    grid->addWidget(Caption(page, rows.login.caption, login), row + 2, 0);
    grid->addWidget(Caption(page, rows.password.caption, password), row + 2, 1);
    grid->addWidget(login, row + 3, 0);
    grid->addWidget(password, row + 3, 1);
    auto* keep = new QLabel("(leave blank to keep existing)", page);
    keep->setObjectName(rows.passwordNote);
    grid->addWidget(keep, row + 4, 1);
    return {server, port, login, password, security};
}

std::vector<QWidget*> TAccountsForm::AddLoginRows(QWidget* page, QGridLayout* grid, int row, QComboBox* method,
                                                  const TEditRow& command, const char* commandHint) {
    QLineEdit* edit = AddEdit(page, command.name, command.value);
    edit->setToolTip(commandHint);
    edit->setPlaceholderText("none: the stored password");
    connect(method, &QComboBox::activated, this, [this] { AccountChange(); });
    grid->addWidget(Caption(page, "Login Method", method), row, 0);
    grid->addWidget(Caption(page, command.caption, edit), row, 1);
    grid->addWidget(method, row + 1, 0);
    grid->addWidget(edit, row + 1, 1);
    return {method, edit};
}

QWidget* TAccountsForm::BuildFiltersPage() {
    auto* page = new QWidget;
    page->setObjectName("FiltersPage");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 4, 0, 0);
    m_filtersCheck = AddCheck(page, "AccountFiltersCheck", "Enable filters", &TAccountValues::enableFilters);
    layout->addWidget(m_filtersCheck);
    layout->addWidget(new QLabel("Before processing accept filters:", page));
    auto* sizeRow = new QHBoxLayout;
    m_rejectKb = new QSpinBox(page);
    m_rejectKb->setObjectName("AccountRejectKBSpin");
    m_rejectKb->setRange(INT_MIN, INT_MAX);
    m_rejectKb->setValue(1024);
    connect(m_rejectKb, &QSpinBox::valueChanged, this, [this] { AccountChange(); });
    auto* over = new QLabel("Reject msgs over", page);
    auto* unit = new QLabel("KB in size", page);
    sizeRow->addWidget(over);
    sizeRow->addWidget(m_rejectKb);
    sizeRow->addWidget(unit);
    sizeRow->addStretch(1);
    layout->addLayout(sizeRow);
    QCheckBox* own = AddCheck(page, "AccountFiltersRejectOwnCheck", "Reject msgs from me", &TAccountValues::rejectOwn);
    QCheckBox* invalid = AddCheck(page, "AccountFiltersRejectInvalidRecipient", "Reject invalid recipient",
                                  &TAccountValues::rejectInvalidRecipient);
    layout->addWidget(own);
    layout->addWidget(invalid);
    layout->addWidget(new QLabel("After processing all reject filters:", page));
    QCheckBox* old = AddCheck(page, "AccountFiltersRejectOldDates", "Reject old dates", &TAccountValues::rejectOldDates,
                              "Reject messages with date older than 5 years");
    QCheckBox* ips = AddCheck(page, "AccountFiltersRejectIllegalIPs", "Reject illegal IPs", &TAccountValues::rejectIllegalIps);
    layout->addWidget(old);
    layout->addWidget(ips);
    layout->addStretch(1);
    m_filterControls = {m_rejectKb, over, unit, own, invalid, old, ips};
    return page;
}

QWidget* TAccountsForm::BuildRedirectPage() {
    auto* page = new QWidget;
    page->setObjectName("RedirectPage");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 4, 0, 0);
    m_redirectCheck = AddCheck(page, "AccountRedirectCheck", "Enable redirection", &TAccountValues::enableRedirect);
    layout->addWidget(m_redirectCheck);
    QCheckBox* name = AddCheck(page, "AccountRedirectNameCheck", "'To' Name redirection", &TAccountValues::nameRedirect);
    QCheckBox* quarantined = AddCheck(page, "AccountRedirectQuarantinedCheck", "Include quarantined messages",
                                      &TAccountValues::redirectQuarantined);
    QCheckBox* del = AddCheck(page, "AccountRedirectDeleteCheck", "Delete original after redirecting",
                              &TAccountValues::redirectDelete);
    layout->addWidget(name);
    layout->addWidget(quarantined);
    layout->addWidget(del);
    auto* label = new QLabel("Redirect To Addresses", page);
    layout->addWidget(label);
    auto* listRow = new QHBoxLayout;
    m_redirectList = new QListWidget(page);
    m_redirectList->setObjectName("AccountRedirectList");
    listRow->addWidget(m_redirectList, 1);
    auto* buttons = new QVBoxLayout;
    QToolButton* add = SmallButton(page, "AccountRedirectAddButton", "Add", "Add a redirection address");
    QToolButton* remove = SmallButton(page, "AccountRedirectDeleteButton", "Delete", "Delete selected redirection");
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    listRow->addLayout(buttons);
    layout->addLayout(listRow, 1);
    connect(add, &QToolButton::clicked, this, [this] { m_editor.RedirectAddButtonClick(); });
    connect(remove, &QToolButton::clicked, this,
            [this] { m_editor.RedirectDeleteButtonClick(m_redirectList->currentRow()); });
    m_redirectControls = {name, quarantined, del, label, m_redirectList, add, remove};
    return page;
}

QWidget* TAccountsForm::BuildSendPage() {
    auto* page = new QWidget;
    page->setObjectName("SendPage");
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(0, 4, 0, 0);
    m_sendCheck = AddCheck(page, "AccountSendCheck", "Enable send", &TAccountValues::enableSend);
    grid->addWidget(m_sendCheck, 0, 0, 1, 2);
    m_sendDirectCheck = AddCheck(page, "AccountSendDirectCheck", "Send direct", &TAccountValues::sendDirect);
    grid->addWidget(m_sendDirectCheck, 1, 0, 1, 2);
    m_smtpSecurity = SecurityCombo(page, "AccountSmtpSecurityCombo", "STARTTLS",
                                   "How the connection to the SMTP server is secured: TLS from the start (usually "
                                   "port 465), an upgrade with STARTTLS (ports 25 and 587), or none");
    const TServerRows rows = {{"AccountSmtpEdit", "Smtp Server", &TAccountValues::smtpServer},
                              {"AccountSmtpPortEdit", "Smtp Port", &TAccountValues::smtpPort},
                              {"AccountSmtpLoginEdit", "Login Name", &TAccountValues::smtpLogin},
                              {"AccountSmtpPasswordEdit", "Password", &TAccountValues::smtpPassword},
                              "AccountSmtpPasswordNote"};
    m_smtpControls = AddServerRows(page, grid, 2, rows, m_smtpSecurity);
    m_smtpAuth = Choice(page, "AccountSmtpAuthCombo",
                        {"Automatic (PLAIN or LOGIN)", "XOAUTH2 (OAuth 2.0)", "OAUTHBEARER (OAuth 2.0)"},
                        "How Vorla logs in to the SMTP server: AUTH PLAIN when the server offers it, else AUTH "
                        "LOGIN; or with an OAuth 2.0 access token (XOAUTH2, OAUTHBEARER), which is sent only "
                        "over TLS or to a server on this machine");
    for (QWidget* w : AddLoginRows(page, grid, 7, m_smtpAuth,
                                   {"AccountSmtpPasswordCommandEdit", "Password Command",
                                    &TAccountValues::smtpPasswordCommand},
                                   kPasswordCommandHint))
        m_smtpControls.push_back(w);
    grid->setRowStretch(9, 1);
    return page;
}

QWidget* TAccountsForm::BuildMailbotPage() {
    auto* page = new QWidget;
    page->setObjectName("MailbotPage");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 4, 0, 0);
    m_mailbotCheck = AddCheck(page, "AccountMailbotCheck", "Enable mailbot", &TAccountValues::enableMailbot);
    layout->addWidget(m_mailbotCheck);
    auto* botsLabel = new QLabel("Mailbots", page);
    layout->addWidget(botsLabel);
    auto* botRow = new QHBoxLayout;
    m_mailbotCombo = new QComboBox(page);
    m_mailbotCombo->setObjectName("AccountMailbotCombo");
    botRow->addWidget(m_mailbotCombo, 1);
    QToolButton* add = SmallButton(page, "AccountMailbotAddButton", "Add", "Add a mailbot");
    QToolButton* remove = SmallButton(page, "AccountMailbotDeleteButton", "Delete", "Delete selected mailbot");
    botRow->addWidget(add);
    botRow->addWidget(remove);
    layout->addLayout(botRow);
    m_mailbotSubject = new QLineEdit(page);
    m_mailbotSubject->setObjectName("AccountMailbotSubjectEdit");
    auto* subjectLabel = Caption(page, "Subject", m_mailbotSubject);
    layout->addWidget(subjectLabel);
    layout->addWidget(m_mailbotSubject);
    m_mailbotMemo = new QPlainTextEdit(page);
    m_mailbotMemo->setObjectName("AccountMailbotMemo");
    auto* textLabel = Caption(page, "Text", m_mailbotMemo);
    layout->addWidget(textLabel);
    layout->addWidget(m_mailbotMemo, 1);
    auto* filesLabel = new QLabel("Attachments", page);
    layout->addWidget(filesLabel);
    auto* fileRow = new QHBoxLayout;
    m_attachmentList = new QListWidget(page);
    m_attachmentList->setObjectName("AccountMailbotList");
    m_attachmentList->setFixedHeight(m_attachmentList->fontMetrics().height() + 8);
    fileRow->addWidget(m_attachmentList, 1);
    QToolButton* addFile = SmallButton(page, "AccountMailbotAddAttachmentButton", "Add", "Add a mail attachment");
    m_attachmentDelete = SmallButton(page, "AccountMailbotDeleteAttachmentButton", "Delete", "Delete selected mail attachment");
    fileRow->addWidget(addFile);
    fileRow->addWidget(m_attachmentDelete);
    layout->addLayout(fileRow);

    connect(m_mailbotCombo, &QComboBox::activated, this, [this](int index) { m_editor.MailbotChosen(index); });
    connect(m_mailbotSubject, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_editor.MailbotSubjectChanged(text.toStdString()); });
    connect(m_mailbotMemo, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_filling) m_editor.MailbotTextChanged(StoredText(m_mailbotMemo->toPlainText()));
    });
    connect(m_attachmentList, &QListWidget::currentRowChanged, this, [this](int row) {
        if (!m_filling) m_editor.AttachmentSelected(row);
    });
    connect(m_attachmentList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { m_editor.AttachmentDoubleClick(m_attachmentList->row(item)); });
    connect(add, &QToolButton::clicked, this, [this] { m_editor.MailbotAddButtonClick(); });
    connect(remove, &QToolButton::clicked, this, [this] { m_editor.MailbotDeleteButtonClick(); });
    connect(addFile, &QToolButton::clicked, this, [this] { m_editor.AttachmentAddButtonClick(); });
    connect(m_attachmentDelete, &QToolButton::clicked, this, [this] { m_editor.AttachmentDeleteButtonClick(); });
    m_mailbotControls = {botsLabel, m_mailbotCombo, add, remove, subjectLabel, m_mailbotSubject,
                         textLabel, m_mailbotMemo, filesLabel, m_attachmentList, addFile};
    return page;
}

QWidget* TAccountsForm::BuildTextPage(const char* name, const char* checkName, const char* checkCaption,
                                      bool TAccountValues::*check, QPlainTextEdit*& memo, const char* memoName) {
    auto* page = new QWidget;
    page->setObjectName(name);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->addWidget(AddCheck(page, checkName, checkCaption, check));
    memo = new QPlainTextEdit(page);
    memo->setObjectName(memoName);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(Caption(page, "Response Text", memo));
    layout->addWidget(memo, 1);
    connect(memo, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_filling) AccountChange();
    });
    return page;
}

void TAccountsForm::Show(unsigned parts) {
    const bool filling = m_filling;
    m_filling = true;
    if (parts & TAccountsEditor::kRows) ShowRows();
    if (parts & TAccountsEditor::kValues) ShowValues();
    if (parts & TAccountsEditor::kEnabling) ShowEnabling();
    if (parts & TAccountsEditor::kPage) {
        m_pages->setCurrentIndex(m_editor.Page());
        m_pageButtons->button(m_editor.Page())->setChecked(true);
    }
    m_hint->setText(Q(m_editor.Hint()));
    m_hint->setVisible(!m_editor.Hint().empty());
    m_filling = filling;
    if (parts & TAccountsEditor::kFocusName) {
        if (QTreeWidgetItem* item = m_list->currentItem()) m_list->scrollToItem(item);
        m_nameEdit->setFocus();
    }
}

void TAccountsForm::ShowRows() {
    const auto& rows = m_editor.Rows();
    while (m_list->topLevelItemCount() > static_cast<int>(rows.size())) delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
    const QColor window = m_background;
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        QTreeWidgetItem* item = m_list->topLevelItem(r);
        if (!item) item = new QTreeWidgetItem(m_list);
        const TAccountsEditor::TRow& row = rows[static_cast<std::size_t>(r)];
        const std::string texts[] = {row.name, row.filters, row.redir, row.send, row.bot, row.away, row.reject,
                                     std::to_string(row.vorla), std::to_string(row.quarantine),
                                     std::to_string(row.trash), std::to_string(row.queue)};
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        for (int c = 0; c < kColumnCount; ++c) {
            item->setText(c, Q(texts[c]));
            if (kColumns[c].right) item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
            // Every second row on the window's colour.
            item->setBackground(c, r % 2 == 1 ? QBrush(window) : QBrush());
        }
        item->setCheckState(0, row.fetch ? Qt::Checked : Qt::Unchecked);
    }
    const int selected = m_editor.Selected();
    QTreeWidgetItem* current = selected >= 0 ? m_list->topLevelItem(selected) : nullptr;
    m_list->clearSelection();
    if (current) {
        m_list->setCurrentItem(current);
        current->setSelected(true);
    }
}

void TAccountsForm::ShowValues() {
    const TAccountValues& v = m_editor.Values();
    for (const TCheck& check : m_checks) check.box->setChecked(v.*check.value);
    for (const TEdit& edit : m_edits) SetText(edit.edit, v.*edit.value);
    m_popSecurity->setCurrentIndex(v.popSecurity);
    m_smtpSecurity->setCurrentIndex(v.smtpSecurity);
    m_popAuth->setCurrentIndex(v.popAuth);
    m_smtpAuth->setCurrentIndex(v.smtpAuth);
    if (m_rejectKb->value() != v.rejectKb) m_rejectKb->setValue(static_cast<int>(v.rejectKb));
    SetItems(m_redirectList, v.redirectAddresses);
    QStringList bots;
    for (const std::string& subject : v.mailbots) bots << Q(subject);
    QStringList shown;
    for (int i = 0; i < m_mailbotCombo->count(); ++i) shown << m_mailbotCombo->itemText(i);
    if (shown != bots) {
        m_mailbotCombo->clear();
        m_mailbotCombo->addItems(bots);
    }
    m_mailbotCombo->setCurrentIndex(v.mailbot);
    SetText(m_mailbotSubject, v.mailbotSubject);
    SetText(m_mailbotMemo, v.mailbotText);
    SetItems(m_attachmentList, v.attachments);
    m_attachmentList->setCurrentRow(v.attachment);
    SetText(m_awayMemo, v.awayText);
    SetText(m_rejectMemo, v.rejectText);
}

void TAccountsForm::ShowEnabling() {
    const TAccountsEnabling e = m_editor.Enabling();
    for (QWidget* w : std::initializer_list<QWidget*>{m_nameEdit, m_emailEdit, m_fetchCheck, m_noDownloadCheck,
                                                      m_awayCheck, m_rejectCheck, m_deleteButton, m_sendCheck,
                                                      m_sendDirectCheck, m_filtersCheck, m_redirectCheck, m_mailbotCheck})
        w->setEnabled(e.account);
    for (QWidget* w : m_popControls) w->setEnabled(e.account);
    m_ifDownloadingLabel->setEnabled(e.noDelete);
    m_noDeleteCheck->setEnabled(e.noDelete);
    for (QWidget* w : m_smtpControls) w->setEnabled(e.smtp);
    for (QWidget* w : m_filterControls) w->setEnabled(e.filterChecks);
    for (QWidget* w : m_redirectControls) w->setEnabled(e.redirect);
    m_awayMemo->setEnabled(e.awayText);
    m_rejectMemo->setEnabled(e.rejectText);
    for (QWidget* w : m_mailbotControls) w->setEnabled(e.mailbot);
    m_attachmentDelete->setEnabled(e.attachmentDelete);
    m_filtersButton->setEnabled(e.filtersButton);
}

TAccountValues TAccountsForm::ReadValues() const {
    TAccountValues v = m_editor.Values();
    for (const TCheck& check : m_checks) v.*check.value = check.box->isChecked();
    for (const TEdit& edit : m_edits) v.*edit.value = edit.edit->text().toStdString();
    v.popSecurity = m_popSecurity->currentIndex();
    v.smtpSecurity = m_smtpSecurity->currentIndex();
    v.popAuth = m_popAuth->currentIndex();
    v.smtpAuth = m_smtpAuth->currentIndex();
    v.rejectKb = m_rejectKb->value();
    v.redirectAddresses.clear();
    for (int i = 0; i < m_redirectList->count(); ++i) v.redirectAddresses.push_back(m_redirectList->item(i)->text().toStdString());
    v.awayText = StoredText(m_awayMemo->toPlainText());
    v.rejectText = StoredText(m_rejectMemo->toPlainText());
    return v;
}

void TAccountsForm::AccountChange() {
    if (m_filling) return;
    m_editor.AccountChange(ReadValues());
}

void TAccountsForm::ListItemChanged(QTreeWidgetItem* item, int column) {
    if (m_filling || column != 0) return;
    // Only the check box can change an item: it means the account's fetch switch.
    m_editor.FetchCheckClick(m_list->indexOfTopLevelItem(item));
}

void TAccountsForm::FiltersButtonClick() {
    TZivadAccount* account = m_editor.SelectedAccount();
    TZivadFilters* rules = m_editor.FiltersButtonClick();
    if (!rules || !account) return;
    bool ok = false;
    {
        TFiltersForm editor(m_engine, m_background, this);
        editor.Bind(*rules);
        editor.SetAccountName(account->Name());
        ok = editor.exec() == QDialog::Accepted;
    }
    m_editor.FiltersEditorClosed(ok);
}

void TAccountsForm::StartFirstAccount() { m_editor.StartFirstAccount(); }

void TAccountsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    m_editor.ButtonClick(0);
    m_editor.SetControlsEnabled();
}

std::optional<std::string> TAccountsForm::AskText(const std::string& caption, const std::string& prompt) {
    bool ok = false;
    const QString text = QInputDialog::getText(this, Q(caption), Q(prompt), QLineEdit::Normal, QString(), &ok);
    if (!ok) return std::nullopt;
    return text.toStdString();
}

std::optional<std::string> TAccountsForm::ChooseOpenFile(const std::string& file) {
    const QString chosen = QFileDialog::getOpenFileName(this, "Attachment", Q(file), "All files (*)");
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

void TAccountsForm::ShowError(const std::string& text) { QMessageBox::critical(this, "Vorla", Q(text)); }

void TAccountsForm::Busy(bool on) {
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

}  // namespace vorla
