#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FetchCycleFixture.h"
#include "filters/FilterMatch.h"
#include "ui/FiltersForm.h"
#include "ui/MainForm.h"

namespace vorla::test {
namespace {

using TAnswer = TFiltersUser::TAnswer;

// Answers the editor's questions from a script and keeps what it was asked.
class TScriptedUser : public TFiltersUser {
public:
    std::deque<std::optional<std::string>> texts;  // AskText answers, in order
    std::deque<TAnswer> answers;                   // Confirm answers, in order
    std::optional<std::string> saveFile, openFile;
    std::optional<int> mergeLevel;
    std::vector<std::string> said;  // every question and message, in order
    std::vector<TFileChoice> choices;
    std::vector<std::string> prefills;  // the values AskText offered
    int busyDepth = 0;

    std::optional<std::string> AskText(const std::string& caption, const std::string& prompt,
                                       const std::string& value) override {
        said.push_back(caption + "/" + prompt);
        prefills.push_back(value);
        if (texts.empty()) return std::nullopt;
        auto text = texts.front();
        texts.pop_front();
        return text;
    }
    TAnswer Confirm(const std::string& text, bool withCancel) override {
        said.push_back(text + (withCancel ? " [Yes/No/Cancel]" : " [Yes/No]"));
        EXPECT_EQ(busyDepth, 0) << "a question under the busy cursor: " << text;
        if (answers.empty()) return TAnswer::No;  // ends any "ask again" loop
        const TAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void Inform(const std::string& text) override { said.push_back(text); }
    void ShowError(const std::string& text) override { said.push_back("error: " + text); }
    std::optional<std::string> ChooseSaveFile(const TFileChoice& choice) override {
        choices.push_back(choice);
        return saveFile;
    }
    std::optional<std::string> ChooseOpenFile(const TFileChoice& choice) override {
        choices.push_back(choice);
        return openFile;
    }
    std::optional<int> AskMergeLevel() override {
        said.push_back("merge level");
        return mergeLevel;
    }
    void Busy(bool on) override {
        busyDepth += on ? 1 : -1;
        EXPECT_GE(busyDepth, 0);
    }
};

struct TRuleFields {
    const char* description;
    TFilterAction action;
    TFilterSection section;
    const char* search;
    bool active;
};

class FiltersFormTest : public FetchFixture {
protected:
    TZivadFilters& Global() { return Engine().Filters(); }
    TZivadAccount& Account(const std::string& name) {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) { s.name = name; });
        account.Save();
        return account;
    }
    static void Fill(TZivadFilters& list, const std::vector<TRuleFields>& rules) {
        for (const auto& fields : rules) {
            TZivadFilterItem& rule = list.AddRule();
            rule.SetDescription(fields.description);
            rule.SetAction(fields.action);
            rule.SetSection(fields.section);
            rule.SetSearchText(fields.search);
            rule.SetActive(fields.active);
        }
    }
    TFiltersEditor& Editor(TZivadFilters& list) {
        m_editor = std::make_unique<TFiltersEditor>(Engine(), m_user);
        m_editor->OnChanged = [this](unsigned parts) { m_changed |= parts; };
        m_editor->Bind(list);
        m_editor->FormShow();
        return *m_editor;
    }
    static std::vector<std::string> Column(const TFiltersEditor& editor, TFiltersEditor::TColumn column) {
        std::vector<std::string> texts;
        for (const auto& row : editor.Rows()) {
            switch (column) {
            case TFiltersEditor::TColumn::Description: texts.push_back(row.description); break;
            case TFiltersEditor::TColumn::Section: texts.push_back(row.section); break;
            case TFiltersEditor::TColumn::Search: texts.push_back(row.search); break;
            case TFiltersEditor::TColumn::Count: texts.push_back(row.count); break;
            case TFiltersEditor::TColumn::LastUsed: texts.push_back(row.lastUsed); break;
            }
        }
        return texts;
    }
    static std::vector<std::string> Descriptions(const TFiltersEditor& editor) {
        return Column(editor, TFiltersEditor::TColumn::Description);
    }
    static std::vector<std::string> Searches(const TZivadFilters& list) {
        std::vector<std::string> texts;
        for (int i = 0; i < list.RuleCount(); ++i) texts.push_back(list.RuleAt(i)->SearchText());
        return texts;
    }
    static std::vector<std::string> MenuCaptions(const TFiltersEditor& editor) {
        std::vector<std::string> captions;
        for (const auto& item : editor.MoveMenu()) captions.push_back(item.caption);
        return captions;
    }
    std::string SelectedDescription() const {
        return m_editor->Selected() < 0 ? "(none)" : m_editor->Rows()[m_editor->Selected()].description;
    }

