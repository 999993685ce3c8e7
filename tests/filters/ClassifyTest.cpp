#include <gtest/gtest.h>

#include <functional>

#include "filters/Classify.h"
#include "filters/ReverseDns.h"
#include "filters/ZivadFilters.h"
#include "log/ZivadLog.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/DnsTestServer.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;

namespace {

using S = TFilterSection;
using A = TFilterAction;

constexpr char kOwn[] = "me@example.net";

std::string Corpus(const std::string& name) { return ReadFile(std::string(CORPUS_DIR) + "/" + name); }

// A message date n days before now, as a Date header writes it.
std::string DateDaysAgo(double days) {
    const std::string zone = StandardZoneText();
    return FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", Now() - days) + " " + (zone.empty() ? "+0000" : zone);
}

// A message file text: the header lines, an empty line, the body lines, every line CR LF.
std::string Message(const std::vector<std::string>& header, const std::vector<std::string>& body = {"Hello."}) {
    std::string text;
    for (const std::string& line : header) text += line + "\r\n";
    text += "\r\n";
    for (const std::string& line : body) text += line + "\r\n";
    return text + ".\r\n";
}

std::string Ordinary(const std::string& subject = "Meeting", const std::string& from = "Alice <alice@example.org>") {
    return Message({"Received: from relay.example.org (relay.example.org [192.0.2.7]) by mx.example.net",
                    "From: " + from, "To: Me <me@example.net>", "Subject: " + subject,
                    "Date: " + DateDaysAgo(3)});
}

class ClassifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetHomeFolder(m_home.Path());
        m_local = std::make_unique<TZivadFilters>(m_home / "account-filters", TFilterScope::Account);
        m_global = std::make_unique<TZivadFilters>(m_home / "vorla.fil");
        m_log = std::make_unique<TZivadLog>(m_home / "vorla.log");
        m_account.name = "Work";
        m_account.email = kOwn;
        m_account.rules = m_local.get();
        m_engine.globalRules = m_global.get();
        m_engine.log = m_log.get();
    }

    TZivadFilterItem& Add(TZivadFilters& list, A action, S section, const std::string& text,
                          const std::string& description) {
        TZivadFilterItem& rule = list.AddRule();
        rule.SetDescription(description);
        rule.SetAction(action);
        rule.SetSection(section);
        rule.SetSearchText(text);
        rule.SetActive(true);
        return rule;
    }
    void SetGlobalSettings(const std::function<void(TFilterSettings&)>& change) {
        TFilterSettings settings = m_global->Settings();
        change(settings);
        m_global->SetSettings(settings);
    }
    TClassification Classify(const std::string& text, std::int64_t size = 0, bool bodyRulesOnly = false) {
        return ClassifyMessage(m_account, m_engine, text, size, bodyRulesOnly);
    }
    std::string LogText() const { return FileExists(m_home / "vorla.log") ? ReadFile(m_home / "vorla.log") : ""; }

    TTempDir m_home;
    std::unique_ptr<TZivadFilters> m_local;
    std::unique_ptr<TZivadFilters> m_global;
    std::unique_ptr<TZivadLog> m_log;
    TClassifyAccount m_account;
    TClassifyEngine m_engine;
};

struct TRow {
    const char* name;
    std::function<void(TClassifyAccount&)> options;  // changes to the account's options
    std::string text;
    std::int64_t size;
    bool bodyRulesOnly;
    int result;
    std::string reason;
};

class ClassifyRowsTest : public ClassifyTest {
protected:
    void SetUp() override {
        ClassifyTest::SetUp();
        Add(*m_local, A::Accept, S::From, "friend@example.org", "friends");
        Add(*m_local, A::Reject, S::Subject, "lottery", "lottery subject");
        Add(*m_local, A::Reject, S::Body, "casino bonus", "casino body");
        Add(*m_local, A::None, S::None, "", "none action never decides");
        Add(*m_global, A::Accept, S::From, "news@example.com", "newsletter");
        Add(*m_global, A::Accept, S::Subject, "lottery results", "lottery club");
        Add(*m_global, A::Reject, S::Subject, "prize", "prize subject");
        TZivadFilterItem& inactive = Add(*m_global, A::Reject, S::From, "alice", "inactive");
        inactive.SetActive(false);
        m_account.mailbotSubjects = {"Send Price List", "help"};
    }
    void Run(const std::vector<TRow>& rows) {
        for (const TRow& row : rows) {
            SCOPED_TRACE(row.name);
            TClassifyAccount saved = m_account;
            if (row.options) row.options(m_account);
            const TClassification got = Classify(row.text, row.size, row.bodyRulesOnly);
            EXPECT_EQ(got.result, row.result);
            EXPECT_EQ(got.reason, row.reason);
            m_account = saved;
        }
    }
};

