#pragma once
#include <string>
#include <string_view>
#include <vector>

// Case-insensitive text search by byte folding: a-z fold to A-Z, every other byte stands for
// itself (mail is mostly UTF-8; folding bytes above 127 would make unrelated characters equal).
// Positions are 1-based; 0 means "not found". All functions are reentrant.
namespace vorla {

// The fold table, fixed for the whole run.
unsigned char FoldByte(unsigned char c);

// Position of the first occurrence of pattern in text at or after start, letter case ignored
// (Boyer-Moore-Horspool with a skip table built per call); a start below 1 counts as 1. Throws
// TVorlaError "BufferLen is 0" for an empty pattern, before the text is looked at.
std::size_t FindNoCase(std::string_view pattern, std::string_view text, std::size_t start = 1);
// Every non-overlapping occurrence replaced, left to right. The pattern must not be empty.
std::string ReplaceAllNoCase(std::string_view text, std::string_view pattern, std::string_view replacement);
// First byte at or after start (below 1 counts as 1) that folds equal to c; 0 if none.
std::size_t CharPosNoCase(std::string_view text, char c, std::size_t start = 1);

// Whether text begins with prefix, compared with the fold table: the same answer as
// FindNoCase(prefix, text) == 1 (also the same error for an empty prefix), without scanning
// the rest of the text.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The derived tests every "contains" / "begins with" of the filters means.
inline bool ContainsNoCase(std::string_view text, std::string_view pattern) {
    return FindNoCase(pattern, text) > 0;
}
inline bool BeginsWithNoCase(std::string_view text, std::string_view pattern) {
    return StartsWithNoCase(text, pattern);
}

// Line list: split at CR LF, a lone LF or a lone CR; a final line break gives no extra line.
std::vector<std::string> SplitLines(std::string_view text);
// Lines joined with CR LF between them (no final line break).
std::string JoinLines(const std::vector<std::string>& lines, std::string_view separator = "\r\n");

// Removes every leading and trailing byte whose code is at most that of the space.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);

// ASCII folding, for whole-string comparisons: only a-z / A-Z.
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsWithAscii(std::string_view text, std::string_view prefix);  // case ignored

}  // namespace vorla
