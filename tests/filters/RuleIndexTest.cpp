// The indexed classification against the rule-by-rule scan: the same messages and rule lists
// in two homes, one classified each way, must give the same decisions, failures, rule
// statistics, automatic rules and log entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>

#include "filters/Classify.h"
#include "filters/FilterMatch.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "mail/MessageStore.h"
#include "platform/Errors.h"
#include "platform/Home.h"
#include "support/SampleMail.h"
#include "support/TempDir.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::SampleMessage;
using vorla::test::TSampleRandom;
using vorla::test::TTempDir;

namespace {

using S = TFilterSection;
using A = TFilterAction;

// Messages the generator does not make: no body, header-only, lone CR and LF line ends, an
// address only on a folded Received line, tab continuations, tags across the header and the
// body, a subject spelt with dots, attachment lines with and without quotes.
const std::vector<std::string> kEdgeMessages = {
    "Subject: no body at all\r\nFrom: a@b.example\r\n",
    "Received: from x\r\n\tby y ([10.1.2.3]) [10.9.9.9]\r\nFrom: <ann@spam.example>\r\nSubject: l.o.t.t.e.r.y\r\n\r\n",
    "From: a@b.example\nSubject: lf only\n\n<b>cas</b>ino bon<i>us</i>\nline two\n",
    "From: a@b.example\rSubject: cr only\r\rbody\rcasino bonus\r",
    "X-Note: <start of a tag\r\nSubject: \tfolded\r\n\twith tab\r\n  and spaces\r\n\r\nend of tag> body\r\n",
    "Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\nContent-Disposition: attachment;\r\n\tfilename=\"setup.exe\"\r\n\r\n"
    "TVqQ\r\n--zz\r\nContent-Disposition: attachment;\r\n filename=RUN.EXE\r\n\r\nAAAA\r\n--zz--\r\n",
    "",
    "\r\n\r\n",
    " starts folded\r\nHeader: value\r\n\r\nbody",
};

std::vector<std::string> Messages() {
    std::vector<std::string> messages = kEdgeMessages;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(CORPUS_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".raw" || ext == ".txt")) messages.push_back(ReadFile(entry.path().string()));
    }
    for (std::uint64_t seed = 0; seed < 80; ++seed) messages.push_back(SampleMessage(seed, 800 + seed * 70));
    return messages;
}

// The forms of a message the matcher reads besides its lines.
enum class TForm { Lines, Letters, Stripped };

// A piece of a random line of a random message: a text some message holds, so that rules hit.
// Letters: of a line's letters and spaces (as the Subject rules see them); Stripped: of the
// text with its tags removed (as the Body rules' second look sees it).
std::string PieceOf(const std::vector<std::string>& messages, TSampleRandom& random, bool headerOnly,
                    TForm form = TForm::Lines) {
    const std::string& m = messages[random.Below(static_cast<std::uint32_t>(messages.size()))];
    std::vector<std::string> lines = SplitLines(form == TForm::Stripped ? RemoveTagSpans(m) : m);
    if (form == TForm::Stripped) {
        // Only the lines the removal changed: the others are found by the first look.
        const std::vector<std::string> original = SplitLines(m);
        std::erase_if(lines, [&](const std::string& line) {
            return std::find(original.begin(), original.end(), line) != original.end();
        });
    }
    if (form == TForm::Letters)
        for (std::string& line : lines)
            std::erase_if(line, [](char ch) { return ch != ' ' && !std::isalpha(static_cast<unsigned char>(ch)); });
    if (headerOnly) {
        std::size_t end = 0;
        while (end < lines.size() && !lines[end].empty()) ++end;
        lines.resize(end);
    }
    if (lines.empty()) return "x";
    const std::string& line = lines[random.Below(static_cast<std::uint32_t>(lines.size()))];
    if (line.size() < 3) return "zq";
    const std::size_t begin = random.Below(static_cast<std::uint32_t>(line.size()));
    std::string piece = line.substr(begin, (form == TForm::Lines ? 3 : 10) + random.Below(12));
    // Now and then in other letter case, or the line's start (Header Present).
    if (random.Chance(30)) piece = line.substr(0, 1 + random.Below(10));
    if (random.Chance(20))
        for (char& c : piece) c = static_cast<char>(FoldByte(static_cast<unsigned char>(c)));
    return piece;
}

std::string IpPattern(TSampleRandom& random) {
    std::string p;
    const int parts = 1 + static_cast<int>(random.Below(4));
    for (int i = 0; i < parts; ++i) {
        if (i) p += '.';
        p += i > 0 && random.Chance(25) ? std::string("*") : std::to_string(random.Below(256));
    }
    if (parts < 4 && random.Chance(50)) p += ".*";
    if (random.Chance(2)) p = random.Chance(50) ? "" : "not an address";
    return p;
}