const auto kFiltersOff = [](TClassifyAccount& a) { a.enablefilters = false; };
const auto kOwnChecks = [](TClassifyAccount& a) {
    a.rejectownemail = true;
    a.rejectinvalidrecipient = true;
};
const auto kLimit100 = [](TClassifyAccount& a) { a.rejectkb = 100; };

TEST_F(ClassifyRowsTest, BuiltInChecksAndRulePassesInTheirOrder) {
    const std::string mailbot = Ordinary("SEND PRICE LIST");
    const std::string ownSender = Message({"From: Me <me@example.net>", "To: me@example.net", "Subject: note"});
    const std::string friendFromOwn =
        Message({"From: friend@example.org, me@example.net", "To: me@example.net", "Subject: hi"});
    const std::string bccOnly =
        Message({"From: alice@example.org", "To: list@example.org", "Bcc: me@example.net", "Subject: x"});
    const std::string mixedCaseCc =
        Message({"From: alice@example.org", "To: list@example.org", "cC: ME@Example.NET", "Subject: x"});
    const std::string foldedTo =
        Message({"From: alice@example.org", "To: list@example.org,", "\tMe <me@example.net>", "Subject: x"});
    const std::string resentOnly =
        Message({"From: alice@example.org", "Resent-To: me@example.net", "Subject: x"});
    Run({
        {"filters off accept everything", kFiltersOff, Ordinary("lottery"), 0, false, 1, ""},
        {"filters off skip the mailbot too", kFiltersOff, mailbot, 0, false, 1, ""},
        {"mailbot subject in other case", nullptr, mailbot, 0, false, 1, "mailbot:Send Price List"},
        {"mailbot before the size limit and own-address checks",
         [](TClassifyAccount& a) {
             a.rejectkb = 1;
             a.rejectownemail = true;
         },
         Message({"From: me@example.net", "Subject:   help  "}), 5000, false, 1, "mailbot:help"},
        {"a subject that only begins like a mailbot's", nullptr, Ordinary("help me"), 0, false, 0, ""},
        {"own address as sender", kOwnChecks, ownSender, 0, false, -1, "Invalid_Sender"},
        {"own sender beats an accept rule", kOwnChecks, friendFromOwn, 0, false, -1, "Invalid_Sender"},
        {"own address only in Bcc", kOwnChecks, bccOnly, 0, false, -1, "Invalid_Recipient"},
        {"own address only in Resent-To", kOwnChecks, resentOnly, 0, false, -1, "Invalid_Recipient"},
        {"own address in a mixed-case CC header", kOwnChecks, mixedCaseCc, 0, false, 0, ""},
        {"own address on a To continuation line", kOwnChecks, foldedTo, 0, false, 0, ""},
        {"recipient check alone", [](TClassifyAccount& a) { a.rejectinvalidrecipient = true; }, bccOnly, 0, false,
         -1, "Invalid_Recipient"},
        {"no own address: nothing to check", [](TClassifyAccount& a) {
             kOwnChecks(a);
             a.email.clear();
         },
         bccOnly, 0, false, 0, ""},
        {"size equal to the limit passes", kLimit100, Ordinary(), 100 * 1024, false, 0, ""},
        {"one byte more is too big", kLimit100, Ordinary(), 100 * 1024 + 1, false, -1, "Msg_Too_Big"},
        {"no limit", nullptr, Ordinary(), 2'000'000'000'000, false, 0, ""},
        {"the limit comes before the rules", kLimit100, Ordinary("x", "friend@example.org"), 200000, false, -1,
         "Msg_Too_Big"},
        {"a limit beyond 32 bits does not wrap", [](TClassifyAccount& a) { a.rejectkb = 4'000'000; },
         Ordinary(), 4'000'000LL * 1024, false, 0, ""},
        {"...and still limits", [](TClassifyAccount& a) { a.rejectkb = 4'000'000; }, Ordinary(),
         4'000'000LL * 1024 + 1, false, -1, "Msg_Too_Big"},
        {"account accept rule", nullptr, Ordinary("x", "friend@example.org"), 0, false, 1, "local:friends"},
        {"global accept rule", nullptr, Ordinary("x", "news@example.com"), 0, false, 1, "global:newsletter"},
        {"global accept beats account reject", nullptr, Ordinary("lottery results"), 0, false, 1,
         "global:lottery club"},
        {"account reject", nullptr, Ordinary("lottery"), 0, false, -1, "local:lottery subject"},
        {"account reject before global reject", nullptr, Ordinary("lottery prize"), 0, false, -1,
         "local:lottery subject"},
        {"global reject", nullptr, Ordinary("a prize"), 0, false, -1, "global:prize subject"},
        {"inactive rules take no part", nullptr, Ordinary(), 0, false, 0, ""},
        {"body rules only: a subject rule is not applied", nullptr, Ordinary("lottery"), 0, true, 0, ""},
        {"body rules only: body rules are", nullptr,
         Message({"From: a@example.org", "Subject: lottery"}, {"casino bonus inside"}), 0, true, -1,
         "local:casino body"},
        {"body rules only: no date, address or size checks after the rules",
         [](TClassifyAccount& a) {
             a.rejectolddates = true;
             a.rejectillegalips = true;
         },
         Message({"Received: from x (x [10.0.0.1]) by y", "Subject: undated"}), 0, true, 0, ""},
    });
}

