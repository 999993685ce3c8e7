#pragma once
#include <QDialog>

#include <memory>

#include "ui/PeekForm.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

// The peek window and its "Custom Peek" dialog: controls over TPeekWindow.
namespace vorla {

// "Custom Peek": a one-off server, port, login name and password.
class TPeekCustomForm : public QDialog {
public:
    // Opens with fields (the password box as given, which the window leaves empty).
    TPeekCustomForm(const TCustomPeekFields& fields, QWidget* parent);
    TCustomPeekFields Fields() const;

private:
    QLineEdit* m_server = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_login = nullptr;
    QLineEdit* m_password = nullptr;
};

// The modal "Peek" window over its behaviour class; closing it (OK, Escape, the title
// bar) disconnects the session, which deletes the marked messages on the server.
class TPeekForm : public QDialog {
public:
    // window: the behaviour, which outlives the widget; background: the engine's colour.
    // Centred on parent.
    TPeekForm(TPeekWindow& window, const QColor& background, QWidget* parent);
    ~TPeekForm() override;

    TPeekWindow& Window() { return m_window; }
    // The dialog that Custom opens, while it is open (for tests); null otherwise.
    TPeekCustomForm* CustomForm() const { return m_customForm; }

    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Show(unsigned parts);
    void ShowAccounts();
    void ShowList();
    void ShowMarks();  // the "Num" texts only: the selection stays
    void IdleTick();
    // Shows what a command reports, unless the window has closed meanwhile.
    void Tell(const TPeekNotice& notice);
    std::vector<int> SelectedRows() const;
    void SelectionChanged();
    void ConnectButtonClick();
    void CustomButtonClick();
    void DeleteButtonClick();
    void GetMessageBody();
    QMenu* BuildRulePopup(const char* name, TFilterAction action);
    void RuleMenuClick(TRuleEntry entry, TFilterAction action);

    TPeekWindow& m_window;
    bool m_filling = false;  // the account list is being refilled: its signals are ours
    bool m_closing = false;

    QComboBox* m_peekCombo = nullptr;
    QPushButton* m_connectButton = nullptr;
    QPushButton* m_customButton = nullptr;
    QPushButton* m_disconnectButton = nullptr;
    QPushButton* m_allowButton = nullptr;
    QPushButton* m_disallowButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QMenu* m_allowPopup = nullptr;
    QMenu* m_disallowPopup = nullptr;
    QTreeWidget* m_peekList = nullptr;
    QPlainTextEdit* m_peekMemo = nullptr;
    QTimer* m_idleTimer = nullptr;
    TPeekCustomForm* m_customForm = nullptr;
};

}  // namespace vorla
