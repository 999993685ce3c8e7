#include "ui/widgets/Form1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <array>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "engine/Zivad.h"
#include "engine/ZivadAccounts.h"
#include "ui/MainForm.h"
#include "ui/widgets/AboutBox.h"
#include "ui/widgets/AccountsForm.h"
#include "ui/widgets/FiltersForm.h"
#include "ui/widgets/LogPage.h"
#include "ui/widgets/PrefsForm.h"
#include "ui/widgets/PeekForm.h"
#include "ui/widgets/QtText.h"
#include "ui/widgets/ToolBar.h"
#include "ui/widgets/WidgetKit.h"

namespace vorla {
namespace {

constexpr int kIdleIntervalMs = 100;


// The engine keeps colours with blue in the high byte and red in the low byte.
QColor EngineColor(std::uint32_t value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

struct TFolderButton {
    const char* name;
    const char* caption;
    const char* hint;
};
constexpr std::array<TFolderButton, 4> kFolderButtons{{
    {"VorlaButton", "Vorla", "Accepted mail"},
    {"QuarantineButton", "Quar", "Quarantined mail"},
    {"TrashButton", "Trash", "Trashed mail"},
    {"QueueButton", "Queue", "Queued mail"},
}};

}  // namespace

TForm1::TForm1(TDispatcher& dispatcher, const std::string& version, QWidget* parent) : QMainWindow(parent) {
    TBusyCursor busy;
    setObjectName("Form1");
    setWindowTitle("Vorla");
    QFont font = QFontDatabase::hasFamily("Verdana") ? QFont("Verdana") : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    setFont(font);
    resize(848, 549);

    m_engine = std::make_unique<TZivad>(dispatcher);
    m_engine->SetVersion(version);
    m_form = std::make_unique<TMainForm>(*m_engine);

    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    BuildToolbar();
    centralLayout->addWidget(m_toolBar);
    m_pages = new QStackedWidget(central);
    m_pages->setObjectName("PageControl");
    m_pages->addWidget(BuildMessagesPage());
    m_logPage = new TLogPage(m_form->LogViews(), m_pages);
    m_pages->addWidget(m_logPage);
    centralLayout->addWidget(m_pages, 1);
    setCentralWidget(central);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName("StatusLabel");
    statusBar()->setObjectName("StatusBar");
    statusBar()->addPermanentWidget(m_statusLabel, 1);

    m_idleTimer = new QTimer(this);
    m_idleTimer->setInterval(kIdleIntervalMs);
    connect(m_idleTimer, &QTimer::timeout, this, [this] { IdleTick(); });
    m_idleTimer->start();

    if (const auto bounds = TMainForm::StoredBounds({y(), x(), height(), width()})) {
        move(bounds->left, bounds->top);
        resize(bounds->width, bounds->height);
    }
    m_form->OnChanged = [this](unsigned parts) { Show(parts); };
    Show(~0u);
}

TForm1::~TForm1() { Shutdown(); }

QToolButton* TForm1::AddToolButton(const char* name, const char* caption, const char* hint, int icon) {
    QToolButton* button = NewToolButton(m_toolBar, name, caption, hint, icon);
    m_toolBar->AddWidget(button);
    return button;
}

void TForm1::BuildToolbar() {
    m_toolBar = new TWrappingToolBar(this);
    m_toolBar->setObjectName("ToolBar1");
    m_toolBar->setFixedHeight(TMainForm::ToolbarHeight(0, 0));

    QToolButton* getMail = AddToolButton("GetMailButton", "Get Mail", "Collect mail for all accounts", QStyle::SP_ArrowDown);
    m_getMailPopup = new QMenu(getMail);
    m_getMailPopup->setObjectName("GetMailPopup");
    getMail->setMenu(m_getMailPopup);
    getMail->setPopupMode(QToolButton::MenuButtonPopup);
    connect(m_getMailPopup, &QMenu::aboutToShow, this, [this] { RebuildGetMailMenu(); });
    connect(getMail, &QToolButton::clicked, this, [this] { Command([this] { m_form->GetMailButtonClick(); }); });

    connect(AddToolButton("SendMailButton", "Send Mail", "Send queued mail for all accounts", QStyle::SP_ArrowUp),
            &QToolButton::clicked, this, [this] { Command([this] { m_form->SendMailButtonClick(); }); });
    connect(AddToolButton("RunFiltersButton", "Run Filters", "Run filters on existing mail", QStyle::SP_BrowserReload),
            &QToolButton::clicked, this, [this] {
                TBusyCursor busy;
                Command([this] { m_form->RunFiltersButtonClick(); });
            });
    // Stop runs also in the middle of a command: that is what it is for.
    connect(AddToolButton("StopButton", "Stop", "Stop mail collection", QStyle::SP_BrowserStop),
            &QToolButton::clicked, this, [this] { m_form->StopButtonClick(); });
    m_toolBar->AddSeparator();
    connect(AddToolButton("AccountsButton", "Accounts", "Edit accounts", QStyle::SP_DirHomeIcon),
            &QToolButton::clicked, this, [this] { AccountsButtonClick(); });
    connect(AddToolButton("FilterButton", "Filters", "Edit global filters", QStyle::SP_FileDialogDetailedView),
            &QToolButton::clicked, this, [this] { FilterButtonClick(); });
    connect(AddToolButton("PeekButton", "Peek", "Peek at uplink mail", QStyle::SP_FileDialogContentsView),
            &QToolButton::clicked, this, [this] {
                Command([this] {
                    m_form->PeekButtonClick([this](TPeekWindow& window) {
                        TPeekForm peek(window, EngineColor(m_engine->Color()), this);
                        peek.exec();
                    });
                });
            });
    QToolButton* prefs = AddToolButton("PrefsButton", "Prefs", "Application preferences", QStyle::SP_ComputerIcon);
    m_prefsPopup = new QMenu(prefs);
    m_prefsPopup->setObjectName("PrefsPopup");
    const std::pair<const char*, TMainForm::TService> services[] = {
        {"Fetch Service", TMainForm::TService::Fetch},
        {"Filters Service", TMainForm::TService::Filters},
        {"POP3 Service", TMainForm::TService::Pop3},
    };
    for (const auto& [item, service] : services) {
        QAction* action = m_prefsPopup->addAction(item);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, which = service] {
            m_form->PrefsServiceClick(which);
            IdleTick();
        });
    }
    prefs->setMenu(m_prefsPopup);
    prefs->setPopupMode(QToolButton::MenuButtonPopup);
    connect(prefs, &QToolButton::clicked, this, [this] { PrefsButtonClick(); });
    m_logMailButton = AddToolButton("LogMailButton", "Log", "Switch between log and mailbox views", QStyle::SP_FileIcon);
    m_logMailButton->setCheckable(true);
    connect(m_logMailButton, &QToolButton::toggled, this, [this](bool down) { ShowPage(down); });
    m_toolBar->AddSeparator();
    QToolButton* help = AddToolButton("ReadDocButton", "Help", "View the manual", QStyle::SP_DialogHelpButton);
    auto* helpMenu = new QMenu(help);
    helpMenu->setObjectName("HelpMenu");
    helpMenu->addAction("Manual", this, [this] { OpenHelp(TMainForm::kManualFile); });
    helpMenu->addAction("Read Me", this, [this] { OpenHelp(TMainForm::kReadMeFile); });
    help->setMenu(helpMenu);
    help->setPopupMode(QToolButton::MenuButtonPopup);
    connect(help, &QToolButton::clicked, this, [this] { OpenHelp(TMainForm::kManualFile); });
    QToolButton* about = AddToolButton("AboutButton", "About", "Program information", QStyle::SP_MessageBoxInformation);
    connect(about, &QToolButton::clicked, this, [this] { AboutButtonClick(); });
    m_toolBar->SetWatched(about);
    m_toolBar->OnLaidOut = [this](int aboutTop) {
        m_toolBar->setFixedHeight(TMainForm::ToolbarHeight(aboutTop, m_toolBar->height()));
    };
}