TEST_F(ClassifyRowsTest, OldDatesAndIllegalAddresses) {
    const auto oldDates = [](TClassifyAccount& a) { a.rejectolddates = true; };
    const auto illegalIps = [](TClassifyAccount& a) { a.rejectillegalips = true; };
    const auto received = [](const std::string& address) {
        return Message({"Received: from h.example (h.example [" + address + "]) by mx.example.net",
                        "Received: from lower.example ([192.168.2.9]) by h.example", "Subject: s"});
    };
    Run({
        {"five years and one day ago", oldDates, Message({"Subject: s", "Date: " + DateDaysAgo(1827.25)}), 0, false,
         -1, "Old_date"},
        {"four years ago", oldDates, Message({"Subject: s", "Date: " + DateDaysAgo(4 * 365.25)}), 0, false, 0, ""},
        {"no Date header", oldDates, Message({"Subject: s"}), 0, false, -1, "Old_date"},
        {"an unreadable Date", oldDates, Message({"Subject: s", "Date: sometime soon"}), 0, false, -1, "Old_date"},
        {"a Date in the future", oldDates, Message({"Subject: s", "Date: " + DateDaysAgo(-30)}), 0, false, 0, ""},
        {"a rule decides before the date", oldDates, Message({"Subject: lottery"}), 0, false, -1,
         "local:lottery subject"},
        {"a 0 octet", illegalIps, received("10.0.0.1"), 0, false, -1, "Illegal_IP"},
        {"a 255 octet", illegalIps, received("192.168.1.255"), 0, false, -1, "Illegal_IP"},
        {"three parts", illegalIps, received("192.168.1"), 0, false, -1, "Illegal_IP"},
        {"an empty part", illegalIps, received("192..1.2"), 0, false, -1, "Illegal_IP"},
        {"an octet above 255", illegalIps, received("192.168.1.300"), 0, false, -1, "Illegal_IP"},
        {"ordinary addresses", illegalIps, received("192.168.1.20"), 0, false, 0, ""},
        {"no Received address at all", illegalIps, Message({"Received: by mx.example.net", "Subject: s"}), 0,
         false, 0, ""},
        {"the check is off", nullptr, received("10.0.0.1"), 0, false, 0, ""},
        {"old date is tested before addresses",
         [](TClassifyAccount& a) {
             a.rejectolddates = true;
             a.rejectillegalips = true;
         },
         received("10.0.0.1"), 0, false, -1, "Old_date"},
    });
}