    TScriptedUser m_user;
    std::unique_ptr<TFiltersEditor> m_editor;
    unsigned m_changed = 0;
};

const std::vector<TRuleFields> kMixedRules{
    {"zeta", TFilterAction::Accept, TFilterSection::From, "zeta@example.org", true},
    {"spam words", TFilterAction::Reject, TFilterSection::Body, "cheap pills", true},
    {"alpha", TFilterAction::Accept, TFilterSection::Subject, "Alpha news", false},
    {"unused", TFilterAction::None, TFilterSection::To, "nobody", true},
    {"Mike", TFilterAction::Accept, TFilterSection::To, "mike@example.net", true},
};

TEST_F(FiltersFormTest, EachViewShowsItsRulesInDescriptionOrderWithTheirColumns) {
    Fill(Global(), kMixedRules);
    WriteFile(HomeFolder() + "vorla.log",
              "01 Dec 2026 10:00:00\tHome\tAccepted - (global:zeta) Date: x\r\n"
              "05 Dec 2026 10:00:00\tHome\tAccepted - (global:zeta) Date: x\r\n"
              "06 Dec 2026 10:00:00\tHome\tAccepted - (local:alpha) Date: x\r\n");
    TFiltersEditor& editor = Editor(Global());
    EXPECT_EQ(editor.Caption(), "Filters");
    // Byte order: capitals first; "None" rules are never shown.
    EXPECT_EQ(Descriptions(editor), (std::vector<std::string>{"Mike", "alpha", "zeta"}));
    EXPECT_EQ(Column(editor, TFiltersEditor::TColumn::Section), (std::vector<std::string>{"To", "Subject", "From"}));
    EXPECT_EQ(Column(editor, TFiltersEditor::TColumn::Count), (std::vector<std::string>{"0", "0", "2"}));
    EXPECT_EQ(Column(editor, TFiltersEditor::TColumn::LastUsed),
              (std::vector<std::string>{"", "", "05 Dec 2026"}));
    EXPECT_FALSE(editor.Rows()[1].active);
    EXPECT_EQ(editor.Footer(), " 3 items");
    EXPECT_FALSE(editor.RowControlsEnabled());

    editor.ViewButtonClick(TFiltersView::Reject);
    EXPECT_EQ(Descriptions(editor), (std::vector<std::string>{"spam words"}));
    EXPECT_EQ(editor.Footer(), " 1 items");
    EXPECT_TRUE(m_changed & TFiltersEditor::kRows);
    EXPECT_EQ(m_user.busyDepth, 0);
}

// Each column's own direction flips on each click, the first click sorting ascending; the
// other columns keep theirs.
TEST_F(FiltersFormTest, ColumnClicksSortByTheColumnsOwnOrder) {
    Fill(Global(), {
                       {"b", TFilterAction::Accept, TFilterSection::ReceivedIP, "10.0.0.1", true},
                       {"a", TFilterAction::Accept, TFilterSection::Body, "Zed", true},
                       {"d", TFilterAction::Accept, TFilterSection::From, "apple", true},
                       {"c", TFilterAction::Accept, TFilterSection::To, "Mango", true},
                   });
    std::string log;
    auto hits = [&](const std::string& name, int count, const std::string& day) {
        for (int i = 0; i < count; ++i) log += day + " 10:00:00\tHome\tAccepted - (global:" + name + ") Date: x\r\n";
    };
    hits("a", 10, "07 Jan 2026");
    hits("b", 2, "01 Mar 2026");
    hits("c", 100, "15 Feb 2025");
    WriteFile(HomeFolder() + "vorla.log", log);
    TFiltersEditor& editor = Editor(Global());
    using C = TFiltersEditor::TColumn;
    struct TClick {
        C column;
        std::vector<std::string> order;  // descriptions after the click
    };
    const TClick clicks[] = {
        {C::Section, {"d", "c", "a", "b"}},   // From 1, To 2, Body 7, Received IP 11: numbers, not names
        {C::Section, {"b", "a", "c", "d"}},   // second click: descending
        {C::Count, {"d", "b", "a", "c"}},     // 0, 2, 10, 100: numbers, not texts
        {C::Search, {"b", "c", "a", "d"}},    // bytes: digits, capitals, small letters
        {C::Search, {"d", "a", "c", "b"}},
        {C::Count, {"c", "a", "b", "d"}},     // Count remembered its ascending click
        {C::LastUsed, {"d", "b", "a", "c"}},  // "", "01 Mar 2026", "07 Jan 2026", "15 Feb 2025": day first
        {C::Description, {"a", "b", "c", "d"}},
    };
    for (const auto& click : clicks) {
        SCOPED_TRACE(TFiltersEditor::kColumnTitles[static_cast<int>(click.column)]);
        editor.ColumnClick(static_cast<int>(click.column));
        EXPECT_EQ(Descriptions(editor), click.order);
    }
    // The selection follows its rule through a sort, and a refresh keeps the order chosen.
    editor.SelectRow(0);
    editor.ColumnClick(static_cast<int>(C::Description));
    EXPECT_EQ(SelectedDescription(), "a");
    EXPECT_EQ(editor.Selected(), 3);
    editor.Refresh();
    EXPECT_EQ(Descriptions(editor), (std::vector<std::string>{"d", "c", "b", "a"}));
}

TEST_F(FiltersFormTest, AddInTheRejectViewMakesAnInactiveRejectRuleThatTheUserFillsIn) {
    TFiltersEditor& editor = Editor(Global());
    editor.ViewButtonClick(TFiltersView::Reject);
    m_changed = 0;
    editor.FilterAddButtonClick();
    ASSERT_EQ(Global().RuleCount(), 1);
    TZivadFilterItem& rule = *Global().RuleAt(0);
    EXPECT_EQ(rule.Action(), TFilterAction::Reject);
    EXPECT_EQ(rule.Section(), TFilterSection::None);
    EXPECT_FALSE(rule.Active());
    EXPECT_EQ(editor.Selected(), 0);
    EXPECT_TRUE(editor.RowControlsEnabled());
    EXPECT_EQ(editor.Panel().section, 0);
    EXPECT_TRUE(m_changed & TFiltersEditor::kFocusDescription);
    EXPECT_EQ(editor.Footer(), " 1 items");

    // Ticking Active with an empty search string: a rule that hits every message.
    TFiltersEditor::TPanel panel = editor.Panel();
    panel.description = "everything";
    panel.active = true;
    editor.PanelEdited(panel);
    EXPECT_EQ(rule.Description(), "everything");
    EXPECT_TRUE(rule.Active());
    EXPECT_EQ(editor.Rows()[0].description, "everything");
    EXPECT_TRUE(MatchRule(rule, "Home", "From: a@example.org\r\nSubject: hi\r\n\r\nHello.\r\n"));
}

TEST_F(FiltersFormTest, ThePanelWritesAllFourFieldsBackIntoTheSelectedRuleOnly) {
    Fill(Global(), kMixedRules);
    TFiltersEditor& editor = Editor(Global());
    // Without a selection the panel's changes go nowhere.
    editor.PanelEdited({"changed", 7, "x", true});
    EXPECT_EQ(Global().RuleAt(2)->Description(), "alpha");

    editor.SelectRow(1);  // "alpha"
    EXPECT_EQ(editor.Panel().description, "alpha");
    EXPECT_EQ(editor.Panel().section, static_cast<int>(TFilterSection::Subject));
    EXPECT_EQ(editor.Panel().search, "Alpha news");
    EXPECT_FALSE(editor.Panel().active);
    m_changed = 0;
    editor.PanelEdited({"beta", static_cast<int>(TFilterSection::ReceivedIP), "10.1.2.3", true});
    const TZivadFilterItem& rule = *Global().RuleAt(2);
    EXPECT_EQ(rule.Description(), "beta");
    EXPECT_EQ(rule.Section(), TFilterSection::ReceivedIP);
    EXPECT_EQ(rule.SearchText(), "10.1.2.3");
    EXPECT_TRUE(rule.Active());
    EXPECT_EQ(editor.ChangedRow(), 1);
    EXPECT_TRUE(m_changed & TFiltersEditor::kRow);
    EXPECT_EQ(editor.Rows()[1].section, "Received IP");
    // A drop-down with nothing chosen leaves section None.
    editor.PanelEdited({"beta", -1, "10.1.2.3", true});
    EXPECT_EQ(rule.Section(), TFilterSection::None);

    // The check box flips Active and the panel shows it.
    editor.RowCheckClicked(2);  // "zeta", active
    EXPECT_FALSE(Global().RuleAt(0)->Active());
    EXPECT_EQ(editor.Selected(), 2);
    EXPECT_FALSE(editor.Panel().active);
    EXPECT_FALSE(editor.Rows()[2].active);
    editor.RowCheckClicked(2);
    EXPECT_TRUE(Global().RuleAt(0)->Active());
    EXPECT_TRUE(editor.Panel().active);
}

TEST_F(FiltersFormTest, DeleteSelectsTheRowThatTookThePlaceAndNoneAfterTheLastRow) {
    Fill(Global(), {
                       {"a", TFilterAction::Accept, TFilterSection::From, "a", true},
                       {"b", TFilterAction::Accept, TFilterSection::From, "b", true},
                       {"c", TFilterAction::Accept, TFilterSection::From, "c", true},
                       {"r", TFilterAction::Reject, TFilterSection::From, "r", true},
                   });
    TFiltersEditor& editor = Editor(Global());
    editor.FilterDeleteButtonClick();  // nothing selected: nothing happens
    EXPECT_EQ(Global().RuleCount(), 4);

    Global().RuleAt(3)->SetMarked(true);  // left by a merge whose commit was declined
    editor.SelectRow(1);
    editor.FilterDeleteButtonClick();
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"a", "c", "r"}));
    EXPECT_EQ(SelectedDescription(), "c");
    EXPECT_EQ(editor.Footer(), " 2 items");
    editor.FilterDeleteButtonClick();
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"a", "r"}));
    EXPECT_EQ(editor.Selected(), -1);
    EXPECT_FALSE(editor.RowControlsEnabled());
    EXPECT_TRUE(m_user.said.empty()) << "no confirmation";
}