QWidget* TForm1::BuildMessagesPage() {
    auto* page = new QWidget;
    page->setObjectName("MessagesPage");
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    m_accountList = new QListWidget(page);
    m_accountList->setObjectName("rmMailList");
    m_accountList->setFixedWidth(116);
    m_accountList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_accountList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_accountList, &QListWidget::itemSelectionChanged, this, [this] { AccountSelectionChanged(); });
    layout->addWidget(m_accountList);

    auto* right = new QWidget(page);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(0);

    auto* header = new QWidget(right);
    header->setObjectName("HeaderPanel");
    header->setFixedHeight(42);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(6, 2, 4, 2);
    headerLayout->setSpacing(0);
    m_accountLabel = new QLabel("Account", header);
    m_accountLabel->setObjectName("AccountLabel");
    QFont bold = m_accountLabel->font();
    bold.setBold(true);
    m_accountLabel->setFont(bold);
    headerLayout->addWidget(m_accountLabel);
    headerLayout->addSpacing(12);
    m_folderGroup = new QButtonGroup(header);
    m_folderGroup->setExclusive(true);
    for (int k = 0; k < 4; ++k) {
        auto* button = new QToolButton(header);
        button->setObjectName(kFolderButtons[k].name);
        button->setText(kFolderButtons[k].caption);
        button->setToolTip(kFolderButtons[k].hint);
        button->setCheckable(true);
        button->setChecked(k == 0);
        m_folderGroup->addButton(button, k);
        m_folderButtons[k] = button;
        headerLayout->addWidget(button);
    }
    connect(m_folderGroup, &QButtonGroup::idClicked, this,
            [this](int id) { m_form->FolderButtonClick(static_cast<TFolderKind>(id)); });
    headerLayout->addStretch(1);
    auto addPush = [&](const char* name, const char* caption, const char* hint) {
        auto* button = new QPushButton(caption, header);
        button->setObjectName(name);
        button->setToolTip(hint);
        headerLayout->addWidget(button);
        return button;
    };
    m_allowButton = addPush("AllowButton", "Accept", "Create a mail filter rule");
    m_rejectButton = addPush("RejectButton", "Reject", "Create a mail filter rule");
    m_moveButton = addPush("MoveButton", "Move", "Move selected messages");
    m_allowPopup = BuildRulePopup("AllowPopup", TFilterAction::Accept);
    m_disallowPopup = BuildRulePopup("DisallowPopup", TFilterAction::Reject);
    m_movePopup = new QMenu(this);
    m_movePopup->setObjectName("MovePopup");
    m_movePopup->setToolTipsVisible(true);
    // Each opens just below its button's bottom-left corner.
    auto popUnder = [this](QPushButton* button, QMenu* menu) {
        menu->popup(button->mapToGlobal(QPoint(0, button->height())));
    };
    connect(m_allowButton, &QPushButton::clicked, this, [=, this] { popUnder(m_allowButton, m_allowPopup); });
    connect(m_rejectButton, &QPushButton::clicked, this, [=, this] { popUnder(m_rejectButton, m_disallowPopup); });
    connect(m_moveButton, &QPushButton::clicked, this, [=, this] {
        RebuildMoveMenu();
        popUnder(m_moveButton, m_movePopup);
    });
    rightLayout->addWidget(header);

    auto* splitter = new QSplitter(Qt::Vertical, right);
    splitter->setObjectName("Splitter1");
    m_messagesList = new QTreeWidget(splitter);
    m_messagesList->setObjectName("MessagesList");
    m_messagesList->setRootIsDecorated(false);
    m_messagesList->setUniformRowHeights(true);
    m_messagesList->setSortingEnabled(false);
    m_messagesList->setAlternatingRowColors(true);
    m_messagesList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_messagesList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_messagesList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_messagesList->setHeaderLabels({"Num", "Date/Time", "Size", "From", "Subject"});
    const int widths[] = {55, 140, 55, 180, 250};
    for (int c = 0; c < 5; ++c) m_messagesList->setColumnWidth(c, widths[c]);
    connect(m_messagesList, &QTreeWidget::itemSelectionChanged, this, [this] { MessageSelectionChanged(); });

    auto* bottom = new QWidget(splitter);
    auto* bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->setSpacing(0);
    auto* strip = new QWidget(bottom);
    strip->setObjectName("MessageTextPanel");
    strip->setFixedHeight(16 + 4);
    auto* stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel("  Message Text", strip);
    caption->setObjectName("MessageTextLabel");
    caption->setFont(bold);
    stripLayout->addWidget(caption);
    stripLayout->addStretch(1);
    auto* strip2 = new QToolButton(strip);  // flush right: the layout keeps it there
    strip2->setObjectName("StripHtmlButton");
    strip2->setText("Strip Html Tags");
    strip2->setToolTip("Strip html like tags from message text");
    strip2->setAutoRaise(true);
    connect(strip2, &QToolButton::clicked, this, [this] { m_form->StripHtmlButtonClick(); });
    stripLayout->addWidget(strip2);
    bottomLayout->addWidget(strip);
    m_messageBody = new QPlainTextEdit(bottom);
    m_messageBody->setObjectName("MessageBodyMemo");
    m_messageBody->setReadOnly(true);
    m_messageBody->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_messageBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_messageBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bottomLayout->addWidget(m_messageBody);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    rightLayout->addWidget(splitter, 1);
    layout->addWidget(right, 1);
    return page;
}

