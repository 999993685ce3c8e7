#include "filters/ReverseDns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "filters/ZivadFilters.h"
#include "platform/Errors.h"
#include "platform/Home.h"
#include "platform/Strings.h"
#include "support/DnsTestServer.h"
#include "support/TempDir.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

using test::TDnsAnswer;
using test::TDnsServerSpec;
using test::TDnsTestServers;

constexpr char kRoot[] = "127.0.0.2";
constexpr char kSilent[] = "127.0.0.3";
constexpr char kGood[] = "127.0.0.4";
constexpr char kLame[] = "127.0.0.5";
constexpr char kFan[] = "127.0.0.6";
constexpr int kFanOut = 40;

std::string Ptr(const std::string& address) { return DnsQuestionName(address, TDnsType::PTR); }
TDnsAnswer Reply(const std::string& address, std::vector<std::string> answer, std::vector<std::string> authority = {}) {
    TDnsAnswer a;
    a.qname = Ptr(address);
    a.qtype = "PTR";
    a.answer = std::move(answer);
    a.authority = std::move(authority);
    return a;
}
std::string PtrRecord(const std::string& address, const std::string& host) {
    return Ptr(address) + ". 60 IN PTR " + host + ".";
}
std::string NsRecord(const std::string& server) { return "2.0.192.in-addr.arpa. 60 IN NS " + server + "."; }

// The name servers' host names, as the ordinary resolver would know them; anything else fails
// as an unknown host, so no test ever reaches the system resolver.
std::string TestResolver(const std::string& host) {
    static const std::map<std::string, std::string> known = {
        {"ns-silent.example.net", kSilent}, {"ns-good.example.org", kGood},
        {"ns-lame.example.net", kLame},     {"loop-a.example.com", kGood},
        {"loop-b.example.com", kLame},
    };
    if (host.find_first_not_of("0123456789.") == std::string::npos) return host;
    if (const auto it = known.find(AsciiLower(host)); it != known.end()) return it->second;
    if (host.rfind("fan", 0) == 0) return kFan;
    throw TNetError("Host not found: " + host);
}