TEST_F(FiltersFormTest, FindSearchesOnFromTheSelectionAndOffersToStartFromTheTop) {
    Fill(Global(), {
                       {"a newsletter", TFilterAction::Accept, TFilterSection::From, "news@example.org", true},
                       {"b friends", TFilterAction::Accept, TFilterSection::From, "ann@example.org", true},
                       {"c club", TFilterAction::Accept, TFilterSection::Subject, "CLUB NEWS", true},
                       {"d other", TFilterAction::Accept, TFilterSection::Subject, "other", true},
                   });
    TFiltersEditor& editor = Editor(Global());
    struct TFind {
        const char* name;
        int selectedBefore;
        std::optional<std::string> text;  // nullopt: the prompt is cancelled
        std::vector<TAnswer> answers;
        std::string selectedAfter;
        bool asked;  // "Not found. Start from top?"
    };
    const TFind finds[] = {
        {"nothing selected: from the first row", -1, "news", {}, "a newsletter", false},
        {"on from the one after the selection", 0, "NEWS", {}, "c club", false},
        {"search string, letter case ignored", 0, "Ann@", {}, "b friends", false},
        {"not found below, No keeps the selection", 2, "friends", {TAnswer::No}, "c club", true},
        {"Yes searches the first row too", 2, "newsletter", {TAnswer::Yes}, "a newsletter", true},
        {"nowhere at all", 1, "absent", {TAnswer::Yes, TAnswer::No}, "b friends", true},
        {"cancelled prompt", 3, std::nullopt, {}, "d other", false},
        {"an empty text is found nowhere", 0, "", {TAnswer::No}, "a newsletter", true},
    };
    for (const auto& find : finds) {
        SCOPED_TRACE(find.name);
        editor.SelectRow(find.selectedBefore);
        m_user.said.clear();
        m_user.texts = {find.text};
        m_user.answers.assign(find.answers.begin(), find.answers.end());
        m_changed = 0;
        editor.FilterFindButtonClick();
        EXPECT_EQ(SelectedDescription(), find.selectedAfter);
        ASSERT_FALSE(m_user.said.empty());
        EXPECT_EQ(m_user.said[0], "Find Filter/Search");
        const bool asked = m_user.said.size() > 1 && m_user.said[1] == "Not found. Start from top? [Yes/No]";
        EXPECT_EQ(asked, find.asked);
        EXPECT_TRUE(m_user.answers.empty()) << "every answer was asked for";
        if (find.text) {
            EXPECT_EQ(editor.FindText(), *find.text);
        }
    }
    // The prompt offers the last search text.
    m_user.texts = {std::nullopt};
    editor.FilterFindButtonClick();
    EXPECT_EQ(m_user.prefills.back(), "");
    m_user.texts = {"club", std::nullopt};
    editor.FilterFindButtonClick();
    editor.FilterFindButtonClick();
    EXPECT_EQ(m_user.prefills.back(), "club");
}

