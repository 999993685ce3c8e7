#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/FetchCycleFixture.h"
#include "ui/LogViews.h"
#include "ui/MainForm.h"

namespace vorla::test {
namespace {

class LogViewsTest : public FetchFixture {
protected:
    TZivadAccount& Account(const std::string& name, bool nodownload = false) {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) {
            s.name = name;
            s.email = name + "@example.net";
            s.nodownload = nodownload;
        });
        account.Save();
        return account;
    }
    TLogViews& Views() {
        if (!m_views) {
            m_views = std::make_unique<TLogViews>(Engine());
            m_views->OnChanged = [this] { ++m_redraws; };
        }
        return *m_views;
    }
    void Log(const std::string& account, const std::string& what) {
        ASSERT_TRUE(Engine().Log().AppendLine(account + "\tAccepted - " + what));
    }
    // The lines of the view below its three heading lines.
    std::vector<std::string> Body() const {
        std::vector<std::string> lines;
        const std::string& text = m_views->Text();
        std::size_t pos = 0;
        for (int heading = 0; heading < 3 && pos != std::string::npos; ++heading) pos = text.find('\n', pos) + 1;
        while (pos < text.size()) {
            const std::size_t end = text.find('\n', pos);
            lines.push_back(text.substr(pos, end - pos));
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }
    static bool Mentions(const std::vector<std::string>& lines, const std::string& word) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(word) != std::string::npos; });
    }
    void RunPosted() { m_queue.ProcessEvents(); }

    std::unique_ptr<TLogViews> m_views;
    int m_redraws = 0;
};

TEST_F(LogViewsTest, EachViewHasItsHeadingBoldPartTabStopsAndSource) {
    Log("Home", "first");
    Log("Work", "second");
    Engine().AddStatus("\tFETCH\tHome\tfetched 2");
    struct TCase {
        TLogView view;
        const char* bold;  // what the bold part of the view's text reads
        std::vector<int> tabs;
        const char* inBody;  // a word the text below the heading holds
    };
    const TCase cases[] = {
        {TLogView::Log, "LOG DETAILS\n\nDate / Time\tAccount\tDescription\n", {110, 200}, "second"},
        {TLogView::Daily, "DAILY SUMMARY\n\nDate\tAction\tCnt", {80, 160}, "Accepted"},
        {TLogView::Accounts, "TOTAL ACCOUNT SUMMARY\n\nAccount\tAction\tCnt\n", {180, 260}, "Work"},
        {TLogView::Status, "STATUS HISTORY\n\nDate/Time\tService\tAccount\tDescription", {110, 160, 300},
         "fetched 2"},
    };
    TLogViews& views = Views();
    views.SetPageShown(true);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.bold);
        views.ViewButtonClick(c.view);
        const std::string bold = c.bold;
        const std::string& text = views.Text();
        EXPECT_EQ(text.substr(0, views.Format().boldLength), bold);
        // The bold part ends with the heading: the body starts on the next line.
        EXPECT_EQ(text.find('\n', bold.size() - 1), bold.back() == '\n' ? bold.size() - 1 : bold.size());
        EXPECT_EQ(views.Format().tabStops, c.tabs);
        EXPECT_EQ(views.Format().firstLineIndent, 5);
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_TRUE(Mentions(Body(), c.inBody));
    }
}

TEST_F(LogViewsTest, RawLogIsNewestFirstAndShowAccountRestrictsItUntilAll) {
    TZivadAccount& home = Account("Home");
    Account("Work");
    Log("Home", "one");
    Log("Work", "two");
    Log("Home", "three");
    TLogViews& views = Views();
    views.SetPageShown(true);
    ASSERT_EQ(Body().size(), 3u);
    EXPECT_TRUE(Mentions({Body()[0]}, "three"));
    EXPECT_TRUE(Mentions({Body()[2]}, "one"));

    const auto menu = views.PopupMenu();
    ASSERT_EQ(menu.showAccount.size(), 3u);
    const int all = static_cast<int>(menu.showAccount.size()) - 1;
    EXPECT_EQ(menu.showAccount[all], "All");
    const int homeItem = menu.showAccount[0] == home.Name() ? 0 : 1;
    struct TStep {
        int item;
        std::string caption;  // as the menu may show it, with an accelerator mark
        std::vector<std::string> words;
        std::vector<std::string> absent;
    };
    const TStep steps[] = {
        {homeItem, "&Home", {"three", "one"}, {"two"}},
        {1 - homeItem, "W&ork", {"two"}, {"one", "three"}},
        {all, "&All", {"one", "two", "three"}, {}},
    };
    for (const TStep& step : steps) {
        SCOPED_TRACE(step.caption);
        views.ShowAccountClick(step.item, step.caption);
        EXPECT_EQ(Body().size(), step.words.size());
        for (const auto& word : step.words) EXPECT_TRUE(Mentions(Body(), word)) << word;
        for (const auto& word : step.absent) EXPECT_FALSE(Mentions(Body(), word)) << word;
        EXPECT_EQ(views.Text().rfind("LOG DETAILS\n", 0), 0u);
    }
    // The filter is the raw log's only: the daily summary still counts every account.
    views.ShowAccountClick(homeItem, "Home");
    views.ViewButtonClick(TLogView::Accounts);
    EXPECT_TRUE(Mentions(Body(), "Work"));
}