struct TRulePlan {
    int count;
    int emptyPercent;  // rules with an empty search text (they fail most messages)
};

void AddRules(TZivadFilters& list, const std::vector<std::string>& messages, std::uint64_t seed, const TRulePlan& plan) {
    TSampleRandom random(seed);
    constexpr S kSections[] = {S::None,          S::From, S::To,         S::Subject, S::Received,           S::ReplyTo,
                               S::HeaderPresent, S::Body, S::Attachment, S::CC,      S::PresentInAnyHeader, S::ReceivedIP};
    constexpr const char* kMasks[] = {"*.exe", "*.EXE", "setup.*", "*", "?un.exe", "*.pdf", "\tfilename=RUN.EXE"};
    constexpr const char* kPlain[] = {"X-Mailer:", "x-campaign", " by", "\tby", " from", "\t", "subject:", "l.o.t", "lottery",
                                      "<b>", "casino bonus", "me@example.net", "from:", "FROM: ", "received: from"};
    for (int i = 0; i < plan.count; ++i) {
        TZivadFilterItem& rule = list.AddRule();
        // Mostly rules that never hit: a None rule or a frequent text would end every pass.
        S section = kSections[1 + random.Below(11)];
        if (random.Below(1000) < 2) section = S::None;
        rule.SetSection(section);
        rule.SetAction(random.Chance(45) ? A::Accept : random.Chance(90) ? A::Reject : A::None);
        rule.SetActive(!random.Chance(15));
        rule.SetDescription("rule " + std::to_string(i));
        std::string text;
        if (section == S::ReceivedIP) {
            text = IpPattern(random);
        } else if (section == S::Attachment) {
            text = kMasks[random.Below(std::size(kMasks))];
        } else if (random.Chance(3)) {
            text = kPlain[random.Below(std::size(kPlain))];
        } else {
            TForm form = TForm::Lines;
            if (section == S::Subject && random.Chance(40)) form = TForm::Letters;
            if (section == S::Body && random.Chance(40)) form = TForm::Stripped;
            text = PieceOf(messages, random, section != S::Body, form);
            // Long enough to be rare, mostly.
            if (form == TForm::Lines && random.Chance(90)) text += PieceOf(messages, random, false);
        }
        if (static_cast<int>(random.Below(100)) < plan.emptyPercent) text.clear();
        rule.SetSearchText(text);
    }
}

// One home with an account list and a global list, classified one way.
class TWorld {
public:
    TWorld(bool ruleByRule, const std::function<void(TZivadFilters&, TZivadFilters&)>& fill, const TFilterSettings& settings) {
        SetHomeFolder(m_home.Path());
        m_local = std::make_unique<TZivadFilters>(m_home / "account-filters", TFilterScope::Account);
        m_global = std::make_unique<TZivadFilters>(m_home / "vorla.fil");
        m_global->SetSettings(settings);
        m_log = std::make_unique<TZivadLog>(m_home / "vorla.log");
        fill(*m_local, *m_global);
        m_account.name = "Work";
        m_account.email = "me@example.net";
        m_account.rules = m_local.get();
        m_engine.globalRules = m_global.get();
        m_engine.log = m_log.get();
        m_engine.ruleByRule = ruleByRule;
    }

    // The decision, or the failure's text.
    std::string Classify(const std::string& text, bool bodyRulesOnly) {
        try {
            const TClassification c = ClassifyMessage(m_account, m_engine, text, 0, bodyRulesOnly);
            return std::to_string(c.result) + " " + c.reason;
        } catch (const std::exception& e) {
            return std::string("failed: ") + e.what();
        }
    }

    // Every rule with its statistics, and the log's entries without their time.
    std::string State() const {
        std::string state;
        for (const TZivadFilters* list : {m_local.get(), m_global.get()}) {
            for (int i = 0; i < list->RuleCount(); ++i) {
                const TZivadFilterItem& rule = *list->RuleAt(i);
                state += RuleLine(rule) + " hits " + std::to_string(rule.HitCount()) + " " + rule.LastUsed() + "\n";
            }
            state += "--\n";
        }
        const std::string log = std::filesystem::exists(m_home / "vorla.log") ? ReadFile(m_home / "vorla.log") : "";
        for (const std::string& line : SplitLines(log)) state += line.substr(std::min(line.find('\t'), line.size())) + "\n";
        return state;
    }