TEST_F(FiltersFormTest, ImportReportsTheCountSavesAtOnceAndRefreshesOnlyWhenRulesCameIn) {
    Fill(Global(), {{"known", TFilterAction::Accept, TFilterSection::From, "known@example.org", true}});
    const std::string file = HomeFolder() + "import.txt";
    TFiltersEditor& editor = Editor(Global());
    editor.SelectRow(0);

    m_user.openFile = std::nullopt;  // the chooser is cancelled
    editor.FilterImportButtonClick();
    ASSERT_EQ(m_user.choices.size(), 1u);
    EXPECT_EQ(m_user.choices[0].title, "Import Filters");
    EXPECT_TRUE(m_user.choices[0].mustExist);
    EXPECT_TRUE(m_user.said.empty());

    WriteFile(file, "\"other\",\"Accept\",\"From\",\"known@example.org\",\"1\"\r\n");
    m_user.openFile = file;
    editor.FilterImportButtonClick();
    EXPECT_EQ(m_user.said.back(), "0 filters were imported.");
    EXPECT_EQ(editor.Selected(), 0) << "no refresh";

    WriteFile(file, "\"new one\",\"Accept\",\"Body\",\"hello\",\"1\"\r\n"
                    "\"new reject\",\"Reject\",\"Body\",\"buy\",\"0\"\r\n"
                    "stray text\r\n"
                    "\"known\",\"Accept\",\"From\",\"KNOWN@example.org\",\"1\"\r\n");
    editor.FilterImportButtonClick();
    EXPECT_EQ(m_user.said.back(), "3 filters were imported.");
    EXPECT_EQ(editor.Selected(), -1) << "refreshed";
    EXPECT_EQ(Descriptions(editor), (std::vector<std::string>{"known", "known", "new one"}));
    EXPECT_NE(ReadFile(Global().FileName()).find("\"new reject\",\"Reject\",\"Body\",\"buy\",\"0\"\r\n"),
              std::string::npos);

    m_user.openFile = HomeFolder() + "missing.txt";
    editor.FilterImportButtonClick();
    EXPECT_EQ(m_user.said.back().rfind("error: ", 0), 0u) << m_user.said.back();
}