TEST_F(ClassifyRowsTest, UnwantedTopLevelDomainsInTheHeader) {
    SetGlobalSettings([](TFilterSettings& s) { s.unwantedTlds = "cn ru"; });
    const std::string ru = Message({"Return-Path: <bulk@mail.example.ru>", "From: a@example.org", "Subject: s"});
    const std::string museum = Message({"Return-Path: <curator@example.museum>", "Subject: s"});
    const std::string two =
        Message({"Message-ID: <123@host.example.cn>", "Return-Path: <x@example.ru>", "Subject: s"});
    const std::string upper = Message({"FROM: Someone <x@EXAMPLE.RU>", "Subject: s"});
    const std::string partial = Message({"Reply-To: x@example.run", "Subject: s"});
    // The label is read from the end of the line, so only a folded Received line ends in it.
    const std::string receivedFrom = Message({"Received: from mail.example.cn", "\tby mx.example.net", "Subject: s"});
    const std::string receivedUnfolded = Message({"Received: from mail.example.cn by mx.example.net", "Subject: s"});
    const std::string receivedBy = Message({"Received: by mail.example.cn", "Subject: s"});
    const std::string body = Message({"Subject: s"}, {"from the office in example.ru"});
    Run({
        {"Return-Path in .ru", nullptr, ru, 0, false, -1, "TLD:ru"},
        {"Return-Path in .museum", nullptr, museum, 0, false, 0, ""},
        {"the last matching line names the domain", nullptr, two, 0, false, -1, "TLD:ru"},
        {"letter case is ignored", nullptr, upper, 0, false, -1, "TLD:RU"},
        {"whole codes only", nullptr, partial, 0, false, 0, ""},
        {"Received: from line", nullptr, receivedFrom, 0, false, -1, "TLD:cn"},
        {"the end of a Received line is its last label", nullptr, receivedUnfolded, 0, false, 0, ""},
        {"Received: by line", nullptr, receivedBy, 0, false, 0, ""},
        {"body lines count as well", nullptr, body, 0, false, -1, "TLD:ru"},
        {"an accept rule comes first", nullptr,
         Message({"Return-Path: <news@example.ru>", "From: news@example.com"}), 0, false, 1, "global:newsletter"},
    });
    SetGlobalSettings([](TFilterSettings& s) { s.tldCheck = false; });
    Run({{"the check is off", nullptr, ru, 0, false, 0, ""}});
    SetGlobalSettings([](TFilterSettings& s) {
        s.tldCheck = true;
        s.unwantedTlds.clear();
    });
    Run({{"no unwanted domains", nullptr, ru, 0, false, 0, ""}});
}

TEST_F(ClassifyTest, RuleStatisticsAndTheBuiltInRulesLeaveNoTrace) {
    TZivadFilterItem& accept = Add(*m_global, A::Accept, S::Subject, "meeting", "meetings");
    TZivadFilterItem& later = Add(*m_global, A::Accept, S::None, "", "everything");
    m_account.rejectownemail = true;
    m_account.rejectinvalidrecipient = true;
    EXPECT_EQ(Classify(Ordinary()).reason, "global:meetings");
    EXPECT_EQ(Classify(Ordinary()).reason, "global:meetings");
    EXPECT_EQ(accept.HitCount(), 2);
    EXPECT_FALSE(accept.LastUsed().empty());
    EXPECT_EQ(later.HitCount(), 0);  // the first hit ends the pass
    EXPECT_EQ(m_local->RuleCount(), 0);
    EXPECT_EQ(m_global->RuleCount(), 2);  // the own-address rules belong to no list
    EXPECT_EQ(LogText(), "");

    m_account.stopRequested = [] { return true; };
    const TClassification stopped = Classify(Ordinary());
    EXPECT_EQ(stopped.result, 0);
    EXPECT_EQ(stopped.reason, "");
    EXPECT_EQ(accept.HitCount(), 2);
}

TEST_F(ClassifyTest, AnActiveRuleWithAnEmptySearchTextFailsTheClassification) {
    Add(*m_local, A::Reject, S::From, "", "broken rule");
    try {
        Classify(Ordinary());
        ADD_FAILURE() << "no error";
    } catch (const TVorlaError& e) {
        EXPECT_STREQ(e.what(), "BufferLen is 0");
    }
    // Not reached when no From line exists, or in the body-only pass.
    EXPECT_EQ(Classify(Message({"Subject: s"})).result, 0);
    EXPECT_EQ(Classify(Ordinary(), 0, true).result, 0);
}

