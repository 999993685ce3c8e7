#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "text/TextSearch.h"

using namespace vorla;

namespace {

// Independent of the fold table under test: only a-z fold, to A-Z.
unsigned char ReferenceFold(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
}

std::size_t NaiveFind(const std::string& pattern, const std::string& text, std::size_t start) {
    const std::size_t from = start < 1 ? 0 : start - 1;
    const std::size_t m = pattern.size();
    for (std::size_t i = from; i + m <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < m && ReferenceFold(static_cast<unsigned char>(text[i + k])) ==
                            ReferenceFold(static_cast<unsigned char>(pattern[k]))) {
            ++k;
        }
        if (k == m) {
            return i + 1;
        }
    }
    return 0;
}

}  // namespace

TEST(TextSearch, FoldTableFoldsOnlyAsciiLetters) {
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE("byte " + std::to_string(c));
        EXPECT_EQ(FoldByte(static_cast<unsigned char>(c)), ReferenceFold(static_cast<unsigned char>(c)));
    }
}

TEST(TextSearch, FindNoCaseCases) {
    struct TCase {
        const char* name;
        std::string pattern;
        std::string text;
        std::size_t start;
        std::size_t expected;
    };
    const std::size_t kHuge = std::numeric_limits<std::size_t>::max();
    const std::vector<TCase> cases = {
        {"lower pattern at start of upper line", "subject:", "SUBJECT: Cheap offers", 1, 1},
        {"mixed case in the middle", "ViAgRa", "buy cheap vIaGrA now", 1, 11},
        {"absent", "lottery", "nothing to see here", 1, 0},
        {"pattern equals text", "Abc", "aBC", 1, 1},
        {"pattern longer than text", "abcd", "abc", 1, 0},
        {"match at the very end", "end", "the END", 1, 5},
        {"single byte pattern", "x", "aaaX", 1, 4},
        {"overlapping prefix of the pattern", "aab", "aaab", 1, 2},
        {"repeated last byte", "abb", "ababbb", 1, 3},
        {"first of two occurrences", "ab", "xxABxxab", 1, 3},
        {"start skips the first occurrence", "ab", "xxABxxab", 4, 7},
        {"start exactly on a match", "ab", "xxABxxab", 7, 7},
        {"start one past the last match", "ab", "xxABxxab", 8, 0},
        {"start 0 counts as 1", "ab", "abc", 0, 1},
        {"text shorter than start+m-1", "bc", "abc", 3, 0},
        {"start just past the end", "c", "abc", 4, 0},
        {"start far beyond the end", "c", "abc", 1000, 0},
        {"largest start does not overflow", "c", "abc", kHuge, 0},
        {"empty text", "a", "", 1, 0},
        {"brackets do not fold onto braces", "[x]", "{X}", 1, 0},
        {"at sign does not fold onto backquote", "@", "`", 1, 0},
        {"caret and tilde stay apart", "^", "~", 1, 0},
        {"bytes above 127 do not fold", "\xe4", "\xc4", 1, 0},
        {"bytes above 127 match themselves", "gr\xc3\xbc\xc3\x9f", "GR\xc3\xbc\xc3\x9f Gott", 1, 1},
        {"NUL bytes are ordinary", std::string("b\0c", 3), std::string("ab\0C", 4), 1, 2},
        {"line breaks are ordinary bytes", "a\r\nb", "xA\r\nB", 1, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindNoCase(c.pattern, c.text, c.start), c.expected);
    }
}

TEST(TextSearch, EmptyPatternFailsBeforeTheTextIsLookedAt) {
    const std::vector<std::string> texts = {"", "abc"};
    for (const std::string& text : texts) {
        SCOPED_TRACE("text \"" + text + "\"");
        for (std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{50}}) {
            try {
                FindNoCase("", text, start);
                ADD_FAILURE() << "no error for start " << start;
            } catch (const TVorlaError& e) {
                EXPECT_STREQ(e.what(), "BufferLen is 0");
            }
        }
    }
    EXPECT_THROW(ContainsNoCase("abc", ""), TVorlaError);
    EXPECT_THROW(BeginsWithNoCase("", ""), TVorlaError);
    EXPECT_THROW(StartsWithNoCase("abc", ""), TVorlaError);
}

// Random texts over a small alphabet (letters of both cases, letter-like punctuation, bytes
// above 127, line breaks), patterns taken from the text with their case flipped or made up,
// and every kind of start position.
TEST(TextSearch, FindNoCaseAgreesWithNaiveSearch) {
    std::mt19937 random(20240611u);
    const std::string alphabet = std::string("aAbBzZ[{@`\xe4\xc4\xff\x80\r\n \0", 18);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(random); };
    int found = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::size_t textLength = pick(round % 10 == 0 ? 400 : 40);
        std::string text;
        for (std::size_t i = 0; i < textLength; ++i) {
            text += alphabet[pick(alphabet.size() - 1)];
        }
        std::string pattern;
        const std::size_t patternLength = 1 + pick(round % 7 == 0 ? 40 : 6);
        if (!text.empty() && pick(2) != 0) {
            const std::size_t at = pick(text.size() - 1);
            pattern = text.substr(at, patternLength);
            for (char& c : pattern) {
                if (pick(1) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
                    c = static_cast<char>(c ^ 0x20);
                }
            }
        } else {
            for (std::size_t i = 0; i < patternLength; ++i) {
                pattern += alphabet[pick(alphabet.size() - 1)];
            }
        }
        const std::size_t start = pick(text.size() + 2);
        const std::size_t expected = NaiveFind(pattern, text, start);
        const std::size_t actual = FindNoCase(pattern, text, start);
        if (actual != expected) {
            ADD_FAILURE() << "round " << round << ": start " << start << ", pattern length "
                          << pattern.size() << ", text length " << text.size() << ": got " << actual
                          << ", expected " << expected;
            break;
        }
        if (expected != 0) {
            ++found;
        }
        EXPECT_EQ(BeginsWithNoCase(text, pattern), NaiveFind(pattern, text, 1) == 1);
    }
    EXPECT_GT(found, 5000);  // the table exercises matches, not only misses
}

