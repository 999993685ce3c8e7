#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The Log page's behaviour, without the toolkit: which of the four texts the view shows, its
// heading, bold part, tab stops and indent, the context menu and what its items do, the search,
// and when the view is redrawn. The widget applies what Text() and Format() report.
namespace vorla {

class TZivad;

// The page's four buttons, in their order on the strip.
enum class TLogView { Log, Daily, Accounts, Status };

class TLogViews {
public:
    // How the view's whole text is laid out.
    struct TFormat {
        int boldLength;             // the first characters of Text() set bold (the heading)
        std::vector<int> tabStops;  // points
        int firstLineIndent;        // points, for every line
    };
    // What the context menu offers; rebuilt each time it opens.
    struct TPopupMenu {
        bool accountItemsEnabled;               // "Show Account" and "Email Log"
        std::vector<std::string> showAccount;   // the account names, then "All" (a separator before it)
        std::vector<std::string> emailLog;      // the account names
    };
    struct TFindResult {
        bool found;
        int start, length;     // the text to select, in UTF-16 units of the shown text
        std::string message;   // "Not found" without a hit
    };

    // Subscribes to the log's OnLogChanged and the engine's OnStatusChanged, each handing its
    // work to the UI thread through the engine's dispatcher. UI thread; engine outlives this.
    explicit TLogViews(TZivad& engine);
    // Stops both subscriptions; calls already posted find the object gone and do nothing.
    ~TLogViews();
    TLogViews(const TLogViews&) = delete;
    TLogViews& operator=(const TLogViews&) = delete;

    // Called on the UI thread whenever Text() or Format() changed.
    std::function<void()> OnChanged;

    // The view's text with LF line breaks, and its layout.
    const std::string& Text() const { return m_text; }
    const TFormat& Format() const { return m_format; }
    int LineCount() const;
    TLogView DownView() const { return m_down; }
    bool PageShown() const { return m_pageShown; }
    const std::string& AccountFilter() const { return m_accountFilter; }

    // The page was shown (refreshes the status view with "Status" down, the log view
    // otherwise) or left (the text is cleared).
    void SetPageShown(bool shown);
    // A strip button was pressed: it goes down and its view is refreshed.
    void ViewButtonClick(TLogView view);
    // From now on nothing is refreshed.
    void SetTerminating() { m_terminating = true; }

    // Refreshes "Log", "Daily" or "Accounts", whichever is down: heading and source text; an
    // empty or unreadable source text keeps what the view shows. Nothing with "Status" down or
    // while running.
    void RefreshLogView();
    // With the page shown and "Status" down: heading and status history, always replaced.
    void RefreshStatusView();

    TPopupMenu PopupMenu() const;
    // item: index in PopupMenu().showAccount; the last one ("All") clears the filter, any other
    // sets it to caption without "&". Then the log view is refreshed.
    void ShowAccountClick(int item, const std::string& caption);
    // Mails the view's text to the first account named caption without "&"; no such account:
    // nothing. Throws what the message store throws.
    void EmailLogClick(const std::string& caption);

    // Find and Copy work only while the view is visible.
    bool FindAllowed() const { return m_pageShown; }
    // One search request of the find dialog over text (what the view shows): without findNext
    // the caret first goes to the start; the search runs from one unit past selectionStart to
    // the end, letter case ignored, without wrapping around.
    static TFindResult Find(const std::u16string& text, int selectionStart, const std::u16string& what,
                            bool findNext);

private:
    std::function<void(std::function<void(TLogViews&)>)> Poster() const;
    void SetView(const std::string& heading, const std::string& source, int boldCount, std::vector<int> tabStops);

    TZivad& m_engine;
    std::shared_ptr<TLogViews*> m_alive;
    std::vector<std::function<void()>> m_unsubscribe;
    std::string m_text;
    TFormat m_format{0, {}, 5};
    TLogView m_down = TLogView::Log;
    std::string m_accountFilter;
    bool m_pageShown = false;
    bool m_terminating = false;
    bool m_logRefreshing = false;     // the log view's refresh guard
    bool m_statusRefreshing = false;  // the status view's refresh guard
};

}  // namespace vorla
