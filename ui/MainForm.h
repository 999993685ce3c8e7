#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/QuickRules.h"

// The main window's behaviour, without the toolkit: what the account list, the folder
// buttons, the message list, the message text and the status line show, and what the toolbar
// commands do. The widget (TForm1) builds the controls, forwards their events here and redraws
// what OnChanged names.
namespace vorla {

class TZivad;
class TZivadAccount;
class TZivadMessageCollection;
class TZivadFilters;
class TLogViews;
class TPrefsEditor;
class TZivadFilters;
class TPeekWindow;
using TAccountPtr = std::shared_ptr<TZivadAccount>;

// The main window's placement in pixels, kept in section "display" of "vorla.ini".
struct TWindowBounds {
    int top, left, height, width;
};

// The four folder buttons, in their order on the window.
enum class TFolderKind { Vorla, Quarantine, Trash, Queue };
inline constexpr int kFolderKindCount = 4;

class TMainForm {
public:
    // What changed since the view last drew it; OnChanged gets an OR of these.
    enum TPart : unsigned {
        kAccountList = 1u << 0,    // AccountRows, SelectedAccount
        kFolderButtons = 1u << 1,  // FolderCaptions, DownFolder
        kMessageList = 1u << 2,    // MessageRows, AccountLabel
        kMessageText = 1u << 3,    // MessageText
        kStatusLine = 1u << 4,     // StatusText
    };
    struct TAccountRow {
        std::string name;
        bool fetchEnabled;  // shows the Get Mail icon; the other icon otherwise
    };
    struct TMessageRow {
        std::string num, dateTime, size, from, subject;
    };
    struct TMenuItem {
        std::string caption;     // the account's name
        std::string folderName;  // which account a click means, also after a reload
    };
    // What the idle processing decides for the controls it keeps up to date.
    struct TIdleState {
        bool allowRejectEnabled;  // Accept and Reject: not for the queue
        bool moveEnabled;         // a message row is selected
        bool fetchService, filtersService, pop3Service;  // the Prefs menu's check marks
    };

    // Subscribes to the engine's notifications and to the OnChange of every account's folders,
    // each handing its work to the UI thread through the engine's dispatcher, then fills the
    // account list. UI thread; engine outlives the form.
    explicit TMainForm(TZivad& engine);
    // Stops every subscription; calls already posted find the form gone and do nothing.
    ~TMainForm();
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Called on the UI thread with the parts to redraw. The view reads them back.
    std::function<void(unsigned parts)> OnChanged;

    TZivad& Engine() { return m_engine; }

    // --- Account list ---
    const std::vector<TAccountRow>& AccountRows() const { return m_accountRows; }
    int SelectedAccount() const;  // row, -1 for none
    // The rows follow the accounts as the list holds them now; a selected account that is gone
    // leaves no selection and no current folder; the folders of new accounts are watched and
    // those of gone ones no longer. Run after anything that reloads or edits the accounts.
    void FillAccountList();
    // The selection moved to row (-1 or out of range: none, and nothing changes).
    void SelectAccount(int row);

    // --- Folder buttons and message list ---
    TFolderKind DownFolder() const { return m_downFolder; }
    // "Vorla (3)", "Quarantine (0)", ... for the selected account; "Vorla", "Quar", "Trash",
    // "Queue" before any account was selected.
    const std::array<std::string, kFolderKindCount>& FolderCaptions() const { return m_folderCaptions; }
    void FolderButtonClick(TFolderKind kind);
    bool HasCurrentFolder() const { return m_currentAccount != nullptr; }
    const std::string& AccountLabel() const { return m_accountLabel; }
    const std::vector<TMessageRow>& MessageRows() const { return m_messageRows; }
    // The first selected row of the message list changed (-1: none, and the text stays).
    void SelectMessage(int row);
    int SelectedMessage() const { return m_selectedMessage; }
    const std::string& MessageText() const { return m_messageText; }

