#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/ZivadFilterItem.h"
#include "text/Helpers.h"
#include "text/MultiSearch.h"

// Which rules of a list can hit a message, worked out without trying them one by one. The
// classification then tries only those, in list order, with the ordinary matcher, so that
// the deciding rule, its statistics and the automatic rules are what a rule-by-rule scan
// gives; the index only leaves out rules that cannot hit and cannot fail.
namespace vorla {

class TZivadFilters;

// What the index reads from one message, worked out once per message, whatever the rules
// and however many lists look at it. Each part is made on first use.
class TMessageFacts {
public:
    // lines: the message text as a line list (SplitLines); must outlive the object.
    explicit TMessageFacts(const std::vector<std::string>& lines);

    // Bits that tell where in the header a text was seen.
    enum TWhere : std::uint16_t {
        kFromLine = 1 << 0,  // a header whose first line begins with the section's prefix,
        kToLine = 1 << 1,    // unfolded
        kSubjectLine = 1 << 2,
        kReceivedLine = 1 << 3,
        kReplyToLine = 1 << 4,
        kCcLine = 1 << 5,
        kAnyHeader = 1 << 6,      // any header, unfolded
        kHeaderStart = 1 << 7,    // at the very start of a header (its first line's start)
        kSubjectLetters = 1 << 8, // a Subject line's letters and spaces
    };
    // A header of the header block, its continuation lines joined (one space for each line
    // break and the first character of the continuation line), with the kinds of its first
    // line.
    struct THeader {
        std::string unfolded;
        std::uint16_t where = kAnyHeader;
    };

    const std::vector<std::string>& Lines() const { return m_lines; }
    const std::vector<THeader>& Headers() const;
    // The letters-and-spaces form of every header line that begins with "Subject:".
    const std::vector<std::string>& SubjectLetters() const;
    // The first bracketed address of every "Received:" header (unfolded), parsed as an IP
    // pattern; headers without one, and addresses that do not parse, are left out.
    const std::vector<TIPPattern>& ReceivedAddresses() const;
    // Whether there is a body (an empty line), and the index of its first line.
    bool HasBody() const { return m_headerEnd < m_lines.size(); }
    std::size_t BodyBegin() const { return m_headerEnd + 1; }
    // The text (lines joined by CR LF) with its tag-like spans removed, from the line at
    // BodyBegin() on; empty when the removal changed nothing or there is no body.
    std::string_view StrippedBodyText() const;
    // Whether a line "Content-Disposition: attachment;" is followed by a line naming a file.
    bool NamesAttachment() const;

private:
    const std::vector<std::string>& m_lines;
    std::size_t m_headerEnd;
    mutable std::optional<std::vector<THeader>> m_headers;
    mutable std::optional<std::vector<std::string>> m_subjectLetters;
    mutable std::optional<std::vector<TIPPattern>> m_received;
    mutable std::optional<std::string> m_stripped;
    mutable std::size_t m_strippedBodyBegin = 0;
    mutable std::optional<bool> m_namesAttachment;
};

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