    TZivadFilters& Local() { return *m_local; }
    TZivadFilters& Global() { return *m_global; }
    TClassifyAccount& Account() { return m_account; }

private:
    TTempDir m_home;
    std::unique_ptr<TZivadFilters> m_local, m_global;
    std::unique_ptr<TZivadLog> m_log;
    TClassifyAccount m_account;
    TClassifyEngine m_engine;
};

struct TCase {
    const char* name;
    std::uint64_t seed;
    TRulePlan local, global;
    bool autoAdd;
    bool displayText;  // classify the stored-message display text instead of the raw text
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.name; }

class RuleIndexTest : public ::testing::TestWithParam<TCase> {};

TEST_P(RuleIndexTest, IndexedClassificationEqualsTheRuleByRuleScan) {
    const TCase& c = GetParam();
    const std::vector<std::string> messages = Messages();
    TFilterSettings settings;
    settings.autoAddReceived = c.autoAdd;
    settings.unwantedTlds = "ru cn";
    auto fill = [&](TZivadFilters& local, TZivadFilters& global) {
        AddRules(local, messages, c.seed, c.local);
        AddRules(global, messages, c.seed + 1000, c.global);
    };
    TWorld scan(true, fill, settings), indexed(false, fill, settings);
    ASSERT_EQ(scan.State(), indexed.State());

    int decided = 0, failed = 0;
    auto classifyAll = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            SCOPED_TRACE("message " + std::to_string(i));
            const std::string text = c.displayText ? MessageDisplayText(messages[i]) : messages[i];
            for (const std::string& part : {text, vorla::test::SampleHeaderOf(text)}) {
                for (bool bodyOnly : {false, true}) {
                    const std::string want = scan.Classify(part, bodyOnly);
                    ASSERT_EQ(indexed.Classify(part, bodyOnly), want);
                    decided += want[0] != '0' && want[0] != 'f';
                    failed += want[0] == 'f';
                }
            }
        }
    };
    classifyAll(0, messages.size() / 2);
    // Edits between messages: the index must follow them.
    for (TWorld* world : {&scan, &indexed}) {
        TZivadFilters& global = world->Global();
        std::scoped_lock lock(global.Mutex());
        for (int i = 0; i < global.RuleCount(); i += 7) {
            TZivadFilterItem& rule = *global.RuleAt(i);
            rule.SetActive(!rule.Active());
            if (i % 3 == 0) rule.SetSearchText(rule.SearchText() + "e");
            if (i % 5 == 0) global.MarkRule(i + 1);
        }
        global.PurgeMarked();
        TZivadFilterItem& added = global.AddRule();
        added = *global.RuleAt(0);
        if (world->Local().RuleCount() > 0) *global.RuleAt(1) = *world->Local().RuleAt(0);
    }
    classifyAll(messages.size() / 2, messages.size());
    EXPECT_EQ(scan.State(), indexed.State());
    // The cases are made to decide some messages and leave others.
    EXPECT_GT(decided, 0);
    if (c.local.emptyPercent + c.global.emptyPercent > 0) {
        EXPECT_GT(failed, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RuleIndexTest,
    ::testing::Values(TCase{"Mixed", 1, {100, 0}, {180, 0}, false, false},
                      TCase{"AutomaticRules", 2, {50, 0}, {200, 0}, true, false},
                      TCase{"EmptySearchTexts", 3, {60, 3}, {100, 2}, false, false},
                      TCase{"GlobalOnly", 4, {0, 0}, {250, 0}, true, false},
                      TCase{"DisplayText", 5, {80, 0}, {150, 0}, true, true}),
    [](const ::testing::TestParamInfo<TCase>& param) { return std::string(param.param.name); });

// The index is made once and must follow every later change of the list.
struct TEditRow {
    const char* name;
    std::function<void(TZivadFilters&)> edit;
    std::string message;
    std::string want;
};

TEST(RuleIndexEditTest, TheIndexFollowsEveryChangeAndEverySectionsWays) {
    auto add = [](TZivadFilters& list, A action, S section, const std::string& text, const std::string& description) {
        TZivadFilterItem& rule = list.AddRule();
        rule.SetAction(action);
        rule.SetSection(section);
        rule.SetSearchText(text);
        rule.SetDescription(description);
        rule.SetActive(true);
        return &rule;
    };
    auto fill = [&](TZivadFilters&, TZivadFilters& global) {
        add(global, A::Reject, S::Subject, "lottery", "subject");
        add(global, A::Reject, S::Body, "casino bonus", "body");
        add(global, A::Reject, S::HeaderPresent, "X-Spam:", "flag");
    };
    auto mail = [](const std::string& header, const std::string& body) { return header + "\r\n\r\n" + body + "\r\n"; };
    const std::vector<TEditRow> rows = {
        {"an appended rule", [&](TZivadFilters& l) { add(l, A::Reject, S::From, "bad@", "from"); },
         mail("From: bad@example.org", "hi"), "-1 global:from"},
        {"many appended rules",
         [&](TZivadFilters& l) {
             for (int i = 0; i < 60; ++i) add(l, A::Reject, S::From, "bad" + std::to_string(i) + "@", "from " + std::to_string(i));
         },
         mail("From: bad59@example.org", "hi"), "-1 global:from 59"},
        {"a changed search text", [](TZivadFilters& l) { l.RuleAt(0)->SetSearchText("prize"); },
         mail("Subject: your prize", "hi"), "-1 global:subject"},
        {"a changed section", [](TZivadFilters& l) { l.RuleAt(0)->SetSection(S::Body); },
         mail("Subject: x", "lottery"), "-1 global:subject"},
        {"a changed action", [](TZivadFilters& l) { l.RuleAt(1)->SetAction(A::Accept); },
         mail("Subject: lottery", "casino bonus"), "1 global:body"},
        {"a deactivated rule", [](TZivadFilters& l) { l.RuleAt(0)->SetActive(false); },
         mail("Subject: lottery", "hi"), "0 "},
        {"a rule assigned over another",
         [](TZivadFilters& l) {
             TZivadFilterItem other;
             other.SetAction(A::Accept);
             other.SetSection(S::From);
             other.SetSearchText("friend@");
             other.SetDescription("friend");
             other.SetActive(true);
             *l.RuleAt(2) = other;
         },
         mail("From: friend@example.org\r\nSubject: lottery", "hi"), "1 global:friend"},
        {"purged rules",
         [](TZivadFilters& l) {
             l.MarkRule(0);
             l.PurgeMarked();
         },
         mail("Subject: lottery\r\nX-Spam: yes", "hi"), "-1 global:flag"},
        {"a restored snapshot",
         [](TZivadFilters& l) {
             l.TakeSnapshot();
             l.RuleAt(0)->SetSearchText("prize");
             l.RestoreSnapshot();
         },
         mail("Subject: lottery", "hi"), "-1 global:subject"},
    };
    auto one = [&](S section, const std::string& text) {
        return [=, &add](TZivadFilters& l) {
            l.RuleAt(0)->SetActive(false);
            add(l, A::Reject, section, text, "one");
        };
    };
    const std::string folded = "Received: from a\r\n\tby mx ([10.1.2.3])\r\nSubject: l.o.t-t.e.r.y 1";
    const std::vector<TEditRow> sections = {
        {"a tab that begins a continuation line", one(S::PresentInAnyHeader, "\tby mx"), mail(folded, "hi"), "-1 global:one"},
        {"a blank that begins a continuation line", one(S::HeaderPresent, "\tby"), mail(folded, "hi"), "-1 global:one"},
        {"a subject's letters", one(S::Subject, "lottery"), mail(folded, "hi"), "-1 global:one"},
        {"an address on a folded line", one(S::ReceivedIP, "10.1.*"), mail(folded, "hi"), "-1 global:one"},
        {"an address part that means any", one(S::ReceivedIP, "10.9.9.9"), mail("Received: from x [10.9.255.9]", "hi"),
         "-1 global:one"},
        {"a body behind tags", one(S::Body, "casino bonus"), mail("Subject: x", "<b>casino</b> <i>bonus</i>"),
         "-1 global:body"},
        {"an attachment", one(S::Attachment, "*.exe"),
         mail("Subject: x", "Content-Disposition: attachment;\r\n\tfilename=\"run.exe\""), "-1 global:one"},
        {"section None", one(S::None, "anything"), mail("Subject: x", "hi"), "-1 global:one"},
        {"an empty search text", one(S::From, ""), mail("From: a@b", "hi"), "failed: BufferLen is 0"},
    };
    std::vector<TEditRow> all = rows;
    all.insert(all.end(), sections.begin(), sections.end());
    for (const TEditRow& row : all) {
        SCOPED_TRACE(row.name);
        TWorld scan(true, fill, {}), indexed(false, fill, {});
        for (TWorld* world : {&scan, &indexed}) {
            world->Classify(row.message, false);  // the index is made here
            std::scoped_lock lock(world->Global().Mutex());
            row.edit(world->Global());
        }
        EXPECT_EQ(scan.Classify(row.message, false), row.want);
        EXPECT_EQ(indexed.Classify(row.message, false), row.want);
        EXPECT_EQ(scan.State(), indexed.State());
    }
}

}  // namespace
