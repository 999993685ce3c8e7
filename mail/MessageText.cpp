// The message text form: lines, header entries, dot-stuffing and the transfer encodings we write.
#include <algorithm>
#include <cstdint>

#include "mail/MailMessagePrivate.h"
#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla::mailtext {
namespace {

constexpr std::size_t kMaxLineBytes = 998;  // longest line a 7bit body may carry
constexpr std::size_t kFoldWidth = 78;
constexpr std::size_t kQuotedWidth = 76;    // an encoded line, its soft break included
constexpr std::size_t kBase64Width = 76;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitEach(const std::vector<std::string>& lines) {
    std::vector<std::string> result;
    result.reserve(lines.size());
    for (const std::string& line : lines) {
        if (line.find('\n') == std::string::npos) {
            result.push_back(line);
            continue;
        }
        for (std::string& piece : SplitLines(line, TLineBreak::Lf)) result.push_back(std::move(piece));
    }
    return result;
}

std::string_view FieldName(std::string_view entry) {
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return {};
    return TrimmedView(entry.substr(0, colon), TTrimSet::Blanks);
}

bool IsField(std::string_view entry, std::string_view name) {
    const std::string_view field = FieldName(entry);
    return !field.empty() && SameTextAscii(field, name);
}

int FindField(const std::vector<std::string>& headers, std::string_view name) {
    for (std::size_t i = 0; i < headers.size(); ++i)
        if (IsField(headers[i], name)) return static_cast<int>(i);
    return -1;
}

std::string FieldValue(std::string_view entry) {
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return {};
    std::string value;
    value.reserve(entry.size() - colon);
    for (char c : entry.substr(colon + 1))
        if (c != '\r' && c != '\n' && c != '\0') value += c;
    return Trim(value, TTrimSet::Blanks);
}

std::string MediaType(std::string_view value) {
    return AsciiLower(TrimmedView(value.substr(0, value.find(';')), TTrimSet::Blanks));
}

bool NeedsEncoding(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.size() > kMaxLineBytes) return true;
        for (unsigned char c : line)
            if (c >= 0x80 || c == 0 || c == '\r' || c == '\n') return true;
    }
    return false;
}

std::vector<std::string> EncodeQuotedPrintable(const std::vector<std::string>& lines) {
    static const char kHex[] = "0123456789ABCDEF";
    std::vector<std::string> out;
    out.reserve(lines.size());
    for (const std::string& line : lines) {
        std::string current;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            const bool last = i + 1 == line.size();
            // A blank at the end of a line would be lost in transport, so it is encoded there.
            const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
            char piece[3] = {static_cast<char>(c), 0, 0};
            std::size_t pieceSize = 1;
            if (!literal) {
                piece[0] = '=';
                piece[1] = kHex[c >> 4];
                piece[2] = kHex[c & 15];
                pieceSize = 3;
            }
            if (current.size() + pieceSize > kQuotedWidth - 1) {
                current += '=';
                out.push_back(std::move(current));
                current.clear();
            }
            current.append(piece, pieceSize);
        }
        out.push_back(std::move(current));
    }
    return out;
}

std::vector<std::string> EncodeBase64(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::string> out;
    std::string current;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (n > 1) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (n > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        current += kAlphabet[(v >> 18) & 63];
        current += kAlphabet[(v >> 12) & 63];
        current += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        current += n > 2 ? kAlphabet[v & 63] : '=';
        if (current.size() >= kBase64Width) {
            out.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

std::string FoldField(const std::string& field) {
    if (field.size() <= kFoldWidth) return field;
    // A break goes before a blank that follows a non-blank, so that no line is blank only;
    // the first line keeps at least "Name: " and one word.
    const std::size_t colon = field.find(':');
    std::size_t lineStart = 0;
    std::size_t minBreak = colon == std::string::npos ? 1 : colon + 2;
    std::string out;
    while (field.size() - lineStart > kFoldWidth) {
        auto breakable = [&](std::size_t i) { return IsBlank(field[i]) && !IsBlank(field[i - 1]); };
        std::size_t at = std::string::npos;
        for (std::size_t i = lineStart + kFoldWidth; i > minBreak; --i)
            if (breakable(i)) {
                at = i;
                break;
            }
        if (at == std::string::npos)
            for (std::size_t i = std::max(lineStart + kFoldWidth, minBreak + 1); i < field.size(); ++i)
                if (breakable(i)) {
                    at = i;
                    break;
                }
        if (at == std::string::npos) break;
        out.append(field, lineStart, at - lineStart);
        out += "\r\n";
        lineStart = at;  // the blank starts the continuation line
        minBreak = at + 1;
    }
    out.append(field, lineStart, std::string::npos);
    return out;
}

std::string OneFieldLine(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return result;
}

void AppendStuffedLine(std::string& out, std::string_view line) {
    if (!line.empty() && line.front() == '.') out += '.';
    out.append(line);
    out += "\r\n";
}

}  // namespace vorla::mailtext
