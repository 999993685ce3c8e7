#include "filters/RuleIndex.h"

#include <algorithm>
#include <map>

#include "filters/ZivadFilters.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

// Where a rule's search text must be seen in the header for the rule to hit; 0 for the
// sections that are not searched there, or that the index leaves to the matcher.
std::uint16_t HeaderWhere(const TZivadFilterItem& rule) {
    const std::string& text = rule.SearchText();
    switch (rule.Section()) {
        case TFilterSection::Subject:
            return TMessageFacts::kSubjectLine | TMessageFacts::kSubjectLetters;
        case TFilterSection::PresentInAnyHeader:
            // A continuation line is searched on its own as well, from its first character;
            // only a text that begins with a tab can be found there and not in the joined
            // header, where the tab stands as a space.
            return text[0] == '\t' ? 0 : TMessageFacts::kAnyHeader;
        case TFilterSection::HeaderPresent:
            // A text that begins with a blank can begin a continuation line.
            return text[0] == ' ' || text[0] == '\t' ? 0 : TMessageFacts::kHeaderStart;
        default:
            return TMessageFacts::HeaderKind(rule.Section());
    }
}

// Distinct folded texts numbered in order of first appearance.
class TPatternTable {
public:
    std::uint32_t Add(const std::string& text) {
        std::string folded = text;
        for (char& c : folded) c = static_cast<char>(FoldByte(static_cast<unsigned char>(c)));
        const auto [it, added] = m_ids.try_emplace(folded, static_cast<std::uint32_t>(m_texts.size()));
        if (added) m_texts.push_back(std::move(folded));
        return it->second;
    }
    const std::vector<std::string>& Texts() const { return m_texts; }

private:
    std::map<std::string, std::uint32_t> m_ids;
    std::vector<std::string> m_texts;
};

// Per pattern, the uses in rule order, flattened.
template <typename Use>
void Flatten(const std::vector<std::vector<Use>>& byPattern, std::vector<std::uint32_t>& begin,
             std::vector<Use>& uses) {
    begin.assign(byPattern.size() + 1, 0);
    for (std::size_t p = 0; p < byPattern.size(); ++p) {
        begin[p] = static_cast<std::uint32_t>(uses.size());
        uses.insert(uses.end(), byPattern[p].begin(), byPattern[p].end());
    }
    begin[byPattern.size()] = static_cast<std::uint32_t>(uses.size());
}

}  // namespace

// ---- TRuleIndex ----------------------------------------------------------------------------

std::size_t TRuleIndex::TIpKeyHash::operator()(const TIpKey& key) const {
    std::size_t h = 1469598103934665603ull;
    h = (h ^ static_cast<std::uint32_t>(key.first)) * 1099511628211ull;
    return (h ^ static_cast<std::uint32_t>(key.second)) * 1099511628211ull;
}

TRuleIndex::TRuleIndex(const TZivadFilters& list) {
    TPatternTable headerPatterns, bodyPatterns;
    std::vector<std::vector<TUse>> headerUses;
    std::vector<std::vector<int>> bodyUses;
    m_covered = list.RuleCount();
    for (int i = 0; i < m_covered; ++i) {
        TZivadFilterItem& rule = *list.RuleAt(i);
        rule.SetIndexed(true);
        // Only active Accept and Reject rules ever take part.
        if (!rule.Active() || (rule.Action() != TFilterAction::Accept && rule.Action() != TFilterAction::Reject))
            continue;
        const std::string& text = rule.SearchText();
        switch (rule.Section()) {
            case TFilterSection::ReceivedIP: {
                // An address that is no pattern is compatible with nothing: the rule never hits.
                const TIPPattern pattern = ParseIPPattern(text);
                if (!pattern.ok) break;
                m_ipRules[TIpKey{pattern.octets[0], pattern.octets[1]}].push_back(TIpRule{i, pattern.octets});
                m_allIpRules.push_back(i);
                break;
            }
            case TFilterSection::Attachment:
                m_attachmentRules.push_back(i);
                break;
            case TFilterSection::Body:
                if (text.empty()) {
                    m_alwaysTried.push_back(i);
                    m_alwaysTriedBody.push_back(i);
                    break;
                }
                {
                    const std::uint32_t p = bodyPatterns.Add(text);
                    if (p >= bodyUses.size()) bodyUses.resize(p + 1);
                    bodyUses[p].push_back(i);
                }
                break;
            default: {
                const std::uint16_t where = text.empty() ? 0 : HeaderWhere(rule);
                if (!where) {
                    m_alwaysTried.push_back(i);
                    break;
                }
                const std::uint32_t p = headerPatterns.Add(text);
                if (p >= headerUses.size()) headerUses.resize(p + 1);
                headerUses[p].push_back(TUse{i, where});
                break;
            }
        }
    }
    m_headerSearch = TMultiSearch(headerPatterns.Texts());
    Flatten(headerUses, m_headerUseBegin, m_headerUses);
    m_bodySearch = TMultiSearch(bodyPatterns.Texts());
    Flatten(bodyUses, m_bodyUseBegin, m_bodyUses);
}

