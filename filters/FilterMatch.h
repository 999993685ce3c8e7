#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "filters/ZivadFilterItem.h"

// Whether one filter rule hits one message.
namespace vorla {

class TZivadLog;

// The text a header line must begin with for the rule's section (letter case ignored):
// "From:", "To:", "Subject:", "Received:", "Reply-To:", "CC:", and "Received:" for Received IP;
// "" for the sections that have no header prefix (None, Header Present, Body, Attachment,
// Present In Any Header).
std::string_view SectionHeaderPrefix(TFilterSection section);

// Whether rule hits the message text (header block, an empty line, the body, as transmitted:
// folded lines, undecoded MIME parts). The rule's action and Active flag are not consulted;
// the caller chooses the rules. All comparisons ignore letter case (a-z / A-Z) except the
// attachment file-name masks.
//
// By section:
//  - None: always a hit, also for an empty text.
//  - From, To, Subject, Received, Reply To, CC: a header line (of the block before the first
//    empty line; without one every line is header) that begins with the section's prefix and
//    whose unfolded form (the line, then for each following non-empty line that begins with a
//    space or tab, one space and that line without its first character) contains the search
//    text, header name included. Subject also hits when the physical Subject line, with every
//    character but spaces and A-Z / a-z removed, contains it.
//  - Present In Any Header: the unfolded form of any header line contains the search text;
//    continuation lines count as lines of their own.
//  - Received IP: the first bracketed address of an unfolded "Received:" header is compatible
//    with the search text as an IP pattern (an empty search text is the pattern "any").
//  - Header Present: a header line (not unfolded) begins with the search text.
//  - Body: a line after the first empty line contains the search text; failing that, the
//    same test on the text with its tag-like spans removed ("<" through the next ">", as
//    long as the first ">" follows the first "<"), from the line index the body began at
//    before the removal. Never a hit without an empty line. Search is line by line.
//  - Attachment: a line that begins with "Content-Disposition: attachment;" followed by a
//    line that contains "filename=": that next line, cut to the text between its first two
//    double quotes when it has them, matches the search text as a file mask (letter case
//    counts; an unquoted name keeps what precedes it on its line).
//
// On a hit the rule's HitCount grows by one and LastUsed becomes today (CountHit). A Body hit
// on a rule whose owning list has the auto-add setting on appends, for every address of the
// "Received: from " lines of the lines the hit was found in that the list has no Reject /
// Received IP rule for yet, an active Reject / Received IP rule (description and search text
// the address), and writes the log entry accountName TAB "AddFilter - (" address ") " to log
// (when given; a failure to write it does not undo the rule or fail the match). The list is
// not saved. Rules are appended through the list's own operations; the caller holds the
// owning list's Mutex() while it walks the list.
//
// Throws TVorlaError "BufferLen is 0" when the search text is empty and the search is
// reached: sections From to Reply To and CC when a header line of the kind exists, Present In
// Any Header and Header Present at the first header line, Body when there is a body line.
// None, Attachment and Received IP accept an empty search text. Reentrant.
bool MatchRule(TZivadFilterItem& rule, const std::string& accountName, std::string_view text,
               TZivadLog* log = nullptr);

// The same on the text already split into a line list (SplitLines), for callers that match
// many rules against one message.
bool MatchRuleLines(TZivadFilterItem& rule, const std::string& accountName, const std::vector<std::string>& lines,
                    TZivadLog* log = nullptr);

// Whether the rule hits the lines, with none of a hit's effects: no count, no rules added,
// nothing logged. For a look ahead at what the rules will decide.
bool RuleHitsLines(const TZivadFilterItem& rule, const std::string& accountName, const std::vector<std::string>& lines);

// The text with its tag-like spans removed as the second Body pass does: while the text holds
// a "<" and a ">" and the first ">" comes after the first "<", the characters from that "<"
// through that ">" are removed. Linear in the text's length.
std::string RemoveTagSpans(std::string_view text);

}  // namespace vorla