void TForm1::Command(const std::function<void()>& command) {
    if (!m_form) return;
    command();
    // A close asked for during the command (the window, a signal) waited for it to return.
    if (m_closeWanted && !m_form->Running()) QTimer::singleShot(0, this, [this] { close(); });
}

void TForm1::Show(unsigned parts) {
    RequireGuiThread("TForm1::Show");
    if (!m_form) return;
    if (parts & TMainForm::kAccountList) ShowAccounts();
    if (parts & TMainForm::kFolderButtons) ShowFolderButtons();
    if (parts & TMainForm::kMessageList) ShowMessages();
    if (parts & TMainForm::kMessageText) {
        m_messageBody->setPlainText(Q(m_form->MessageText()));
        m_messageBody->moveCursor(QTextCursor::Start);
    }
    if (parts & TMainForm::kStatusLine) {
        m_statusLabel->setText(Q(m_form->StatusText()));
        // Painted at once, also in the middle of a long command, without running other events.
        m_statusLabel->repaint();
    }
}

void TForm1::ShowAccounts() {
    m_filling = true;
    const auto& rows = m_form->AccountRows();
    while (m_accountList->count() > static_cast<int>(rows.size())) delete m_accountList->takeItem(0);
    while (m_accountList->count() < static_cast<int>(rows.size())) m_accountList->addItem(QString());
    const QIcon fetchIcon = style()->standardIcon(QStyle::SP_ArrowDown);
    const QIcon otherIcon = style()->standardIcon(QStyle::SP_DialogNoButton);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        QListWidgetItem* item = m_accountList->item(i);
        item->setText(Q(rows[i].name));
        item->setIcon(rows[i].fetchEnabled ? fetchIcon : otherIcon);
    }
    const int selected = m_form->SelectedAccount();
    if (selected < 0)
        m_accountList->clearSelection();
    else
        m_accountList->setCurrentRow(selected);
    m_filling = false;
}

