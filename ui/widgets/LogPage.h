#pragma once
#include <QDialog>
#include <QWidget>

#include <functional>

class QButtonGroup;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;

// The main window's Log page: the strip of four view buttons, the log view with its context
// menu, and the find dialog. What it shows and does comes from TLogViews.
namespace vorla {

class TLogViews;

// Asks for the search text alone; each "Find Next" hands it on.
class TFindDialog : public QDialog {
public:
    explicit TFindDialog(QWidget* parent);
    // text, and whether this continues the previous search (false for the first one after
    // the dialog was opened or the text was changed).
    std::function<void(const QString& text, bool findNext)> OnFind;
    void Open();  // shows it (or raises it) and starts a fresh search

private:
    QLineEdit* m_edit = nullptr;
    QPushButton* m_findNext = nullptr;
    bool m_fresh = true;
};

class TLogPage : public QWidget {
public:
    TLogPage(TLogViews& views, QWidget* parent);
    // The behaviour class is going away: from now on the page does nothing.
    void Detach();
    // Redraws the view from what the behaviour class reports.
    void ShowText();
    QTextEdit* LogEdit() const { return m_logEdit; }

private:
    void RebuildPopupMenu();
    void FindClick();
    void CopyClick();
    void FindRequest(const QString& text, bool findNext);

    TLogViews* m_views;
    QButtonGroup* m_buttons = nullptr;
    QTextEdit* m_logEdit = nullptr;
    QMenu* m_popup = nullptr;
    QMenu* m_showAccount = nullptr;
    QMenu* m_emailLog = nullptr;
    TFindDialog* m_findDialog = nullptr;
};

}  // namespace vorla