TEST_F(FiltersFormTest, ExportProposesTheCommandsFileNameAndWritesItsRulesWhateverTheView) {
    Fill(Global(), {
                       {"acc", TFilterAction::Accept, TFilterSection::From, "a@example.org", true},
                       {"rej", TFilterAction::Reject, TFilterSection::Body, "buy", false},
                   });
    TFiltersEditor& editor = Editor(Global());
    using E = TFiltersEditor::TExportCommand;
    const std::string acc = "\"acc\",\"Accept\",\"From\",\"a@example.org\",\"1\"\r\n";
    const std::string rej = "\"rej\",\"Reject\",\"Body\",\"buy\",\"0\"\r\n";
    struct TExport {
        E command;
        const char* fileName;
        std::string text;
    };
    const TExport exports[] = {
        {E::Button, "filters_all.txt", acc + rej},
        {E::All, "filters_all.txt", acc + rej},
        {E::None, "filters_none.txt", ""},  // every rule is Accept or Reject: an empty file
        {E::Accept, "filters_accept.txt", acc},
        {E::Reject, "filters_reject.txt", rej},
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.fileName);
        m_user.choices.clear();
        const std::string out = HomeFolder() + "out-" + std::to_string(static_cast<int>(e.command)) + ".txt";
        m_user.saveFile = out;
        editor.ExportFilterClick(e.command);
        ASSERT_EQ(m_user.choices.size(), 1u);
        EXPECT_EQ(m_user.choices[0].title, "Export Filters");
        EXPECT_EQ(m_user.choices[0].fileName, e.fileName);
        EXPECT_EQ(m_user.choices[0].folder, HomeFolder());
        EXPECT_TRUE(m_user.choices[0].overwritePrompt);
        ASSERT_TRUE(FileExists(out));
        EXPECT_EQ(ReadFile(out), e.text);
    }
    m_user.saveFile = std::nullopt;
    editor.ExportFilterClick(E::Reject);
    EXPECT_TRUE(m_user.said.empty());
}