TEST_F(ClassifyTest, GlobalBodyHitAddsReceivedIpRulesThroughTheClassification) {
    SetGlobalSettings([](TFilterSettings& s) { s.autoAddReceived = true; });
    Add(*m_global, A::Reject, S::Body, "lottery prize", "lottery body");
    const std::string text = ReadFile(std::string(TEST_DATA_DIR) + "/three-received-lines-two-addresses.eml");
    const TClassification got = Classify(text);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.reason, "global:lottery body");
    ASSERT_EQ(m_global->RuleCount(), 3);
    EXPECT_EQ(m_global->RuleAt(1)->SearchText(), "10.20.30.40");
    EXPECT_EQ(m_global->RuleAt(2)->SearchText(), "203.0.113.5");
    const std::string log = LogText();
    EXPECT_NE(log.find("\tWork\tAddFilter - (10.20.30.40) \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\tWork\tAddFilter - (203.0.113.5) \r\n"), std::string::npos) << log;
    // Next time the added rule decides (the body rule comes first in the list).
    m_global->RuleAt(0)->SetActive(false);
    EXPECT_EQ(Classify(text).reason, "global:10.20.30.40");
}

// The look ahead of a pipelined fetch: the same result as the classification, with no hit
// counted, no rule added and nothing logged, for each kind of deciding step.
TEST_F(ClassifyTest, LookAheadGivesTheSameResultAndLeavesNoTrace) {
    SetGlobalSettings([](TFilterSettings& s) { s.autoAddReceived = true; });
    TZivadFilterItem& body = Add(*m_global, A::Reject, S::Body, "lottery prize", "lottery body");
    TZivadFilterItem& meeting = Add(*m_local, A::Accept, S::Subject, "meeting", "meetings");
    const std::string lottery = ReadFile(std::string(TEST_DATA_DIR) + "/three-received-lines-two-addresses.eml");
    const struct {
        const char* what;
        std::string text;
        std::int64_t size;
    } rows[] = {
        {"an accept rule", Ordinary("Weekly meeting"), 0},
        {"a body rule that adds rules", lottery, 0},
        {"the size limit", Ordinary("Other"), 200 * 1024},
        {"nothing decides", Ordinary("Other"), 0},
    };
    m_account.rejectkb = 100;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_engine.lookAhead = true;
        const TClassification ahead = ClassifyMessage(m_account, m_engine, row.text, row.size, false);
        EXPECT_EQ(body.HitCount() + meeting.HitCount(), 0);
        EXPECT_EQ(m_global->RuleCount(), 1);
        EXPECT_EQ(LogText(), "");
        m_engine.lookAhead = false;
        EXPECT_EQ(ClassifyMessage(m_account, m_engine, row.text, row.size, false).result, ahead.result);
        // Undo what the real one did, for the next row.
        body.SetHitCount(0);
        meeting.SetHitCount(0);
        for (int i = m_global->RuleCount() - 1; i >= 1; --i) m_global->MarkRule(i);
        m_global->PurgeMarked();
        if (FileExists(m_home / "vorla.log")) DeleteFile(m_home / "vorla.log");
    }
}

TEST_F(ClassifyTest, RealSpamIsRejectedBySensibleRulesAndRealMailIsNot) {
    const std::string spam = Corpus("spamassassin/sample-spam.txt");
    const std::string ham = Corpus("spamassassin/sample-nonspam.txt");
    Add(*m_global, A::Reject, S::Body, "GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL", "GTUBE");
    Add(*m_global, A::Reject, S::HeaderPresent, "Precedence: junk", "junk precedence");
    Add(*m_local, A::Accept, S::From, "@world.std.com", "TBTF");

    TClassification got = Classify(spam, static_cast<std::int64_t>(spam.size()));
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.reason, "global:GTUBE");
    got = Classify(ham, static_cast<std::int64_t>(ham.size()));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.reason, "local:TBTF");

    // Without rules the built-in checks still see that both are old.
    m_account.rules = nullptr;
    m_engine.globalRules = nullptr;
    m_account.rejectolddates = true;
    EXPECT_EQ(Classify(spam).reason, "Old_date");
    m_account.rejectolddates = false;
    m_account.rejectillegalips = true;
    EXPECT_EQ(Classify(ham).result, 0);  // every Received address of it is ordinary
}

// ---- Reverse DNS of the first hop, against real DNS servers on loopback ------------------

