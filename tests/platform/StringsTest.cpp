#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Strings.h"

using namespace vorla;

TEST(Strings, TrimRemovesSpacesAndControlsOnly) {
    EXPECT_EQ(Trim(" \t\r\n x y \x01\x1f "), "x y");
    EXPECT_EQ(Trim(std::string("\0a\0", 3)), "a");
    EXPECT_EQ(Trim("\xa0x\xa0"), "\xa0x\xa0");  // bytes above 127 are not spaces
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(TrimLeft("  a  "), "a  ");
    EXPECT_EQ(TrimRight("  a  "), "  a");
}

TEST(Strings, EachTrimSetRemovesOnlyItsBytes) {
    struct TCase {
        std::string text;
        TTrimSet set;
        std::string both, left, right;
    };
    const std::vector<TCase> cases = {
        {" \tx y\t ", TTrimSet::Blanks, "x y", "x y\t ", " \tx y"},
        {"\r x \r", TTrimSet::Blanks, "\r x \r", "\r x \r", "\r x \r"},
        {"\x01 x \x01", TTrimSet::Blanks, "\x01 x \x01", "\x01 x \x01", "\x01 x \x01"},
        {"\r x \r\t\r", TTrimSet::BlanksAndCr, "x", "x \r\t\r", "\r x"},
        {"\n x \n", TTrimSet::BlanksAndCr, "\n x \n", "\n x \n", "\n x \n"},
        {"\n\x01 x \x7f", TTrimSet::ControlsAndSpace, "x \x7f", "x \x7f", "\n\x01 x \x7f"},
        {" \t\r", TTrimSet::Blanks, "\r", "\r", " \t\r"},
        {"", TTrimSet::BlanksAndCr, "", "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text) + " set " + std::to_string(static_cast<int>(c.set)));
        EXPECT_EQ(Trim(c.text, c.set), c.both);
        EXPECT_EQ(TrimmedView(c.text, c.set), c.both);
        EXPECT_EQ(TrimLeft(c.text, c.set), c.left);
        EXPECT_EQ(TrimRight(c.text, c.set), c.right);
    }
}

TEST(Strings, AsciiFoldingTouchesOnlyLetters) {
    EXPECT_EQ(AsciiUpper("abc[`]{z}\xe4"), "ABC[`]{Z}\xe4");
    EXPECT_EQ(AsciiLower("ABC@[Z]\xc4"), "abc@[z]\xc4");
    struct TCase {
        std::string a, b;
        bool same;
    };
    const std::vector<TCase> cases = {
        {"Subject", "SUBJECT", true}, {"", "", true},     {"a", "ab", false},
        {"[", "{", false},            {"\xe4", "\xc4", false}, {"x\xe4", "X\xe4", true},
        {"@", "`", false},            {"content-type", "Content-Typf", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        EXPECT_EQ(SameTextAscii(c.a, c.b), c.same);
        EXPECT_EQ(SameTextAscii(c.b, c.a), c.same);
    }
    EXPECT_TRUE(StartsWithAscii("Content-Type: text", "content-type:"));
    EXPECT_TRUE(StartsWithAscii("+ok 2 messages", "+OK"));
    EXPECT_TRUE(StartsWithAscii("abc", ""));
    EXPECT_FALSE(StartsWithAscii("ab", "abc"));
    EXPECT_FALSE(StartsWithAscii("{abc", "[abc"));
}

TEST(Strings, ControlsReplacedKeepsPrintableAndHighBytes) {
    struct TCase {
        std::string text, expected;
    };
    const std::vector<TCase> cases = {
        {"plain text", "plain text"},
        {"a\tb\r\nc", "a?b??c"},
        {std::string("\0\x1b[2J", 5), "??[2J"},
        {"del\x7f", "del?"},
        {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},  // bytes above 127 are left to the terminal's charset
        {"", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(ControlsReplaced(c.text), c.expected);
    }
    EXPECT_EQ(ControlsReplaced("a\nb", ' '), "a b");
}
