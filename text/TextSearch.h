#pragma once
#include <cstddef>
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

// Where a text's lines end.
enum class TLineBreak {
    Any,           // at CR LF, a lone LF or a lone CR, as a text-file reader splits
    Lf,            // at LF; a CR just before it belongs to the line end, any other CR to the line
    LfAndFinalCr,  // as Lf, and a CR that ends the text ends its last line too (a file whose
                   // last write was cut short between the CR and the LF)
};

// The line that starts at begin (begin < text.size()) without its line end; returns where the
// next line starts (text.size() after the last).
std::size_t NextLine(std::string_view text, std::size_t begin, TLineBreak breaks, std::string_view& line);

// Calls fn(std::string_view line) for every line of text; a final line break gives no extra
// line, a last line without one counts. Views point into text.
template <typename Fn>
void ForEachLine(std::string_view text, TLineBreak breaks, Fn&& fn) {
    std::string_view line;
    for (std::size_t begin = 0; begin < text.size();) {
        begin = NextLine(text, begin, breaks, line);
        fn(line);
    }
}

// The lines ForEachLine visits, as a list.
std::vector<std::string> SplitLines(std::string_view text, TLineBreak breaks = TLineBreak::Any);
// Lines joined with CR LF between them (no final line break).
std::string JoinLines(const std::vector<std::string>& lines, std::string_view separator = "\r\n");

}  // namespace vorla
