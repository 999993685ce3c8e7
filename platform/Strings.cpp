#include "platform/Strings.h"

namespace vorla {
namespace {

char AsciiUpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool IsTrimmed(char c, TTrimSet set) {
    switch (set) {
        case TTrimSet::ControlsAndSpace: return static_cast<unsigned char>(c) <= static_cast<unsigned char>(' ');
        case TTrimSet::Blanks: return c == ' ' || c == '\t';
        case TTrimSet::BlanksAndCr: return c == ' ' || c == '\t' || c == '\r';
    }
    return false;
}

std::string_view LeftTrimmed(std::string_view text, TTrimSet set) {
    while (!text.empty() && IsTrimmed(text.front(), set)) text.remove_prefix(1);
    return text;
}

std::string_view RightTrimmed(std::string_view text, TTrimSet set) {
    while (!text.empty() && IsTrimmed(text.back(), set)) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string AsciiUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = AsciiUpperChar(c);
    return result;
}

std::string AsciiLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = AsciiLowerChar(c);
    return result;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiUpperChar(a[i]) != AsciiUpperChar(b[i])) return false;
    return true;
}

bool StartsWithAscii(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimmedView(std::string_view text, TTrimSet set) { return RightTrimmed(LeftTrimmed(text, set), set); }

std::string Trim(std::string_view text, TTrimSet set) { return std::string(TrimmedView(text, set)); }

std::string TrimLeft(std::string_view text, TTrimSet set) { return std::string(LeftTrimmed(text, set)); }

std::string TrimRight(std::string_view text, TTrimSet set) { return std::string(RightTrimmed(text, set)); }

std::string ControlsReplaced(std::string_view text, char by) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = by;
    return out;
}

}  // namespace vorla
