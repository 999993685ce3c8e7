#include "filters/MessageFacts.h"

#include <algorithm>

#include "filters/FilterMatch.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr char kAttachmentDisposition[] = "Content-Disposition: attachment;";
constexpr char kFileNameKey[] = "filename=";

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::size_t FirstEmptyLine(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].empty()) return i;
    return lines.size();
}

constexpr TFilterSection kPrefixedSections[] = {TFilterSection::From,     TFilterSection::To,
                                                TFilterSection::Subject,  TFilterSection::Received,
                                                TFilterSection::ReplyTo,  TFilterSection::CC};

}  // namespace

std::uint16_t TMessageFacts::HeaderKind(TFilterSection section) {
    switch (section) {
        case TFilterSection::From: return kFromLine;
        case TFilterSection::To: return kToLine;
        case TFilterSection::Subject: return kSubjectLine;
        case TFilterSection::Received: return kReceivedLine;
        case TFilterSection::ReplyTo: return kReplyToLine;
        case TFilterSection::CC: return kCcLine;
        default: return 0;
    }
}

TMessageFacts::TMessageFacts(const std::vector<std::string>& lines) : m_lines(lines), m_headerEnd(FirstEmptyLine(lines)) {}

const std::vector<TMessageFacts::THeader>& TMessageFacts::Headers() const {
    if (m_headers) return *m_headers;
    m_headers.emplace();
    std::size_t r = 0;
    while (r < m_headerEnd) {
        THeader header;
        const std::string& first = m_lines[r];
        header.where = kAnyHeader | kHeaderStart;
        for (TFilterSection section : kPrefixedSections)
            if (BeginsWithNoCase(first, SectionHeaderPrefix(section))) header.where |= HeaderKind(section);
        header.unfolded = first;
        std::size_t i = r + 1;
        for (; i < m_headerEnd && IsContinuation(m_lines[i]); ++i) {
            header.unfolded += ' ';
            header.unfolded.append(m_lines[i], 1, std::string::npos);
        }
        m_headers->push_back(std::move(header));
        r = i;
    }
    return *m_headers;
}

const std::vector<std::string>& TMessageFacts::SubjectLetters() const {
    if (m_subjectLetters) return *m_subjectLetters;
    m_subjectLetters.emplace();
    for (std::size_t r = 0; r < m_headerEnd; ++r) {
        if (!BeginsWithNoCase(m_lines[r], SectionHeaderPrefix(TFilterSection::Subject))) continue;
        std::string letters;
        for (char c : m_lines[r])
            if (c == ' ' || IsAsciiLetter(c)) letters += c;
        m_subjectLetters->push_back(std::move(letters));
    }
    return *m_subjectLetters;
}

const std::vector<TIPPattern>& TMessageFacts::ReceivedAddresses() const {
    if (m_received) return *m_received;
    m_received.emplace();
    for (const THeader& header : Headers()) {
        if (!(header.where & kReceivedLine)) continue;
        const TFoundIP ip = FirstBracketedIP(header.unfolded);
        if (!ip.found) continue;
        const TIPPattern parsed = ParseIPPattern(ip.address);
        if (parsed.ok) m_received->push_back(parsed);
    }
    return *m_received;
}

std::string_view TMessageFacts::StrippedBodyText() const {
    // Removing text never makes more lines, so without a line after the empty one there is
    // none after the removal either.
    if (BodyBegin() >= m_lines.size()) return {};
    if (!m_stripped) {
        std::string whole;
        for (const std::string& line : m_lines) {
            whole += line;
            whole += "\r\n";
        }
        m_stripped = RemoveTagSpans(whole);
        if (m_stripped->size() == whole.size()) {
            m_stripped->clear();
        } else {
            // The body is looked for from the line index it began at before the removal.
            std::size_t begin = 0;
            std::string_view line;
            for (std::size_t n = 0; n < BodyBegin() && begin < m_stripped->size(); ++n)
                begin = NextLine(*m_stripped, begin, TLineBreak::Any, line);
            m_strippedBodyBegin = begin;
        }
    }
    return std::string_view(*m_stripped).substr(std::min(m_strippedBodyBegin, m_stripped->size()));
}

bool TMessageFacts::NamesAttachment() const {
    if (!m_namesAttachment) {
        m_namesAttachment = false;
        for (std::size_t r = 0; r + 1 < m_lines.size() && !*m_namesAttachment; ++r)
            if (BeginsWithNoCase(m_lines[r], kAttachmentDisposition) && ContainsNoCase(m_lines[r + 1], kFileNameKey))
                m_namesAttachment = true;
    }
    return *m_namesAttachment;
}

}  // namespace vorla