TEST_F(FiltersFormTest, MergeOfReceivedIpRulesFollowsTheLevel) {
    struct TCase {
        int level;
        std::vector<std::string> questions;
        std::vector<std::string> after;
    };
    const TCase cases[] = {
        {3, {"Merge:\r\n\r\n192.168.1.9 and\r\n192.168.1.5 to\r\n192.168.1.* [Yes/No/Cancel]"}, {"192.1.1.1", "192.168.1.*"}},
        {4, {}, {"192.168.1.5", "192.1.1.1", "192.168.1.9"}},
        {2, {"Merge:\r\n\r\n192.168.1.9 and\r\n192.168.1.5 to\r\n192.168.1.* [Yes/No/Cancel]"}, {"192.1.1.1", "192.168.1.*"}},
        {1, {"Merge:\r\n\r\n192.168.1.9 and\r\n192.1.1.1 to\r\n192.* [Yes/No/Cancel]",
             "Merge:\r\n\r\n192.168.1.9 and\r\n192.168.1.5 to\r\n192.168.1.* [Yes/No/Cancel]",
             "Merge:\r\n\r\n192.1.1.1 and\r\n192.168.1.* to\r\n192.* [Yes/No/Cancel]"},
         {"192.1.1.1", "192.168.1.*"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        TZivadFilters& list = Global();
        while (list.RuleCount() > 0) {
            list.MarkRule(0);
            list.PurgeMarked();
        }
        // The first one stands in a Received rule: the merge makes it a Received IP rule.
        Fill(list, {
                       {"one", TFilterAction::Reject, TFilterSection::Received, "192.168.1.5", true},
                       {"far", TFilterAction::Reject, TFilterSection::ReceivedIP, "192.1.1.1", true},
                       {"two", TFilterAction::Reject, TFilterSection::ReceivedIP, "192.168.1.9", true},
                       {"accepted", TFilterAction::Accept, TFilterSection::ReceivedIP, "192.168.1.7", true},
                   });
        TFiltersEditor& editor = Editor(list);
        list.RuleAt(0)->SetHitCount(4);
        list.RuleAt(2)->SetHitCount(3);
        m_user.said.clear();
        m_user.mergeLevel = c.level;
        // No to the questions that do not merge the two neighbours.
        for (const auto& question : c.questions)
            m_user.answers.push_back(question.find(" to\r\n192.168.1.*") != std::string::npos ? TAnswer::Yes
                                                                                              : TAnswer::No);
        editor.MergeFiltersButtonClick();
        std::vector<std::string> asked(m_user.said.begin() + 1, m_user.said.end());
        EXPECT_EQ(asked, c.questions);
        std::vector<std::string> after = Searches(list);
        after.pop_back();  // the Accept rule is never merged with the Reject ones
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(list.RuleAt(0)->Section(), TFilterSection::ReceivedIP);
        EXPECT_EQ(m_user.busyDepth, 0);
    }
}

TEST_F(FiltersFormTest, MergeOfTextRulesKeepsTheShorterAndAddsTheHits) {
    Fill(Global(), {
                       {"xyz", TFilterAction::Reject, TFilterSection::Body, "xyz", true},
                       {"xyz abc", TFilterAction::Reject, TFilterSection::Body, "XYZ abc", true},
                       {"cheap", TFilterAction::Reject, TFilterSection::Body, "cheap", true},
                       {"cheap pills", TFilterAction::Reject, TFilterSection::Body, "cheap pills", true},
                       {"subject", TFilterAction::Reject, TFilterSection::Subject, "cheap pills", true},
                   });
    TFiltersEditor& editor = Editor(Global());
    Global().RuleAt(2)->SetHitCount(2);
    Global().RuleAt(3)->SetHitCount(3);
    m_user.mergeLevel = 3;
    // cheap / cheap pills: Yes; xyz / XYZ abc: Cancel; "Commit changes?": No.
    m_user.answers = {TAnswer::Yes, TAnswer::Cancel, TAnswer::No};
    editor.MergeFiltersButtonClick();
    EXPECT_EQ(m_user.said, (std::vector<std::string>{"merge level",
                                                     "Merge:\r\n\r\ncheap and\r\ncheap pills [Yes/No/Cancel]",
                                                     "Merge:\r\n\r\nxyz and\r\nXYZ abc [Yes/No/Cancel]",
                                                     "Commit changes? [Yes/No]"}));
    // Declined: nothing is removed, but the kept rule keeps its new count and the mark stays.
    ASSERT_EQ(Global().RuleCount(), 5);
    EXPECT_EQ(Global().RuleAt(2)->HitCount(), 5);
    EXPECT_TRUE(Global().RuleAt(3)->Marked());

    // Committed after a Cancel: the marked rules go.
    Global().ClearMarks();
    m_user.said.clear();
    m_user.answers = {TAnswer::Yes, TAnswer::Cancel, TAnswer::Yes};
    editor.MergeFiltersButtonClick();
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"xyz", "XYZ abc", "cheap", "cheap pills"}));
    EXPECT_EQ(Descriptions(editor), (std::vector<std::string>{}));  // the Accept view
    editor.ViewButtonClick(TFiltersView::Reject);
    EXPECT_EQ(editor.Footer(), " 4 items");

    // A cancelled level dialog does nothing at all.
    m_user.said.clear();
    m_user.mergeLevel = std::nullopt;
    editor.MergeFiltersButtonClick();
    EXPECT_EQ(m_user.said, (std::vector<std::string>{"merge level"}));
}