void TForm1::ShowFolderButtons() {
    const auto& captions = m_form->FolderCaptions();
    // Each as wide as its caption and 10 pixels, one after the other.
    for (int k = 0; k < 4; ++k) {
        m_folderButtons[k]->setText(Q(captions[k]));
        m_folderButtons[k]->setFixedWidth(m_folderButtons[k]->fontMetrics().horizontalAdvance(Q(captions[k])) + 10);
    }
    m_folderButtons[static_cast<int>(m_form->DownFolder())]->setChecked(true);
}

void TForm1::ShowMessages() {
    m_accountLabel->setText(Q(m_form->AccountLabel()));
    m_messagesList->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& row : m_form->MessageRows())
        items.append(new QTreeWidgetItem(
            QStringList{Q(row.num), Q(row.dateTime), Q(row.size), Q(row.from), Q(row.subject)}));
    m_messagesList->addTopLevelItems(items);
}

void TForm1::AccountSelectionChanged() {
    if (m_filling || !m_form) return;
    const auto selected = m_accountList->selectedItems();
    if (selected.isEmpty()) return;
    TBusyCursor busy;
    m_form->SelectAccount(m_accountList->row(selected.first()));
}

void TForm1::MessageSelectionChanged() {
    RequireGuiThread("TForm1::MessageSelectionChanged");
    if (!m_form) return;
    // The first selected row in list order; only its change shows another text.
    int first = -1;
    for (int i = 0; i < m_messagesList->topLevelItemCount() && first < 0; ++i)
        if (m_messagesList->topLevelItem(i)->isSelected()) first = i;
    if (first == m_form->SelectedMessage()) return;
    if (first < 0) {
        m_form->SelectMessage(-1);
        return;
    }
    TBusyCursor busy;
    m_form->SelectMessage(first);
}

