#include "text/Helpers.h"

#include <charconv>
#include <optional>
#include <system_error>

#include "platform/Strings.h"
#include "text/TextSearch.h"

namespace vorla {

namespace {

constexpr std::size_t kMaskFieldWidth = 255;  // base and extension each fill a field this wide

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The whole text is an optionally signed decimal that fits a 32-bit integer.
std::optional<std::int32_t> ReadDecimal(std::string_view text) {
    const char* begin = text.data();
    const char* const end = begin + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') {
            return std::nullopt;
        }
    }
    if (begin == end) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value, 10);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// Calls visit(line) for each line of the line list of text until it returns true.
template <typename Visit>
void VisitLines(std::string_view text, Visit&& visit) {
    std::size_t begin = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (visit(text.substr(begin, i - begin))) {
                return;
            }
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            begin = i;
        } else {
            ++i;
        }
    }
    if (begin < text.size()) {
        visit(text.substr(begin));
    }
}

std::vector<std::string_view> SplitAtDots(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t dot = text.find('.', begin);
        if (dot == std::string_view::npos) {
            parts.push_back(text.substr(begin));
            return parts;
        }
        parts.push_back(text.substr(begin, dot - begin));
        begin = dot + 1;
    }
}

// One field of the expanded form of a file name or mask: the text up to its first "*",
// then "?" up to the field width.
char MaskFieldAt(std::string_view field, std::size_t i) {
    return i < field.size() ? field[i] : '?';
}

struct TMaskForm {
    std::string_view base;
    std::string_view extension;
};

TMaskForm ExpandMask(std::string_view text) {
    static constexpr char kNoExtension[1] = {'\0'};
    TMaskForm form;
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) {
        form.base = text;
        form.extension = std::string_view(kNoExtension, 1);
    } else {
        form.base = text.substr(0, dot);
        form.extension = text.substr(dot);
    }
    form.base = form.base.substr(0, form.base.find('*'));
    form.extension = form.extension.substr(0, form.extension.find('*'));
    return form;
}

