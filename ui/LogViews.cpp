#include "ui/LogViews.h"

#include <algorithm>
#include <cwctype>
#include <exception>

#include "engine/Dispatcher.h"
#include "engine/Responses.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/ZivadLog.h"

namespace vorla {
namespace {

struct TViewLayout {
    const char* heading;
    int boldCount;  // counted with CR LF line breaks
    std::vector<int> tabStops;
};

const TViewLayout& LayoutOf(TLogView view) {
    static const TViewLayout layouts[] = {
        {"LOG DETAILS\r\n\r\nDate / Time\tAccount\tDescription\r\n", 48, {110, 200}},
        {"DAILY SUMMARY\r\n\r\nDate\tAction\tCnt\r\n", 33, {80, 160}},
        {"TOTAL ACCOUNT SUMMARY\r\n\r\nAccount\tAction\tCnt\r\n", 45, {180, 260}},
        {"STATUS HISTORY\r\n\r\nDate/Time\tService\tAccount\tDescription\r\n", 55, {110, 160, 300}},
    };
    return layouts[static_cast<int>(view)];
}

constexpr int kFirstLineIndent = 5;
constexpr const char* kAllItem = "All";

// The view shows one character per line break.
std::string WithoutCarriageReturns(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
    return result;
}

std::string WithoutAmpersands(std::string caption) {
    caption.erase(std::remove(caption.begin(), caption.end(), '&'), caption.end());
    return caption;
}

char16_t Folded(char16_t c) { return static_cast<char16_t>(std::towlower(static_cast<wint_t>(c))); }

}  // namespace

TLogViews::TLogViews(TZivad& engine) : m_engine(engine), m_alive(std::make_shared<TLogViews*>(this)) {
    // Raised on whatever thread wrote the line; the subscribers only post.
    TZivadLog& log = engine.Log();
    const auto logId = log.OnLogChanged.Subscribe([poster = Poster()](TZivadLog&) {
        poster([](TLogViews& views) {
            if (views.m_pageShown) views.RefreshLogView();
        });
    });
    m_unsubscribe.push_back([&log, logId] { log.OnLogChanged.Unsubscribe(logId); });
    const auto statusId = engine.OnStatusChanged.Subscribe([poster = Poster()](TZivad&) {
        poster([](TLogViews& views) { views.RefreshStatusView(); });
    });
    m_unsubscribe.push_back([this, statusId] { m_engine.OnStatusChanged.Unsubscribe(statusId); });
}

TLogViews::~TLogViews() {
    for (auto& unsubscribe : m_unsubscribe) unsubscribe();
}

std::function<void(std::function<void(TLogViews&)>)> TLogViews::Poster() const {
    TDispatcher* dispatcher = &m_engine.Dispatcher();
    std::weak_ptr<TLogViews*> alive = m_alive;
    return [dispatcher, alive](std::function<void(TLogViews&)> call) {
        dispatcher->Post([alive, call = std::move(call)] {
            if (const auto views = alive.lock()) call(**views);
        });
    };
}

int TLogViews::LineCount() const {
    if (m_text.empty()) return 0;
    const auto breaks = std::count(m_text.begin(), m_text.end(), '\n');
    return static_cast<int>(m_text.back() == '\n' ? breaks : breaks + 1);
}

void TLogViews::SetPageShown(bool shown) {
    m_pageShown = shown;
    if (!shown) {
        m_text.clear();
        if (OnChanged) OnChanged();
        return;
    }
    if (m_down == TLogView::Status)
        RefreshStatusView();
    else
        RefreshLogView();
}

void TLogViews::ViewButtonClick(TLogView view) {
    m_down = view;
    if (view == TLogView::Status)
        RefreshStatusView();
    else
        RefreshLogView();
}

void TLogViews::SetView(const std::string& heading, const std::string& source, int boldCount,
                        std::vector<int> tabStops) {
    m_text = WithoutCarriageReturns(heading + source);
    // The count is of the heading with two characters per line break; the view has one.
    const std::string boldPart = heading.substr(0, static_cast<std::size_t>(boldCount));
    m_format.boldLength = boldCount - static_cast<int>(std::count(boldPart.begin(), boldPart.end(), '\r'));
    m_format.tabStops = std::move(tabStops);
    m_format.firstLineIndent = kFirstLineIndent;
    if (OnChanged) OnChanged();
}

void TLogViews::RefreshLogView() {
    if (m_logRefreshing || m_terminating || m_down == TLogView::Status) return;
    m_logRefreshing = true;
    std::string source;
    try {
        TZivadLog& log = m_engine.Log();
        switch (m_down) {
            case TLogView::Log:
                source = m_accountFilter.empty() ? log.LogText() : log.AccountLogText(m_accountFilter);
                break;
            case TLogView::Daily: source = log.DailySummary(); break;
            case TLogView::Accounts: source = log.AccountSummary(); break;
            case TLogView::Status: break;
        }
    } catch (const std::exception&) {
        // A log file that cannot be read is shown as the log being busy; this runs from a
        // posted notification, where nobody could take the error.
        source.clear();
    }
    // Empty while the log is being written: the view keeps what it shows.
    const TViewLayout& layout = LayoutOf(m_down);
    if (!source.empty()) SetView(layout.heading, source, layout.boldCount, layout.tabStops);
    m_logRefreshing = false;
}

void TLogViews::RefreshStatusView() {
    if (m_terminating || !m_pageShown || m_down != TLogView::Status || m_statusRefreshing) return;
    m_statusRefreshing = true;
    const TViewLayout& layout = LayoutOf(TLogView::Status);
    std::string history = m_engine.StatusText();
    if (!history.empty() && history.size() >= 2 && history.compare(history.size() - 2, 2, "\r\n") != 0)
        history += "\r\n";
    SetView(layout.heading, history, layout.boldCount, layout.tabStops);
    m_statusRefreshing = false;
}

TLogViews::TPopupMenu TLogViews::PopupMenu() const {
    TPopupMenu menu{m_down == TLogView::Log, {}, {}};
    for (const auto& account : m_engine.Accounts().Snapshot()) {
        const std::string name = account->Name();
        menu.showAccount.push_back(name);
        menu.emailLog.push_back(name);
    }
    menu.showAccount.push_back(kAllItem);
    return menu;
}

void TLogViews::ShowAccountClick(int item, const std::string& caption) {
    const int last = static_cast<int>(m_engine.Accounts().Snapshot().size());
    m_accountFilter = item == last ? std::string() : WithoutAmpersands(caption);
    RefreshLogView();
}

void TLogViews::EmailLogClick(const std::string& caption) {
    const std::string name = WithoutAmpersands(caption);
    for (const auto& account : m_engine.Accounts().Snapshot()) {
        if (account->Name() != name) continue;
        const std::string subject = "Vorla log for account " + name + " (" + account->Settings()->email + ")";
        std::string text;  // with the line breaks of a mail text
        for (const char c : m_text) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        SendLogMessage(*account, m_engine.Log(), subject, text);
        return;
    }
}

TLogViews::TFindResult TLogViews::Find(const std::u16string& text, int selectionStart, const std::u16string& what,
                                       bool findNext) {
    const int from = (findNext ? std::max(selectionStart, 0) : 0) + 1;
    const int length = static_cast<int>(what.size());
    if (length > 0) {
        for (int i = from; i + length <= static_cast<int>(text.size()); ++i) {
            int k = 0;
            while (k < length && Folded(text[i + k]) == Folded(what[k])) ++k;
            if (k == length) return {true, i, length, {}};
        }
    }
    return {false, 0, 0, "Not found"};
}

}  // namespace vorla