QMenu* TForm1::BuildRulePopup(const char* name, TFilterAction action) {
    auto* menu = new QMenu(this);
    menu->setObjectName(name);
    for (int e = 0; e < kRuleEntryCount; ++e) {
        const auto entry = static_cast<TRuleEntry>(e);
        menu->addAction(RuleEntryCaption(entry), this, [this, entry, action] { RuleMenuClick(entry, action); });
    }
    return menu;
}

void TForm1::RuleMenuClick(TRuleEntry entry, TFilterAction action) {
    if (!m_form || !m_form->RuleTarget()) return;  // rules go to the selected account
    const std::string selection = m_messageBody->textCursor().selectedText().replace(QChar::ParagraphSeparator, '\n').toStdString();
    try {
        if (entry == TRuleEntry::AllReceivedIps) {
            std::optional<std::string> box;
            {
                TBusyCursor busy;
                box = m_form->AddAllReceivedIps(action);
            }
            if (box) QMessageBox::information(this, "Vorla", Q(*box));
            return;
        }
        const TRuleOffer offer = m_form->OfferRule(entry, action, selection);
        bool ok = false;
        const QString text = QInputDialog::getText(this, Q(offer.title), Q(offer.prompt), QLineEdit::Normal, Q(offer.value), &ok);
        if (!ok) return;
        TRuleOutcome outcome;
        {
            TBusyCursor busy;
            outcome = m_form->CreateRule(offer, text.toStdString());
        }
        if (outcome == TRuleOutcome::Exists) QMessageBox::information(this, "Vorla", kFilterExistsText);
    } catch (const std::exception& e) {
        QMessageBox::warning(this, "Vorla", Q(e.what()));
    }
}