class ClassifyReverseDnsTest : public ClassifyTest {
protected:
    // The first hop of the sample message is 208.192.102.193; the server knows it as a host
    // under .ru, and 192.0.2.7 as one under .com.
    void StartServer() {
        test::TDnsServerSpec server;
        server.address = "127.0.0.2";
        server.answers.push_back({"193.102.192.208.in-addr.arpa", "PTR", "NOERROR",
                                  {"193.102.192.208.in-addr.arpa. 60 IN PTR dialup-193.example.ru."}, {}, {}});
        server.answers.push_back({"7.2.0.192.in-addr.arpa", "PTR", "NOERROR",
                                  {"7.2.0.192.in-addr.arpa. 60 IN PTR relay.example.com."}, {}, {}});
        try {
            m_servers = std::make_unique<test::TDnsTestServers>(std::vector<test::TDnsServerSpec>{server});
        } catch (const std::exception& e) {
            GTEST_SKIP() << "no DNS test server: " << e.what();
        }
        m_rdns.SetPort(m_servers->Port());
        m_engine.reverseDns = &m_rdns;
        SetGlobalSettings([](TFilterSettings& s) {
            s.reverseDns = true;
            s.tldCheck = false;  // not consulted by the reverse lookup
            s.unwantedTlds = "cn ru";
            s.dnsHost = "127.0.0.2";
            s.dnsTimeout = 5;
        });
    }

    std::unique_ptr<test::TDnsTestServers> m_servers;
    TReverseDns m_rdns;
};

TEST_F(ClassifyReverseDnsTest, UnwantedDomainOfTheLowestReceivedAddressRejectsAndAddsARule) {
    StartServer();
    if (IsSkipped()) return;
    const std::string ham = Corpus("spamassassin/sample-nonspam.txt");
    const TClassification got = Classify(ham);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.reason, "TLD:ru");
    ASSERT_EQ(m_local->RuleCount(), 1);
    const TZivadFilterItem& rule = *m_local->RuleAt(0);
    EXPECT_EQ(rule.Description(), "208.192.102.193");
    EXPECT_EQ(rule.SearchText(), "208.192.102.193");
    EXPECT_EQ(rule.Action(), A::Reject);
    EXPECT_EQ(rule.Section(), S::ReceivedIP);
    EXPECT_TRUE(rule.Active());
    EXPECT_FALSE(FileExists(m_home / "account-filters"));  // not saved
    const std::string log = LogText();
    EXPECT_NE(log.find("\tWork\tAddFilter - (208.192.102.193) \r\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    const auto queries = m_servers->Queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].qname, "193.102.192.208.in-addr.arpa");
    EXPECT_EQ(queries[0].qtype, "PTR");

    // The added rule now decides before any lookup.
    EXPECT_EQ(Classify(ham).reason, "local:208.192.102.193");
    EXPECT_EQ(m_servers->Queries().size(), 1u);
}

TEST_F(ClassifyReverseDnsTest, WantedOrUnknownDomainsAndDisabledLookupsDecideNothing) {
    StartServer();
    if (IsSkipped()) return;
    // A look ahead asks no server: the lookup decides nothing then.
    m_engine.lookAhead = true;
    EXPECT_EQ(Classify(Corpus("spamassassin/sample-nonspam.txt")).result, 0);
    EXPECT_TRUE(m_servers->Queries().empty());
    m_engine.lookAhead = false;
    EXPECT_EQ(Classify(Ordinary()).result, 0);  // relay.example.com
    EXPECT_EQ(Classify(Message({"Received: from x (x [198.51.100.77]) by y"})).result, 0);  // NXDOMAIN
    EXPECT_EQ(Classify(Message({"Received: from x by y", "Subject: no address"})).result, 0);
    EXPECT_EQ(m_local->RuleCount(), 0);
    EXPECT_EQ(LogText(), "");
    EXPECT_EQ(m_servers->Queries().size(), 2u);  // the message without an address asks nobody

    const std::size_t asked = m_servers->Queries().size();
    SetGlobalSettings([](TFilterSettings& s) { s.reverseDns = false; });
    EXPECT_EQ(Classify(Corpus("spamassassin/sample-nonspam.txt")).result, 0);
    SetGlobalSettings([](TFilterSettings& s) {
        s.reverseDns = true;
        s.unwantedTlds.clear();
    });
    EXPECT_EQ(Classify(Corpus("spamassassin/sample-nonspam.txt")).result, 0);
    SetGlobalSettings([](TFilterSettings& s) { s.unwantedTlds = "cn ru"; });
    EXPECT_EQ(Classify(Corpus("spamassassin/sample-nonspam.txt"), 0, true).result, 0);  // body rules only
    EXPECT_EQ(m_servers->Queries().size(), asked);
}

}  // namespace
