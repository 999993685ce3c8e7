#include "filters/ZivadFilterItem.h"

#include <charconv>
#include <limits>

#include "filters/ZivadFilters.h"

namespace vorla {

const std::array<const char*, kFilterActionCount> kFilterActionNames = {"None", "Accept", "Reject"};
const std::array<const char*, kFilterSectionCount> kFilterSectionNames = {
    "None",           "From", "To",         "Subject", "Received",              "Reply To",
    "Header Present", "Body", "Attachment", "CC",      "Present In Any Header", "Received IP"};

namespace {

constexpr std::string_view kQuoteComma = "\",";
constexpr char kDayFormat[] = "dd mmm yyyy";

// Decimal integer in the signed 32-bit range: leading blanks, an optional sign, digits and
// nothing after them.
std::optional<std::int32_t> ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::string_view digits = text.substr(i);
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

TZivadFilterItem::TZivadFilterItem(const TZivadFilterItem& other)
    : m_owner(other.m_owner),
      m_description(other.m_description),
      m_action(other.m_action),
      m_section(other.m_section),
      m_searchText(other.m_searchText),
      m_active(other.m_active),
      m_hitCount(other.m_hitCount),
      m_lastUsed(other.m_lastUsed),
      m_marked(other.m_marked) {}

TZivadFilterItem& TZivadFilterItem::operator=(const TZivadFilterItem& other) {
    if (this == &other) return *this;
    Changed();  // the list this rule belonged to
    m_owner = other.m_owner;
    m_description = other.m_description;
    m_action = other.m_action;
    m_section = other.m_section;
    m_searchText = other.m_searchText;
    m_active = other.m_active;
    m_hitCount = other.m_hitCount;
    m_lastUsed = other.m_lastUsed;
    m_marked = other.m_marked;
    Changed();
    return *this;
}

void TZivadFilterItem::Changed() {
    if (m_indexed && m_owner) m_owner->NoteRuleChange();
}

std::string_view FilterActionName(TFilterAction action) {
    const auto index = static_cast<std::size_t>(action);
    return index < kFilterActionNames.size() ? kFilterActionNames[index] : kFilterActionNames[0];
}

std::string_view FilterSectionName(TFilterSection section) {
    const auto index = static_cast<std::size_t>(section);
    return index < kFilterSectionNames.size() ? kFilterSectionNames[index] : kFilterSectionNames[0];
}

TFilterAction FilterActionFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFilterActionNames.size(); ++i)
        if (name == kFilterActionNames[i]) return static_cast<TFilterAction>(i);
    return TFilterAction::None;
}

TFilterSection FilterSectionFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFilterSectionNames.size(); ++i)
        if (name == kFilterSectionNames[i]) return static_cast<TFilterSection>(i);
    return TFilterSection::None;
}

std::optional<TDateTime> TZivadFilterItem::LastUsedDate() const {
    if (m_lastUsed.empty()) return std::nullopt;
    return ParseLogDateTime(m_lastUsed);
}

void TZivadFilterItem::CountHit(TDateTime day) {
    if (m_hitCount < std::numeric_limits<std::int32_t>::max()) ++m_hitCount;
    m_lastUsed = FormatDateTime(kDayFormat, day);
}

std::string StorableFieldText(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c == '\r' || c == '\n') c = ' ';
    // Changing the quote, not the comma, keeps the pair from ever forming again.
    for (std::size_t p = result.find(kQuoteComma); p != std::string::npos; p = result.find(kQuoteComma, p + 2))
        result[p] = '\'';
    if (!result.empty() && result[0] == ',') result.insert(result.begin(), ' ');
    return result;
}

std::string RuleLine(const TZivadFilterItem& rule) {
    std::string line;
    line.reserve(rule.Description().size() + rule.SearchText().size() + 40);
    line += '"';
    line += StorableFieldText(rule.Description());
    line += "\",\"";
    line += FilterActionName(rule.Action());
    line += "\",\"";
    line += FilterSectionName(rule.Section());
    line += "\",\"";
    line += StorableFieldText(rule.SearchText());
    line += "\",\"";
    line += rule.Active() ? '1' : '0';
    line += '"';
    return line;
}

std::string RuleLineField(std::string_view line, int n) {
    std::string_view rest = line;
    for (int i = 1; i < n; ++i) {
        const std::size_t p = rest.find(kQuoteComma);
        if (p != std::string_view::npos) rest.remove_prefix(p + kQuoteComma.size());
    }
    const std::size_t p = rest.find(kQuoteComma);
    const std::string_view field = p != std::string_view::npos ? rest.substr(0, p + 1) : rest;
    if (field.size() < 2) return {};
    return std::string(field.substr(1, field.size() - 2));
}

bool ReadRuleLine(std::string_view line, TZivadFilterItem& rule) {
    rule.SetDescription(RuleLineField(line, 1));
    rule.SetAction(FilterActionFromName(RuleLineField(line, 2)));
    rule.SetSection(FilterSectionFromName(RuleLineField(line, 3)));
    rule.SetSearchText(RuleLineField(line, 4));
    const std::optional<std::int32_t> active = ParseDecimal(RuleLineField(line, 5));
    rule.SetActive(active && static_cast<std::uint8_t>(*active) != 0);
    return active.has_value();
}

}  // namespace vorla
