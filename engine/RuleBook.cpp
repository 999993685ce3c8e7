#include "engine/RuleBook.h"

#include <mutex>

#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "filters/ZivadFilters.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"

namespace vorla {

std::optional<TRuleExport> ParseRuleExport(const std::string& word) {
    if (word == "none") return TRuleExport::None;
    if (word == "accept") return TRuleExport::Accept;
    if (word == "reject") return TRuleExport::Reject;
    if (word == "all") return TRuleExport::All;
    return std::nullopt;
}

std::unique_ptr<TRuleBook> TRuleBook::Global() {
    const std::string program = ProgramFilePath();
    auto filters = std::make_unique<TZivadFilters>(ReplaceExtension(program, ".exe", ".fil"));
    filters->LoadSettings(TIniFile(ReplaceExtension(program, ".exe", ".ini")));
    return std::unique_ptr<TRuleBook>(new TRuleBook(std::move(filters)));
}

TRuleBook::TRuleBook(std::unique_ptr<TZivadFilters> owned) : m_owned(std::move(owned)), m_list(*m_owned) {}

TRuleBook::TRuleBook(TZivadAccount& account) : m_list(account.Filters()) {
    // Rules the import adds name the account in their automatic descriptions.
    m_list.SetAccountName(account.Name());
}

TRuleBook::~TRuleBook() = default;

int TRuleBook::Import(const std::string& text) { return m_list.ImportRules(text); }

std::string TRuleBook::Export(TRuleExport which) const {
    int filter = kAllFilterActions;
    switch (which) {
        case TRuleExport::None: filter = static_cast<int>(TFilterAction::None); break;
        case TRuleExport::Accept: filter = static_cast<int>(TFilterAction::Accept); break;
        case TRuleExport::Reject: filter = static_cast<int>(TFilterAction::Reject); break;
        case TRuleExport::All: break;
    }
    return m_list.RulesText(filter);
}

std::vector<TRuleRow> TRuleBook::Rows() {
    m_list.RecountFromLog();
    std::vector<TRuleRow> rows;
    std::scoped_lock hold(m_list.Mutex());
    for (int i = 0; i < m_list.RuleCount(); ++i) {
        const TZivadFilterItem& rule = *m_list.RuleAt(i);
        rows.push_back(TRuleRow{std::string(FilterActionName(rule.Action())),
                                std::string(FilterSectionName(rule.Section())), rule.Active(), rule.HitCount(),
                                rule.LastUsed(), rule.Description(), rule.SearchText()});
    }
    return rows;
}

}  // namespace vorla