// Root, referred and misbehaving name servers for the addresses 192.0.2.1 .. 192.0.2.8:
//   .1 root refers to a silent server, then to one that knows the PTR (mail.example.ru)
//   .2 root refers to a server that has no PTR and names only itself (ns-lame.example.net)
//   .3 root says NXDOMAIN
//   .4 root answers itself (direct.example.de), naming ns.example.de as authority
//   .5 referrals that loop: root -> loop-a -> (loop-b, root) -> LOOP-A
//   .6 root refers to 40 different names that all know nothing
//   .7 root refers to a host the resolver doesn't know, then to one that answers
//   .8 a PTR name carrying a tab and line break (escaped on decoding)
class ReverseDnsLive : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TDnsServerSpec root;
        root.address = kRoot;
        std::vector<std::string> fan;
        for (int i = 0; i < kFanOut; ++i) fan.push_back(NsRecord("fan" + std::to_string(i) + ".example.net"));
        root.answers = {
            Reply("192.0.2.1", {}, {NsRecord("ns-silent.example.net"), NsRecord("ns-good.example.org")}),
            Reply("192.0.2.2", {}, {NsRecord("ns-lame.example.net")}),
            Reply("192.0.2.4", {PtrRecord("192.0.2.4", "direct.example.de")}, {NsRecord("ns.example.de")}),
            Reply("192.0.2.5", {}, {NsRecord("loop-a.example.com")}),
            Reply("192.0.2.6", {}, fan),
            Reply("192.0.2.7", {}, {NsRecord("ghost.example.net"), NsRecord("ns-good.example.org")}),
            Reply("192.0.2.8", {PtrRecord("192.0.2.8", "evil\\009host\\013\\010.example.ru")}),
        };
        TDnsServerSpec silent;
        silent.address = kSilent;
        silent.silent = true;
        TDnsServerSpec good;
        good.address = kGood;
        good.answers = {
            Reply("192.0.2.1", {PtrRecord("192.0.2.1", "mail.example.ru")}, {NsRecord("ns-good.example.org")}),
            Reply("192.0.2.7", {PtrRecord("192.0.2.7", "h7.example.org")}),
            Reply("192.0.2.5", {}, {NsRecord("loop-b.example.com"), NsRecord(kRoot)}),
        };
        TDnsServerSpec lame;
        lame.address = kLame;
        lame.answers = {
            Reply("192.0.2.2", {}, {NsRecord("ns-lame.example.net")}),
            Reply("192.0.2.5", {}, {NsRecord("LOOP-A.example.com")}),
        };
        TDnsServerSpec fanServer;
        fanServer.address = kFan;
        fanServer.hasFallback = true;  // NOERROR, no records
        s_servers = std::make_unique<TDnsTestServers>(std::vector<TDnsServerSpec>{root, silent, good, lame, fanServer});
    }
    static void TearDownTestSuite() { s_servers.reset(); }

    // A lookup object aimed at the test servers, reporting into this test's lists.
    std::unique_ptr<TReverseDns> MakeLookup(bool lookupLines = true) {
        auto dns = std::make_unique<TReverseDns>();
        dns->SetServer(kRoot, 1);
        dns->SetPort(s_servers->Port());
        dns->SetHostResolver(TestResolver);
        dns->SetReport({[this](const std::string& line) { m_status.push_back(line); },
                        [this](const std::string& text) { m_texts.push_back(text); },
                        [lookupLines] { return lookupLines; }});
        return dns;
    }
    std::size_t QueryCount() const { return s_servers->Queries().size(); }
    std::vector<std::string> StatusLinesWith(const std::string& part) const {
        std::vector<std::string> lines;
        for (const std::string& l : m_status)
            if (l.find(part) != std::string::npos) lines.push_back(l);
        return lines;
    }

    static std::unique_ptr<TDnsTestServers> s_servers;
    std::vector<std::string> m_status;
    std::vector<std::string> m_texts;
};
std::unique_ptr<TDnsTestServers> ReverseDnsLive::s_servers;

TEST_F(ReverseDnsLive, TimedOutFirstReferralFallsBackToTheSecond) {
    auto dns = MakeLookup();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.1"), "ru");

    EXPECT_EQ(StatusLinesWith("\tRDNS\t\tException: "), std::vector<std::string>{"\tRDNS\t\tException: TimedOut"});
    const std::vector<std::string> lookups = StatusLinesWith("\tRDNS\t\tLookup: ");
    EXPECT_NE(std::find(lookups.begin(), lookups.end(), "\tRDNS\t\tLookup: 192.0.2.1, Result: mail.example.ru"),
              lookups.end());
    EXPECT_NE(std::find(lookups.begin(), lookups.end(), "\tRDNS\t\tLookup: 192.0.2.1, Result: ns-silent.example.net"),
              lookups.end());
    const std::vector<std::string> texts = {
        "Looking up 192.0.2.1 on 127.0.0.2",
        "Looking up 192.0.2.1 on ns-silent.example.net",
        "Looking up 192.0.2.1 on ns-good.example.org",
        "Found mail.example.ru on 192.0.2.1",
        "Found mail.example.ru on 192.0.2.1",
    };
    EXPECT_EQ(m_texts, texts);
    EXPECT_EQ(s_servers->Queries(kSilent).size(), 1u);

    const std::size_t before = QueryCount();
    m_status.clear();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.1"), "ru");  // from the cache
    EXPECT_EQ(QueryCount(), before);
    EXPECT_TRUE(m_status.empty());
}

TEST_F(ReverseDnsLive, WithoutPtrTheLastReplysFirstNameServerCountsAndIsCached) {
    auto dns = MakeLookup();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.2"), "net");  // ns-lame.example.net
    EXPECT_EQ(m_texts.back(), "192.0.2.2 not found anywhere");
    const std::size_t before = QueryCount();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.2"), "net");
    EXPECT_EQ(QueryCount(), before);
}

