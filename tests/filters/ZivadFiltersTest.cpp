#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "filters/ZivadFilters.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

std::string Fixture(const std::string& name) { return ReadFile(std::string(TEST_DATA_DIR) + "/" + name); }

struct TRuleFields {
    std::string description;
    TFilterAction action;
    TFilterSection section;
    std::string searchText;
    bool active;
};

void ExpectRule(const TZivadFilterItem* rule, const TRuleFields& want) {
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->Description(), want.description);
    EXPECT_EQ(rule->Action(), want.action);
    EXPECT_EQ(rule->Section(), want.section);
    EXPECT_EQ(rule->SearchText(), want.searchText);
    EXPECT_EQ(rule->Active(), want.active);
}

std::vector<std::string> SearchTexts(const TZivadFilters& list) {
    std::vector<std::string> texts;
    for (int i = 0; i < list.RuleCount(); ++i) texts.push_back(list.RuleAt(i)->SearchText());
    return texts;
}

// Every test gets its own home folder: the log, tld.txt and vorla.ini live there.
class FiltersTest : public ::testing::Test {
protected:
    void SetUp() override { SetHomeFolder(m_home.Path()); }
    std::string Path(const std::string& name) const { return m_home / name; }
    // A list on a file that holds the given text.
    std::unique_ptr<TZivadFilters> ListWith(const std::string& fileText, const std::string& name = "vorla.fil",
                                            TFilterScope scope = TFilterScope::Global) {
        WriteFile(Path(name), fileText);
        return std::make_unique<TZivadFilters>(Path(name), scope);
    }
    TZivadFilterItem& Add(TZivadFilters& list, const std::string& text, TFilterAction action = TFilterAction::Reject,
                          TFilterSection section = TFilterSection::Body, bool active = true) {
        TZivadFilterItem& rule = list.AddRule();
        rule.SetDescription(text);
        rule.SetSearchText(text);
        rule.SetAction(action);
        rule.SetSection(section);
        rule.SetActive(active);
        return rule;
    }

    TTempDir m_home;
};

const std::vector<TRuleFields> kOlderInstallationRules = {
    {"Newsletter from example.com", TFilterAction::Accept, TFilterSection::From, "news@example.com", true},
    {"a,b", TFilterAction::Reject, TFilterSection::Body, "buy now", true},
    {"He said \"hi\" to me", TFilterAction::Reject, TFilterSection::Subject, "say \"hi\"", true},
    {"Old spammer range", TFilterAction::Reject, TFilterSection::ReceivedIP, "192.168.*", false},
    {"Exe attachments", TFilterAction::Reject, TFilterSection::Attachment, "*.exe", true},
    {"", TFilterAction::None, TFilterSection::None, "", false},
    {"List-Id present", TFilterAction::Accept, TFilterSection::HeaderPresent, "List-Id:", true},
    {"casino anywhere", TFilterAction::Reject, TFilterSection::PresentInAnyHeader, "casino", true},
    {"to me", TFilterAction::Accept, TFilterSection::To, "me@example.org", true},
    {"bounces", TFilterAction::Reject, TFilterSection::ReplyTo, "bounce@", false},
    {"team copies", TFilterAction::Accept, TFilterSection::CC, "team@", true},
    {"bad relay", TFilterAction::Reject, TFilterSection::Received, "relay.example.net", true},
};

}  // namespace

// ---- The line format -------------------------------------------------------------------------

TEST(FilterLine, RuleWithCommaAndSpacesIsOneLineOfFiveQuotedFields) {
    TZivadFilterItem rule;
    rule.SetDescription("a,b");
    rule.SetAction(TFilterAction::Reject);
    rule.SetSection(TFilterSection::Body);
    rule.SetSearchText("buy now");
    rule.SetActive(true);
    EXPECT_EQ(RuleLine(rule), "\"a,b\",\"Reject\",\"Body\",\"buy now\",\"1\"");

    TZivadFilterItem back;
    EXPECT_TRUE(ReadRuleLine(RuleLine(rule), back));
    ExpectRule(&back, {"a,b", TFilterAction::Reject, TFilterSection::Body, "buy now", true});
}