void TForm1::RebuildMoveMenu() {
    m_movePopup->clear();
    const TMainForm::TMoveMenu menu = m_form->MoveMenu();
    struct TFixed {
        const char* name;
        const char* caption;
        const char* hint;
        bool enabled;
        std::optional<TFolderKind> kind;  // none: delete
    };
    const TFixed fixed[] = {
        {"MoveVorla1", "Vorla", "Move selected messages to the vorla", menu.vorla, TFolderKind::Vorla},
        {"MoveQuarantine1", "Quarantine", "Move selected messages to the quarantine", menu.quarantine, TFolderKind::Quarantine},
        {"MoveTrash1", "Trash", "Move selected messages to the trash", menu.trash, TFolderKind::Trash},
        {"MoveDelete1", "Delete", "Delete selected messages", menu.del, std::nullopt},
    };
    for (const TFixed& item : fixed) {
        QAction* action = m_movePopup->addAction(item.caption);
        action->setObjectName(item.name);
        action->setToolTip(item.hint);
        action->setEnabled(item.enabled);
        std::optional<TMainForm::TMoveTarget> target;
        if (item.kind) target = TMainForm::TMoveTarget{"", *item.kind};
        connect(action, &QAction::triggered, this, [this, target] { MoveSelected(target); });
    }
    m_movePopup->addSeparator();
    const char* folders[] = {"Vorla", "Quarantine", "Trash", "Queue"};
    for (const TMainForm::TMenuItem& account : menu.accounts) {
        QMenu* sub = m_movePopup->addMenu(Q(account.caption));
        for (int k = 0; k < kFolderKindCount; ++k) {
            const TMainForm::TMoveTarget target{account.folderName, static_cast<TFolderKind>(k)};
            sub->addAction(folders[k], this, [this, target] { MoveSelected(target); });
        }
    }
}

void TForm1::MoveSelected(const std::optional<TMainForm::TMoveTarget>& target) {
    std::vector<int> rows;
    for (int i = 0; i < m_messagesList->topLevelItemCount(); ++i)
        if (m_messagesList->topLevelItem(i)->isSelected()) rows.push_back(i);
    if (rows.empty() || !m_form->HasCurrentFolder()) return;
    TBusyCursor busy;
    m_messagesList->setUpdatesEnabled(false);
    m_messageBody->setUpdatesEnabled(false);
    try {
        m_form->MoveMessages(rows, target);
    } catch (const std::exception& e) {
        QMessageBox::warning(this, "Vorla", Q(e.what()));
    }
    // The folder's change rebuilds the list; until then the moved rows go, last first.
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) delete m_messagesList->takeTopLevelItem(*it);
    m_messagesList->setUpdatesEnabled(true);
    m_messageBody->setUpdatesEnabled(true);
}

void TForm1::ApplyColor() {
    if (!m_engine) return;
    const QColor color = EngineColor(m_engine->Color());
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color);
    palette.setColor(QPalette::AlternateBase, color);
    setPalette(palette);
    m_toolBar->setPalette(palette);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    ApplyColor();
    if (!m_form || m_opened) return;
    m_opened = true;
    // The page set as the opening one; the mail view selects the first account.
    const bool logPage = m_engine->OpeningPage() == 1;
    if (m_logMailButton->isChecked() != logPage)
        m_logMailButton->setChecked(logPage);  // ShowPage runs through the toggle
    else
        ShowPage(logPage);
    if (m_firstStartEditor && m_form->FirstStart())
        QTimer::singleShot(0, this, [this] { AccountsButtonClick(true); });
}

