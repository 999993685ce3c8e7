#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filters/ZivadFilterItem.h"
#include "text/Helpers.h"

// The parts of one message that the rule index (TRuleIndex) looks for rule texts in.
namespace vorla {

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
    // The bit of the sections with a header prefix (From, To, Subject, Received, Reply To,
    // CC); 0 for the others.
    static std::uint16_t HeaderKind(TFilterSection section);

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

}  // namespace vorla
