#include "filters/ZivadFilters.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "filters/RuleIndex.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla {

namespace {

constexpr char kKeyEnabled[] = "enabled";
constexpr char kKeyAutoAddReceived[] = "autoaddreceived";
constexpr char kKeyTld[] = "tld";
constexpr char kKeyReverseDns[] = "reversedns";
constexpr char kKeyDnsHost[] = "dnshost";
constexpr char kKeyDnsTimeout[] = "dnstimeout";
constexpr char kKeyUnwantedTld[] = "unwantedtld";

constexpr char kTldFileName[] = "tld.txt";
constexpr char kGlobalReasonPrefix[] = "global:";
constexpr char kLocalReasonPrefix[] = "local:";
constexpr unsigned kRuleFileMode = 0600;  // rules name the user's correspondents

void CountOneHit(TZivadFilterItem& rule) {
    if (rule.HitCount() < std::numeric_limits<std::int32_t>::max()) rule.SetHitCount(rule.HitCount() + 1);
}

// The key under which ImportRules finds duplicates: action, section, exact search text.
std::string DuplicateKey(const TZivadFilterItem& rule) {
    std::string key;
    key += static_cast<char>(rule.Action());
    key += static_cast<char>(rule.Section());
    key += rule.SearchText();
    return key;
}

std::vector<TTldEntry> LoadTldTable(const std::string& path) {
    std::vector<TTldEntry> table;
    std::string data;
    try {
        if (!FileExists(path)) return table;
        data = ReadFileBytes(path);
    } catch (const TVorlaError&) {
        // The table only offers choices in the preferences; a list without it still works.
        return table;
    }
    for (const std::string& line : SplitLines(data)) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        table.push_back({line.substr(0, std::min(space, kMaxTldText)),
                         line.substr(space + 1, kMaxTldText)});
    }
    return table;
}

bool IsRuleResultWord(std::string_view word) {
    return word == kCategoryAccepted || word == kCategoryOk || word == kCategoryTrashed ||
           word == kCategoryRejected;
}

}  // namespace

TZivadFilters::TZivadFilters(const std::string& fileName, TFilterScope scope)
    : m_fileName(fileName), m_scope(scope), m_tldTable(LoadTldTable(HomeFolder() + kTldFileName)) {
    LoadRules();
}

TZivadFilters::~TZivadFilters() = default;

void TZivadFilters::AppendRule(std::unique_ptr<TZivadFilterItem> rule) {
    rule->SetOwner(this);
    m_rules.push_back(std::move(rule));
}

void TZivadFilters::LoadRules() {
    if (!FileExists(m_fileName)) return;
    const std::string data = ReadFileBytes(m_fileName);
    std::scoped_lock lock(m_mutex);
    ForEachLine(data, TLineBreak::Lf, [&](std::string_view line) {
        if (TrimmedView(line).empty()) return;
        auto rule = std::make_unique<TZivadFilterItem>(this);
        ReadRuleLine(line, *rule);  // a damaged active flag leaves the rule inactive
        AppendRule(std::move(rule));
    });
}

void TZivadFilters::SaveRules() {
    std::scoped_lock lock(m_mutex);
    std::string data;
    for (const auto& rule : m_rules) {
        rule->SetDescription(StorableFieldText(rule->Description()));
        // Set only when it changes: setting it tells the rule index to be made again.
        if (std::string text = StorableFieldText(rule->SearchText()); text != rule->SearchText())
            rule->SetSearchText(std::move(text));
        data += RuleLine(*rule);
        data += "\r\n";
    }
    WriteFileAtomic(m_fileName, data, kRuleFileMode);
}

TZivadFilterItem& TZivadFilters::AddRule() {
    std::scoped_lock lock(m_mutex);
    AppendRule(std::make_unique<TZivadFilterItem>(this));
    return *m_rules.back();
}

std::shared_ptr<const TRuleIndex> TZivadFilters::Index() const {
    std::scoped_lock lock(m_mutex);
    const std::uint64_t changes = m_ruleChanges;
    // Rules appended since the index was made are tried one by one; a few are cheaper so
    // than a new index (a hit can append automatic rules), many are not.
    const auto appended = static_cast<int>(m_rules.size()) - (m_index ? m_index->Covered() : 0);
    if (!m_index || changes != m_indexChanges || appended > 32 + m_index->Covered() / 8) {
        m_index = std::make_shared<const TRuleIndex>(*this);
        m_indexChanges = changes;
    }
    return m_index;
}

TZivadFilterItem* TZivadFilters::RuleAt(int index) const {
    std::scoped_lock lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_rules.size()) return nullptr;
    return m_rules[static_cast<std::size_t>(index)].get();
}