void TForm1::AccountsButtonClick(bool firstStart) {
    if (!m_form) return;
    m_form->AccountsButtonClick();
    bool ok = false;
    std::vector<std::string> messages;
    try {
        TAccountsForm editor(*m_engine, EngineColor(m_engine->Color()), this);
        if (firstStart) editor.StartFirstAccount();
        m_accountsEditor = &editor;
        ok = editor.exec() == QDialog::Accepted;
        m_accountsEditor = nullptr;
    } catch (const std::exception& e) {
        m_accountsEditor = nullptr;
        messages.push_back(e.what());  // the accounts are reloaded and let go all the same
    }
    {
        TBusyCursor busy;
        for (std::string& text : m_form->AccountsEditorClosed(ok)) messages.push_back(std::move(text));
    }
    if (m_closeWanted) {
        // The close that cancelled the editor goes on; no box may hold it up.
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    for (const std::string& text : messages) QMessageBox::warning(this, "Vorla", Q(text));
}

void TForm1::AboutButtonClick() {
    if (!m_engine) return;
    TAboutBox box(kRunningProgram, EngineColor(m_engine->Color()), this);
    box.exec();
}

void TForm1::FilterButtonClick() {
    if (!m_form) return;
    m_form->FilterButtonClick();
    TFiltersForm editor(*m_engine, EngineColor(m_engine->Color()), this);
    editor.Bind(m_form->GlobalRules());
    const bool ok = editor.exec() == QDialog::Accepted;
    TBusyCursor busy;
    m_form->FilterEditorClosed(ok);
}

void TForm1::PrefsButtonClick() {
    if (!m_form) return;
    const std::unique_ptr<TPrefsEditor> editor = m_form->PrefsButtonClick();
    TPrefsForm dialog(*editor, this);
    dialog.exec();
    ApplyColor();
    IdleTick();  // the Prefs menu's check marks follow what OK applied
}

void TForm1::OpenHelp(const char* file) {
    if (!m_form) return;
    const std::string path = m_form->HelpButtonClick(QCoreApplication::applicationDirPath().toStdString(), file);
    if (!path.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

void TForm1::ShowPage(bool logPage) {
    if (!m_form) return;
    TBusyCursor busy;
    m_pages->setCurrentIndex(logPage ? 1 : 0);
    m_form->LogMailButtonClick(logPage);
}

void TForm1::IdleTick() {
    RequireGuiThread("TForm1::IdleTick");
    if (!m_form) return;
    const auto state = m_form->Idle(!m_messagesList->selectedItems().isEmpty());
    m_allowButton->setEnabled(state.allowRejectEnabled);
    m_rejectButton->setEnabled(state.allowRejectEnabled);
    m_moveButton->setEnabled(state.moveEnabled);
    const auto actions = m_prefsPopup->actions();
    const bool checks[] = {state.fetchService, state.filtersService, state.pop3Service};
    for (int i = 0; i < 3 && i < actions.size(); ++i) actions[i]->setChecked(checks[i]);
}

void TForm1::RebuildGetMailMenu() {
    m_getMailPopup->clear();
    const QIcon icon = style()->standardIcon(QStyle::SP_ArrowDown);
    for (const auto& item : m_form->GetMailMenu()) {
        const std::string folderName = item.folderName;
        m_getMailPopup->addAction(icon, Q(item.caption), this, [this, folderName] {
            Command([this, folderName] { m_form->GetMailMenuClick(folderName); });
        });
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (m_accountsEditor) {
        // The editor on the stack holds the accounts: it closes first, as a Cancel, then the window.
        m_closeWanted = true;
        m_accountsEditor->reject();
        event->ignore();
        return;
    }
    if (m_form && m_form->Running()) {
        // The command on the stack still uses the engine: stop it and close when it returns.
        m_closeWanted = true;
        m_form->StopButtonClick();
        event->ignore();
        return;
    }
    Shutdown();
    event->accept();
}

void TForm1::SaveState() {
    if (!m_engine) return;
    try {
        m_engine->SaveSettings();
        m_engine->Accounts().SaveSeenAll();
        TMainForm::SaveBounds({y(), x(), height(), width()});
    } catch (...) {
        // As at close: the session goes on ending whatever failed.
    }
}

void TForm1::Shutdown() {
    if (m_shutDown) return;
    m_shutDown = true;
    TBusyCursor busy;
    m_idleTimer->stop();
    try {
        if (m_form) m_form->Close();
        Show(TMainForm::kStatusLine);
        m_logPage->Detach();
        m_form.reset();  // unsubscribes before the engine goes
        m_engine.reset();
    } catch (...) {
        // Closing goes on whatever failed.
    }
    try {
        TMainForm::SaveBounds({y(), x(), height(), width()});
    } catch (...) {
    }
}

}  // namespace vorla
