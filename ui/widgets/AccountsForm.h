#pragma once
#include <QColor>
#include <QDialog>

#include <optional>
#include <string>
#include <vector>

#include "ui/AccountsForm.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QSpinBox;
class QStackedWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

// The modal accounts editor: the account table and the seven pages of the selected account's
// settings. It builds the controls, forwards their events to TAccountsEditor, answers its
// prompts with dialogs and shows what it reports. The caller marks the accounts busy before
// and saves or reloads them after, as the modal result says.
namespace vorla {

class TZivad;

class TAccountsForm : public QDialog, private TAccountsUser {
public:
    static constexpr int kClientWidth = 768;
    static constexpr int kClientHeight = 507;
    static constexpr int kPanelWidth = 402;

    // background: the engine's colour. engine outlives the form. Centred on parent.
    TAccountsForm(TZivad& engine, const QColor& background, QWidget* parent = nullptr);
    ~TAccountsForm() override;

    TAccountsEditor& Editor() { return m_editor; }
    // The first start: a new account selected and the hint over the table.
    void StartFirstAccount();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // TAccountsUser: the prompts as dialogs.
    std::optional<std::string> AskText(const std::string& caption, const std::string& prompt) override;
    std::optional<std::string> ChooseOpenFile(const std::string& file) override;
    void ShowError(const std::string& text) override;
    void Busy(bool on) override;

    struct TCheck {
        QCheckBox* box;
        bool TAccountValues::*value;
    };
    struct TEdit {
        QLineEdit* edit;
        std::string TAccountValues::*value;
    };

    QCheckBox* AddCheck(QWidget* parent, const char* name, const char* caption, bool TAccountValues::*value,
                        const char* hint = "");
    QLineEdit* AddEdit(QWidget* parent, const char* name, std::string TAccountValues::*value, bool password = false);
    // An edit with its caption and the setting it shows.
    struct TEditRow {
        const char* name;
        const char* caption;
        std::string TAccountValues::*value;
    };
    struct TServerRows {
        TEditRow server, port, login, password;
        const char* passwordNote;
    };
    // Server and port (with the security choice beside it), login name and password, and the
    // note under the password, in grid from row on; returns the controls.
    std::vector<QWidget*> AddServerRows(QWidget* page, QGridLayout* grid, int row, const TServerRows& rows,
                                        QComboBox* security);
    // The login method and the password command beside it, captions over them, in grid from
    // row on; returns the two controls.
    std::vector<QWidget*> AddLoginRows(QWidget* page, QGridLayout* grid, int row, QComboBox* method,
                                       const TEditRow& command, const char* commandHint);
    QWidget* BuildPanel(QWidget* parent);
    QWidget* BuildFetchPage();
    QWidget* BuildFiltersPage();
    QWidget* BuildRedirectPage();
    QWidget* BuildSendPage();
    QWidget* BuildMailbotPage();
    QWidget* BuildTextPage(const char* name, const char* checkName, const char* checkCaption,
                           bool TAccountValues::*check, QPlainTextEdit*& memo, const char* memoName);
    void Show(unsigned parts);
    void ShowRows();
    void ShowValues();
    void ShowEnabling();
    TAccountValues ReadValues() const;
    void AccountChange();
    void FiltersButtonClick();
    void ListItemChanged(QTreeWidgetItem* item, int column);

    TZivad& m_engine;
    TAccountsEditor m_editor;
    QColor m_background;
    bool m_filling = false;  // the controls are being filled: their signals are ours
    std::vector<TCheck> m_checks;
    std::vector<TEdit> m_edits;

    // Widgets: owned by their Qt parents.
    QLabel* m_hint = nullptr;
    QToolButton* m_deleteButton = nullptr;
    QToolButton* m_filtersButton = nullptr;
    QTreeWidget* m_list = nullptr;
    QButtonGroup* m_pageButtons = nullptr;
    QStackedWidget* m_pages = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_emailEdit = nullptr;
    QCheckBox* m_fetchCheck = nullptr;
    QCheckBox* m_noDownloadCheck = nullptr;
    QLabel* m_ifDownloadingLabel = nullptr;
    QCheckBox* m_noDeleteCheck = nullptr;
    std::vector<QWidget*> m_popControls;
    QComboBox* m_popSecurity = nullptr;
    QCheckBox* m_verifyCert = nullptr;
    QComboBox* m_popAuth = nullptr;
    QCheckBox* m_filtersCheck = nullptr;
    QSpinBox* m_rejectKb = nullptr;
    std::vector<QWidget*> m_filterControls;
    QCheckBox* m_redirectCheck = nullptr;
    std::vector<QWidget*> m_redirectControls;
    QListWidget* m_redirectList = nullptr;
    QCheckBox* m_sendCheck = nullptr;
    QCheckBox* m_sendDirectCheck = nullptr;
    std::vector<QWidget*> m_smtpControls;
    QComboBox* m_smtpSecurity = nullptr;
    QComboBox* m_smtpAuth = nullptr;
    QCheckBox* m_mailbotCheck = nullptr;
    std::vector<QWidget*> m_mailbotControls;
    QComboBox* m_mailbotCombo = nullptr;
    QLineEdit* m_mailbotSubject = nullptr;
    QPlainTextEdit* m_mailbotMemo = nullptr;
    QListWidget* m_attachmentList = nullptr;
    QToolButton* m_attachmentDelete = nullptr;
    QCheckBox* m_awayCheck = nullptr;
    QPlainTextEdit* m_awayMemo = nullptr;
    QCheckBox* m_rejectCheck = nullptr;
    QPlainTextEdit* m_rejectMemo = nullptr;
    QTimer* m_idleTimer = nullptr;
};

}  // namespace vorla