int TZivadFilters::RuleCount() const {
    std::scoped_lock lock(m_mutex);
    return static_cast<int>(m_rules.size());
}

int TZivadFilters::IndexOfRule(const TZivadFilterItem* rule) const {
    std::scoped_lock lock(m_mutex);
    if (!rule) return -1;
    for (std::size_t i = 0; i < m_rules.size(); ++i)
        if (m_rules[i].get() == rule) return static_cast<int>(i);
    return -1;
}

void TZivadFilters::MarkRule(int index) {
    std::scoped_lock lock(m_mutex);
    if (TZivadFilterItem* rule = RuleAt(index)) rule->SetMarked(true);
}

void TZivadFilters::ClearMarks() {
    std::scoped_lock lock(m_mutex);
    for (auto& rule : m_rules) rule->SetMarked(false);
}

bool TZivadFilters::PurgeMarked() {
    std::scoped_lock lock(m_mutex);
    const auto kept = std::stable_partition(m_rules.begin(), m_rules.end(),
                                            [](const auto& rule) { return !rule->Marked(); });
    const bool removed = kept != m_rules.end();
    m_rules.erase(kept, m_rules.end());
    if (removed) NoteRuleChange();
    return removed;
}

bool TZivadFilters::FindRule(const std::string& text, TFilterAction action, TFilterSection section) const {
    std::scoped_lock lock(m_mutex);
    return std::any_of(m_rules.begin(), m_rules.end(), [&](const auto& rule) {
        return rule->Action() == action && rule->Section() == section && SameTextAscii(rule->SearchText(), text);
    });
}

bool TZivadFilters::AddRuleIfAbsent(const std::string& text, TFilterAction action, TFilterSection section) {
    // The rule is stored in the form its file can hold; looking for both forms keeps a text
    // the file cannot hold from being added again after every save.
    const std::string stored = StorableFieldText(text);
    std::scoped_lock lock(m_mutex);
    if (FindRule(text, action, section) || FindRule(stored, action, section)) return false;
    TZivadFilterItem& rule = AddRule();
    rule.SetDescription(stored);
    rule.SetSearchText(stored);
    rule.SetAction(action);
    rule.SetSection(section);
    rule.SetActive(true);
    SaveRules();
    return true;
}

std::string TZivadFilters::RulesText(int actionFilter) const {
    std::scoped_lock lock(m_mutex);
    std::string text;
    for (const auto& rule : m_rules) {
        if (actionFilter != kAllFilterActions && static_cast<int>(rule->Action()) != actionFilter) continue;
        text += RuleLine(*rule);
        text += "\r\n";
    }
    return text;
}

int TZivadFilters::ImportRules(const std::string& text) {
    const std::vector<std::string> lines = SplitLines(text);
    std::scoped_lock lock(m_mutex);
    std::unordered_set<std::string> known;
    for (const auto& rule : m_rules) known.insert(DuplicateKey(*rule));
    int added = 0;
    for (const std::string& line : lines) {
        auto rule = std::make_unique<TZivadFilterItem>(this);
        if (!ReadRuleLine(line, *rule)) continue;
        if (!known.insert(DuplicateKey(*rule)).second) continue;
        AppendRule(std::move(rule));
        ++added;
    }
    SaveRules();
    return added;
}

void TZivadFilters::TakeSnapshot() {
    std::scoped_lock lock(m_mutex);
    std::vector<std::unique_ptr<TZivadFilterItem>> copies;
    copies.reserve(m_rules.size());
    for (const auto& rule : m_rules) copies.push_back(std::make_unique<TZivadFilterItem>(*rule));
    m_snapshot = std::move(copies);
}

void TZivadFilters::RestoreSnapshot() {
    std::scoped_lock lock(m_mutex);
    std::vector<std::unique_ptr<TZivadFilterItem>> copies;
    copies.reserve(m_snapshot.size());
    for (const auto& rule : m_snapshot) copies.push_back(std::make_unique<TZivadFilterItem>(*rule));
    m_rules = std::move(copies);
    NoteRuleChange();
}

void TZivadFilters::SetAccountName(std::string name) {
    std::scoped_lock lock(m_mutex);
    m_accountName = std::move(name);
}