TEST_F(FiltersFormTest, SubIpCutsAReceivedIpAddressToItsFirstTwoOctets) {
    struct TCase {
        TFilterSection section;
        const char* search;
        const char* after;
    };
    const TCase cases[] = {
        {TFilterSection::ReceivedIP, "10.20.30.40", "10.20.*"},
        {TFilterSection::ReceivedIP, "10.20.30.*", "10.20.30.*"},  // no address: left alone
        {TFilterSection::ReceivedIP, "mail.example.org", "mail.example.org"},
        {TFilterSection::Received, "10.20.30.40", "10.20.30.40"},  // other sections: left alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.search);
        TZivadFilters& list = Account(std::string("acct") + std::to_string(&c - cases)).Filters();
        Fill(list, {{c.search, TFilterAction::Reject, c.section, c.search, true}});
        TFiltersEditor& editor = Editor(list);
        editor.SubIpButtonClick();  // nothing selected
        EXPECT_EQ(list.RuleAt(0)->SearchText(), c.search);
        editor.ViewButtonClick(TFiltersView::Reject);
        editor.SelectRow(0);
        editor.SubIpButtonClick();
        EXPECT_EQ(list.RuleAt(0)->SearchText(), c.after);
        EXPECT_EQ(list.RuleAt(0)->Description(), c.after);
        EXPECT_EQ(editor.Rows()[0].search, c.after);
        EXPECT_EQ(editor.Panel().search, c.after);
    }
}

TEST_F(FiltersFormTest, IpLookupShowsWhatIsKnownAndUnknown) {
    Fill(Global(), {{"host", TFilterAction::Accept, TFilterSection::From, "mail.example.org", true}});
    TFiltersEditor& editor = Editor(Global());
    editor.FilterTldButtonClick();
    EXPECT_TRUE(m_user.said.empty()) << "nothing selected";
    editor.SelectRow(0);
    editor.FilterTldButtonClick();
    ASSERT_EQ(m_user.said.size(), 1u);
    EXPECT_EQ(m_user.said[0],
              "IP Information\r\n\r\nTop Level Domain: \r\nLocation: Unknown\r\nHost: Unknown\r\nName Server: Unknown");
    EXPECT_EQ(m_user.busyDepth, 0);
}

TEST_F(FiltersFormTest, MoveTakesTheRuleToTheTargetListWhetherOrNotItHadIt) {
    TZivadAccount& home = Account("Home");
    TZivadAccount& work = Account("Work");
    Fill(Global(), {
                       {"a", TFilterAction::Reject, TFilterSection::From, "a@example.org", false},
                       {"b", TFilterAction::Reject, TFilterSection::Subject, "b", true},
                       {"c", TFilterAction::Reject, TFilterSection::Body, "c", true},
                   });
    Fill(home.Filters(), {{"known", TFilterAction::Reject, TFilterSection::Subject, "B", true}});
    TFiltersEditor& editor = Editor(Global());
    editor.ViewButtonClick(TFiltersView::Reject);
    EXPECT_EQ(MenuCaptions(editor), (std::vector<std::string>{"Home", "Work"}));

    editor.FilterMoveMenuClick(1);  // nothing selected: the target is only ticked
    EXPECT_TRUE(editor.MoveMenu()[1].checked);
    EXPECT_EQ(Global().RuleCount(), 3);

    editor.SelectRow(0);
    editor.FilterMoveMenuClick(1);  // "a" to Work
    EXPECT_FALSE(editor.MoveMenu()[0].checked);
    ASSERT_EQ(work.Filters().RuleCount(), 1);
    const TZivadFilterItem& moved = *work.Filters().RuleAt(0);
    EXPECT_EQ(moved.Description(), "a@example.org");
    EXPECT_TRUE(moved.Active());
    EXPECT_EQ(moved.Section(), TFilterSection::From);
    EXPECT_EQ(moved.Action(), TFilterAction::Reject);
    EXPECT_NE(ReadFile(work.Filters().FileName()).find("a@example.org"), std::string::npos) << "saved at once";
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(SelectedDescription(), "b");

    editor.FilterMoveMenuClick(0);  // "b" to Home, which has it already (other letter case)
    EXPECT_EQ(home.Filters().RuleCount(), 1);
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"c"}));
    EXPECT_EQ(SelectedDescription(), "c");

    editor.FilterMoveButtonClick();  // again to the ticked target, Home
    EXPECT_EQ(Global().RuleCount(), 0);
    EXPECT_EQ(Searches(home.Filters()), (std::vector<std::string>{"B", "c"}));
    EXPECT_EQ(editor.Selected(), -1);
}