    // --- Status line ---
    const std::string& StatusText() const { return m_statusText; }
    // Idle processing: the enabled states and check marks, and the status line's entry count
    // while no command runs: of the current folder, or of the log view's lines on the Log page.
    TIdleState Idle(bool messageRowSelected);

    // --- Commands ---
    void GetMailButtonClick();     // RunAll
    std::vector<TMenuItem> GetMailMenu() const;  // one item per account with fetch enabled
    void GetMailMenuClick(const std::string& folderName);  // one account, on a worker
    void SendMailButtonClick();
    void RunFiltersButtonClick();
    void StopButtonClick();
    // The accounts editor: AccountsButtonClick marks every account busy, so that no fetch or
    // refilter touches an account while the editor changes it; the window then opens the
    // editor on the account list. AccountsEditorClosed, after OK, saves every account; after
    // any other close it discards the account objects and loads them again from their folders
    // (an account in use goes on with its user and is taken up again). Then the account list
    // is filled, and the accounts are not busy any more, also when a step failed. Returns the
    // failures to show, one message each.
    void AccountsButtonClick();
    std::vector<std::string> AccountsEditorClosed(bool ok);
    // No account yet: the window opens the accounts editor on a new one.
    bool FirstStart() const;
    // The global rules in the filters editor: FilterButtonClick takes their snapshot before
    // the editor opens on GlobalRules(); FilterEditorClosed saves them after OK and restores
    // the snapshot after any other close (a failed save is said on the status line).
    void FilterButtonClick();
    TZivadFilters& GlobalRules();
    void FilterEditorClosed(bool ok);
    // Peek: show runs the (modal) peek window over its behaviour on the engine; the form counts
    // as running meanwhile, so a close of the main window waits for it.
    void PeekButtonClick(const std::function<void(TPeekWindow&)>& show);
    // The preferences window's behaviour, loaded from the engine as it is now.
    std::unique_ptr<TPrefsEditor> PrefsButtonClick();
    // The Prefs menu's three services, in its order; a click inverts the service's state at
    // once (the settings file gets it with the other settings, at close).
    enum class TService { Fetch, Filters, Pop3 };
    void PrefsServiceClick(TService service);
    // The toolbar's Log button went down (the Log page is shown and refreshed) or up (the
    // Messages page is shown, the log view cleared, and the first account selected when none is).
    void LogMailButtonClick(bool down);
    bool LogPageShown() const;
    TLogViews& LogViews() { return *m_logViews; }

    // --- Rules from the message: the Accept and Reject menus ---
    // The selected account's own rules; none while no account is selected (then nothing is made).
    TZivadFilters* RuleTarget();
    // What an entry offers from the first selected message and the text selected in the view.
    TRuleOffer OfferRule(TRuleEntry entry, TFilterAction action, const std::string& selection);
    // Makes the offered rule in RuleTarget with the text the user left. Throws TFileError when
    // the rules cannot be saved.
    TRuleOutcome CreateRule(const TRuleOffer& offer, const std::string& text);
    // "All Received IPs" of the first selected message: the text of the box to show, or
    // nullopt without a selected account.
    std::optional<std::string> AddAllReceivedIps(TFilterAction action);