void TZivadFilters::RecountFromLog() {
    std::scoped_lock lock(m_mutex);
    for (auto& rule : m_rules) {
        rule->SetHitCount(0);
        rule->SetLastUsed({});
    }
    const std::string logFile = TZivadLog::FileNameFor(ProgramFilePath());
    if (!FileExists(logFile)) return;
    const std::string data = ReadFileBytes(logFile);

    // The first rule in list order for each description. The log writer stores texts in a
    // safe one-line form; files of earlier installations hold them as they were, so a rule is
    // found under both spellings.
    std::unordered_map<std::string, TZivadFilterItem*> byDescription;
    for (const auto& rule : m_rules) {
        byDescription.emplace(rule->Description(), rule.get());
        byDescription.emplace(SafeLogText(rule->Description()), rule.get());
    }
    const std::string_view prefix = m_scope == TFilterScope::Global ? kGlobalReasonPrefix : kLocalReasonPrefix;
    const bool checkAccount = m_scope == TFilterScope::Account && !m_accountName.empty();

    ForEachLine(data, TLineBreak::Lf, [&](std::string_view line) {
        const std::array<std::string, 8> fields = RecountLogFields(line);
        std::string_view name;
        if (IsRuleResultWord(fields[5])) {
            if (checkAccount && fields[4] != m_accountName) return;
            name = fields[7];
        } else if (IsRuleResultWord(fields[4])) {
            name = fields[6];
        } else {
            return;
        }
        if (!name.starts_with(prefix)) return;
        name.remove_prefix(prefix.size());
        if (name.empty()) return;
        const auto found = byDescription.find(std::string(name));
        if (found == byDescription.end()) return;
        CountOneHit(*found->second);
        found->second->SetLastUsed(fields[0] + ' ' + fields[1] + ' ' + fields[2]);
    });
}

std::array<std::string, 8> RecountLogFields(std::string_view line) {
    std::array<std::string, 8> fields;
    std::size_t j = 0;
    std::size_t start = 0;
    std::optional<std::size_t> open;
    for (std::size_t i = 0; i < line.size() && j < fields.size(); ++i) {
        const char c = line[i];
        if (c == '(') {
            open = i;
        } else if (c == ')') {
            const std::size_t from = open ? *open + 1 : 0;
            fields[j++] = std::string(line.substr(from, i - from));
            start = i + 1;
            open.reset();
        } else if ((c == ' ' || c == '\t') && !open) {
            fields[j++] = std::string(line.substr(start, i - start));
            start = i + 1;
        }
    }
    if (j < fields.size() && start <= line.size()) fields[j] = std::string(line.substr(start));
    return fields;
}

TFilterSettings TZivadFilters::Settings() const {
    std::scoped_lock lock(m_mutex);
    return m_settings;
}

void TZivadFilters::SetSettings(const TFilterSettings& settings) {
    std::scoped_lock lock(m_mutex);
    m_settings = settings;
}

void TZivadFilters::LoadSettings(const TIniFile& ini) {
    TFilterSettings s = Settings();
    s.enabled = ini.ReadBool(kFilterSettingsSection, kKeyEnabled, s.enabled);
    s.autoAddReceived = ini.ReadBool(kFilterSettingsSection, kKeyAutoAddReceived, s.autoAddReceived);
    s.tldCheck = ini.ReadBool(kFilterSettingsSection, kKeyTld, s.tldCheck);
    s.reverseDns = ini.ReadBool(kFilterSettingsSection, kKeyReverseDns, s.reverseDns);
    s.dnsHost = ini.ReadString(kFilterSettingsSection, kKeyDnsHost, s.dnsHost);
    const long long timeout = ini.ReadInteger(kFilterSettingsSection, kKeyDnsTimeout, s.dnsTimeout);
    s.dnsTimeout = static_cast<std::int32_t>(std::clamp<long long>(
        timeout, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    s.unwantedTlds = ini.ReadString(kFilterSettingsSection, kKeyUnwantedTld, s.unwantedTlds);
    SetSettings(s);
}

void TZivadFilters::SaveSettings(TIniFile& ini) const {
    const TFilterSettings s = Settings();
    ini.WriteBool(kFilterSettingsSection, kKeyEnabled, s.enabled);
    ini.WriteBool(kFilterSettingsSection, kKeyAutoAddReceived, s.autoAddReceived);
    ini.WriteBool(kFilterSettingsSection, kKeyTld, s.tldCheck);
    ini.WriteBool(kFilterSettingsSection, kKeyReverseDns, s.reverseDns);
    ini.WriteString(kFilterSettingsSection, kKeyDnsHost, s.dnsHost);
    ini.WriteInteger(kFilterSettingsSection, kKeyDnsTimeout, s.dnsTimeout);
    ini.WriteString(kFilterSettingsSection, kKeyUnwantedTld, s.unwantedTlds);
}

std::string TZivadFilters::TldListText() const {
    std::string text;
    for (const TTldEntry& entry : m_tldTable) {
        if (!text.empty()) text += "\r\n";
        text += entry.code;
        text += " (";
        text += entry.description;
        text += ')';
    }
    return text;
}

}  // namespace vorla
