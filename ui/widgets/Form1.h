#pragma once
#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>

#include "ui/MainForm.h"

class QButtonGroup;
class QDialog;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTimer;
class QToolButton;
class QTreeWidget;

// The main window: builds the controls, forwards their events to TMainForm and shows what it
// reports. It owns the engine and the behaviour class; the dispatcher is the program's.
namespace vorla {

class TDispatcher;
class TLogPage;
class TWrappingToolBar;
class TMainForm;
class TZivad;

class TForm1 : public QMainWindow {
public:
    // Creates the engine on dispatcher (which must outlive the window), hands it version,
    // then the behaviour class; the home folder must be set. GUI thread.
    TForm1(TDispatcher& dispatcher, const std::string& version, QWidget* parent = nullptr);
    ~TForm1() override;

    TMainForm* Form() { return m_form.get(); }
    // Stops the engine, destroys it and saves the placement; errors are swallowed. Runs
    // once, from the close event (or the destructor when the window was never closed).
    void Shutdown();
    // Saves what the close would save (the engine's settings, every account's seen list, the
    // window's placement) and leaves the window open: the desktop session is about to end and
    // may end the program without a close. Failures are swallowed, as at close.
    void SaveState();
    // With no account yet, the first show opens the accounts editor on a new one. Off unless
    // the program turns it on (tests start without accounts and without the dialog).
    void SetFirstStartEditor(bool on) { m_firstStartEditor = on; }
    // The modal accounts editor; firstStart: on a new account, with a hint of what to fill in.
    void AccountsButtonClick(bool firstStart = false);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildToolbar();
    QWidget* BuildMessagesPage();
    QToolButton* AddToolButton(const char* name, const char* caption, const char* hint, int icon);
    // Runs a toolbar command; a close asked for meanwhile is carried out when it returns.
    void Command(const std::function<void()>& command);
    void Show(unsigned parts);
    // The Log page (true) or the Messages page.
    void ShowPage(bool logPage);
    void ShowAccounts();
    void AboutButtonClick();  // the modal about box
    void FilterButtonClick();  // the modal filters editor on the global rules
    void PrefsButtonClick();  // the modal preferences window, then the engine's colour again
    void OpenHelp(const char* file);  // with the desktop's handler, when it is found
    void ShowFolderButtons();
    void ShowMessages();
    void ApplyColor();
    void IdleTick();
    void RebuildGetMailMenu();
    void AccountSelectionChanged();
    void MessageSelectionChanged();
    QMenu* BuildRulePopup(const char* name, TFilterAction action);
    void RuleMenuClick(TRuleEntry entry, TFilterAction action);
    void RebuildMoveMenu();
    void MoveSelected(const std::optional<TMainForm::TMoveTarget>& target);

    std::unique_ptr<TZivad> m_engine;
    std::unique_ptr<TMainForm> m_form;
    bool m_closeWanted = false;
    bool m_shutDown = false;
    bool m_opened = false;  // the first show chose the opening page
    bool m_firstStartEditor = false;
    QDialog* m_accountsEditor = nullptr;  // while it is open: a close cancels it first

    // Widgets: owned by their Qt parents.
    TWrappingToolBar* m_toolBar = nullptr;
    QMenu* m_getMailPopup = nullptr;
    QMenu* m_prefsPopup = nullptr;
    QToolButton* m_logMailButton = nullptr;
    QStackedWidget* m_pages = nullptr;
    QListWidget* m_accountList = nullptr;
    QLabel* m_accountLabel = nullptr;
    QButtonGroup* m_folderGroup = nullptr;
    QToolButton* m_folderButtons[4] = {};
    QPushButton* m_allowButton = nullptr;
    QPushButton* m_rejectButton = nullptr;
    QPushButton* m_moveButton = nullptr;
    QMenu* m_allowPopup = nullptr;
    QMenu* m_disallowPopup = nullptr;
    QMenu* m_movePopup = nullptr;
    QTreeWidget* m_messagesList = nullptr;
    QPlainTextEdit* m_messageBody = nullptr;
    TLogPage* m_logPage = nullptr;
    QLabel* m_statusLabel = nullptr;
    QTimer* m_idleTimer = nullptr;
    bool m_filling = false;  // the account list is being refilled: its selection signals are ours
};

}  // namespace vorla
