#include "filters/FilterMatch.h"

#include <mutex>

#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr char kReceivedPrefix[] = "Received:";
constexpr char kSubjectPrefix[] = "Subject:";
constexpr char kAttachmentDisposition[] = "Content-Disposition: attachment;";
constexpr char kFileNameKey[] = "filename=";

using TLines = std::vector<std::string>;

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Index of the first empty line: the end of the header block, and the line before the body.
// lines.size() when there is none (then every line is header and there is no body).
std::size_t FirstEmptyLine(const TLines& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].empty()) return i;
    return lines.size();
}

// Line r followed, for each next line that begins with a space or tab, by one space and that
// line without its first character. An empty line begins with neither, so the joining never
// leaves the header block.
std::string Unfolded(const TLines& lines, std::size_t r) {
    std::string u = lines[r];
    for (std::size_t i = r + 1; i < lines.size() && IsContinuation(lines[i]); ++i) {
        u += ' ';
        u.append(lines[i], 1, std::string::npos);
    }
    return u;
}

// Whether pattern, letter case ignored, stands at position `at` (0-based) of text.
bool MatchesAt(std::string_view pattern, std::string_view text, std::size_t at) {
    if (at > text.size() || text.size() - at < pattern.size()) return false;
    for (std::size_t k = 0; k < pattern.size(); ++k)
        if (FoldByte(static_cast<unsigned char>(pattern[k])) != FoldByte(static_cast<unsigned char>(text[at + k])))
            return false;
    return true;
}

// The header sections with a prefix. The unfolded form of a line begins with the prefix
// exactly when the line does (no prefix holds the space that joins a continuation line), so
// it is only built for such lines, and every line is joined into at most one of them.
bool MatchPrefixedHeader(const TZivadFilterItem& rule, const TLines& lines, std::size_t headerEnd) {
    const std::string_view prefix = SectionHeaderPrefix(rule.Section());
    const std::string& search = rule.SearchText();
    for (std::size_t r = 0; r < headerEnd; ++r) {
        const std::string& line = lines[r];
        if (!BeginsWithNoCase(line, prefix)) continue;
        const std::string u = Unfolded(lines, r);
        if (rule.Section() == TFilterSection::ReceivedIP) {
            const TFoundIP ip = FirstBracketedIP(u);
            if (ip.found && CompareIPPatterns(search, ip.address).compatible) return true;
            continue;
        }
        if (ContainsNoCase(u, search)) return true;
        if (rule.Section() == TFilterSection::Subject) {
            std::string letters;
            letters.reserve(line.size());
            for (char c : line)
                if (c == ' ' || IsAsciiLetter(c)) letters += c;
            if (ContainsNoCase(letters, search)) return true;
        }
    }
    return false;
}

// Present In Any Header: every header line's unfolded form, continuation lines included. A
// line and its continuation lines form one group whose unfolded text g holds every other
// member's unfolded form too: a continuation line's form is its first character followed by
// g from just after the space that joined it. So the group is searched once; only for a
// continuation line that begins with a tab can a match that starts with that tab differ,
// and that is tested at that one position.
bool MatchAnyHeader(const TZivadFilterItem& rule, const TLines& lines, std::size_t headerEnd) {
    const std::string& search = rule.SearchText();
    std::size_t r = 0;
    while (r < headerEnd) {
        std::string g = lines[r];
        std::vector<std::size_t> tabJoins;  // positions in g of the spaces that joined tab lines
        std::size_t i = r + 1;
        for (; i < headerEnd && IsContinuation(lines[i]); ++i) {
            if (lines[i][0] == '\t') tabJoins.push_back(g.size());
            g += ' ';
            g.append(lines[i], 1, std::string::npos);
        }
        if (ContainsNoCase(g, search)) return true;  // throws for an empty search text
        if (FoldByte(static_cast<unsigned char>(search[0])) == FoldByte('\t')) {
            const std::string_view rest = std::string_view(search).substr(1);
            for (std::size_t join : tabJoins)
                if (MatchesAt(rest, g, join + 1)) return true;
        }
        r = i;
    }
    return false;
}

bool MatchHeaderPresent(const TZivadFilterItem& rule, const TLines& lines, std::size_t headerEnd) {
    for (std::size_t r = 0; r < headerEnd; ++r)
        if (BeginsWithNoCase(lines[r], rule.SearchText())) return true;
    return false;
}

// Whether a line from index `from` on contains the search text.
bool AnyLineContains(const TLines& lines, std::size_t from, const std::string& search) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (ContainsNoCase(lines[i], search)) return true;
    return false;
}

