#include "filters/TextSearch.h"

#include <array>
#include <cstddef>

#include "platform/Errors.h"

namespace vorla {

namespace {

constexpr std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto c = static_cast<unsigned char>(i);
        table[i] = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
    }
    return table;
}

constexpr std::array<unsigned char, 256> kFoldTable = MakeFoldTable();

inline const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

inline bool IsControlOrSpace(char c) {
    return static_cast<unsigned char>(c) <= static_cast<unsigned char>(' ');
}

inline char AsciiUpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

inline char AsciiLowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace

unsigned char FoldByte(unsigned char c) {
    return kFoldTable[c];
}

std::size_t FindNoCase(std::string_view pattern, std::string_view text, std::size_t start) {
    const std::size_t m = pattern.size();
    if (m == 0) {
        throw TVorlaError("BufferLen is 0");
    }
    if (start < 1) {
        start = 1;  // position 0 would align the pattern before the text's first byte
    }
    const std::size_t n = text.size();
    const std::size_t from = start - 1;  // 0-based index of the first alignment's first byte
    if (from > n || n - from < m) {
        return 0;
    }

    const unsigned char* const pat = Bytes(pattern);
    const unsigned char* const t = Bytes(text);
    const std::size_t last = m - 1;
    const unsigned char lastFolded = kFoldTable[pat[last]];

    // The skip table of the scan, indexed by the raw text byte rather than its folded value:
    // both bytes of a letter pair get the entry of their folded form, so the hot loop needs no
    // fold look-up. Bytes that fold like the pattern's last byte get 0, which stops the skip
    // loop at every alignment where the last byte matches; their true entry is lastShift.
    std::size_t skip[256];
    for (std::size_t& entry : skip) {
        entry = m;
    }
    for (std::size_t k = 0; k < last; ++k) {
        const unsigned char folded = kFoldTable[pat[k]];
        skip[folded] = last - k;
        if (folded >= 'A' && folded <= 'Z') {
            skip[folded + ('a' - 'A')] = last - k;
        }
    }
    const std::size_t lastShift = skip[lastFolded];
    skip[lastFolded] = 0;
    if (lastFolded >= 'A' && lastFolded <= 'Z') {
        skip[lastFolded + ('a' - 'A')] = 0;
    }

    // p: index of the text byte under the pattern's last byte.
    std::size_t p = from + last;
    // Each step moves p by at most m, and a 0 entry keeps it where it is (so later steps of an
    // unrolled round stay on that alignment); four unchecked steps and the test that follows
    // stay inside the text while p + 4m < n.
    const std::size_t unrolledEnd = (n > 4 * m) ? n - 4 * m : 0;
    for (;;) {
        while (p < unrolledEnd) {
            p += skip[t[p]];
            p += skip[t[p]];
            p += skip[t[p]];
            p += skip[t[p]];
            if (skip[t[p]] == 0) {
                break;
            }
        }
        std::size_t s;
        while (p < n && (s = skip[t[p]]) != 0) {
            p += s;
        }
        if (p >= n) {
            return 0;
        }
        // The last byte matches; compare the rest from the end backwards.
        const unsigned char* const window = t + (p - last);
        std::size_t j = last;
        while (j > 0 && kFoldTable[window[j - 1]] == kFoldTable[pat[j - 1]]) {
            --j;
        }
        if (j == 0) {
            return p - last + 1;
        }
        p += lastShift;
    }
}

std::string ReplaceAllNoCase(std::string_view text, std::string_view pattern, std::string_view replacement) {
    if (text.empty()) {
        return std::string();
    }
    std::string result;
    result.reserve(text.size());
    std::size_t from = 1;
    for (;;) {
        const std::size_t found = FindNoCase(pattern, text, from);
        if (found == 0) {
            break;
        }
        result.append(text.substr(from - 1, found - from));
        result.append(replacement);
        from = found + pattern.size();
    }
    if (from - 1 < text.size()) {
        result.append(text.substr(from - 1));
    }
    return result;
}

std::size_t CharPosNoCase(std::string_view text, char c, std::size_t start) {
    if (start < 1) {
        start = 1;
    }
    if (text.empty() || start > text.size()) {
        return 0;
    }
    const unsigned char wanted = kFoldTable[static_cast<unsigned char>(c)];
    const unsigned char* const t = Bytes(text);
    for (std::size_t i = start - 1; i < text.size(); ++i) {
        if (kFoldTable[t[i]] == wanted) {
            return i + 1;
        }
    }
    return 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (prefix.empty()) {
        throw TVorlaError("BufferLen is 0");
    }
    if (text.size() < prefix.size()) {
        return false;
    }
    const unsigned char* const t = Bytes(text);
    const unsigned char* const p = Bytes(prefix);
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (kFoldTable[t[i]] != kFoldTable[p[i]]) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text.substr(begin, i - begin));
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            begin = i;
        } else {
            ++i;
        }
    }
    if (begin < text.size()) {
        lines.emplace_back(text.substr(begin));
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            result.append(separator);
        }
        result.append(lines[i]);
    }
    return result;
}

std::string Trim(std::string_view text) {
    return TrimRight(TrimLeft(text));
}

std::string TrimLeft(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size() && IsControlOrSpace(text[begin])) {
        ++begin;
    }
    return std::string(text.substr(begin));
}

std::string TrimRight(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && IsControlOrSpace(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string AsciiUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = AsciiUpperChar(c);
    }
    return result;
}

std::string AsciiLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = AsciiLowerChar(c);
    }
    return result;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpperChar(a[i]) != AsciiUpperChar(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithAscii(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

}  // namespace vorla