bool FieldsMatch(std::string_view a, std::string_view b) {
    for (std::size_t i = 0; i < kMaskFieldWidth; ++i) {
        const char x = MaskFieldAt(a, i);
        const char y = MaskFieldAt(b, i);
        if (x != '?' && y != '?' && x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string HeaderValue(std::string_view text, std::string_view name) {
    std::string value;
    VisitLines(text, [&](std::string_view line) {
        if (!BeginsWithNoCase(line, name)) {
            return false;
        }
        value = Trim(line.substr(name.size()));
        return true;
    });
    return value;
}

TFoundIP FirstBracketedIP(std::string_view line) {
    std::optional<std::size_t> startMark;  // 0-based index of a digit right after "(" or "["
    for (std::size_t i = 1; i < line.size(); ++i) {
        const char c = line[i];
        const char before = line[i - 1];
        if (IsDigit(c) && (before == '(' || before == '[')) {
            startMark = i;
            continue;
        }
        if ((c == ')' || c == ']') && IsDigit(before)) {
            const std::size_t begin = startMark.value_or(0);
            const std::string_view candidate = line.substr(begin, i - begin);
            if (!candidate.empty() &&
                candidate.find_first_not_of("0123456789.") == std::string_view::npos) {
                return TFoundIP{true, std::string(candidate)};
            }
        }
    }
    return TFoundIP{};
}

std::string ExtractReceivedIPs(const std::vector<std::string>& lines, bool all) {
    std::string result;
    for (const std::string& line : lines) {
        if (!BeginsWithNoCase(line, "Received: from ")) {
            continue;
        }
        const TFoundIP ip = FirstBracketedIP(line);
        if (ip.found) {
            result += ip.address;
            result += ',';
        }
        if (!all) {
            break;
        }
    }
    if (!result.empty() && result.back() == ',') {
        result.pop_back();
    }
    return result;
}

TIPAddressTest IsIPAddress(std::string_view text) {
    std::size_t cut = 0;
    int dots = 0;
    while (cut < text.size() && (IsDigit(text[cut]) || text[cut] == '.')) {
        if (text[cut] == '.') {
            ++dots;
        }
        ++cut;
    }
    TIPAddressTest result;
    if (dots != 3) {
        return result;
    }
    result.leadingPart = std::string(text.substr(0, cut));
    result.isAddress = true;
    for (std::string_view part : SplitAtDots(text.substr(0, cut))) {
        if (!ReadDecimal(part)) {
            result.isAddress = false;
            break;
        }
    }
    return result;
}

TIPPattern ParseIPPattern(std::string_view text) {
    TIPPattern result;
    std::size_t begin = 0;
    std::size_t octet = 0;
    // Parts that a dot ends: at most four, each "*" or a decimal integer.
    while (octet < result.octets.size()) {
        const std::size_t dot = text.find('.', begin);
        if (dot == std::string_view::npos) {
            break;
        }
        const std::string_view part = text.substr(begin, dot - begin);
        if (part == "*") {
            result.octets[octet] = 255;
        } else if (const auto value = ReadDecimal(part)) {
            result.octets[octet] = *value;
        } else {
            return result;
        }
        ++octet;
        begin = dot + 1;
    }
    // The last part is read leniently: anything that is not a number counts as 0.
    if (octet < result.octets.size()) {
        const std::string_view last = text.substr(begin);
        if (last == "*") {
            result.octets[octet] = 255;
        } else if (!last.empty()) {
            result.octets[octet] = ReadDecimal(last).value_or(0);
        }
    }
    result.ok = true;
    return result;
}

TIPComparison CompareIPPatterns(std::string_view a, std::string_view b) {
    TIPComparison result;
    const TIPPattern pa = ParseIPPattern(a);
    const TIPPattern pb = ParseIPPattern(b);
    if (!pa.ok || !pb.ok) {
        return result;
    }
    result.compatible = true;
    for (std::size_t i = 0; i < pa.octets.size(); ++i) {
        if (pa.octets[i] != 255 && pb.octets[i] != 255 && pa.octets[i] != pb.octets[i]) {
            result.compatible = false;
        }
    }
    for (std::size_t i = 0; i < pa.octets.size(); ++i) {
        if (pa.octets[i] == 255 || pb.octets[i] == 255 || pa.octets[i] != pb.octets[i]) {
            break;
        }
        if (!result.common.empty()) {
            result.common += '.';
        }
        result.common += std::to_string(pa.octets[i]);
        ++result.depth;
    }
    if (!result.common.empty() && result.depth < 4) {
        result.common += ".*";
    }
    return result;
}

bool NormalizeIPPattern(std::string& text) {
    if (text.empty() || !(text[0] == '*' || IsDigit(text[0]))) {
        return false;
    }
    std::size_t cut = 1;
    while (cut < text.size() && (text[cut] == '*' || text[cut] == '.' || IsDigit(text[cut]))) {
        ++cut;
    }
    text.resize(cut);
    if (text.back() == '.') {
        text.pop_back();  // never empties the text: its first byte is "*" or a digit
    }
    text = ReplaceAllNoCase(text, "*", "255");

    const std::vector<std::string_view> parts = SplitAtDots(text);
    std::size_t counted = 0;
    for (std::string_view part : parts) {
        if (counted == 4) {
            break;
        }
        // Parts hold digits only here. One too long for an integer is no octet either.
        if (!part.empty()) {
            const std::optional<std::int32_t> value = ReadDecimal(part);
            if (!value || *value >= 256) {
                return false;
            }
        }
        ++counted;
    }
    while (counted < 4) {
        text += ".255";
        ++counted;
    }
    return counted == 4;
}

std::string LastDomainLabel(std::string_view line) {
    const std::size_t open = line.find('<');
    if (open != std::string_view::npos) {
        line.remove_prefix(open + 1);
    }
    const std::size_t close = line.find('>');
    if (close != std::string_view::npos) {
        line = line.substr(0, close);
    }
    const std::size_t lastDot = line.rfind('.');
    if (lastDot != std::string_view::npos) {
        line.remove_prefix(lastDot + 1);
    }
    return std::string(line);
}

bool MatchFileMask(std::string_view name, std::string_view mask) {
    const auto hasWildcard = [](std::string_view s) {
        return s.find_first_of("*?") != std::string_view::npos;
    };
    if (!hasWildcard(name) && !hasWildcard(mask)) {
        return name == mask;
    }
    // Each side is compared as two fixed-width fields, base and extension; a field longer than
    // the width is compared only as far as the width, so a very long base cannot push its
    // extension out of line with the mask's.
    const TMaskForm a = ExpandMask(name);
    const TMaskForm b = ExpandMask(mask);
    return FieldsMatch(a.base, b.base) && FieldsMatch(a.extension, b.extension);
}

}  // namespace vorla
