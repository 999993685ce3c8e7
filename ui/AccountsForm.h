#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The accounts editor's behaviour, without the toolkit: the account table, what the controls
// of the selected account show, which of them are enabled, and how every change is stored into
// the account object at once. The window (TAccountsForm) builds the controls, forwards their
// events here, answers the questions through TAccountsUser and redraws what OnChanged names.
// The editor writes no file itself, except that adding an account makes its folder and
// deleting one deletes its folder; the caller saves or reloads the accounts when it closes.
namespace vorla {

class TZivadAccount;
class TZivadAccounts;
class TZivadFilters;
struct TMailbotRecord;
using TAccountPtr = std::shared_ptr<TZivadAccount>;

// The prompts, file choosers and messages of the editor; tests answer them from a script.
class TAccountsUser {
public:
    virtual ~TAccountsUser() = default;
    // A one-line prompt; nullopt when it was cancelled.
    virtual std::optional<std::string> AskText(const std::string& caption, const std::string& prompt) = 0;
    // A file-open dialog, preset with file when not empty; nullopt when it was cancelled.
    virtual std::optional<std::string> ChooseOpenFile(const std::string& file) = 0;
    virtual void ShowError(const std::string& text) = 0;
    virtual void Busy(bool on) = 0;  // the busy cursor; calls nest
};

// What the value controls show, one field per control. The ports are the texts of their edits.
struct TAccountValues {
    std::string name, email;
    // Fetch page
    bool enableFetch = false, noDownload = false, noDelete = false;
    std::string popServer, popPort = "110", loginName, password;
    int popSecurity = 0;  // TTlsMode as its number
    bool verifyCert = false;
    int popAuth = 0;  // TPopAuth as its number
    std::string passwordCommand;
    // Filters page
    bool enableFilters = false;
    long long rejectKb = 1024;
    bool rejectOwn = false, rejectInvalidRecipient = false, rejectOldDates = false, rejectIllegalIps = false;
    // Redirect page
    bool enableRedirect = false, nameRedirect = false, redirectQuarantined = false, redirectDelete = false;
    std::vector<std::string> redirectAddresses;
    // Send page
    bool enableSend = false, sendDirect = false;
    std::string smtpServer, smtpPort, smtpLogin, smtpPassword;
    int smtpSecurity = 0;
    int smtpAuth = 0;  // TSmtpAuth as its number
    std::string smtpPasswordCommand;
    // Mailbot page
    bool enableMailbot = false;
    std::vector<std::string> mailbots;  // the subjects, in the account's order
    int mailbot = -1;                   // the chosen one
    std::string mailbotSubject, mailbotText;
    std::vector<std::string> attachments;  // the chosen mailbot's files
    int attachment = -1;                   // the selected one
    // Away and Reject pages
    bool away = false;
    std::string awayText;
    bool rejectResponse = false;
    std::string rejectText;
    bool operator==(const TAccountValues&) const = default;
};

// Which controls are enabled; each field names the controls it stands for.
struct TAccountsEnabling {
    bool account;        // name, email, pop server/port/login/password, security, certificate check,
                         // login method, password command,
                         // "Enable fetch", "No download", "Enable away", "Enable reject responses",
                         // "Enable send", "Send direct", "Enable filters", "Enable redirection",
                         // "Enable mailbot", toolbar Delete
    bool noDelete;       // "If downloading then:" and "Keep a copy on the server"
    bool smtp;           // smtp server, port, login, password, security, login method, password command
    bool filterChecks;   // "Reject msgs over" and the four reject checks
    bool redirect;       // the three redirect checks, the address list, its Add and Delete
    bool awayText;
    bool rejectText;
    bool mailbot;        // mailbot list, its Add and Delete, subject, text, attachments, attachment Add
    bool attachmentDelete;
    bool filtersButton;  // the toolbar's Filters
    bool operator==(const TAccountsEnabling&) const = default;
};

class TAccountsEditor {
public:
    // What changed since the window last drew it; OnChanged gets an OR of these.
    enum TPart : unsigned {
        kRows = 1u << 0,       // Rows, Selected: the whole table
        kValues = 1u << 1,     // Values
        kEnabling = 1u << 2,   // Enabling
        kPage = 1u << 3,       // Page
        kFocusName = 1u << 4,  // the focus goes to the name field, the selected row into view
    };
    static constexpr int kPageCount = 7;  // Fetch, Filters, Redirect, Send, Mailbot, Away, Reject
    static constexpr const char* kRangeCheckError = "Range check error";
    static constexpr const char* kFirstStartHint =
        "Fill in your provider's POP3 server (port 995 with TLS), your login name and password, then OK.";

