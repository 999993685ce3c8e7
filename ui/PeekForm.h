#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "ui/QuickRules.h"

// The peek window's behaviour, without the toolkit: the account list, the connection to an
// account's uplink server or a one-off server, the list of waiting messages, the message text,
// the deletion marks and the rules made from a message. The widgets (TPeekForm,
// TPeekCustomForm) forward their events here and show what it reports.
//
// Every server command runs on a worker while the UI thread keeps running its events, so the
// window stays usable (and closable) while a server is slow. A command asked for while
// another one runs does nothing; a close asked for meanwhile is carried out when it ends.
namespace vorla {

class TZivad;
class TZivadAccount;
class TZivadPeek;
class TZivadFilters;
using TAccountPtr = std::shared_ptr<TZivadAccount>;

// What a command has to tell the user: nothing, an error box or an information box.
struct TPeekNotice {
    enum TKind { None, Error, Information };
    TKind kind = None;
    std::string text;
    explicit operator bool() const { return kind != None; }
};

// The four boxes of the "Custom Peek" dialog, as text.
struct TCustomPeekFields {
    std::string server, port, login, password;
};

class TPeekWindow {
public:
    // What changed since the view last drew it; OnChanged gets an OR of these.
    enum TPart : unsigned {
        kAccountList = 1u << 0,  // AccountNames, SelectedAccount
        kMessageList = 1u << 1,  // Rows
        kMessageText = 1u << 2,  // MessageText
        kMarks = 1u << 3,        // only the "Num" texts of Rows (a mark set or taken)
    };
    struct TRow {
        std::string num, dateTime, size, from, subject;
    };
    // What the idle processing decides for the controls.
    struct TEnabled {
        bool connect, custom, accountList, disconnect, accept, reject, del;
    };
    static constexpr const char* kNoMessagesText = "No messages on server.";
    static constexpr std::uint16_t kDefaultPort = 110;
    static constexpr int kColumnCount = 5;  // Num, Date/Time, Size, From, Subject

    // Fills the account list from the engine (the first account selected when there is one).
    // UI thread; the engine outlives the window.
    explicit TPeekWindow(TZivad& engine);
    // Without a Close before, the session just goes: an open connection is dropped without
    // QUIT, and nothing is deleted on the server.
    ~TPeekWindow();
    TPeekWindow(const TPeekWindow&) = delete;
    TPeekWindow& operator=(const TPeekWindow&) = delete;

    std::function<void(unsigned parts)> OnChanged;

    // --- Account list ---
    const std::vector<std::string>& AccountNames() const { return m_accountNames; }
    int SelectedAccount() const { return m_selectedAccount; }
    // Another account was chosen: a connected session is disconnected first (the marked
    // messages are deleted on the server). row out of range: none selected.
    TPeekNotice SelectAccount(int row);

    // --- Commands ---
    // Connect: the selected account's uplink server, login name, password and TLS settings;
    // then the listing. A failure is an error box with the client's text; an empty mailbox
    // disconnects and says kNoMessagesText.
    TPeekNotice ConnectButtonClick();
    // What "Custom Peek" opens with: the last custom server and login name, the port ("110"
    // when none was set) and an empty password box.
    TCustomPeekFields CustomFields() const;
    // OK in "Custom Peek": remembers the values (the port: the number typed, else 110; the
    // password: the one typed, else the previous one), aims the session at them (plain POP3)
    // and connects as Connect does.
    TPeekNotice CustomOk(const TCustomPeekFields& typed);
    // Discon: the marked messages are deleted on the server; list and text are cleared. A
    // failed deletion or QUIT is an error box (the session is closed all the same).
    TPeekNotice DisconnectButtonClick();
    // Delete (and Space in the list): toggles the Deleted mark of each row's message.
    void DeleteButtonClick(const std::vector<int>& rows);
    // Get Message Body (and Enter in the list): the selected row's whole message is fetched
    // and shown.
    TPeekNotice GetMessageBody();
    // The selected row of the list (-1: none, and the text stays).
    void SelectRow(int row);
    int SelectedRow() const { return m_selectedRow; }
    // A click on a column title: sorts by it, ascending first, reversed at each further click.
    void SortByColumn(int column);
    int SortColumn() const { return m_sortColumn; }
    bool SortAscending() const { return m_ascending; }
    const std::vector<TRow>& Rows() const { return m_rows; }
    // Which server message (0-based) a row shows; -1 out of range.
    int RowMessage(int row) const;
    const std::string& MessageText() const { return m_messageText; }
    // Cuts tag-like spans out of the shown text (the message itself is untouched); only when
    // the text has a line.
    void StripHtmlButtonClick();
    // The enabled states; all off but the window's own while a server command runs.
    TEnabled Idle(bool rowSelected) const;
    bool Connected() const { return m_connected; }
    bool Busy() const { return m_busy > 0; }

    // --- Rules from the selected message: the Accept and Reject menus ---
    // The menus' entries, in menu order: all but "Attachment".
    static std::vector<TRuleEntry> RuleEntries();
    // Where the rules go: the global rules.
    TZivadFilters& RuleTarget();
    // What an entry offers from the selected message and the selected text. The entries that
    // read the sender, the recipients, Reply-To or (without a selection) the subject fetch the
    // whole message first, as Get Message Body does; a failure of that fetch is put in notice
    // and the offer is then empty.
    TRuleOffer OfferRule(TRuleEntry entry, TFilterAction action, const std::string& selection, TPeekNotice& notice);
    // Makes the offered rule in the global rules. Throws TFileError when they cannot be saved.
    TRuleOutcome CreateRule(const TRuleOffer& offer, const std::string& text);
    // "All Received IPs" of the selected message as the session holds it: the text of the box.
    std::string AddAllReceivedIps(TFilterAction action);

    // The window closes: the session is disconnected (the marked messages are deleted on the
    // server). While a server command runs, this only remembers the close: the command ends
    // (the client's time-outs bound it) and the disconnect follows; the session object is held
    // by the worker as well, so it outlives it whatever the window does meanwhile.
    TPeekNotice Close();
    bool CloseWanted() const { return m_closeWanted; }

private:
    struct TListed {
        int message;  // the server message, 0-based
        TDateTime date;
        std::int64_t size;  // from the server's listing
        std::string from, subject;
    };

    // Runs job on the session on a worker and waits, running the UI thread's events meanwhile.
    std::exception_ptr OnWorker(std::function<void(TZivadPeek&)> job);
    TPeekNotice Connect();
    TPeekNotice Disconnect();
    // After a command: a close asked for while it ran is carried out now.
    TPeekNotice Finish(TPeekNotice notice);
    void FillList();
    void SortList();
    void ShowRows(unsigned part = kMessageList);
    void Clear();
    void Changed(unsigned parts);

    TZivad& m_engine;
    // Shared with the worker that runs a server command.
    std::shared_ptr<TZivadPeek> m_session;
    std::vector<TAccountPtr> m_accounts;
    std::vector<std::string> m_accountNames;
    int m_selectedAccount = -1;

    std::string m_customServer;
    std::uint16_t m_customPort = 0;  // 0: not set
    std::string m_customLogin;
    std::string m_customPassword;

    std::vector<TListed> m_listed;  // in row order
    std::vector<TRow> m_rows;
    int m_selectedRow = -1;
    int m_sortColumn = -1;
    bool m_ascending = true;
    std::string m_messageText;
    bool m_connected = false;
    int m_busy = 0;
    bool m_closeWanted = false;
    bool m_closed = false;
};

}  // namespace vorla
