#include "ui/widgets/LogPage.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <array>
#include <exception>

#include "ui/LogViews.h"
#include "ui/widgets/QtText.h"

namespace vorla {
namespace {


struct TViewButton {
    const char* name;
    const char* caption;
    const char* hint;
};
constexpr std::array<TViewButton, 4> kViewButtons{{
    {"LogButton", "Log", "Raw log"},
    {"DailyButton", "Daily", "Daily log summary"},
    {"AccountSummaryButton", "Accounts", "Total account summary"},
    {"StatusButton", "Status", "Current status log"},
}};
constexpr int kStripHeight = 25;

}  // namespace

TFindDialog::TFindDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("FindDialog1");
    setWindowTitle("Find");
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(new QLabel("Find what:", this));
    m_edit = new QLineEdit(this);
    m_edit->setObjectName("FindEdit");
    m_edit->setMinimumWidth(180);
    layout->addWidget(m_edit, 1);
    auto* buttons = new QVBoxLayout;
    m_findNext = new QPushButton("Find Next", this);
    m_findNext->setObjectName("FindNextButton");
    m_findNext->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("FindCancelButton");
    buttons->addWidget(m_findNext);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(m_edit, &QLineEdit::textChanged, this, [this] { m_fresh = true; });
    connect(m_findNext, &QPushButton::clicked, this, [this] {
        const bool findNext = !m_fresh;
        m_fresh = false;
        if (OnFind) OnFind(m_edit->text(), findNext);
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFindDialog::Open() {
    m_fresh = true;
    show();
    raise();
    activateWindow();
    m_edit->setFocus();
    m_edit->selectAll();
}

TLogPage::TLogPage(TLogViews& views, QWidget* parent) : QWidget(parent), m_views(&views) {
    setObjectName("LogPage");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* strip = new QWidget(this);
    strip->setObjectName("LogButtonPanel");
    strip->setFixedHeight(kStripHeight);
    auto* stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(2, 0, 2, 0);
    stripLayout->setSpacing(2);
    m_buttons = new QButtonGroup(strip);
    m_buttons->setExclusive(true);
    for (int i = 0; i < static_cast<int>(kViewButtons.size()); ++i) {
        auto* button = new QToolButton(strip);
        button->setObjectName(kViewButtons[i].name);
        button->setText(kViewButtons[i].caption);
        button->setToolTip(kViewButtons[i].hint);
        button->setCheckable(true);
        button->setChecked(i == 0);
        button->setAutoRaise(true);
        button->setMinimumWidth(64);
        m_buttons->addButton(button, i);
        stripLayout->addWidget(button);
    }
    stripLayout->addStretch(1);
    connect(m_buttons, &QButtonGroup::idClicked, this, [this](int id) {
        if (m_views) m_views->ViewButtonClick(static_cast<TLogView>(id));
    });
    layout->addWidget(strip);

    m_logEdit = new QTextEdit(this);
    m_logEdit->setObjectName("LogEdit");
    m_logEdit->setReadOnly(true);
    m_logEdit->setAcceptRichText(false);
    m_logEdit->setLineWrapMode(QTextEdit::NoWrap);
    m_logEdit->setTabChangesFocus(false);
    m_logEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The selection stays visible when the view loses the focus.
    QPalette palette = m_logEdit->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    m_logEdit->setPalette(palette);
    layout->addWidget(m_logEdit, 1);

    m_popup = new QMenu(this);
    m_popup->setObjectName("LogPopupMenu");
    QAction* find = m_popup->addAction("&Find");
    find->setObjectName("Find1");
    find->setShortcut(QKeySequence("Ctrl+F"));
    QAction* copy = m_popup->addAction("&Copy");
    copy->setObjectName("Copy1");
    copy->setShortcut(QKeySequence("Ctrl+C"));
    m_popup->addSeparator();
    m_showAccount = m_popup->addMenu("Show Account");
    m_showAccount->setObjectName("ShowAccount1");
    m_showAccount->menuAction()->setObjectName("ShowAccount1");
    m_emailLog = m_popup->addMenu("Email Log");
    m_emailLog->setObjectName("EmailLog1");
    m_emailLog->menuAction()->setObjectName("EmailLog1");
    for (QAction* action : {find, copy}) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(action);  // the shortcuts work with the menu closed
    }
    connect(find, &QAction::triggered, this, [this] { FindClick(); });
    connect(copy, &QAction::triggered, this, [this] { CopyClick(); });
    connect(m_popup, &QMenu::aboutToShow, this, [this] { RebuildPopupMenu(); });
    m_logEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_logEdit, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_popup->popup(m_logEdit->viewport()->mapToGlobal(at)); });