TEST_F(ReverseDnsLive, FailedLookupIsNotCachedAndAskedAgain) {
    auto dns = MakeLookup();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.3"), "");
    EXPECT_EQ(StatusLinesWith("Exception"),
              std::vector<std::string>{"\tRDNS\t\tException: DNS Server Reports Query Name Error"});
    const std::size_t before = QueryCount();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.3"), "");
    EXPECT_EQ(QueryCount(), before + 1);
}

TEST_F(ReverseDnsLive, StatusSwitchOffDropsOnlyTheLookupLines) {
    auto dns = MakeLookup(false);
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.4"), "de");
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.7"), "org");
    EXPECT_TRUE(StatusLinesWith("Lookup").empty());
    EXPECT_EQ(StatusLinesWith("Exception"),
              std::vector<std::string>{"\tRDNS\t\tException: Host not found: ghost.example.net"});
}

TEST_F(ReverseDnsLive, ReferralLoopsEndWithEveryServerAskedOnce) {
    auto dns = MakeLookup();
    const std::size_t root = s_servers->Queries(kRoot).size();
    const std::size_t good = s_servers->Queries(kGood).size();
    const std::size_t lame = s_servers->Queries(kLame).size();
    // No PTR anywhere: the name server named last (LOOP-A.example.com) gives the domain.
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.5"), "com");
    EXPECT_EQ(s_servers->Queries(kRoot).size(), root + 1);
    EXPECT_EQ(s_servers->Queries(kGood).size(), good + 1);
    EXPECT_EQ(s_servers->Queries(kLame).size(), lame + 1);
    EXPECT_TRUE(StatusLinesWith("Exception").empty());
}

TEST_F(ReverseDnsLive, ReferralsToEverNewNamesStopAtTheServerLimit) {
    auto dns = MakeLookup();
    const std::size_t fan = s_servers->Queries(kFan).size();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.6"), "");  // the last reply (a fan server's) names no server
    EXPECT_EQ(s_servers->Queries(kFan).size(), fan + TReverseDns::kMaxServersAsked - 1);  // root is the first
    const auto gaveUp = StatusLinesWith("Exception");
    ASSERT_EQ(gaveUp.size(), 1u);
    EXPECT_EQ(gaveUp[0], "\tRDNS\t\tException: Gave up after asking 32 name servers about 192.0.2.6");
}

TEST_F(ReverseDnsLive, HostileNamesReachStatusLinesEscaped) {
    auto dns = MakeLookup();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.8"), "ru");
    for (const std::string& line : m_status) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 3);
    }
    EXPECT_EQ(m_texts.back(), "Found evil\\009host\\013\\010.example.ru on 192.0.2.8");
    // Control bytes of the address (it comes from a mail header) don't reach the lines either.
    m_status.clear();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.3\t\r\n"), "");
    ASSERT_FALSE(m_texts.empty());
    EXPECT_EQ(m_texts.back(), "Looking up 192.0.2.3??? on 127.0.0.2");  // then the server's error
    EXPECT_EQ(m_status, std::vector<std::string>{"\tRDNS\t\tException: DNS Server Reports Query Name Error"});
}

TEST_F(ReverseDnsLive, EmptyDnsHostAsksNothing) {
    auto dns = MakeLookup();
    dns->SetServer("", 1);
    const std::size_t before = QueryCount();
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.4"), "");
    const TIpInformation info = dns->IpInformation("192.0.2.4", {});
    EXPECT_EQ(info.tld, "");
    EXPECT_EQ(info.location, "Unknown");
    EXPECT_EQ(info.host, "Unknown");
    EXPECT_EQ(info.nameServer, "Unknown");
    EXPECT_EQ(QueryCount(), before);
    EXPECT_TRUE(m_status.empty());
    EXPECT_TRUE(m_texts.empty());
}

