#include "log/LogLines.h"

#include <cstdint>

#include "platform/Errors.h"

namespace vorla {

namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A byte that is not part of valid UTF-8 most likely comes from an 8-bit header that nobody
// decoded; Windows-1252 is the usual guess for such mail. Its five unassigned codes become
// the replacement character.
std::uint32_t FromWindows1252(unsigned char b) {
    static const std::uint16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    return b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b;
}

// Length of the well-formed UTF-8 sequence starting at text[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = at(i);
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return len;
}

std::string TimeStamp(TDateTime when) { return FormatDateTime(kLogDateFormat, when); }

}  // namespace

bool IsCategoryWord(const std::string& word) {
    for (const char* category : kCategoryWords)
        if (word == category) return true;
    return false;
}

std::string MessageEventText(const std::string& account, const std::string& category,
                             const std::optional<std::string>& reason, TDateTime messageDate,
                             const std::string& address, const std::string& subject,
                             const std::string& addressLabel) {
    std::string text = account + "\t" + category;
    text += reason ? " - (" + *reason + ") " : std::string(" - ");
    text += "Date: " + FormatDateTime(kMessageDateFormat, messageDate) + " ";
    text += addressLabel + address + " ";
    text += "Subject: " + subject;
    return text;
}

std::string ErrorEventText(const std::string& account, const std::string& text) {
    return account + "\t" + kCategoryError + " - " + account + " - " + OneLine(text);
}

std::string AutoReplyErrorEventText(const std::string& account, const std::string& kind, const std::string& text) {
    return account + "\t" + kCategoryError + " - Auto Reply - " + kind + " - " + OneLine(text);
}

std::string AutoReplyEventText(const std::string& account, const std::string& kind, const std::string& address) {
    return account + "\t" + kCategoryAutoReply + " - " + kind + " - To: " + address;
}

std::string MailbotEventText(const std::string& account, const std::string& address) {
    return account + "\t" + kCategoryMailbot + " - " + account + " - To: " + address;
}

std::string QueuedEventText(const std::string& account, const std::string& address) {
    return account + "\t" + kCategoryQueued + " - " + account + " - To: " + address;
}

std::string AddFilterEventText(const std::string& account, const std::string& address) {
    return account + "\t" + kCategoryAddFilter + " - (" + address + ") ";
}

std::string SafeLogText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += ' ';
            i += 2;
        } else if ((b < 0x20 && b != '\t') || b == 0x7F) {
            // A line break inside the text would split the line, and its second half would
            // then have no time stamp; other control characters have no business in a view.
            out += ' ';
            ++i;
        } else if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
        } else if (const std::size_t len = Utf8SequenceLength(text, i)) {
            out.append(text, i, len);
            i += len;
        } else {
            AppendUtf8(out, FromWindows1252(b));
            ++i;
        }
    }
    return out;
}

std::string FormatLogLine(TDateTime when, const std::string& eventText) {
    return TimeStamp(when) + "\t" + SafeLogText(eventText);
}

std::string StatusEventText(const std::string& tag, const std::string& account, const std::string& description) {
    return "\t" + tag + "\t" + account + "\t" + description;
}

std::string FormatStatusLine(TDateTime when, const std::string& statusText) {
    return TimeStamp(when) + " " + SafeLogText(statusText);
}

}  // namespace vorla