TEST(FilterLine, FieldsAreCutAtTheFirstQuoteComma) {
    struct TCase {
        const char* line;
        int n;
        const char* field;
    };
    const TCase cases[] = {
        {R"("d","Accept","From","s","1")", 1, "d"},
        {R"("d","Accept","From","s","1")", 3, "From"},
        {R"("d","Accept","From","s","1")", 5, "1"},
        {R"("say "hi"","x")", 1, "say \"hi\""},       // the quote before the separator belongs to the field
        {R"("a",b","c")", 1, "a"},                      // `",` inside a field ends it early
        {R"("a",b","c")", 2, ""},                       // ... and the rest shifts
        {R"("only one field")", 1, "only one field"},
        {R"("only one field")", 4, "only one field"},  // no separator left: the rest again
        {R"("d","Reject")", 5, "Reject"},
        {"", 1, ""},
        {"\"", 1, ""},                                  // one character: nothing between the quotes
        {"x", 5, ""},
        {"\"\",\"\",\"\",\"\",\"\"", 5, ""},
        {R"(no quotes at all)", 2, "o quotes at al"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " field " + std::to_string(c.n));
        EXPECT_EQ(RuleLineField(c.line, c.n), c.field);
    }
}

TEST(FilterLine, ActiveFieldMustBeADecimalIntegerWhoseLowByteIsTheFlag) {
    struct TCase {
        const char* field;
        bool valid;
        bool active;
    };
    const TCase cases[] = {
        {"1", true, true},           {"0", true, false},          {"2", true, true},
        {"256", true, false},        {"257", true, true},         {"-1", true, true},
        {"+1", true, true},          {"  1", true, true},         {"1 ", false, false},
        {"yes", false, false},       {"", false, false},          {"0x1", false, false},
        {"2147483647", true, true},  {"-2147483648", true, false}, {"2147483648", false, false},
        {"99999999999999999999999", false, false},                {"-", false, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string("fifth field '") + c.field + "'");
        TZivadFilterItem rule;
        rule.SetActive(true);
        const std::string line = std::string(R"("d","Reject","Body","s",")") + c.field + "\"";
        EXPECT_EQ(ReadRuleLine(line, rule), c.valid);
        EXPECT_EQ(rule.Active(), c.active);
        EXPECT_EQ(rule.SearchText(), "s");  // the other fields are read either way
    }
}

TEST(FilterLine, NamesAreLookedUpExactlyAndUnknownOnesGiveNone) {
    TZivadFilterItem rule;
    ReadRuleLine(R"("d","reject","subject","s","1")", rule);
    EXPECT_EQ(rule.Action(), TFilterAction::None);
    EXPECT_EQ(rule.Section(), TFilterSection::None);
    ReadRuleLine(R"("d","Reject","Reply To","s","1")", rule);
    EXPECT_EQ(rule.Action(), TFilterAction::Reject);
    EXPECT_EQ(rule.Section(), TFilterSection::ReplyTo);
    ReadRuleLine(R"("d","Accept","Present In Any Header","s","1")", rule);
    EXPECT_EQ(rule.Section(), TFilterSection::PresentInAnyHeader);
    ReadRuleLine(R"("d","Accept","ReplyTo","s","1")", rule);
    EXPECT_EQ(rule.Section(), TFilterSection::None);
    // Out-of-table values are written as "None" rather than as garbage.
    rule.SetAction(static_cast<TFilterAction>(7));
    rule.SetSection(static_cast<TFilterSection>(200));
    EXPECT_EQ(RuleLine(rule), R"("d","None","None","s","1")");
}

TEST(FilterLine, TextsTheFormatCannotHoldStayInsideTheirField) {
    struct TCase {
        const char* name;
        std::string text;
        std::string stored;
    };
    const TCase cases[] = {
        {"quote comma", "Re: \"Offer\", final", "Re: \"Offer', final"},
        {"two pairs", "\",\",", "',',"},
        {"leading comma", ",x", " ,x"},
        {"line breaks", "a\r\nb\nc\rd", "a  b c d"},
        {"trailing quote", "x\"", "x\""},
        {"nul byte", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"plain", "buy now", "buy now"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StorableFieldText(c.text), c.stored);
        TZivadFilterItem rule;
        rule.SetDescription(c.text);
        rule.SetAction(TFilterAction::Accept);
        rule.SetSection(TFilterSection::Subject);
        rule.SetSearchText(c.text);
        rule.SetActive(true);
        TZivadFilterItem back;
        ASSERT_TRUE(ReadRuleLine(RuleLine(rule), back));
        ExpectRule(&back, {c.stored, TFilterAction::Accept, TFilterSection::Subject, c.stored, true});
    }
}

TEST(FilterLine, AnyTextRoundTripsInItsStorableForm) {
    // Random texts over the bytes that matter to the format; a fixed seed keeps failures
    // reproducible.
    const std::string alphabet = std::string("\",a \r\n\t", 7) + std::string(1, '\0');
    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        auto make = [&] {
            std::string text(random() % 12, ' ');
            for (char& c : text) c = alphabet[random() % alphabet.size()];
            return text;
        };
        TZivadFilterItem rule;
        rule.SetDescription(make());
        rule.SetSearchText(make());
        rule.SetAction(static_cast<TFilterAction>(random() % 3));
        rule.SetSection(static_cast<TFilterSection>(random() % 12));
        rule.SetActive(random() % 2 == 1);
        const std::string line = RuleLine(rule);
        SCOPED_TRACE(line);
        ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos);
        TZivadFilterItem back;
        ASSERT_TRUE(ReadRuleLine(line, back));
        ExpectRule(&back, {StorableFieldText(rule.Description()), rule.Action(), rule.Section(),
                           StorableFieldText(rule.SearchText()), rule.Active()});
    }
}

// ---- Rule files ------------------------------------------------------------------------------

TEST_F(FiltersTest, FileOfAnOlderInstallationLoadsAndIsWrittenBackByteForByte) {
    const std::string original = Fixture("filters-older-installation-crlf.fil");
    auto list = ListWith(original);
    ASSERT_EQ(list->RuleCount(), static_cast<int>(kOlderInstallationRules.size()));
    for (std::size_t i = 0; i < kOlderInstallationRules.size(); ++i) {
        SCOPED_TRACE("rule " + std::to_string(i));
        ExpectRule(list->RuleAt(static_cast<int>(i)), kOlderInstallationRules[i]);
        EXPECT_EQ(list->RuleAt(static_cast<int>(i))->Owner(), list.get());
    }
    list->SaveRules();
    EXPECT_EQ(ReadFile(list->FileName()), original);
    EXPECT_FALSE(FileExists(list->FileName() + ".tmp"));
}

TEST_F(FiltersTest, LoneLineFeedsAndAMissingFinalBreakReadTheSame) {
    auto list = ListWith(Fixture("filters-older-installation-lf-no-final-break.fil"));
    ASSERT_EQ(list->RuleCount(), static_cast<int>(kOlderInstallationRules.size()));
    for (std::size_t i = 0; i < kOlderInstallationRules.size(); ++i) {
        SCOPED_TRACE("rule " + std::to_string(i));
        ExpectRule(list->RuleAt(static_cast<int>(i)), kOlderInstallationRules[i]);
    }
    list->SaveRules();  // written back with CR LF
    EXPECT_EQ(ReadFile(list->FileName()), Fixture("filters-older-installation-crlf.fil"));
}

TEST_F(FiltersTest, DamagedLinesNeitherStopTheLoadNorGetLost) {
    auto list = ListWith(Fixture("filters-damaged-lines.fil"));
    const std::vector<TRuleFields> want = {
        {"good one", TFilterAction::Accept, TFilterSection::From, "a@b", true},
        {"flag is a word", TFilterAction::Reject, TFilterSection::Body, "viagra", false},
        {"missing fields", TFilterAction::Reject, TFilterSection::None, "Reject", false},
        {"flag out of range", TFilterAction::Reject, TFilterSection::Body, "x", false},
        {"arbage without any quote", TFilterAction::None, TFilterSection::None, "arbage without any quote", false},
        {"lower-case names", TFilterAction::None, TFilterSection::None, "hello", true},
        {"flag 256 has a zero low byte", TFilterAction::Reject, TFilterSection::Body, "y", false},
        {"lone\rcr inside", TFilterAction::Accept, TFilterSection::Body, "z", true},
        {"last good", TFilterAction::Reject, TFilterSection::To, "c@d", true},
    };
    ASSERT_EQ(list->RuleCount(), static_cast<int>(want.size()));  // the two blank lines carry no rule
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("rule " + std::to_string(i));
        ExpectRule(list->RuleAt(static_cast<int>(i)), want[i]);
    }

    // Saved and loaded again, every rule is still there; the lone CR became a space.
    list->SaveRules();
    TZivadFilters again(list->FileName());
    ASSERT_EQ(again.RuleCount(), static_cast<int>(want.size()));
    EXPECT_EQ(again.RuleAt(1)->SearchText(), "viagra");
    EXPECT_EQ(again.RuleAt(7)->Description(), "lone cr inside");
    EXPECT_EQ(again.RuleAt(8)->Description(), "last good");
}

TEST_F(FiltersTest, HostileFilesLoadWithoutHarm) {
    struct TCase {
        const char* name;
        std::string data;
        int rules;
    };
    std::string random(64 * 1024, '\0');
    std::mt19937 gen(7);
    for (char& c : random) c = static_cast<char>(gen() % 256);
    const std::string longText(2 * 1024 * 1024, 'x');
    const TCase cases[] = {
        {"nul bytes", Fixture("filters-with-nul-bytes.fil"), 2},
        {"very long line", "\"" + longText + "\",\"Reject\",\"Body\",\"" + longText + "\",\"1\"\r\n", 1},
        {"very long line without separators", longText, 1},
        {"only separators", std::string(10000, '"') + std::string(10000, ','), 1},
        {"only line breaks", std::string(5000, '\n') + std::string(5000, '\r'), 0},
        {"random bytes", random, -1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto list = ListWith(c.data);
        if (c.rules >= 0) {
            EXPECT_EQ(list->RuleCount(), c.rules);
        }
        const int count = list->RuleCount();
        list->SaveRules();
        TZivadFilters again(list->FileName());
        EXPECT_EQ(again.RuleCount(), count);
    }
    auto nul = ListWith(Fixture("filters-with-nul-bytes.fil"));
    ExpectRule(nul->RuleAt(0), {std::string("nul\0inside", 10), TFilterAction::Reject, TFilterSection::Body,
                                std::string("a\0b", 3), true});
    auto longLine = ListWith(cases[1].data);
    EXPECT_EQ(longLine->RuleAt(0)->SearchText().size(), longText.size());
}

TEST_F(FiltersTest, MissingFileIsAnEmptyListAndTheFirstSaveCreatesIt) {
    TZivadFilters list(Path("accounts-filters"), TFilterScope::Account);
    EXPECT_EQ(list.RuleCount(), 0);
    list.SaveRules();
    EXPECT_EQ(ReadFile(Path("accounts-filters")), "");
    Add(list, "spam");
    list.SaveRules();
    EXPECT_EQ(ReadFile(Path("accounts-filters")), "\"spam\",\"Reject\",\"Body\",\"spam\",\"1\"\r\n");
}

TEST_F(FiltersTest, FilesThatCannotBeWrittenOrReadThrowFileErrors) {
    TZivadFilters inMissingFolder(Path("no-such-folder/filters"));
    Add(inMissingFolder, "x");
    EXPECT_THROW(inMissingFolder.SaveRules(), TFileError);
    EXPECT_THROW(inMissingFolder.AddRuleIfAbsent("y", TFilterAction::Accept, TFilterSection::From), TFileError);
    EXPECT_EQ(inMissingFolder.RuleCount(), 2);  // the unsaved rule is kept for the next save
    EXPECT_THROW(inMissingFolder.ImportRules(R"("z","Reject","Body","z","1")"), TFileError);

    if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
    WriteFile(Path("locked.fil"), "\"a\",\"Reject\",\"Body\",\"a\",\"1\"\r\n");
    ASSERT_EQ(chmod(Path("locked.fil").c_str(), 0), 0);
    EXPECT_THROW(TZivadFilters locked(Path("locked.fil")), TFileError);
}

TEST_F(FiltersTest, SaveReplacesTheWholeFile) {
    auto list = ListWith(Fixture("filters-older-installation-crlf.fil"));
    list->MarkRule(0);
    for (int i = 2; i < list->RuleCount(); ++i) list->MarkRule(i);
    ASSERT_TRUE(list->PurgeMarked());
    list->SaveRules();
    EXPECT_EQ(ReadFile(list->FileName()), "\"a,b\",\"Reject\",\"Body\",\"buy now\",\"1\"\r\n");
}

// ---- Rule operations -------------------------------------------------------------------------

TEST_F(FiltersTest, RulesAreFoundByIdentityAndIndexesAreChecked) {
    TZivadFilters list(Path("f"));
    TZivadFilterItem& rule = list.AddRule();
    TZivadFilterItem& second = list.AddRule();
    EXPECT_EQ(list.RuleAt(0), &rule);  // appending does not move earlier rules
    EXPECT_EQ(list.IndexOfRule(&second), 1);
    EXPECT_EQ(list.RuleAt(-1), nullptr);
    EXPECT_EQ(list.RuleAt(2), nullptr);
    const TZivadFilterItem copy = rule;  // same fields and owner, but not in the list
    EXPECT_EQ(copy.Owner(), &list);
    EXPECT_EQ(list.IndexOfRule(&copy), -1);
    EXPECT_EQ(list.IndexOfRule(nullptr), -1);
}

TEST_F(FiltersTest, PurgingMarksAtZeroAndTwoKeepsTheOthersInOrder) {
    TZivadFilters list(Path("f"));
    for (const char* text : {"r0", "r1", "r2", "r3", "r4"}) Add(list, text);
    list.MarkRule(0);
    list.MarkRule(2);
    list.MarkRule(-1);  // invalid indexes do nothing
    list.MarkRule(5);
    EXPECT_TRUE(list.PurgeMarked());
    EXPECT_EQ(SearchTexts(list), (std::vector<std::string>{"r1", "r3", "r4"}));
    EXPECT_FALSE(list.PurgeMarked());

    list.MarkRule(1);
    list.ClearMarks();
    EXPECT_FALSE(list.PurgeMarked());
    EXPECT_EQ(list.RuleCount(), 3);

    for (int i = 0; i < 3; ++i) list.MarkRule(i);
    EXPECT_TRUE(list.PurgeMarked());
    EXPECT_EQ(list.RuleCount(), 0);
}

TEST_F(FiltersTest, FindRuleIgnoresLetterCaseButNotActionOrSection) {
    TZivadFilters list(Path("f"));
    Add(list, "Spam@Example.com", TFilterAction::Reject, TFilterSection::From);
    EXPECT_TRUE(list.FindRule("spam@example.COM", TFilterAction::Reject, TFilterSection::From));
    EXPECT_FALSE(list.FindRule("spam@example.com", TFilterAction::Accept, TFilterSection::From));
    EXPECT_FALSE(list.FindRule("spam@example.com", TFilterAction::Reject, TFilterSection::To));
    EXPECT_FALSE(list.FindRule("spam@example.co", TFilterAction::Reject, TFilterSection::From));
    // Only a-z fold: bytes above 127 must match exactly.
    Add(list, "caf\xC3\xA9", TFilterAction::Reject, TFilterSection::Subject);
    EXPECT_TRUE(list.FindRule("CAF\xC3\xA9", TFilterAction::Reject, TFilterSection::Subject));
    EXPECT_FALSE(list.FindRule("CAF\xC3\x89", TFilterAction::Reject, TFilterSection::Subject));
}

TEST_F(FiltersTest, AddRuleIfAbsentAddsActiveRulesAndSavesAtOnce) {
    TZivadFilters list(Path("f"));
    EXPECT_TRUE(list.AddRuleIfAbsent("Spam@Example.com", TFilterAction::Reject, TFilterSection::From));
    EXPECT_FALSE(list.AddRuleIfAbsent("spam@example.com", TFilterAction::Reject, TFilterSection::From));
    EXPECT_TRUE(list.AddRuleIfAbsent("spam@example.com", TFilterAction::Accept, TFilterSection::From));
    ASSERT_EQ(list.RuleCount(), 2);
    ExpectRule(list.RuleAt(0), {"Spam@Example.com", TFilterAction::Reject, TFilterSection::From, "Spam@Example.com", true});
    EXPECT_EQ(ReadFile(Path("f")),
              "\"Spam@Example.com\",\"Reject\",\"From\",\"Spam@Example.com\",\"1\"\r\n"
              "\"spam@example.com\",\"Accept\",\"From\",\"spam@example.com\",\"1\"\r\n");
}

TEST_F(FiltersTest, AddRuleIfAbsentDoesNotRepeatATextTheFileCannotHold) {
    const std::string subject = "Re: \"Offer\", final";
    {
        TZivadFilters list(Path("f"));
        EXPECT_TRUE(list.AddRuleIfAbsent(subject, TFilterAction::Reject, TFilterSection::Subject));
        EXPECT_FALSE(list.AddRuleIfAbsent(subject, TFilterAction::Reject, TFilterSection::Subject));
    }
    TZivadFilters reloaded(Path("f"));
    ASSERT_EQ(reloaded.RuleCount(), 1);
    EXPECT_EQ(reloaded.RuleAt(0)->Action(), TFilterAction::Reject);
    EXPECT_EQ(reloaded.RuleAt(0)->Section(), TFilterSection::Subject);
    EXPECT_FALSE(reloaded.AddRuleIfAbsent(subject, TFilterAction::Reject, TFilterSection::Subject));
    EXPECT_EQ(reloaded.RuleCount(), 1);
}

TEST_F(FiltersTest, SaveMakesTheListEqualWhatTheFileHolds) {
    TZivadFilters list(Path("f"));
    TZivadFilterItem& rule = Add(list, ",leading\r\nand \"quoted\", text");
    list.SaveRules();
    TZivadFilters reloaded(Path("f"));
    ASSERT_EQ(reloaded.RuleCount(), 1);
    EXPECT_EQ(reloaded.RuleAt(0)->SearchText(), rule.SearchText());
    EXPECT_EQ(reloaded.RuleAt(0)->Description(), rule.Description());
    EXPECT_EQ(rule.SearchText(), " ,leading  and \"quoted', text");
}

TEST_F(FiltersTest, RulesAppendedByAnotherThreadLeaveHeldRulesInPlace) {
    // The fetch thread appends automatic rules while the main thread walks the list under
    // the list's lock; a rule pointer held across the appends stays valid.
    TZivadFilters list(Path("f"));
    TZivadFilterItem* first = &Add(list, "first");
    constexpr int kAppends = 2000;
    std::thread fetch([&] {
        for (int i = 0; i < kAppends; ++i) {
            std::scoped_lock lock(list.Mutex());
            Add(list, "auto " + std::to_string(i), TFilterAction::Reject, TFilterSection::ReceivedIP);
        }
    });
    for (int round = 0; round < 200; ++round) {
        std::scoped_lock lock(list.Mutex());
        for (int i = 0; i < list.RuleCount(); ++i) ASSERT_NE(list.RuleAt(i), nullptr);
        ASSERT_EQ(list.RuleAt(0), first);
    }
    fetch.join();
    EXPECT_EQ(list.RuleCount(), kAppends + 1);
    EXPECT_EQ(first->SearchText(), "first");
    EXPECT_EQ(list.RuleAt(kAppends)->SearchText(), "auto " + std::to_string(kAppends - 1));
}

// ---- Export and import -----------------------------------------------------------------------

TEST_F(FiltersTest, RulesTextListsTheRulesOfOneActionOrAll) {
    auto list = ListWith(Fixture("filters-older-installation-crlf.fil"));
    auto linesOf = [&](TFilterAction action) {
        std::string text;
        for (int i = 0; i < list->RuleCount(); ++i)
            if (list->RuleAt(i)->Action() == action) text += RuleLine(*list->RuleAt(i)) + "\r\n";
        return text;
    };
    EXPECT_EQ(list->RulesText(0), "\"\",\"None\",\"None\",\"\",\"0\"\r\n");
    EXPECT_EQ(list->RulesText(1), linesOf(TFilterAction::Accept));
    EXPECT_EQ(list->RulesText(2), linesOf(TFilterAction::Reject));
    EXPECT_EQ(list->RulesText(kAllFilterActions), Fixture("filters-older-installation-crlf.fil"));
    EXPECT_NE(list->RulesText(1).find("Newsletter"), std::string::npos);
    EXPECT_EQ(list->RulesText(1).find("Reject"), std::string::npos);
    EXPECT_EQ(list->RulesText(4), "");
}

TEST_F(FiltersTest, ImportAddsOnlyNewRulesAndSavesAtOnce) {
    auto list = ListWith("\"spam\",\"Reject\",\"Body\",\"buy now\",\"1\"\r\n");
    const std::string text =
        "\"same rule, other description\",\"Reject\",\"Body\",\"buy now\",\"0\"\r\n"  // duplicate
        "\"other case\",\"Reject\",\"Body\",\"Buy Now\",\"1\"\n"                      // new: case counts
        "\"other section\",\"Reject\",\"Subject\",\"buy now\",\"1\"\r"                // new
        "\r\n"                                                                         // blank: skipped
        "some stray text\r\n"                                                          // no rule line
        "\"again\",\"Reject\",\"Body\",\"Buy Now\",\"1\"\r\n"                         // added above
        "\"accept\",\"Accept\",\"Body\",\"buy now\",\"1\"";                           // new
    EXPECT_EQ(list->ImportRules(text), 3);
    EXPECT_EQ(SearchTexts(*list), (std::vector<std::string>{"buy now", "Buy Now", "buy now", "buy now"}));
    ExpectRule(list->RuleAt(2), {"other section", TFilterAction::Reject, TFilterSection::Subject, "buy now", true});
    EXPECT_EQ(list->RuleAt(3)->Owner(), list.get());

    TZivadFilters saved(list->FileName());
    EXPECT_EQ(saved.RuleCount(), 4);
    EXPECT_EQ(list->ImportRules(text), 0);
    EXPECT_EQ(list->RuleCount(), 4);
}

TEST_F(FiltersTest, ExportedTextImportsIntoAnEmptyListUnchanged) {
    auto source = ListWith(Fixture("filters-older-installation-crlf.fil"));
    TZivadFilters target(Path("accounts-filters"), TFilterScope::Account);
    EXPECT_EQ(target.ImportRules(source->RulesText(kAllFilterActions)), source->RuleCount());
    EXPECT_EQ(target.RulesText(kAllFilterActions), source->RulesText(kAllFilterActions));
    EXPECT_EQ(ReadFile(Path("accounts-filters")), Fixture("filters-older-installation-crlf.fil"));

    TZivadFilters rejects(Path("rejects"));
    EXPECT_EQ(rejects.ImportRules(source->RulesText(2)), 7);
    EXPECT_EQ(rejects.RulesText(1), "");
}

// ---- Snapshot --------------------------------------------------------------------------------

TEST_F(FiltersTest, RestoreSnapshotUndoesEveryEditAndCanBeRepeated) {
    auto list = ListWith(Fixture("filters-older-installation-crlf.fil"));
    list->RuleAt(0)->CountHit(EncodeDate(2026, 12, 7));
    list->TakeSnapshot();
    const std::string before = list->RulesText(kAllFilterActions);

    // An editing session: edit, add, delete.
    list->RuleAt(1)->SetSearchText("changed");
    list->RuleAt(1)->SetActive(false);
    Add(*list, "new rule");
    list->MarkRule(0);
    list->PurgeMarked();

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("restore " + std::to_string(round));
        list->RestoreSnapshot();
        EXPECT_EQ(list->RulesText(kAllFilterActions), before);
        ASSERT_EQ(list->RuleCount(), static_cast<int>(kOlderInstallationRules.size()));
        EXPECT_EQ(list->RuleAt(0)->HitCount(), 1);
        EXPECT_EQ(list->RuleAt(0)->LastUsed(), "07 Dec 2026");
        EXPECT_EQ(list->RuleAt(0)->Owner(), list.get());
        // Edits after a restore do not reach the snapshot.
        list->RuleAt(1)->SetSearchText("edited after restore " + std::to_string(round));
    }

    list->TakeSnapshot();  // a new snapshot replaces the old one
    list->MarkRule(0);
    list->PurgeMarked();
    list->RestoreSnapshot();
    EXPECT_EQ(list->RuleAt(1)->SearchText(), "edited after restore 2");
    EXPECT_EQ(list->RuleCount(), static_cast<int>(kOlderInstallationRules.size()));
}

TEST_F(FiltersTest, RestoreWithoutSnapshotEmptiesTheList) {
    TZivadFilters list(Path("f"));
    Add(list, "x");
    list.RestoreSnapshot();
    EXPECT_EQ(list.RuleCount(), 0);
}

// ---- Statistics ------------------------------------------------------------------------------

TEST(FilterStatistics, CountHitRecordsTheDayAndStopsAtTheMaximum) {
    TZivadFilterItem rule;
    rule.CountHit(EncodeDateTime(2026, 3, 5, 23, 59, 59));
    rule.CountHit(EncodeDateTime(2026, 12, 7, 8, 0, 0));
    EXPECT_EQ(rule.HitCount(), 2);
    EXPECT_EQ(rule.LastUsed(), "07 Dec 2026");
    ASSERT_TRUE(rule.LastUsedDate().has_value());
    EXPECT_EQ(*rule.LastUsedDate(), EncodeDate(2026, 12, 7));
    rule.SetHitCount(std::numeric_limits<std::int32_t>::max());
    rule.CountHit(EncodeDate(2027, 1, 1));
    EXPECT_EQ(rule.HitCount(), std::numeric_limits<std::int32_t>::max());
    rule.SetLastUsed("not a date");
    EXPECT_FALSE(rule.LastUsedDate().has_value());
}

TEST(FilterStatistics, LogLinesAreCutAtBlanksOutsideParentheses) {
    struct TCase {
        const char* line;
        std::array<const char*, 8> fields;
    };
    const TCase cases[] = {
        {"07 Dec 2026 12:22:26\tHome\tAccepted - (global:buy now) Date: x",
         {"07", "Dec", "2026", "12:22:26", "Home", "Accepted", "-", "global:buy now"}},
        {"a  b", {"a", "", "b", "", "", "", "", ""}},
        {"", {"", "", "", "", "", "", "", ""}},
        {"x) y", {"x", "", "y", "", "", "", "", ""}},                   // ")" with none open: from the line start
        {"ab cd) e", {"ab", "ab cd", "", "e", "", "", "", ""}},
        {"(a (b c) d", {"b c", "", "d", "", "", "", "", ""}},          // a second "(" moves the start
        {"1 2 3 4 5 6 7 8 9 10", {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {"(open to the end", {"(open to the end", "", "", "", "", "", "", ""}},
        {"t\t", {"t", "", "", "", "", "", "", ""}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.line);
        const std::array<std::string, 8> fields = RecountLogFields(c.line);
        for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(fields[i], c.fields[i]) << "field " << i;
    }
}

TEST_F(FiltersTest, RecountGivesGlobalDecisionsToTheGlobalListByDescription) {
    WriteFile(Path("vorla.log"), Fixture("vorla-log-with-rule-decisions.log"));
    TZivadFilters list(Path("vorla.fil"));
    Add(list, "Newsletter", TFilterAction::Accept);
    Add(list, "buy now");
    Add(list, "buy now");         // the first rule with a description takes the hits
    Add(list, "Invalid_Sender");  // built-in reasons designate no rule
    Add(list, "");
    list.RuleAt(4)->SetHitCount(9);  // earlier counts are replaced
    list.RuleAt(4)->SetLastUsed("01 Jan 2000");
    list.RecountFromLog();

    struct TWant {
        int hits;
        const char* lastUsed;
    };
    const TWant want[] = {{3, "12 Dec 2026"}, {2, "11 Dec 2026"}, {0, ""}, {0, ""}, {0, ""}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("rule " + std::to_string(i));
        EXPECT_EQ(list.RuleAt(i)->HitCount(), want[i].hits);
        EXPECT_EQ(list.RuleAt(i)->LastUsed(), want[i].lastUsed);
    }
}

TEST_F(FiltersTest, RecountGivesLocalDecisionsToTheAccountList) {
    WriteFile(Path("vorla.log"), Fixture("vorla-log-with-rule-decisions.log"));
    TZivadFilters list(Path("filters"), TFilterScope::Account);
    Add(list, "buy now");
    Add(list, "Newsletter", TFilterAction::Accept);

    struct TCase {
        const char* account;
        int hits;
        const char* lastUsed;
    };
    const TCase cases[] = {{"", 2, "04 Dec 2026"}, {"Home", 1, "04 Dec 2026"}, {"Work", 1, "03 Dec 2026"},
                           {"Nobody", 0, ""}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string("account '") + c.account + "'");
        list.SetAccountName(c.account);
        list.RecountFromLog();
        EXPECT_EQ(list.RuleAt(0)->HitCount(), c.hits);
        EXPECT_EQ(list.RuleAt(0)->LastUsed(), c.lastUsed);
        EXPECT_EQ(list.RuleAt(1)->HitCount(), 0);  // global decisions are not this list's
    }
}

TEST_F(FiltersTest, RecountWithoutLogClearsTheCounts) {
    TZivadFilters list(Path("vorla.fil"));
    Add(list, "x").CountHit(EncodeDate(2026, 1, 2));
    list.RecountFromLog();
    EXPECT_EQ(list.RuleAt(0)->HitCount(), 0);
    EXPECT_EQ(list.RuleAt(0)->LastUsed(), "");
}

TEST_F(FiltersTest, RecountFindsDescriptionsInTheLogsSafeFormAndAsOlderLogsHoldThem) {
    // The log writes a CR LF as a space and reads stray 8-bit bytes as Windows-1252; logs of
    // older installations hold the bytes as they were.
    WriteFile(Path("vorla.log"),
              "01 Dec 2026 10:00:00\tHome\tRejected - (global:caf\xE9) Date: x\r\n"
              "02 Dec 2026 10:00:00\tHome\tRejected - (global:caf\xC3\xA9) Date: x\n"
              "03 Dec 2026 10:00:00\tHome\tRejected - (global:two lines) Date: x\r\n");
    TZivadFilters list(Path("vorla.fil"));
    Add(list, "caf\xE9");
    Add(list, "two\r\nlines");
    list.RecountFromLog();
    EXPECT_EQ(list.RuleAt(0)->HitCount(), 2);
    EXPECT_EQ(list.RuleAt(0)->LastUsed(), "02 Dec 2026");
    EXPECT_EQ(list.RuleAt(1)->HitCount(), 1);
}

// ---- Settings and top-level domains -----------------------------------------------------------

TEST_F(FiltersTest, SettingsRoundTripInTheirKeyOrder) {
    TIniFile ini(Path("vorla.ini"));
    TZivadFilters list(Path("vorla.fil"));
    TFilterSettings s;
    s.enabled = false;
    s.autoAddReceived = true;
    s.tldCheck = false;
    s.reverseDns = true;
    s.dnsHost = "127.0.0.1";
    s.dnsTimeout = 3;
    s.unwantedTlds = "cn ru";
    list.SetSettings(s);
    list.SaveSettings(ini);
    EXPECT_EQ(ReadFile(Path("vorla.ini")),
              "[filters]\r\nenabled=0\r\nautoaddreceived=1\r\ntld=0\r\nreversedns=1\r\n"
              "dnshost=127.0.0.1\r\ndnstimeout=3\r\nunwantedtld=cn ru\r\n");

    TZivadFilters other(Path("other.fil"));
    other.LoadSettings(ini);
    const TFilterSettings back = other.Settings();
    EXPECT_FALSE(back.enabled);
    EXPECT_TRUE(back.autoAddReceived);
    EXPECT_FALSE(back.tldCheck);
    EXPECT_TRUE(back.reverseDns);
    EXPECT_EQ(back.dnsHost, "127.0.0.1");
    EXPECT_EQ(back.dnsTimeout, 3);
    EXPECT_EQ(back.unwantedTlds, "cn ru");
}

TEST_F(FiltersTest, SettingsKeepTheirValueForMissingOrBadKeys) {
    WriteFile(Path("vorla.ini"), "[Filters]\r\nDNSTimeout=99999999999\r\ntld=maybe\r\nunwantedtld=de\r\n");
    TIniFile ini(Path("vorla.ini"));
    TZivadFilters list(Path("vorla.fil"));
    TFilterSettings s = list.Settings();
    s.tldCheck = false;
    s.dnsHost = "dns.example";
    list.SetSettings(s);
    list.LoadSettings(ini);
    const TFilterSettings back = list.Settings();
    EXPECT_EQ(back.dnsTimeout, std::numeric_limits<std::int32_t>::max());
    EXPECT_FALSE(back.tldCheck);  // not a number: the current value stays
    EXPECT_EQ(back.dnsHost, "dns.example");
    EXPECT_EQ(back.unwantedTlds, "de");
}

TEST_F(FiltersTest, TldTableSkipsLinesWithoutSpaceAndCutsLongTexts) {
    WriteFile(Path("tld.txt"), Fixture("tld-with-spaceless-and-leading-space-lines.txt") + std::string(300, 'c') +
                                   " " + std::string(300, 'd') + "\n");
    TZivadFilters list(Path("vorla.fil"));
    const auto& table = list.TldTable();
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[0].code, "de");
    EXPECT_EQ(table[0].description, "Germany");
    EXPECT_EQ(table[1].code, "");
    EXPECT_EQ(table[1].description, "leadingspace");
    EXPECT_EQ(table[2].description, "France (metropolitan)");
    EXPECT_EQ(table[4].code, std::string(255, 'c'));
    EXPECT_EQ(table[4].description, std::string(255, 'd'));
    EXPECT_EQ(list.TldListText(), "de (Germany)\r\n (leadingspace)\r\nfr (France (metropolitan))\r\n"
                                  "com (Commercial)\r\n" + std::string(255, 'c') + " (" + std::string(255, 'd') + ")");
}

TEST_F(FiltersTest, MissingTldFileGivesAnEmptyTable) {
    TZivadFilters list(Path("vorla.fil"));
    EXPECT_TRUE(list.TldTable().empty());
    EXPECT_EQ(list.TldListText(), "");
}