TEST_F(LogViewsTest, AccountItemsAreEnabledOnlyWithTheRawLogDown) {
    Account("Home");
    Account("Work");
    TLogViews& views = Views();
    views.SetPageShown(true);
    const std::pair<TLogView, bool> cases[] = {
        {TLogView::Daily, false}, {TLogView::Accounts, false}, {TLogView::Status, false}, {TLogView::Log, true}};
    for (const auto& [view, enabled] : cases) {
        views.ViewButtonClick(view);
        const auto menu = views.PopupMenu();
        EXPECT_EQ(menu.accountItemsEnabled, enabled) << static_cast<int>(view);
        EXPECT_EQ(menu.emailLog.size(), 2u);
        EXPECT_EQ(menu.showAccount.size(), 3u);
    }
}

TEST_F(LogViewsTest, NotificationsRedrawOnlyTheViewThatIsDown) {
    Log("Home", "first");
    TLogViews& views = Views();
    views.SetPageShown(true);
    struct TCase {
        TLogView down;
        bool logLine;  // a log line is added, else a status line
        bool redrawn;
    };
    const TCase cases[] = {
        {TLogView::Log, true, true},      {TLogView::Log, false, false},
        {TLogView::Daily, true, true},    {TLogView::Status, true, false},
        {TLogView::Status, false, true},  {TLogView::Accounts, false, false},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.down)) + (c.logLine ? " log" : " status"));
        views.ViewButtonClick(c.down);
        const std::string before = views.Text();
        const std::string word = "event" + std::to_string(++n);
        // Raised on a worker, as the fetch cycle does; drawn once the UI thread runs the post.
        std::thread worker([&] {
            if (c.logLine)
                Engine().Log().AppendLine("Home\tAccepted - " + word);
            else
                Engine().AddStatus("\tFETCH\tHome\t" + word);
        });
        worker.join();
        EXPECT_EQ(views.Text(), before);
        RunPosted();
        EXPECT_EQ(views.Text() != before, c.redrawn);
    }
}

TEST_F(LogViewsTest, HiddenPageEmptySourcesAndClosingKeepTheTextAsItIs) {
    Log("Home", "first");
    TLogViews& views = Views();
    views.SetPageShown(true);
    const std::string shown = views.Text();
    ASSERT_FALSE(shown.empty());

    // A log that reads empty (being written, or gone) leaves the view alone.
    ASSERT_TRUE(DeleteFile(Engine().Log().FileName()));
    views.RefreshLogView();
    EXPECT_EQ(views.Text(), shown);

    // An empty status history still shows its heading.
    views.ViewButtonClick(TLogView::Status);
    EXPECT_EQ(views.Text().rfind("STATUS HISTORY\n\nDate/Time\tService\tAccount\tDescription\n", 0), 0u);

    // Leaving the page clears the view; notifications then leave it empty.
    views.ViewButtonClick(TLogView::Log);
    views.SetPageShown(false);
    EXPECT_EQ(views.Text(), "");
    Log("Home", "second");
    Engine().AddStatus("\tFETCH\tHome\tmore");
    RunPosted();
    EXPECT_EQ(views.Text(), "");

    views.SetPageShown(true);
    const std::string before = views.Text();
    EXPECT_NE(before.find("second"), std::string::npos);
    views.SetTerminating();
    Log("Home", "third");
    RunPosted();
    views.ViewButtonClick(TLogView::Daily);
    EXPECT_EQ(views.Text(), before);
}

