#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "filters/FilterMatch.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/TempDir.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;

namespace {

std::string Fixture(const std::string& name) { return ReadFile(std::string(TEST_DATA_DIR) + "/" + name); }

TZivadFilterItem Rule(TFilterSection section, const std::string& searchText,
                      TFilterAction action = TFilterAction::Reject) {
    TZivadFilterItem rule;
    rule.SetDescription("test rule");
    rule.SetAction(action);
    rule.SetSection(section);
    rule.SetSearchText(searchText);
    rule.SetActive(true);
    return rule;
}

bool Hit(TFilterSection section, const std::string& searchText, const std::string& text) {
    TZivadFilterItem rule = Rule(section, searchText);
    return MatchRule(rule, "Acct", text);
}

struct TMatchRow {
    const char* name;
    TFilterSection section;
    std::string searchText;
    std::string text;
    bool hit;
};

void RunRows(const std::vector<TMatchRow>& rows) {
    for (const TMatchRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Hit(row.section, row.searchText, row.text), row.hit);
    }
}

const std::string kPlain =
    "Received: from relay.example.org (relay.example.org [192.0.2.7]) by mx.example.net\r\n"
    "From: Alice <alice@example.org>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Cc: Carol <carol@example.net>\r\n"
    "Reply-To: replies@example.org\r\n"
    "Subject: Quarterly report\r\n"
    "X-Mailer: Example Mail 1.0\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    "From: this line is in the body\r\n"
    "the figures are attached.\r\n";

using S = TFilterSection;

TEST(FilterMatch, HeaderSectionsSearchOnlyTheirOwnUnfoldedLines) {
    RunRows({
        {"From finds the sender", S::From, "alice@example.org", kPlain, true},
        {"From's header name is part of the text", S::From, "from", kPlain, true},
        {"From ignores a From line in the body", S::From, "this line is in the body", kPlain, false},
        {"From ignores other headers", S::From, "bob@example.net", kPlain, false},
        {"To finds the recipient", S::To, "BOB@EXAMPLE.NET", kPlain, true},
        {"To does not look in Cc", S::To, "carol", kPlain, false},
        {"CC finds Cc in another letter case", S::CC, "carol@example.net", kPlain, true},
        {"Reply To", S::ReplyTo, "replies@", kPlain, true},
        {"Received", S::Received, "relay.example.org", kPlain, true},
        {"Subject", S::Subject, "quarterly", kPlain, true},
        {"Subject does not look at the body", S::Subject, "figures", kPlain, false},
        {"Present In Any Header finds any header", S::PresentInAnyHeader, "Example Mail", kPlain, true},
        {"Present In Any Header ignores the body", S::PresentInAnyHeader, "Hello Bob", kPlain, false},
        {"folded Subject is joined with one space", S::Subject, "urgent offer",
         "Subject: urgent\r\n\toffer inside\r\n\r\nbody\r\n", true},
        {"folded header joins only continuation lines", S::From, "alice bob",
         "From: alice\r\nTo: bob\r\n\r\n", false},
        {"a header without an empty line is all header", S::To, "bob", "From: a\r\nTo: bob", true},
        {"an empty line ends the header block", S::To, "bob", "From: a\r\n\r\nTo: bob\r\n", false},
        {"a continuation line counts as a line of its own", S::PresentInAnyHeader, "second part",
         "X-Note: first\r\n second part\r\n\r\n", true},
        {"a tab-indented continuation line keeps its tab in its own form", S::PresentInAnyHeader, "\tsecond",
         "X-Note: first\r\n\tsecond part\r\n\r\n", true},
        {"a space-indented one has no tab", S::PresentInAnyHeader, "\tsecond",
         "X-Note: first\r\n second part\r\n\r\n", false},
    });
}

TEST(FilterMatch, SubjectAlsoMatchesItsLettersOnly) {
    RunRows({
        {"letters separated by dots", S::Subject, "viagra", "Subject: V.i.a.g.r.a now\r\n\r\nx\r\n", true},
        {"letters separated by digits and dashes", S::Subject, "cheap meds",
         "Subject: ch3e4ap m-e-d-s\r\n\r\n", true},
        {"letters separated by spaces", S::Subject, "viagra", "Subject: V i a g r a\r\n\r\nx\r\n", false},
        {"the colon goes too", S::Subject, "subjectfree", "Subject:free\r\n\r\n", true},
        {"only the physical Subject line", S::Subject, "hello world",
         "Subject: h.e.l.l.o\r\n w.o.r.l.d\r\n\r\n", false},
        {"not on other headers", S::Subject, "viagra", "X-Subject: V.i.a.g.r.a\r\n\r\n", false},
    });
}

