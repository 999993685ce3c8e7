#include "ui/FiltersForm.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ReverseDns.h"
#include "filters/ZivadFilters.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"
#include "ui/MainForm.h"

namespace vorla {
namespace {

constexpr const char* kGlobalTarget = "Global";
constexpr const char* kSeparator = "-";

// "Contains" as the editor means it: letter case ignored, and an empty text is found nowhere.
bool Contains(const std::string& text, const std::string& part) {
    return !part.empty() && ContainsNoCase(text, part);
}

TFilterAction ViewAction(TFiltersView view) {
    return view == TFiltersView::Accept ? TFilterAction::Accept : TFilterAction::Reject;
}

}  // namespace

const std::array<const char*, TFiltersEditor::kColumnCount> TFiltersEditor::kColumnTitles{
    "Description", "Section", "Search", "Count", "Last Used"};
const std::array<int, TFiltersEditor::kColumnCount> TFiltersEditor::kColumnWidths{150, 70, 160, 60, 100};

class TFiltersEditor::TBusy {
public:
    explicit TBusy(TFiltersUser& user) : m_user(user) { m_user.Busy(true); }
    ~TBusy() { m_user.Busy(false); }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

private:
    TFiltersUser& m_user;
};

TFiltersEditor::TFiltersEditor(TZivad& engine, TFiltersUser& user) : m_engine(engine), m_user(user) {}

void TFiltersEditor::Changed(unsigned parts) {
    if (OnChanged) OnChanged(parts);
}

void TFiltersEditor::Bind(TZivadFilters& list) {
    m_list = &list;
    Refresh();
}

void TFiltersEditor::SetAccountName(const std::string& name) {
    m_accountName = name;
    m_caption = name.empty() ? "Filters" : "Filters [" + name + "]";
    Changed(kCaption);
}

std::vector<std::string> TFiltersEditor::SectionNames() {
    return {kFilterSectionNames.begin(), kFilterSectionNames.end()};
}

void TFiltersEditor::FormShow() {
    m_moveMenu.clear();
    m_moveTargets.clear();
    for (const TAccountPtr& account : m_engine.Accounts().Snapshot()) {
        m_moveMenu.push_back({account->Name(), false});
        m_moveTargets.push_back({account->FolderName()});
    }
    if (!m_accountName.empty()) {
        m_moveMenu.push_back({kSeparator, false});
        m_moveTargets.push_back({});
        m_moveMenu.push_back({kGlobalTarget, false});
        m_moveTargets.push_back({});
    }
    Changed(kMoveMenu | kEnabled);
}

void TFiltersEditor::ViewButtonClick(TFiltersView view) {
    m_view = view;
    Refresh();
}

TFiltersEditor::TRow TFiltersEditor::MakeRow(TZivadFilterItem& rule) const {
    return {&rule,
            rule.Description(),
            std::string(FilterSectionName(rule.Section())),
            rule.SearchText(),
            std::to_string(rule.HitCount()),
            rule.LastUsed(),
            rule.Active()};
}

void TFiltersEditor::ClearPanel() { m_panel = TPanel{}; }

void TFiltersEditor::Refresh() {
    m_panelLocked = true;
    ClearPanel();
    m_selected = -1;
    m_rows.clear();
    if (m_list) {
        TBusy busy(m_user);
        try {
            m_list->RecountFromLog();
        } catch (const std::exception& e) {
            // The counts stay at zero; the rules are still worth editing.
            m_user.ShowError(e.what());
        }
        const TFilterAction shown = ViewAction(m_view);
        std::scoped_lock lock(m_list->Mutex());
        for (int i = 0; i < m_list->RuleCount(); ++i) {
            TZivadFilterItem* rule = m_list->RuleAt(i);
            if (rule->Action() == shown) m_rows.push_back(MakeRow(*rule));
        }
    }
    SortRows();
    m_panelLocked = false;
    Changed(kRows | kPanel | kEnabled);
}

void TFiltersEditor::SortRows() {
    // Until a column is clicked the rows stand in the order of their descriptions; afterwards
    // in the order of the column clicked last, so a refresh keeps the order the user chose.
    const int column = m_sortColumn < 0 ? static_cast<int>(TColumn::Description) : m_sortColumn;
    const int direction = m_sortColumn < 0 ? 1 : m_columnDirection[column];
    auto less = [column](const TRow& a, const TRow& b) {
        switch (static_cast<TColumn>(column)) {
        case TColumn::Description: return a.description < b.description;
        case TColumn::Section: return a.rule->Section() < b.rule->Section();
        case TColumn::Search: return a.search < b.search;
        case TColumn::Count: return a.rule->HitCount() < b.rule->HitCount();
        case TColumn::LastUsed: return a.lastUsed < b.lastUsed;
        }
        return false;
    };
    const TZivadFilterItem* selected = m_selected >= 0 ? m_rows[m_selected].rule : nullptr;
    std::unique_lock<std::recursive_mutex> lock;
    if (m_list) lock = std::unique_lock(m_list->Mutex());
    if (direction >= 0)
        std::stable_sort(m_rows.begin(), m_rows.end(), less);
    else
        std::stable_sort(m_rows.begin(), m_rows.end(), [&](const TRow& a, const TRow& b) { return less(b, a); });
    if (selected) {
        for (int i = 0; i < static_cast<int>(m_rows.size()); ++i)
            if (m_rows[i].rule == selected) m_selected = i;
    }
}

void TFiltersEditor::ColumnClick(int column) {
    if (column < 0 || column >= kColumnCount || !m_list) return;
    m_columnDirection[column] = m_columnDirection[column] > 0 ? -1 : 1;
    m_sortColumn = column;
    SortRows();
    Changed(kRows);
}

std::string TFiltersEditor::Footer() const { return " " + std::to_string(m_rows.size()) + " items"; }

void TFiltersEditor::FillPanel() {
    m_panelLocked = true;
    ClearPanel();
    if (m_selected >= 0) {
        std::scoped_lock lock(m_list->Mutex());
        const TZivadFilterItem& rule = *m_rows[m_selected].rule;
        m_panel.description = rule.Description();
        m_panel.section = static_cast<int>(rule.Section());
        m_panel.search = rule.SearchText();
        m_panel.active = rule.Active();
    }
    m_panelLocked = false;
}

void TFiltersEditor::SelectRow(int row) {
    m_selected = row >= 0 && row < static_cast<int>(m_rows.size()) ? row : -1;
    FillPanel();
    Changed(kSelection | kPanel | kEnabled);
}

void TFiltersEditor::RefillRow(int row) {
    {
        std::scoped_lock lock(m_list->Mutex());
        m_rows[row] = MakeRow(*m_rows[row].rule);
    }
    m_changedRow = row;
    Changed(kRow);
}

void TFiltersEditor::PanelEdited(const TPanel& panel) {
    if (m_panelLocked || m_selected < 0) return;
    m_panel = panel;
    {
        std::scoped_lock lock(m_list->Mutex());
        TZivadFilterItem& rule = *m_rows[m_selected].rule;
        rule.SetDescription(panel.description);
        // A drop-down with nothing chosen has no section to give: the rule keeps None.
        rule.SetSection(panel.section >= 0 && panel.section < kFilterSectionCount
                            ? static_cast<TFilterSection>(panel.section)
                            : TFilterSection::None);
        rule.SetSearchText(panel.search);
        rule.SetActive(panel.active);
    }
    RefillRow(m_selected);
}

void TFiltersEditor::RowCheckClicked(int row) {
    if (row < 0 || row >= static_cast<int>(m_rows.size())) return;
    {
        std::scoped_lock lock(m_list->Mutex());
        TZivadFilterItem& rule = *m_rows[row].rule;
        rule.SetActive(!rule.Active());
    }
    RefillRow(row);
    SelectRow(-1);
    SelectRow(row);
}

void TFiltersEditor::FilterAddButtonClick() {
    if (!m_list) return;
    {
        std::scoped_lock lock(m_list->Mutex());
        TZivadFilterItem& rule = m_list->AddRule();
        rule.SetAction(ViewAction(m_view));
        m_rows.push_back(MakeRow(rule));
    }
    Changed(kRows);
    SelectRow(static_cast<int>(m_rows.size()) - 1);
    Changed(kFocusDescription);
}

void TFiltersEditor::SelectAfterRemoval(int row) {
    SelectRow(row < static_cast<int>(m_rows.size()) ? row : -1);
}

void TFiltersEditor::FilterDeleteButtonClick() {
    if (m_selected < 0) return;
    const int position = m_selected;
    {
        std::scoped_lock lock(m_list->Mutex());
        m_list->ClearMarks();
        m_list->MarkRule(m_list->IndexOfRule(m_rows[position].rule));
        m_rows.erase(m_rows.begin() + position);
        m_selected = -1;
        m_list->PurgeMarked();
    }
    Refresh();
    SelectAfterRemoval(position);
}

void TFiltersEditor::FilterFindButtonClick() {
    const auto text = m_user.AskText("Find Filter", "Search", m_findText);
    if (!text) return;
    m_findText = *text;
    int from = m_selected + 1;
    for (;;) {
        for (int i = from; i < static_cast<int>(m_rows.size()); ++i) {
            if (Contains(m_rows[i].description, m_findText) || Contains(m_rows[i].search, m_findText)) {
                SelectRow(i);
                Changed(kFocusList);
                return;
            }
        }
        if (m_user.Confirm("Not found. Start from top?", false) != TFiltersUser::TAnswer::Yes) return;
        from = 0;
    }
}

void TFiltersEditor::FilterImportButtonClick() {
    if (!m_list) return;
    TFileChoice choice;
    choice.title = "Import Filters";
    choice.folder = HomeFolder();
    choice.mustExist = true;
    const auto fileName = m_user.ChooseOpenFile(choice);
    if (!fileName) return;
    int count = 0;
    try {
        const std::string text = ReadFileBytes(*fileName);
        TBusy busy(m_user);
        count = m_list->ImportRules(text);
    } catch (const std::exception& e) {
        m_user.ShowError(e.what());
        // What was added before the failure stays in the list: show it.
        Refresh();
        return;
    }
    m_user.Inform(std::to_string(count) + " filters were imported.");
    if (count > 0) Refresh();
}

void TFiltersEditor::ExportFilterClick(TExportCommand command) {
    if (!m_list) return;
    struct TExport {
        const char* fileName;
        int actionFilter;
    };
    TExport what{"filters_all.txt", kAllFilterActions};
    switch (command) {
    case TExportCommand::Button:
    case TExportCommand::All: break;
    case TExportCommand::None: what = {"filters_none.txt", static_cast<int>(TFilterAction::None)}; break;
    case TExportCommand::Accept: what = {"filters_accept.txt", static_cast<int>(TFilterAction::Accept)}; break;
    case TExportCommand::Reject: what = {"filters_reject.txt", static_cast<int>(TFilterAction::Reject)}; break;
    }
    TFileChoice choice;
    choice.title = "Export Filters";
    choice.folder = HomeFolder();
    choice.fileName = what.fileName;
    choice.overwritePrompt = true;
    const auto fileName = m_user.ChooseSaveFile(choice);
    if (!fileName) return;
    try {
        WriteFileAtomic(*fileName, m_list->RulesText(what.actionFilter));
    } catch (const std::exception& e) {
        m_user.ShowError(e.what());
    }
}

void TFiltersEditor::MergeFiltersButtonClick() {
    if (!m_list) return;
    const auto level = m_user.AskMergeLevel();
    if (!level) return;
    using TAnswer = TFiltersUser::TAnswer;
    std::optional<TAnswer> last;
    m_user.Busy(true);
    // The questions are modal: the list's lock is held only between them. Rules are never
    // removed but by this thread, so the indices stay valid; rules the fetch thread appends
    // meanwhile are left for the next merge.
    int count = 0;
    {
        std::scoped_lock lock(m_list->Mutex());
        count = m_list->RuleCount();
        for (int i = 0; i < count; ++i) {
            TZivadFilterItem& rule = *m_list->RuleAt(i);
            std::string text = rule.SearchText();
            if (rule.Section() == TFilterSection::Received && NormalizeIPPattern(text))
                rule.SetSection(TFilterSection::ReceivedIP);
        }
    }
    auto ask = [&](const std::string& question) {
        m_user.Busy(false);
        last = m_user.Confirm(question, true);
        m_user.Busy(true);
        return *last;
    };
    for (int i = count - 1; i >= 0 && last != TAnswer::Cancel; --i) {
        for (int j = count - 1; j >= 0; --j) {
            std::string a, b;
            TFilterSection section;
            {
                std::scoped_lock lock(m_list->Mutex());
                const TZivadFilterItem& ri = *m_list->RuleAt(i);
                const TZivadFilterItem& rj = *m_list->RuleAt(j);
                if (j == i || ri.Marked() || rj.Marked() || ri.Action() != rj.Action() || ri.Section() != rj.Section())
                    continue;
                a = ri.SearchText();
                b = rj.SearchText();
                section = ri.Section();
            }
            if (section == TFilterSection::ReceivedIP) {
                const TIPComparison ip = CompareIPPatterns(a, b);
                if (!ip.compatible && ip.depth < *level) continue;
                const TAnswer answer = ask("Merge:\r\n\r\n" + a + " and\r\n" + b + " to\r\n" + ip.common);
                if (answer == TAnswer::Cancel) break;
                if (answer != TAnswer::Yes) continue;
                std::scoped_lock lock(m_list->Mutex());
                TZivadFilterItem& ri = *m_list->RuleAt(i);
                TZivadFilterItem& rj = *m_list->RuleAt(j);
                ri.SetSearchText(ip.common);
                ri.SetDescription(ip.common);
                ri.SetHitCount(ri.HitCount() + rj.HitCount());
                m_list->MarkRule(j);
            } else {
                if (!Contains(b, a)) continue;
                const TAnswer answer = ask("Merge:\r\n\r\n" + a + " and\r\n" + b);
                if (answer == TAnswer::Cancel) break;
                if (answer != TAnswer::Yes) continue;
                std::scoped_lock lock(m_list->Mutex());
                const bool keepI = a.size() <= b.size();
                TZivadFilterItem& kept = *m_list->RuleAt(keepI ? i : j);
                const int gone = keepI ? j : i;
                kept.SetHitCount(kept.HitCount() + m_list->RuleAt(gone)->HitCount());
                m_list->MarkRule(gone);
            }
        }
    }
    if (last == TAnswer::Cancel) {
        m_user.Busy(false);
        if (m_user.Confirm("Commit changes?", false) == TAnswer::Yes) last.reset();
        m_user.Busy(true);
    }
    if (last != TAnswer::Cancel && m_list->PurgeMarked()) Refresh();
    m_user.Busy(false);
}

void TFiltersEditor::FilterTldButtonClick() {
    if (m_selected < 0) return;
    std::string address;
    {
        std::scoped_lock lock(m_list->Mutex());
        address = m_rows[m_selected].rule->SearchText();
    }
    TIpInformation info;
    {
        TBusy busy(m_user);
        // The list's own DNS settings: those of the engine on the global list, the defaults
        // on an account list.
        const TFilterSettings settings = m_list->Settings();
        TReverseDns lookup;
        lookup.SetServer(settings.dnsHost, settings.dnsTimeout);
        info = lookup.IpInformation(address, m_list->TldTable());
    }
    m_user.Inform("IP Information\r\n\r\nTop Level Domain: " + info.tld + "\r\nLocation: " + info.location +
                  "\r\nHost: " + info.host + "\r\nName Server: " + info.nameServer);
}

void TFiltersEditor::SubIpButtonClick() {
    if (m_selected < 0) return;
    {
        std::scoped_lock lock(m_list->Mutex());
        TZivadFilterItem& rule = *m_rows[m_selected].rule;
        if (rule.Section() != TFilterSection::ReceivedIP || !IsIPAddress(rule.SearchText()).isAddress) return;
        const TIPPattern ip = ParseIPPattern(rule.SearchText());
        const std::string pattern = std::to_string(ip.octets[0]) + "." + std::to_string(ip.octets[1]) + ".*";
        const TIPComparison common = CompareIPPatterns(pattern, pattern);
        if (common.depth <= 1) return;
        rule.SetSearchText(common.common);
        rule.SetDescription(common.common);
    }
    RefillRow(m_selected);
    FillPanel();
    Changed(kPanel);
}

TZivadFilters* TFiltersEditor::MoveTargetList(int item) {
    if (m_moveMenu[item].caption == kGlobalTarget && m_moveTargets[item].folderName.empty())
        return &m_engine.Filters();
    const TAccountPtr account = m_engine.Accounts().FindByFolder(m_moveTargets[item].folderName);
    return account ? &account->Filters() : nullptr;
}

void TFiltersEditor::MoveSelectedTo(int item) {
    if (m_selected < 0) return;
    TZivadFilters* target = MoveTargetList(item);
    // Moving a rule onto the list it is in would only lose it: nothing happens.
    if (!target || target == m_list) return;
    std::string text;
    TFilterAction action;
    TFilterSection section;
    TZivadFilterItem* rule = m_rows[m_selected].rule;
    {
        std::scoped_lock lock(m_list->Mutex());
        text = rule->SearchText();
        action = rule->Action();
        section = rule->Section();
    }
    const int position = m_selected;
    try {
        TBusy busy(m_user);
        target->AddRuleIfAbsent(text, action, section);
    } catch (const std::exception& e) {
        // The rule is in the target's memory and goes with its next save.
        m_user.ShowError(e.what());
    }
    {
        std::scoped_lock lock(m_list->Mutex());
        m_list->MarkRule(m_list->IndexOfRule(rule));
        m_rows.erase(m_rows.begin() + position);
        m_selected = -1;
        m_list->PurgeMarked();
    }
    Refresh();
    SelectAfterRemoval(position);
}

void TFiltersEditor::FilterMoveMenuClick(int item) {
    if (item < 0 || item >= static_cast<int>(m_moveMenu.size()) || m_moveMenu[item].caption == kSeparator) return;
    for (int i = 0; i < static_cast<int>(m_moveMenu.size()); ++i) m_moveMenu[i].checked = i == item;
    Changed(kMoveMenu);
    MoveSelectedTo(item);
}

void TFiltersEditor::FilterMoveButtonClick() {
    for (int i = 0; i < static_cast<int>(m_moveMenu.size()); ++i)
        if (m_moveMenu[i].checked) MoveSelectedTo(i);
}

std::string TFiltersEditor::ToolButton1Click(const std::string& programDir) {
    std::string path = TMainForm::FindHelpFile(programDir, kHelpFile);
    if (path.empty()) m_user.Inform(std::string("The help file ") + kHelpFile + " was not found");
    return path;
}

void TMergeLevel::SpinEdit1Change(int value) { m_value = std::clamp(value, kMinimum, kMaximum); }

std::string TMergeLevel::Sample() const {
    switch (m_value) {
    case 1: return "192.*.*.*";
    case 2: return "192.168.*.*";
    case 3: return "192.168.1.*";
    default: return "192.168.1.2";
    }
}

}  // namespace vorla