TEST_F(ReverseDnsLive, IpInformationNamesTldLocationHostAndNameServer) {
    auto dns = MakeLookup();
    const std::vector<TTldEntry> table = {{"com", "Commercial"}, {"DE", "Germany"}, {"de", "Second"}};
    EXPECT_EQ(dns->ReverseLookupTLD("192.0.2.4"), "de");  // cached now; IpInformation asks anyway
    const std::size_t before = s_servers->Queries(kRoot).size();

    const TIpInformation info = dns->IpInformation("192.0.2.4 (from a rule)", table);
    EXPECT_EQ(info.tld, "de");
    EXPECT_EQ(info.location, "Germany");
    EXPECT_EQ(info.host, "direct.example.de");
    EXPECT_EQ(info.nameServer, "ns.example.de");
    const auto queries = s_servers->Queries(kRoot);
    ASSERT_EQ(queries.size(), before + 1);
    EXPECT_EQ(queries.back().qname, "4.2.0.192.in-addr.arpa");  // the address part only

    const TIpInformation lame = dns->IpInformation("192.0.2.2", table);
    EXPECT_EQ(lame.tld, "net");
    EXPECT_EQ(lame.location, "Unknown");  // not in the table
    EXPECT_EQ(lame.host, "Unknown");
    EXPECT_EQ(lame.nameServer, "ns-lame.example.net");

    const std::size_t count = QueryCount();
    for (const char* notAddress : {"mail.example.com", "192.0.2", "192.0.2.x4", "*.0.2.4"}) {
        SCOPED_TRACE(notAddress);
        const TIpInformation none = dns->IpInformation(notAddress, table);
        EXPECT_EQ(none.tld, "");
        EXPECT_EQ(none.host, "Unknown");
    }
    EXPECT_EQ(QueryCount(), count);
}

TEST(ReverseDns, LastLabelIsTheTextAfterTheLastDot) {
    EXPECT_EQ(LastLabel("mail.example.ru"), "ru");
    EXPECT_EQ(LastLabel("localhost"), "localhost");
    EXPECT_EQ(LastLabel(""), "");
    EXPECT_EQ(LastLabel("trailing."), "");
}

TEST(DefaultTldTable, IsWrittenOnlyIntoAHomeFolderWithoutOne) {
    test::TTempDir home;
    EXPECT_TRUE(InstallDefaultTldTable(home.Path()));
    EXPECT_EQ(test::ReadFile(home / "tld.txt"), std::string(kDefaultTldTable));
    EXPECT_FALSE(InstallDefaultTldTable(home.Path()));

    test::WriteFile(home / "tld.txt", "xx My own\n");
    EXPECT_FALSE(InstallDefaultTldTable(home.Path()));
    EXPECT_EQ(test::ReadFile(home / "tld.txt"), "xx My own\n");
    test::WriteFile(home / "tld.txt", "");  // a user who wants no table keeps none
    EXPECT_FALSE(InstallDefaultTldTable(home.Path()));
    EXPECT_EQ(test::ReadFile(home / "tld.txt"), "");
}

TEST(DefaultTldTable, EveryLineIsALowerCaseCodeASpaceAndADescription) {
    test::TTempDir home;
    InstallDefaultTldTable(home.Path());
    const std::string previous = HomeFolder();
    SetHomeFolder(home.Path());
    TZivadFilters list(home / "vorla.fil");
    SetHomeFolder(previous);

    const std::vector<std::string> lines = SplitLines(kDefaultTldTable);
    ASSERT_EQ(list.TldTable().size(), lines.size());  // no line without a space
    std::set<std::string> codes;
    for (const TTldEntry& entry : list.TldTable()) {
        SCOPED_TRACE(entry.code);
        EXPECT_FALSE(entry.description.empty());
        EXPECT_EQ(entry.code.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
        EXPECT_TRUE(codes.insert(entry.code).second) << "twice";
    }
    for (const char* code : {"com", "net", "org", "de", "ru", "cn", "uk", "us", "museum"}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(codes.count(code), 1u);
    }
    EXPECT_NE(list.TldListText().find("ru (Russian Federation)\r\n"), std::string::npos);
}

}  // namespace
}  // namespace vorla