    struct TRow {
        std::string name;
        bool fetch;  // the check box
        std::string filters, redir, send, bot, away, reject;  // "Yes" / "No"
        int vorla, quarantine, trash, queue;                   // message counts
        bool operator==(const TRow&) const = default;
    };

    // Loads the table from accounts (which outlives the editor) and selects the first row.
    TAccountsEditor(TZivadAccounts& accounts, TAccountsUser& user);

    std::function<void(unsigned parts)> OnChanged;

    const std::vector<TRow>& Rows() const { return m_rows; }
    int Selected() const;  // row, -1 for none
    TZivadAccount* SelectedAccount() const { return m_selected.get(); }
    const TAccountValues& Values() const { return m_values; }
    TAccountsEnabling Enabling() const;
    int Page() const { return m_page; }
    // The one-line hint over the table; empty but at the first start.
    const std::string& Hint() const { return m_hint; }

    // The row selection moved to row (-1 or out of range: none).
    void SelectRow(int row);
    // Page buttons: 0 Fetch .. 6 Reject.
    void ButtonClick(int page);
    // Idle and after the window was shown: the enabling, with its two effects on the values.
    void SetControlsEnabled();

    // A value control changed: v holds every control's value; everything is stored into the
    // selected account in the fixed order, and its row redrawn. An error ends the pass where
    // it occurs and is shown. The password commands are one line: a line break or other
    // control character in them becomes a space, in the values as in the account.
    void AccountChange(const TAccountValues& v);

    // The check box of row was clicked: inverts that account's "enablefetch" at once.
    void FetchCheckClick(int row);
    // Add: a new account (its folder made at once), selected, focus to the name.
    void AccountAddButtonClick();
    // Delete: the selected account and its folder go (the folder once no fetch or session
    // holds the account any more); the row at its position, or the last, is selected.
    void AccountDeleteButtonClick();
    // The first start: a new account selected, port 995 with TLS preset, and a hint.
    void StartFirstAccount();  // the preset is saved at once

    // Account filters: the selected account's rules after their snapshot was taken, or null
    // when the command is not available; the window opens the filters editor on them and
    // reports how it closed (OK saves them, anything else restores the snapshot).
    TZivadFilters* FiltersButtonClick();
    void FiltersEditorClosed(bool ok);

    // Redirect addresses.
    void RedirectAddButtonClick();
    void RedirectDeleteButtonClick(int index);

    // Mailbots.
    void MailbotChosen(int index);
    void MailbotSubjectChanged(const std::string& subject);
    void MailbotTextChanged(const std::string& text);
    void MailbotAddButtonClick();
    void MailbotDeleteButtonClick();
    void AttachmentSelected(int index);
    void AttachmentAddButtonClick();
    void AttachmentDeleteButtonClick();
    void AttachmentDoubleClick(int index);

    // "110", "+80", " 995 ": a whole number; nullopt when the text is not one (or does not fit).
    static std::optional<long long> ParseNumber(const std::string& text);

private:
    TRow MakeRow(TZivadAccount& account) const;
    void FillRows();        // the table in name order, selection kept
    void RedrawRow();       // the selected account's row (its place may move)
    void LoadControls();    // from the selected account
    void LoadMailbot();     // the chosen mailbot's subject, text and files
    // Edits the selected account's chosen mailbot; false when there is none.
    bool EditMailbot(const std::function<void(TMailbotRecord&)>& change);
    void Store();           // m_values into the selected account
    void Changed(unsigned parts);

    TZivadAccounts& m_accounts;
    TAccountsUser& m_user;
    std::vector<TAccountPtr> m_order;  // row order
    std::vector<TRow> m_rows;
    TAccountPtr m_selected;
    TZivadFilters* m_editedFilters = nullptr;
    TAccountValues m_values;
    int m_page = 0;
    std::string m_hint;
};

}  // namespace vorla