TEST_F(LogViewsTest, PostedNotificationsFindADestroyedViewGone) {
    Views().SetPageShown(true);
    Log("Home", "first");
    m_views.reset();
    RunPosted();  // would touch the destroyed object
    SUCCEED();
}

TEST_F(LogViewsTest, FindSelectsEachOccurrenceInTurnWithoutWrappingAround) {
    const std::u16string text = u"LOG x\nAlpha beta ALPHA gamma alpha\n";
    struct TStep {
        std::u16string what;
        bool findNext;
        int expected;  // start of the selection, -1 for "Not found"
    };
    const TStep steps[] = {
        {u"alpha", false, 6},  {u"alpha", true, 17}, {u"alpha", true, 29}, {u"alpha", true, -1},
        {u"ALPHA", false, 6},  {u"Gamma", true, 23}, {u"delta", false, -1}, {u"", false, -1},
        // The search starts one past the selection's start: the first character is never hit.
        {u"lOg", false, -1},   {u"a\n", false, 33},
    };
    int selection = 0;
    for (const TStep& step : steps) {
        const auto result = TLogViews::Find(text, selection, step.what, step.findNext);
        SCOPED_TRACE(std::string(step.what.begin(), step.what.end()) + " from " + std::to_string(selection));
        if (step.expected < 0) {
            EXPECT_FALSE(result.found);
            EXPECT_EQ(result.message, "Not found");
            continue;  // the selection stays where it was
        }
        ASSERT_TRUE(result.found);
        EXPECT_EQ(result.start, step.expected);
        EXPECT_EQ(result.length, static_cast<int>(step.what.size()));
        selection = result.start;
    }
}

TEST_F(LogViewsTest, EmailLogMailsTheViewToTheNamedAccountOnly) {
    TZivadAccount& home = Account("Home");
    TZivadAccount& work = Account("Work", true);
    Log("Home", "first");
    TLogViews& views = Views();
    views.SetPageShown(true);
    struct TCase {
        std::string caption;
        TZivadAccount* account;  // whose folder gets it; null: nobody's
        bool queued;
    };
    const TCase cases[] = {
        {"&Home", &home, false}, {"Work", &work, true}, {"Nobody", nullptr, false}, {"home", nullptr, false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.caption);
        const int before = home.VorlaFolder().Count() + home.QueueFolder().Count() + work.VorlaFolder().Count() +
                           work.QueueFolder().Count();
        const std::string text = views.Text();
        views.EmailLogClick(c.caption);
        const int after = home.VorlaFolder().Count() + home.QueueFolder().Count() + work.VorlaFolder().Count() +
                          work.QueueFolder().Count();
        if (!c.account) {
            EXPECT_EQ(after, before);
            continue;
        }
        EXPECT_EQ(after, before + 1);
        TZivadMessageCollection& folder = c.queued ? c.account->QueueFolder() : c.account->VorlaFolder();
        ASSERT_EQ(folder.Count(), 1);
        TMailMessage message;
        message.LoadFromFile(folder.Item(0)->FileName());
        const std::string name = c.account->Name();
        EXPECT_EQ(message.Subject, "Vorla log for account " + name + " (" + name + "@example.net)");
        std::string body;
        for (const std::string& line : message.Body) body += line + "\n";
        EXPECT_EQ(body.rfind("LOG DETAILS\n\nDate / Time\tAccount\tDescription\n", 0), 0u) << body;
        EXPECT_NE(body.find("first"), std::string::npos);
    }
}

class MainFormLogPageTest : public LogViewsTest {};

TEST_F(MainFormLogPageTest, SwitchingPagesCountsLinesAndSelectsTheFirstAccountOnLeaving) {
    Account("Home");
    Log("Home", "one");
    Log("Home", "two");
    TMainForm form(Engine());
    form.LogMailButtonClick(true);
    EXPECT_EQ(form.SelectedAccount(), -1);
    form.Idle(false);
    EXPECT_EQ(form.StatusText(), " 5 entries");  // three heading lines, two log lines
    form.LogMailButtonClick(false);
    EXPECT_EQ(form.LogViews().Text(), "");
    EXPECT_EQ(form.SelectedAccount(), 0);
    form.Idle(false);
    EXPECT_EQ(form.StatusText(), " 0 entries");
}

}  // namespace
}  // namespace vorla::test
