#pragma once
#include <string>
#include <string_view>

// Byte-string helpers every library needs: ASCII letter case, trimming, control characters.
// Only the ASCII letters a-z / A-Z fold; every other byte (UTF-8 included) stands for itself.
// Pure functions; any thread.
namespace vorla {

std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
// Same length and the same bytes once letters are folded.
bool SameTextAscii(std::string_view a, std::string_view b);
// Whether text begins with prefix, letter case ignored; every text begins with "".
bool StartsWithAscii(std::string_view text, std::string_view prefix);

// Which bytes the trimming functions remove.
enum class TTrimSet {
    ControlsAndSpace,  // every byte whose code is at most that of the space (NUL, CR, LF, TAB ...)
    Blanks,            // the space and the TAB only: other control bytes are part of the text
    BlanksAndCr,       // space, TAB and CR: what a line split only at LF may carry at its end
};

std::string Trim(std::string_view text, TTrimSet set = TTrimSet::ControlsAndSpace);
std::string TrimLeft(std::string_view text, TTrimSet set = TTrimSet::ControlsAndSpace);
std::string TrimRight(std::string_view text, TTrimSet set = TTrimSet::ControlsAndSpace);
// The same without a copy: a view into text.
std::string_view TrimmedView(std::string_view text, TTrimSet set = TTrimSet::ControlsAndSpace);

// Every control byte (below the space, and DEL) replaced by `by`, so that text from a file or
// a peer cannot act on a terminal or split a log line.
std::string ControlsReplaced(std::string_view text, char by = '?');

}  // namespace vorla