    // --- The Move menu ---
    struct TMoveMenu {
        bool vorla, quarantine, trash, del;  // the fixed items' enabled states
        std::vector<TMenuItem> accounts;     // one submenu per account, in account order
    };
    TMoveMenu MoveMenu() const;
    // Where moved messages go: an account's folder; an empty folderName means the selected
    // account (the fixed items).
    struct TMoveTarget {
        std::string folderName;
        TFolderKind kind;
    };
    // Copies the messages of rows (list order; the current folder's positions) into target
    // without a stamp, nullopt: none (Delete); then marks them and purges the current folder.
    // Nothing happens without a current folder or rows, or when a fixed item finds no
    // selected account.
    void MoveMessages(const std::vector<int>& rows, const std::optional<TMoveTarget>& target);
    // Cuts tag-like spans out of the shown text (the stored message is untouched): only while
    // a message row is selected and the text has a line.
    void StripHtmlButtonClick();
    // The Help menu's files: the manual and the read-me.
    static constexpr const char* kManualFile = "001.htm";
    static constexpr const char* kReadMeFile = "readme.txt";
    // Where a help file lies, seen from the folder of the running program: the first existing
    // of programDir/../share/vorla/help/file (installed), programDir/../docs/manual/file and
    // programDir/../../docs/manual/file (a build folder in or beside the source tree); empty
    // when none exists.
    static std::string FindHelpFile(const std::string& programDir, const std::string& file);
    // A Help menu item (the Help button itself means the manual): the path to open, or empty
    // when the file is not found, which the status line then says.
    std::string HelpButtonClick(const std::string& programDir, const std::string& file = kManualFile);
    // Close: "Terminating...", then Stop. The widget destroys the form and the engine after.
    void Close();
    bool Running() const { return m_commandDepth > 0; }

    // The toolbar's height after its buttons wrapped, from the About button's top: one row,
    // two rows, or anything else left as it is.
    static int ToolbarHeight(int aboutButtonTop, int currentHeight);

    // The stored placement, each value defaulting to current's; nullopt without a "display"
    // section (the desktop places the window then). Home folder set.
    static std::optional<TWindowBounds> StoredBounds(const TWindowBounds& current);
    // Writes all four values. Throws TFileError.
    static void SaveBounds(const TWindowBounds& bounds);

private:
    struct TWatched {
        TAccountPtr account;
        std::array<std::uint64_t, kFolderKindCount> subscriptions;
    };

    static TZivadMessageCollection& Folder(TZivadAccount& account, TFolderKind kind);
    // Posts a call of the form to the UI thread; any thread, also once the form has gone (the
    // call is then dropped). Holds only the dispatcher and a weak link to the form.
    std::function<void(std::function<void(TMainForm&)>)> Poster() const;
    void WatchFolders(const std::vector<TAccountPtr>& accounts);
    void UnwatchFolders();
    void AccountSelectionChanged();  // recount, rebuild
    void RebuildMessageList();
    void RecountFolders();
    void SetStatus(const std::string& text);
    void Changed(unsigned parts);
    void RunCommand(const std::function<void()>& command);
    void FolderChanged(const std::string& folderName, TFolderKind kind);
    void AccountStatus(const std::string& folderName, const std::string& what);

    TZivad& m_engine;
    std::unique_ptr<TLogViews> m_logViews;
    // Posted calls hold a weak copy: one that runs after the form has gone does nothing.
    std::shared_ptr<TMainForm*> m_alive;
    std::vector<std::function<void()>> m_unsubscribe;  // one per engine subscription
    std::vector<TWatched> m_watched;

    std::vector<TAccountPtr> m_accounts;  // what the rows show, in row order
    std::vector<TAccountRow> m_accountRows;
    TAccountPtr m_selected;
    TFolderKind m_downFolder = TFolderKind::Vorla;
    TAccountPtr m_currentAccount;  // the current folder is its folder for m_currentKind
    TFolderKind m_currentKind = TFolderKind::Vorla;
    std::array<std::string, kFolderKindCount> m_folderCaptions{"Vorla", "Quar", "Trash", "Queue"};
    std::string m_accountLabel = "Account";
    std::vector<TMessageRow> m_messageRows;
    std::string m_messageText;
    int m_selectedMessage = -1;  // first selected row of the message list
    std::string m_statusText;
    // Accounts a fetch or filtering run held when the accounts editor opened: their busy mark
    // is the run's, which clears it when it ends.
    std::vector<TAccountPtr> m_busyBeforeAccounts;
    bool m_listRefreshing = false;  // the list refresh guard
    bool m_terminating = false;
    int m_commandDepth = 0;
};

}  // namespace vorla