TEST(FilterMatch, ReceivedIpComparesTheFirstBracketedAddressOfTheUnfoldedHeader) {
    const std::string twoAddresses =
        "Received: from a.example (a.example [10.1.2.4]) by b.example ([10.1.2.3])\r\n\r\nx\r\n";
    RunRows({
        {"address on the second physical line", S::ReceivedIP, "192.168.*",
         Fixture("received-address-on-continuation-line.eml"), true},
        {"other network", S::ReceivedIP, "10.*", Fixture("received-address-on-continuation-line.eml"), false},
        {"only the first bracketed address counts", S::ReceivedIP, "10.1.2.3", twoAddresses, false},
        {"the first one hits", S::ReceivedIP, "10.1.2.4", twoAddresses, true},
        {"wildcard octet", S::ReceivedIP, "10.1.*.4", twoAddresses, true},
        {"an address in parentheses after helo text is no address", S::ReceivedIP, "10.*",
         "Received: from x (helo 10.0.0.9) by y\r\n\r\n", false},
        {"Received lines of the body are not header", S::ReceivedIP, "*",
         "From: a\r\n\r\nReceived: from x ([10.0.0.9])\r\n", false},
        {"an unparseable pattern is never compatible", S::ReceivedIP, "10.x.2.4", twoAddresses, false},
        {"ExtractReceivedIPs misses the continuation line, the rule does not", S::ReceivedIP, "192.168.7.9",
         Fixture("received-address-on-continuation-line.eml"), true},
    });
    EXPECT_EQ(ExtractReceivedIPs(SplitLines(Fixture("received-address-on-continuation-line.eml")), true), "");
}

TEST(FilterMatch, HeaderPresentTestsTheStartOfEveryHeaderLine) {
    RunRows({
        {"name with colon, other case", S::HeaderPresent, "x-mailer:", kPlain, true},
        {"the name inside a value does not count", S::HeaderPresent, "X-Spam:",
         "Subject: about X-Spam: headers\r\n\r\n", false},
        {"a body line does not count", S::HeaderPresent, "X-Spam:", "From: a\r\n\r\nX-Spam: yes\r\n", false},
        {"lines are not unfolded", S::HeaderPresent, "X-A: one two", "X-A: one\r\n two\r\n\r\n", false},
    });
}

TEST(FilterMatch, BodyIsSearchedLineByLineThenWithoutTags) {
    RunRows({
        {"two words on one line", S::Body, "figures are", kPlain, true},
        {"two words on two lines", S::Body, "buy now", "From: a\r\n\r\nplease buy\r\nnow\r\n", false},
        {"words interrupted by bold tags", S::Body, "buy now", Fixture("body-words-split-by-bold-tags.eml"),
         true},
        {"tags removed across lines", S::Body, "only today", Fixture("body-words-split-by-bold-tags.eml"), true},
        {"no empty line, no body", S::Body, "From", "From: a\r\nTo: b\r\n", false},
        {"header text is no body", S::Body, "alice@example.org", kPlain, false},
        {"the text after the first empty line only", S::Body, "second", "A: 1\r\n\r\nfirst\r\n\r\nsecond\r\n",
         true},
        // A "<" in the header and a ">" further down remove the lines between; the second pass
        // still starts where the body began, so the body line it moved up is not searched.
        {"the second pass starts at the old body index", S::Body, "buy now",
         "From: <x\r\n y@z>\r\n\r\n<i>buy</i> now\r\n", false},
        {"a first '>' before the first '<' stops the removal", S::Body, "buy now",
         "From: a\r\n\r\n> quoted\r\n<b>buy</b> now\r\n", false},
    });
}