TEST_F(FiltersFormTest, AnAccountsRuleMovesToGlobalButNotOntoItsOwnList) {
    TZivadAccount& home = Account("Home");
    Fill(home.Filters(), {
                             {"x", TFilterAction::Accept, TFilterSection::From, "x@example.org", true},
                             {"y", TFilterAction::Accept, TFilterSection::From, "y@example.org", true},
                         });
    TFiltersEditor& editor = Editor(home.Filters());
    editor.SetAccountName("Home");
    editor.FormShow();
    EXPECT_EQ(editor.Caption(), "Filters [Home]");
    EXPECT_EQ(MenuCaptions(editor), (std::vector<std::string>{"Home", "-", "Global"}));
    editor.SelectRow(0);
    editor.FilterMoveMenuClick(0);  // its own list: nothing happens
    EXPECT_EQ(home.Filters().RuleCount(), 2);
    EXPECT_EQ(SelectedDescription(), "x");
    editor.FilterMoveMenuClick(1);  // the separator
    EXPECT_TRUE(editor.MoveMenu()[0].checked);
    editor.FilterMoveMenuClick(2);  // "Global"
    EXPECT_EQ(Searches(Global()), (std::vector<std::string>{"x@example.org"}));
    EXPECT_EQ(Searches(home.Filters()), (std::vector<std::string>{"y@example.org"}));
    EXPECT_TRUE(FileExists(Global().FileName()));
}

TEST_F(FiltersFormTest, TheMainWindowSavesTheRulesAfterOkAndRestoresThemOtherwise) {
    Fill(Global(), {{"kept", TFilterAction::Accept, TFilterSection::From, "kept@example.org", true}});
    Global().SaveRules();
    const std::string saved = ReadFile(Global().FileName());
    TMainForm form(Engine());
    struct TClose {
        bool ok;
        std::vector<std::string> after;
    };
    for (const TClose& close : {TClose{false, {"kept@example.org"}}, TClose{true, {"new"}}}) {
        SCOPED_TRACE(close.ok ? "OK" : "Cancel");
        form.FilterButtonClick();
        TFiltersEditor& editor = Editor(form.GlobalRules());
        editor.FilterAddButtonClick();
        editor.PanelEdited({"new", static_cast<int>(TFilterSection::Body), "new", true});
        editor.SelectRow(0);
        editor.FilterDeleteButtonClick();  // "kept"
        m_editor.reset();
        form.FilterEditorClosed(close.ok);
        EXPECT_EQ(Searches(Global()), close.after);
        if (!close.ok) {
            EXPECT_EQ(ReadFile(Global().FileName()), saved);
        }
    }
    EXPECT_NE(ReadFile(Global().FileName()), saved);
    EXPECT_NE(ReadFile(Global().FileName()).find("\"new\",\"Accept\",\"Body\",\"new\",\"1\""), std::string::npos);
}

TEST(MergeLevel, TheSampleFollowsTheLevelWithinOneToFour) {
    TMergeLevel level;
    EXPECT_EQ(level.Value(), 3);
    EXPECT_EQ(level.Sample(), "192.168.1.*");
    const std::pair<int, const char*> cases[] = {
        {1, "192.*.*.*"}, {2, "192.168.*.*"}, {4, "192.168.1.2"}, {0, "192.*.*.*"}, {9, "192.168.1.2"}};
    for (const auto& [value, sample] : cases) {
        level.SpinEdit1Change(value);
        EXPECT_EQ(level.Sample(), sample) << value;
    }
}

TEST(FiltersHelp, TheRulesPageIsFoundBesideTheManual) {
    // As a program two folders below the source tree finds it.
    const std::string programDir = std::string(TEST_DATA_DIR) + "/";
    const std::string path = TMainForm::FindHelpFile(programDir, TFiltersEditor::kHelpFile);
    ASSERT_FALSE(path.empty());
    const std::string page = ReadFile(path);
    for (const char* section : {"From", "Reply To", "Header Present", "Present In Any Header", "Received IP",
                                "Attachment", "filters-editor.png"})
        EXPECT_NE(page.find(section), std::string::npos) << section;
}

}  // namespace
}  // namespace vorla::test
