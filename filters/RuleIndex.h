#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/MessageFacts.h"
#include "filters/ZivadFilterItem.h"
#include "text/Helpers.h"
#include "text/MultiSearch.h"

// Which rules of a list can hit a message, worked out without trying them one by one. The
// classification then tries only those, in list order, with the ordinary matcher, so that
// the deciding rule, its statistics and the automatic rules are what a rule-by-rule scan
// gives; the index only leaves out rules that cannot hit and cannot fail.
namespace vorla {

class TZivadFilters;

class TRuleIndex {
public:
    // Indexes the rules the list holds now. The caller holds the list's Mutex(). Every rule
    // indexed is flagged (TZivadFilterItem::Indexed), so that a change to it tells the list.
    explicit TRuleIndex(const TZivadFilters& list);
    TRuleIndex(const TRuleIndex&) = delete;
    TRuleIndex& operator=(const TRuleIndex&) = delete;

    // How many rules, from the start of the list, the index covers.
    int Covered() const { return m_covered; }

    // The positions, ascending, of the rules among the first count of the list that can hit
    // the message or fail on it: the indexed ones whose text the message holds where their
    // section looks, and those the index does not judge (section None, an empty search text,
    // a search text that begins with a blank where the sections read whole lines, every
    // rule after the covered ones). With bodyRulesOnly only Body rules are looked for.
    void Candidates(const TMessageFacts& facts, bool bodyRulesOnly, int count, std::vector<int>& out) const;

private:
    struct TUse {
        int rule;
        std::uint16_t where;  // TMessageFacts::TWhere bits of which any one lets it hit
    };
    struct TIpKey {  // the first two parts of a pattern
        std::int32_t first, second;
        bool operator==(const TIpKey&) const = default;
    };
    struct TIpRule {
        int rule;
        TIPOctets octets;
    };
    struct TIpKeyHash {
        std::size_t operator()(const TIpKey& key) const;
    };

    int m_covered = 0;
    // Header texts, with for each pattern the rules that look for it and where.
    TMultiSearch m_headerSearch;
    std::vector<std::uint32_t> m_headerUseBegin;  // pattern -> first use (one extra end entry)
    std::vector<TUse> m_headerUses;
    // Body texts: every rule of a pattern is a candidate when it is found.
    TMultiSearch m_bodySearch;
    std::vector<std::uint32_t> m_bodyUseBegin;
    std::vector<int> m_bodyUses;
    // Received IP rules by their first two parts (255 standing for "any").
    std::unordered_map<TIpKey, std::vector<TIpRule>, TIpKeyHash> m_ipRules;
    std::vector<int> m_allIpRules;
    std::vector<int> m_attachmentRules;
    std::vector<int> m_alwaysTried;      // every message
    std::vector<int> m_alwaysTriedBody;  // the Body ones among them
};

}  // namespace vorla