TEST(FilterMatch, AttachmentMasksTheNameOnTheLineAfterTheDisposition) {
    const std::string unquoted =
        "From: a\r\n\r\nContent-Disposition: attachment;\r\n\tfilename=setup.exe\r\n\r\nTVqQ\r\n";
    const std::string sameLine = "From: a\r\n\r\nContent-Disposition: attachment; filename=\"setup.exe\"\r\n\r\n";
    const std::string upper = "From: a\r\n\r\nContent-Disposition: attachment;\r\n\tfilename=\"SETUP.EXE\"\r\n";
    const std::string header =
        "Content-Disposition: attachment;\r\n filename=\"invoice.pdf\"\r\nFrom: a\r\n\r\nbody\r\n";
    RunRows({
        {"quoted name", S::Attachment, "*.exe", Fixture("attachment-exe-quoted-name.eml"), true},
        {"exact name", S::Attachment, "setup.exe", Fixture("attachment-exe-quoted-name.eml"), true},
        {"letter case counts", S::Attachment, "*.exe", upper, false},
        {"upper-case mask", S::Attachment, "*.EXE", upper, true},
        {"other extension", S::Attachment, "*.pdf", Fixture("attachment-exe-quoted-name.eml"), false},
        {"an unquoted name keeps its prefix: masks still match", S::Attachment, "*.exe", unquoted, true},
        {"an unquoted name keeps its prefix: exact names do not", S::Attachment, "setup.exe", unquoted, false},
        {"a name on the disposition line itself is not seen", S::Attachment, "*.exe", sameLine, false},
        {"the header block counts too", S::Attachment, "invoice.pdf", header, true},
        {"the disposition line must be followed by one", S::Attachment, "*",
         "From: a\r\n\r\nContent-Disposition: attachment;", false},
        {"an empty mask is an exact empty name", S::Attachment, "", Fixture("attachment-exe-quoted-name.eml"),
         false},
        {"an empty quoted name matches the empty mask", S::Attachment, "",
         "A: b\r\n\r\nContent-Disposition: attachment;\r\n filename=\"\"\r\n", true},
    });
}

TEST(FilterMatch, NoneHitsEveryTextAndSectionsIgnoreActionAndActiveFlag) {
    RunRows({
        {"empty text", S::None, "", "", true},
        {"any text", S::None, "whatever", kPlain, true},
    });
    TZivadFilterItem inactive = Rule(S::From, "alice", TFilterAction::None);
    inactive.SetActive(false);
    EXPECT_TRUE(MatchRule(inactive, "Acct", kPlain));
}

TEST(FilterMatch, EmptySearchTextFailsWhereTheSearchIsReached) {
    struct TRow {
        const char* name;
        TFilterSection section;
        std::string text;
        bool throws;
        bool hit;  // when it does not throw
    };
    const std::vector<TRow> rows = {
        {"From with a From line", S::From, kPlain, true, false},
        {"From without one", S::From, "To: b\r\n\r\nbody\r\n", false, false},
        {"To with a To line", S::To, kPlain, true, false},
        {"Subject with a Subject line", S::Subject, kPlain, true, false},
        {"Received with a Received line", S::Received, kPlain, true, false},
        {"Reply To with one", S::ReplyTo, kPlain, true, false},
        {"CC without one", S::CC, "From: a\r\n\r\n", false, false},
        {"Present In Any Header at the first line", S::PresentInAnyHeader, "X: y\r\n", true, false},
        {"Present In Any Header without header", S::PresentInAnyHeader, "", false, false},
        {"Header Present at the first line", S::HeaderPresent, "X: y\r\n", true, false},
        {"Body with a body line", S::Body, kPlain, true, false},
        {"Body without a body line", S::Body, "From: a\r\n\r\n", false, false},
        {"Body without an empty line", S::Body, "From: a\r\n", false, false},
        {"None", S::None, kPlain, false, true},
        {"Attachment", S::Attachment, kPlain, false, false},
        {"Received IP is the pattern any", S::ReceivedIP, kPlain, false, true},
        {"Received IP without an address", S::ReceivedIP, "Received: from x by y\r\n\r\n", false, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TZivadFilterItem rule = Rule(row.section, "");
        if (row.throws) {
            try {
                MatchRule(rule, "Acct", row.text);
                ADD_FAILURE() << "no error";
            } catch (const TVorlaError& e) {
                EXPECT_STREQ(e.what(), "BufferLen is 0");
            }
            EXPECT_EQ(rule.HitCount(), 0);
        } else {
            EXPECT_EQ(MatchRule(rule, "Acct", row.text), row.hit);
        }
    }
}

TEST(FilterMatch, HitsAreCountedWithTodaysDate) {
    TZivadFilterItem rule = Rule(S::Subject, "report");
    const std::string before = FormatDateTime("dd mmm yyyy", Date());
    EXPECT_TRUE(MatchRule(rule, "Acct", kPlain));
    EXPECT_TRUE(MatchRule(rule, "Acct", kPlain));
    const std::string after = FormatDateTime("dd mmm yyyy", Date());
    EXPECT_EQ(rule.HitCount(), 2);
    EXPECT_TRUE(rule.LastUsed() == before || rule.LastUsed() == after) << rule.LastUsed();

    TZivadFilterItem missed = Rule(S::Subject, "holiday");
    missed.SetLastUsed("01 Jan 2020");
    EXPECT_FALSE(MatchRule(missed, "Acct", kPlain));
    EXPECT_EQ(missed.HitCount(), 0);
    EXPECT_EQ(missed.LastUsed(), "01 Jan 2020");
}

// ---- Automatic Received IP rules ----------------------------------------------------------

class AutoAddTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetHomeFolder(m_home.Path());
        m_global = std::make_unique<TZivadFilters>(m_home / "vorla.fil");
        TFilterSettings settings = m_global->Settings();
        settings.autoAddReceived = true;
        m_global->SetSettings(settings);
    }
    TZivadFilterItem& AddRule(TZivadFilters& list, TFilterAction action, TFilterSection section,
                              const std::string& text) {
        TZivadFilterItem& rule = list.AddRule();
        rule.SetDescription(text);
        rule.SetAction(action);
        rule.SetSection(section);
        rule.SetSearchText(text);
        rule.SetActive(true);
        return rule;
    }
    std::string LogFile() const { return m_home / "vorla.log"; }

    TTempDir m_home;
    std::unique_ptr<TZivadFilters> m_global;
};