TEST(TextSearch, FindNoCaseOnLongTexts) {
    // Long enough for the unrolled part of the scan, with the match at each place near the end.
    std::string text(5000, 'x');
    for (std::size_t m : {1u, 2u, 5u, 31u, 64u}) {
        const std::string pattern = "Q" + std::string(m - 1, 'y');
        for (std::size_t at = text.size() - 300; at + m <= text.size(); ++at) {
            std::string t = text;
            t[at] = 'q';
            for (std::size_t k = 1; k < m; ++k) {
                t[at + k] = 'Y';
            }
            if (FindNoCase(pattern, t) != at + 1) {
                ADD_FAILURE() << "pattern length " << m << ", match at " << at + 1;
                break;
            }
        }
    }
}

TEST(TextSearch, ReplaceAllNoCaseCases) {
    struct TCase {
        std::string text, pattern, replacement, expected;
    };
    const std::vector<TCase> cases = {
        {"192.168.*.*", "*", "255", "192.168.255.255"},
        {"Hello hello HELLO", "hello", "x", "x x x"},
        {"aaaa", "aa", "b", "bb"},
        {"aaa", "aa", "b", "ba"},
        {"ab", "a", "aa", "aab"},
        {"abc", "abc", "", ""},
        {"abc", "x", "y", "abc"},
        {"xABCx", "b", "-", "xA-Cx"},
        {"", "a", "b", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text + " / " + c.pattern);
        EXPECT_EQ(ReplaceAllNoCase(c.text, c.pattern, c.replacement), c.expected);
    }
    EXPECT_EQ(ReplaceAllNoCase("", "", "x"), "");
    EXPECT_THROW(ReplaceAllNoCase("abc", "", "x"), TVorlaError);
}

TEST(TextSearch, CharPosNoCaseCases) {
    struct TCase {
        std::string text;
        char c;
        std::size_t start, expected;
    };
    const std::vector<TCase> cases = {
        {"Hello", 'L', 1, 3}, {"Hello", 'l', 4, 4}, {"Hello", 'l', 5, 0},  {"Hello", 'h', 0, 1},
        {"Hello", 'o', 5, 5}, {"Hello", 'o', 6, 0}, {"", 'a', 1, 0},       {"a{", '[', 1, 0},
        {"\xc4", '\xe4', 1, 0}, {"x\xe4", '\xe4', 1, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text + " / " + std::string(1, c.c) + " from " + std::to_string(c.start));
        EXPECT_EQ(CharPosNoCase(c.text, c.c, c.start), c.expected);
    }
}

TEST(TextSearch, SplitLinesUnderEachLineBreakRule) {
    using TLines = std::vector<std::string>;
    struct TCase {
        std::string text;
        TLines any, lf, lfAndFinalCr;
    };
    const std::vector<TCase> cases = {
        {"", {}, {}, {}},
        {"a", {"a"}, {"a"}, {"a"}},
        {"a\r\n", {"a"}, {"a"}, {"a"}},
        {"a\r\nb", {"a", "b"}, {"a", "b"}, {"a", "b"}},
        {"a\nb\rc\r\nd", {"a", "b", "c", "d"}, {"a", "b\rc", "d"}, {"a", "b\rc", "d"}},
        {"a\r\r\nb", {"a", "", "b"}, {"a\r", "b"}, {"a\r", "b"}},
        {"a\n\rb", {"a", "", "b"}, {"a", "\rb"}, {"a", "\rb"}},
        {"\r\n", {""}, {""}, {""}},
        {"\n\n", {"", ""}, {"", ""}, {"", ""}},
        {"a\r\n\r\n", {"a", ""}, {"a", ""}, {"a", ""}},
        {"\rx", {"", "x"}, {"\rx"}, {"\rx"}},
        {"a\nb\r", {"a", "b"}, {"a", "b\r"}, {"a", "b"}},
        {"a\r\r", {"a", ""}, {"a\r\r"}, {"a\r"}},
        {"\r", {""}, {"\r"}, {""}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(SplitLines(c.text), c.any);
        EXPECT_EQ(SplitLines(c.text, TLineBreak::Lf), c.lf);
        EXPECT_EQ(SplitLines(c.text, TLineBreak::LfAndFinalCr), c.lfAndFinalCr);
    }
    EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb");
    EXPECT_EQ(JoinLines({}), "");
    EXPECT_EQ(JoinLines({"a", "b"}, "\n"), "a\nb");
}