void TRuleIndex::Candidates(const TMessageFacts& facts, bool bodyRulesOnly, int count, std::vector<int>& out) const {
    out.clear();
    if (!bodyRulesOnly) {
        if (!m_headerSearch.Empty()) {
            std::vector<std::uint16_t> seen(m_headerSearch.PatternCount(), 0);
            std::vector<std::uint32_t> found;
            auto note = [&](std::uint32_t p, std::uint16_t where) {
                if (!seen[p]) found.push_back(p);
                seen[p] |= where;
            };
            for (const TMessageFacts::THeader& header : facts.Headers()) {
                const std::uint16_t where = header.where & ~TMessageFacts::kHeaderStart;
                m_headerSearch.Scan(header.unfolded, [&](std::uint32_t p, std::size_t end) {
                    note(p, end == m_headerSearch.PatternLength(p) ? header.where : where);
                });
            }
            for (const std::string& letters : facts.SubjectLetters())
                m_headerSearch.Scan(letters, [&](std::uint32_t p, std::size_t) { note(p, TMessageFacts::kSubjectLetters); });
            for (std::uint32_t p : found)
                for (std::uint32_t u = m_headerUseBegin[p]; u < m_headerUseBegin[p + 1]; ++u)
                    if (m_headerUses[u].where & seen[p]) out.push_back(m_headerUses[u].rule);
        }
        if (!m_allIpRules.empty()) {
            for (const TIPPattern& address : facts.ReceivedAddresses()) {
                // An address part of 255 is "any" as well: every pattern may be compatible.
                if (std::find(address.octets.begin(), address.octets.end(), 255) != address.octets.end()) {
                    out.insert(out.end(), m_allIpRules.begin(), m_allIpRules.end());
                    continue;
                }
                // A pattern is compatible when each part is the address's or "any": looked up
                // by its first two parts, then the other two compared.
                for (unsigned any = 0; any < 4; ++any) {
                    const TIpKey key{(any & 1) ? 255 : address.octets[0], (any & 2) ? 255 : address.octets[1]};
                    const auto it = m_ipRules.find(key);
                    if (it == m_ipRules.end()) continue;
                    for (const TIpRule& rule : it->second)
                        if ((rule.octets[2] == 255 || rule.octets[2] == address.octets[2]) &&
                            (rule.octets[3] == 255 || rule.octets[3] == address.octets[3]))
                            out.push_back(rule.rule);
                }
            }
        }
        if (!m_attachmentRules.empty() && facts.NamesAttachment())
            out.insert(out.end(), m_attachmentRules.begin(), m_attachmentRules.end());
        out.insert(out.end(), m_alwaysTried.begin(), m_alwaysTried.end());
    } else {
        out.insert(out.end(), m_alwaysTriedBody.begin(), m_alwaysTriedBody.end());
    }
    if (!m_bodySearch.Empty() && facts.HasBody()) {
        std::vector<bool> seen(m_bodySearch.PatternCount(), false);
        auto note = [&](std::uint32_t p, std::size_t) {
            if (seen[p]) return;
            seen[p] = true;
            for (std::uint32_t u = m_bodyUseBegin[p]; u < m_bodyUseBegin[p + 1]; ++u) out.push_back(m_bodyUses[u]);
        };
        const std::vector<std::string>& lines = facts.Lines();
        for (std::size_t i = facts.BodyBegin(); i < lines.size(); ++i) m_bodySearch.Scan(lines[i], note);
        m_bodySearch.Scan(facts.StrippedBodyText(), note);
    }
    // Rules added since the index was made are tried one by one.
    for (int i = m_covered; i < count; ++i) out.push_back(i);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    while (!out.empty() && out.back() >= count) out.pop_back();
}

}  // namespace vorla