TEST_F(AutoAddTest, BodyHitAddsOneRejectRuleForEachNewAddressAndLogsIt) {
    TZivadLog log(LogFile());
    AddRule(*m_global, TFilterAction::Reject, S::ReceivedIP, "10.20.30.40");
    TZivadFilterItem& body = AddRule(*m_global, TFilterAction::Reject, S::Body, "lottery prize");
    ASSERT_TRUE(MatchRule(body, "Home", Fixture("three-received-lines-two-addresses.eml"), &log));

    ASSERT_EQ(m_global->RuleCount(), 3);
    const TZivadFilterItem& added = *m_global->RuleAt(2);
    EXPECT_EQ(added.Description(), "203.0.113.5");
    EXPECT_EQ(added.SearchText(), "203.0.113.5");
    EXPECT_EQ(added.Action(), TFilterAction::Reject);
    EXPECT_EQ(added.Section(), S::ReceivedIP);
    EXPECT_TRUE(added.Active());
    EXPECT_EQ(added.Owner(), m_global.get());
    EXPECT_EQ(body.HitCount(), 1);

    const std::string text = ReadFile(LogFile());
    EXPECT_NE(text.find("\tHome\tAddFilter - (203.0.113.5) \r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("10.20.30.40"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_FALSE(FileExists(m_home / "vorla.fil"));  // not saved

    // The same message again: every address has its rule now.
    ASSERT_TRUE(MatchRule(body, "Home", Fixture("three-received-lines-two-addresses.eml"), &log));
    EXPECT_EQ(m_global->RuleCount(), 3);
    EXPECT_EQ(body.HitCount(), 2);
}

TEST_F(AutoAddTest, AnyActionAndTheSecondPassAddToo) {
    TZivadFilterItem& accept = AddRule(*m_global, TFilterAction::Accept, S::Body, "buy now");
    const std::string message =
        "Received: from x (x [198.51.100.1]) by y\r\nFrom: <a@b>\r\n\r\n<b>buy</b> now\r\n";
    ASSERT_TRUE(MatchRule(accept, "Acct", message));  // no log given: the rule is still added
    ASSERT_EQ(m_global->RuleCount(), 2);
    EXPECT_EQ(m_global->RuleAt(1)->SearchText(), "198.51.100.1");
}

TEST_F(AutoAddTest, NothingIsAddedWithoutTheSettingOrForOtherSections) {
    TZivadFilters account(m_home / "account-filters", TFilterScope::Account);
    TZivadFilterItem& onAccount = AddRule(account, TFilterAction::Reject, S::Body, "lottery");
    EXPECT_TRUE(MatchRule(onAccount, "Acct", Fixture("three-received-lines-two-addresses.eml")));
    EXPECT_EQ(account.RuleCount(), 1);

    TZivadFilterItem& subject = AddRule(*m_global, TFilterAction::Reject, S::Subject, "won");
    EXPECT_TRUE(MatchRule(subject, "Acct", Fixture("three-received-lines-two-addresses.eml")));
    EXPECT_EQ(m_global->RuleCount(), 1);

    TZivadFilterItem loose = Rule(S::Body, "lottery");  // belongs to no list
    EXPECT_TRUE(MatchRule(loose, "Acct", Fixture("three-received-lines-two-addresses.eml")));
}

TEST_F(AutoAddTest, ALogThatCannotBeWrittenDoesNotFailTheMatch) {
    TZivadLog log(m_home / "missing-folder/vorla.log");
    TZivadFilterItem& body = AddRule(*m_global, TFilterAction::Reject, S::Body, "lottery");
    EXPECT_TRUE(MatchRule(body, "Acct", Fixture("three-received-lines-two-addresses.eml"), &log));
    EXPECT_EQ(m_global->RuleCount(), 3);
}

// ---- The fast paths against the plain definitions -----------------------------------------

// The definitions, written out directly: every header line's unfolded form, every removal
// from the start of the text.
std::string NaiveUnfolded(const std::vector<std::string>& lines, std::size_t r) {
    std::string u = lines[r];
    for (std::size_t i = r + 1; i < lines.size() && !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t');
         ++i)
        u += " " + lines[i].substr(1);
    return u;
}

bool NaiveHeaderHit(TFilterSection section, const std::string& search, const std::string& text) {
    const std::vector<std::string> lines = SplitLines(text);
    for (std::size_t r = 0; r < lines.size() && !lines[r].empty(); ++r) {
        const std::string u = NaiveUnfolded(lines, r);
        if ((section == S::PresentInAnyHeader || FindNoCase(SectionHeaderPrefix(section), u) == 1) &&
            FindNoCase(search, u) > 0)
            return true;
    }
    return false;
}

std::string NaiveRemoveTags(std::string text) {
    for (;;) {
        const std::size_t a = text.find('<');
        const std::size_t b = text.find('>');
        if (a == std::string::npos || b == std::string::npos || b < a) return text;
        text.erase(a, b - a + 1);
    }
}

std::string RandomText(std::mt19937& random, const std::string& alphabet, std::size_t maxLength) {
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string out(length(random), ' ');
    for (char& c : out) c = alphabet[pick(random)];
    return out;
}

TEST(FilterMatch, HeaderScanAgreesWithTheDefinitionOnRandomHeaders) {
    std::mt19937 random(20240607);
    const std::vector<TFilterSection> sections = {S::PresentInAnyHeader, S::To, S::Received};
    for (int round = 0; round < 3000; ++round) {
        // Headers of short lines from a small alphabet, with many continuation lines and an
        // occasional empty line; patterns from the same alphabet, tabs and spaces included.
        const std::string text = RandomText(random, "To:ab \t\r\nRecivd", 60);
        std::string search = RandomText(random, "toab \t:", 4);
        if (search.empty()) search = "a";
        const TFilterSection section = sections[round % sections.size()];
        SCOPED_TRACE(::testing::Message() << "round " << round << " section " << int(section) << " text "
                                          << ::testing::PrintToString(text) << " search "
                                          << ::testing::PrintToString(search));
        EXPECT_EQ(Hit(section, search, text), NaiveHeaderHit(section, search, text));
    }
}

TEST(FilterMatch, TagRemovalAgreesWithTheDefinitionOnRandomTexts) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        const std::string text = RandomText(random, "<>ab\r\n", 40);
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(RemoveTagSpans(text), NaiveRemoveTags(text));
    }
    EXPECT_EQ(RemoveTagSpans("a<b>c<d>e"), "ace");
    EXPECT_EQ(RemoveTagSpans("x>a<b>"), "x>a<b>");
    EXPECT_EQ(RemoveTagSpans("<<a>b>"), "b>");
}

TEST(FilterMatch, RealMessagesFromTheCorpus) {
    const std::string spam = ReadFile(std::string(CORPUS_DIR) + "/spamassassin/sample-spam.txt");
    const std::string ham = ReadFile(std::string(CORPUS_DIR) + "/spamassassin/sample-nonspam.txt");
    RunRows({
        {"GTUBE string in the spam body", S::Body, "GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL", spam, true},
        {"not in the plain message", S::Body, "GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL", ham, false},
        {"spam subject", S::Subject, "gtube", spam, true},
        {"Precedence: junk header", S::HeaderPresent, "Precedence: junk", spam, true},
        {"message id domain", S::PresentInAnyHeader, "@example.net>", spam, true},
    });
}

}  // namespace