    m_findDialog = new TFindDialog(this);
    m_findDialog->OnFind = [this](const QString& text, bool findNext) { FindRequest(text, findNext); };

    views.OnChanged = [this] { ShowText(); };
}

void TLogPage::Detach() {
    if (m_views) m_views->OnChanged = nullptr;
    m_views = nullptr;
}

void TLogPage::ShowText() {
    RequireGuiThread("TLogPage::ShowText");
    if (!m_views) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_logEdit->setUpdatesEnabled(false);
    const auto& format = m_views->Format();
    const QString text = Q(m_views->Text());
    if (m_logEdit->toPlainText() != text) m_logEdit->setPlainText(text);
    QTextDocument* document = m_logEdit->document();
    QTextCursor cursor(document);
    cursor.select(QTextCursor::Document);
    QTextCharFormat normal;
    normal.setFontWeight(QFont::Normal);
    cursor.mergeCharFormat(normal);
    // Points to the view's pixels.
    // Points to the view's pixels. The layout takes each block's own tab positions.
    const qreal pixelsPerPoint = m_logEdit->logicalDpiX() / 72.0;
    QList<QTextOption::Tab> tabs;
    for (const int stop : format.tabStops) tabs.append(QTextOption::Tab(stop * pixelsPerPoint, QTextOption::LeftTab));
    QTextBlockFormat block;
    block.setTextIndent(format.firstLineIndent * pixelsPerPoint);
    block.setTabPositions(tabs);
    cursor.mergeBlockFormat(block);
    if (format.boldLength > 0 && !text.isEmpty()) {
        cursor.setPosition(0);
        cursor.setPosition(std::min(format.boldLength, static_cast<int>(text.size())), QTextCursor::KeepAnchor);
        QTextCharFormat bold;
        bold.setFontWeight(QFont::Bold);
        cursor.mergeCharFormat(bold);
    }
    QTextCursor start(document);
    m_logEdit->setTextCursor(start);
    m_logEdit->setUpdatesEnabled(true);
    QApplication::restoreOverrideCursor();
}

void TLogPage::RebuildPopupMenu() {
    m_showAccount->clear();
    m_emailLog->clear();
    if (!m_views) return;
    const auto menu = m_views->PopupMenu();
    m_showAccount->setEnabled(menu.accountItemsEnabled);
    m_emailLog->setEnabled(menu.accountItemsEnabled);
    for (int i = 0; i < static_cast<int>(menu.showAccount.size()); ++i) {
        if (i + 1 == static_cast<int>(menu.showAccount.size())) m_showAccount->addSeparator();
        QAction* action = m_showAccount->addAction(Q(menu.showAccount[i]));
        connect(action, &QAction::triggered, this, [this, i, action] {
            if (m_views) m_views->ShowAccountClick(i, action->text().toStdString());
        });
    }
    for (const auto& name : menu.emailLog) {
        QAction* action = m_emailLog->addAction(Q(name));
        connect(action, &QAction::triggered, this, [this, action] {
            if (!m_views) return;
            try {
                m_views->EmailLogClick(action->text().toStdString());
            } catch (const std::exception& e) {
                QMessageBox::warning(this, "Email Log", QString::fromUtf8(e.what()));
            }
        });
    }
}

void TLogPage::FindClick() {
    if (!m_views || !m_views->FindAllowed() || !isVisible()) return;
    m_findDialog->Open();
}

void TLogPage::CopyClick() {
    if (!m_views || !m_views->FindAllowed() || !isVisible()) return;
    m_logEdit->copy();
}

void TLogPage::FindRequest(const QString& text, bool findNext) {
    if (!m_views) return;
    QTextCursor cursor = m_logEdit->textCursor();
    const auto result = TLogViews::Find(m_logEdit->toPlainText().toStdU16String(), cursor.selectionStart(),
                                        text.toStdU16String(), findNext);
    if (!result.found) {
        QMessageBox::information(m_findDialog, "Find", Q(result.message));
        return;
    }
    cursor.setPosition(result.start);
    cursor.setPosition(result.start + result.length, QTextCursor::KeepAnchor);
    m_logEdit->setTextCursor(cursor);
}

}  // namespace vorla