// Appends the Received IP reject rules a Body hit brings when the owning list asks for them.
void AddReceivedIpRules(const TZivadFilterItem& rule, const std::string& accountName, const TLines& lines,
                        TZivadLog* log) {
    TZivadFilters* owner = rule.Owner();
    if (!owner || !owner->Settings().autoAddReceived) return;
    const std::string addresses = ExtractReceivedIPs(lines, true);
    std::size_t begin = 0;
    while (begin < addresses.size()) {
        std::size_t end = addresses.find(',', begin);
        if (end == std::string::npos) end = addresses.size();
        const std::string address = addresses.substr(begin, end - begin);
        begin = end + 1;
        if (address.empty()) continue;
        {
            std::scoped_lock lock(owner->Mutex());
            if (owner->FindRule(address, TFilterAction::Reject, TFilterSection::ReceivedIP)) continue;
            TZivadFilterItem& added = owner->AddRule();
            added.SetDescription(address);
            added.SetAction(TFilterAction::Reject);
            added.SetSection(TFilterSection::ReceivedIP);
            added.SetSearchText(address);
            added.SetActive(true);
        }
        if (log) {
            // The rule is what counts; a log that cannot be written must not fail the message.
            try {
                log->AppendLine(AddFilterEventText(accountName, address));
            } catch (const TFileError&) {
            }
        }
    }
}

// record: a hit adds the rules it brings (a look ahead leaves them out).
bool MatchBody(const TZivadFilterItem& rule, const std::string& accountName, const TLines& lines,
               TZivadLog* log, bool record) {
    const std::size_t e = FirstEmptyLine(lines);
    if (e == lines.size()) return false;
    const std::string& search = rule.SearchText();
    if (AnyLineContains(lines, e + 1, search)) {
        if (record) AddReceivedIpRules(rule, accountName, lines, log);
        return true;
    }
    std::string whole;
    for (const std::string& line : lines) {
        whole += line;
        whole += "\r\n";
    }
    const std::string stripped = RemoveTagSpans(whole);
    if (stripped.size() == whole.size()) return false;  // nothing removed: the same lines again
    // The removal may have taken header lines too; the body is still looked for from the
    // index it began at before.
    const TLines strippedLines = SplitLines(stripped);
    if (AnyLineContains(strippedLines, e + 1, search)) {
        if (record) AddReceivedIpRules(rule, accountName, strippedLines, log);
        return true;
    }
    return false;
}

bool MatchAttachment(const TZivadFilterItem& rule, const TLines& lines) {
    for (std::size_t r = 0; r + 1 < lines.size(); ++r) {
        if (!BeginsWithNoCase(lines[r], kAttachmentDisposition)) continue;
        if (!ContainsNoCase(lines[r + 1], kFileNameKey)) continue;
        std::string name = lines[r + 1];
        if (const std::size_t open = name.find('"'); open != std::string::npos) {
            name.erase(0, open + 1);
            if (const std::size_t close = name.find('"'); close != std::string::npos) name.erase(close);
        }
        if (MatchFileMask(name, rule.SearchText())) return true;
    }
    return false;
}

bool Hits(const TZivadFilterItem& rule, const std::string& accountName, const TLines& lines, TZivadLog* log,
          bool record) {
    switch (rule.Section()) {
        case TFilterSection::None:
            return true;
        case TFilterSection::From:
        case TFilterSection::To:
        case TFilterSection::Subject:
        case TFilterSection::Received:
        case TFilterSection::ReplyTo:
        case TFilterSection::CC:
        case TFilterSection::ReceivedIP:
            return MatchPrefixedHeader(rule, lines, FirstEmptyLine(lines));
        case TFilterSection::PresentInAnyHeader:
            return MatchAnyHeader(rule, lines, FirstEmptyLine(lines));
        case TFilterSection::HeaderPresent:
            return MatchHeaderPresent(rule, lines, FirstEmptyLine(lines));
        case TFilterSection::Body:
            return MatchBody(rule, accountName, lines, log, record);
        case TFilterSection::Attachment:
            return MatchAttachment(rule, lines);
    }
    return false;
}

}  // namespace

std::string_view SectionHeaderPrefix(TFilterSection section) {
    switch (section) {
        case TFilterSection::From: return "From:";
        case TFilterSection::To: return "To:";
        case TFilterSection::Subject: return kSubjectPrefix;
        case TFilterSection::Received: return kReceivedPrefix;
        case TFilterSection::ReplyTo: return "Reply-To:";
        case TFilterSection::CC: return "CC:";
        case TFilterSection::ReceivedIP: return kReceivedPrefix;
        default: return "";
    }
}

std::string RemoveTagSpans(std::string_view text) {
    // Everything kept so far holds neither "<" nor ">" (each kept stretch lay before a "<" and
    // before the first ">"), so the next first "<" and first ">" are found in the rest.
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    for (;;) {
        const std::size_t a = text.find('<', i);
        const std::size_t b = text.find('>', i);
        if (a == std::string_view::npos || b == std::string_view::npos || b < a) break;
        out.append(text.substr(i, a - i));
        i = b + 1;
    }
    out.append(text.substr(i));
    return out;
}

bool MatchRuleLines(TZivadFilterItem& rule, const std::string& accountName, const std::vector<std::string>& lines,
                    TZivadLog* log) {
    if (!Hits(rule, accountName, lines, log, true)) return false;
    rule.CountHit(Date());
    return true;
}

bool RuleHitsLines(const TZivadFilterItem& rule, const std::string& accountName, const std::vector<std::string>& lines) {
    return Hits(rule, accountName, lines, nullptr, false);
}

bool MatchRule(TZivadFilterItem& rule, const std::string& accountName, std::string_view text, TZivadLog* log) {
    return MatchRuleLines(rule, accountName, SplitLines(text), log);
}

}  // namespace vorla
