#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "text/Helpers.h"

using namespace vorla;

TEST(Helpers, HeaderValueTakesTheFirstLineThatBeginsWithTheName) {
    struct TCase {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::vector<TCase> cases = {
        {"trimmed value", "From: a@b\r\nsubject:   Hello World \t\r\nSubject: second\r\n", "Hello World"},
        {"name in capitals", "SUBJECT: help\r\n", "help"},
        {"only at the start of a line", "X-Subject: no\r\nSubject: yes", "yes"},
        {"body lines count too", "From: a\r\n\r\nsubject: from the body\r\n", "from the body"},
        {"continuation not joined", "Subject: first\r\n part two\r\n", "first"},
        {"lone LF and lone CR", "A: 1\nB: 2\rSubject: 3", "3"},
        {"no such line", "From: a\r\nTo: b\r\n", ""},
        {"empty value", "Subject:\r\n", ""},
        {"empty text", "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HeaderValue(c.text, "Subject:"), c.expected);
    }
}

TEST(Helpers, FirstBracketedIPCases) {
    struct TCase {
        std::string line;
        bool found;
        std::string address;
    };
    const std::vector<TCase> cases = {
        {"Received: from mx.example.org [192.0.2.7] by us", true, "192.0.2.7"},
        {"Received: from mx.example.org (helo 192.0.2.7) by us", false, ""},
        {"Received: from x (10.0.0.1) by y", true, "10.0.0.1"},
        {"Received: from a [10.0.0.1] by b [10.0.0.2]", true, "10.0.0.1"},
        {"Received: from a ([10.0.0.3]) by b", true, "10.0.0.3"},
        {"from [abc] [1.2.3.4]", true, "1.2.3.4"},
        {"(5) [6]", true, "5"},
        {"[1]", true, "1"},
        {"(1.2.3.4x)", false, ""},
        {"(12 34)", false, ""},
        {"1.2.3.4] at the start of the line", true, "1.2.3.4"},   // no start mark: from position 1
        {"[1.2.3.4] is read from its second character", true, "1.2.3.4"},
        {"x 1.2]", false, ""},
        {"[1 2] then 3.4)", false, ""},  // a failed candidate keeps the start mark
        {"(a1.2.3.4)", false, ""},
        {"[]", false, ""},
        {"[", false, ""},
        {"", false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.line);
        const TFoundIP ip = FirstBracketedIP(c.line);
        EXPECT_EQ(ip.found, c.found);
        EXPECT_EQ(ip.address, c.address);
    }
}

TEST(Helpers, ExtractReceivedIPsCases) {
    using TLines = std::vector<std::string>;
    struct TCase {
        const char* name;
        TLines lines;
        bool all;
        std::string expected;
    };
    const TLines hops = {
        "Return-Path: <a@b.example>",
        "Received: from one.example ([198.51.100.1]) by mx",
        "\tby relay [203.0.113.9]; Mon, 1 Jan 2024",
        "Subject: x [192.0.2.200]",
        "RECEIVED: FROM two.example [198.51.100.2]",
        "Received: from three.example (helo 198.51.100.3)",
        "Received: from four.example (198.51.100.4) and [198.51.100.5]",
    };
    const std::vector<TCase> cases = {
        {"all hops, continuation lines ignored", hops, true, "198.51.100.1,198.51.100.2,198.51.100.4"},
        {"first hop only", hops, false, "198.51.100.1"},
        {"first Received line without an address ends the search",
         {"Received: from a (helo 1.1.1.1)", "Received: from b [2.2.2.2]"}, false, ""},
        {"same lines, all", {"Received: from a (helo 1.1.1.1)", "Received: from b [2.2.2.2]"}, true,
         "2.2.2.2"},
        {"two addresses on one line", {"Received: from a [10.0.0.1] by b [10.0.0.2]"}, true, "10.0.0.1"},
        {"needs the space after from", {"Received: from", "Received: from[9.9.9.9]"}, true, ""},
        {"must begin the line", {" Received: from a [9.9.9.9]", "X-Received: from b [8.8.8.8]"}, true, ""},
        {"lines that are not Received lines are skipped before the first hop",
         {"From: x [7.7.7.7]", "Received: from a [6.6.6.6]"}, false, "6.6.6.6"},
        {"no lines", {}, true, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExtractReceivedIPs(c.lines, c.all), c.expected);
    }
}

TEST(Helpers, IsIPAddressCases) {
    struct TCase {
        std::string text;
        bool isAddress;
        std::string leading;
    };
    const std::vector<TCase> cases = {
        {"192.0.2.7", true, "192.0.2.7"},
        {"192.0.2.7 (mail.example)", true, "192.0.2.7"},
        {"1.2.3.4abc", true, "1.2.3.4"},
        {"1.2.3.999", true, "1.2.3.999"},
        {"001.002.003.004", true, "001.002.003.004"},
        {"10.1.2.*", false, "10.1.2."},
        {"1..2.3", false, "1..2.3"},
        {".1.2.3", false, ".1.2.3"},
        {"1.2.3.99999999999", false, "1.2.3.99999999999"},  // too large for an integer
        {"1.2.3.2147483647", true, "1.2.3.2147483647"},
        {"1.2.3.2147483648", false, "1.2.3.2147483648"},
        {"1.2.3", false, ""},
        {"1.2.3.4.5", false, ""},
        {"-1.2.3.4", false, ""},
        {"abc", false, ""},
        {"", false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text);
        const TIPAddressTest r = IsIPAddress(c.text);
        EXPECT_EQ(r.isAddress, c.isAddress);
        EXPECT_EQ(r.leadingPart, c.leading);
    }
}

TEST(Helpers, ParseIPPatternCases) {
    struct TCase {
        std::string text;
        bool ok;
        TIPOctets octets;
    };
    const std::vector<TCase> cases = {
        {"10.20", true, {10, 20, 255, 255}},
        {"1.*.3.4", true, {1, 255, 3, 4}},
        {"1.2.3.x", true, {1, 2, 3, 0}},
        {"1.x.3.4", false, {1, 255, 255, 255}},  // the octets read before the failure stay
        {"*", true, {255, 255, 255, 255}},
        {"192.0.2.7", true, {192, 0, 2, 7}},
        {"1.2.3.", true, {1, 2, 3, 255}},
        {"1.2.3.4.5", true, {1, 2, 3, 4}},
        {"1.2.3.4.junk", true, {1, 2, 3, 4}},
        {"1.2.3.x.5", false, {1, 2, 3, 255}},
        {"1..3", false, {1, 255, 255, 255}},
        {"99999999999.1.1.1", false, {255, 255, 255, 255}},
        {"1.2.3.99999999999", true, {1, 2, 3, 0}},
        {"-1.+2.3.4", true, {-1, 2, 3, 4}},
        {"+-1.2", false, {255, 255, 255, 255}},
        {"7", true, {7, 255, 255, 255}},
        {"1.2.3.4 ", true, {1, 2, 3, 0}},
        {"", true, {255, 255, 255, 255}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text);
        const TIPPattern p = ParseIPPattern(c.text);
        EXPECT_EQ(p.ok, c.ok);
        EXPECT_EQ(p.octets, c.octets);
    }
}

TEST(Helpers, CompareIPPatternsCases) {
    struct TCase {
        std::string a, b;
        bool compatible;
        std::string common;
        int depth;
    };
    const std::vector<TCase> cases = {
        {"192.0.2.7", "192.0.2.*", true, "192.0.2.*", 3},
        {"192.0.2.7", "192.0.9.1", false, "192.0.*", 2},
        {"192.0.2.7", "192.0.2.7", true, "192.0.2.7", 4},
        {"*", "10.1.2.3", true, "", 0},
        {"10.1.2.3", "*", true, "", 0},
        {"1.*.3.4", "1.*.3.4", true, "1.*", 1},
        {"10.20", "10.20.30.40", true, "10.20.*", 2},
        {"10.*", "11.*", false, "", 0},
        {"1.x.3.4", "1.2.3.4", false, "", 0},
        {"1.2.3.4", "1.x.3.4", false, "", 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        const TIPComparison r = CompareIPPatterns(c.a, c.b);
        EXPECT_EQ(r.compatible, c.compatible);
        EXPECT_EQ(r.common, c.common);
        EXPECT_EQ(r.depth, c.depth);
    }
}

TEST(Helpers, NormalizeIPPatternCases) {
    struct TCase {
        std::string text;
        bool ok;
        std::string after;
    };
    const std::vector<TCase> cases = {
        {"192.168.*", true, "192.168.255.255"},
        {"12 is the prefix we block", true, "12.255.255.255"},
        {"300.1.1.1", false, "300.1.1.1"},
        {"10.0.0.1", true, "10.0.0.1"},
        {"10.*.*.*", true, "10.255.255.255"},
        {"*", true, "255.255.255.255"},
        {"1.2.3.", true, "1.2.3.255"},
        {"1..2", true, "1..2.255"},  // an empty part is accepted
        {"1.2.3.4.5", true, "1.2.3.4.5"},
        {"1.2.3.4.999", true, "1.2.3.4.999"},  // parts after the fourth are not looked at
        {"1.2.255.256", false, "1.2.255.256"},
        {"1*", false, "1255"},
        {"99999999999", false, "99999999999"},  // too large for an integer is too large for an octet
        {"192.0.2.7/24", true, "192.0.2.7"},
        {"", false, ""},
        {"x1.2.3.4", false, "x1.2.3.4"},
        {".1", false, ".1"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(NormalizeIPPattern(text), c.ok);
        EXPECT_EQ(text, c.after);
    }
}

TEST(Helpers, LastDomainLabelCases) {
    struct TCase {
        std::string line, expected;
    };
    const std::vector<TCase> cases = {
        {"Return-Path: <bounce@mail.example.ru>", "ru"},
        {"Message-ID: <20240101.1234@host.example.cn>", "cn"},
        {"From: Some One <one@b.example.de> (comment.x)", "de"},
        {"Received: from a.b.example.org", "org"},
        {"Subject: hello", "Subject: hello"},
        {"To: <nodot>", "nodot"},
        {"a.b> c.d", "b"},
        {"To: x@example.ru.", ""},
        {"", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(LastDomainLabel(c.line), c.expected);
    }
}

TEST(Helpers, MatchFileMaskCases) {
    struct TCase {
        std::string name, mask;
        bool matches;
    };
    const std::vector<TCase> cases = {
        {"INVOICE.EXE", "*.exe", false},
        {"invoice.exe", "*.exe", true},
        {"readme", "*", true},
        {"a.txt", "*", false},
        {"readme", "*.*", false},
        {"a.txt", "*.*", true},
        {"a.tar.gz", "*.*", true},
        {"a.exe.txt", "*.exe", false},
        {"invoices.exe", "inv?ice.exe", true},
        {"axyz.txt", "a*b.txt", true},      // characters after a "*" are ignored
        {"bxyz.txt", "a*b.txt", false},
        {"a.exe", "*.ex?", true},
        {"a.exe", "*.e", true},             // a shorter extension matches as far as it goes
        {"abc", "?", true},
        {"a.b", "?", false},
        {"Readme.txt", "readme.txt", false},  // no wildcard: plain comparison, case included
        {"readme.txt", "readme.txt", true},
        {"readme.txt", "readme.tx", false},
        {"x.exe", "*.EXE", false},
        {std::string(300, 'a') + ".exe", "*.exe", true},  // a long name keeps its extension in line
        {std::string(300, 'a') + ".zip", "*.exe", false},
        {"", "*", true},
        {"", "*.*", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40) + " / " + c.mask);
        EXPECT_EQ(MatchFileMask(c.name, c.mask), c.matches);
    }
}

// Hostile input: every helper copes with junk, long digit runs and odd brackets.
TEST(Helpers, HostileInputNeverBreaksTheHelpers) {
    std::mt19937 random(77u);
    const std::string alphabet = "0123456789.*[]()<>?-+ x\r\n\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 80)(random);
        for (std::size_t i = 0; i < length; ++i) {
            text += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
        }
        if (round % 50 == 0) {
            text += std::string(5000, '9') + "." + std::string(3000, '1');
        }
        SCOPED_TRACE(text.substr(0, 60));
        const TFoundIP ip = FirstBracketedIP(text);
        if (ip.found) {
            EXPECT_NE(text.find(ip.address), std::string::npos);
        }
        const TIPAddressTest address = IsIPAddress(text);
        EXPECT_TRUE(address.leadingPart.empty() || text.rfind(address.leadingPart, 0) == 0);
        const TIPPattern pattern = ParseIPPattern(text);
        (void)pattern;
        const TIPComparison comparison = CompareIPPatterns(text, "10.*");
        EXPECT_LE(comparison.depth, 4);
        std::string normalized = text;
        if (NormalizeIPPattern(normalized)) {
            EXPECT_GE(std::count(normalized.begin(), normalized.end(), '.'), 3);
            EXPECT_EQ(normalized.find('*'), std::string::npos);
        }
        EXPECT_LE(LastDomainLabel(text).size(), text.size());
        MatchFileMask(text, "*.exe");
        MatchFileMask("a.exe", text);
        HeaderValue(text, "Subject:");
        ExtractReceivedIPs({"Received: from " + text}, true);
    }
}
