#include "net/Dns.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/Errors.h"
#include "support/DnsTestServer.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::TDnsAnswer;
using test::TDnsServerSpec;
using test::TDnsTestServers;

constexpr char kServer[] = "127.0.0.2";
constexpr char kSilent[] = "127.0.0.3";

TDnsAnswer Answer(std::string qname, std::string qtype, std::vector<std::string> answer,
                  std::vector<std::string> authority = {}, std::vector<std::string> additional = {}) {
    TDnsAnswer a;
    a.qname = std::move(qname);
    a.qtype = std::move(qtype);
    a.answer = std::move(answer);
    a.authority = std::move(authority);
    a.additional = std::move(additional);
    return a;
}
TDnsAnswer Failure(std::string qname, std::string rcode) {
    TDnsAnswer a;
    a.qname = std::move(qname);
    a.rcode = std::move(rcode);
    return a;
}

// One dnslib server with the zone data of every test in this file, and one that never answers.
class DnsLive : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TDnsServerSpec zone;
        zone.address = kServer;
        zone.answers = {
            Answer("7.2.0.192.in-addr.arpa", "PTR", {"7.2.0.192.in-addr.arpa. 60 IN PTR host.example.com."},
                   {"2.0.192.in-addr.arpa. 60 IN NS ns1.example.net."}, {"ns1.example.net. 60 IN A 192.0.2.53"}),
            Answer("9.2.0.192.in-addr.arpa", "PTR", {},
                   {"2.0.192.in-addr.arpa. 60 IN NS ns1.example.org.", "2.0.192.in-addr.arpa. 60 IN NS ns2.example.org."},
                   {"ns1.example.org. 60 IN A 192.0.2.1", "ns2.example.org. 60 IN A 192.0.2.2"}),
            Answer("example.com", "MX", {"example.com. 60 IN MX 10 mx1.example.com.", "example.com. 60 IN MX 20 mx2.example.com."},
                   {}, {"mx1.example.com. 60 IN A 192.0.2.10", "mx2.example.com. 60 IN A 192.0.2.20"}),
            Answer("other.example", "MX", {"other.example. 60 IN MX 5 mail.provider.net.", "other.example. 60 IN MX 9 backup.provider.net."},
                   {}, {"mail.provider.net. 60 IN A 192.0.2.30"}),
            Answer("upper.example", "MX", {"upper.example. 60 IN MX 5 first.provider.net.", "upper.example. 60 IN MX 9 MX.UPPER.EXAMPLE."}),
            Answer("empty.example", "MX", {}),
            Answer("whole-address-domain", "MX", {"whole-address-domain. 60 IN MX 1 mx.whole-address-domain."}),
            Failure("formerr.example", "FORMERR"),
            Failure("servfail.example", "SERVFAIL"),
            Failure("nx.example", "NXDOMAIN"),
            Failure("notimp.example", "NOTIMP"),
            Failure("refused.example", "REFUSED"),
            Failure("yxdomain.example", "6"),
        };
        TDnsServerSpec silent;
        silent.address = kSilent;
        silent.silent = true;
        s_servers = std::make_unique<TDnsTestServers>(std::vector<TDnsServerSpec>{zone, silent});
    }
    static void TearDownTestSuite() { s_servers.reset(); }

    TDns Query(const char* server, TDnsType type, std::int32_t timeout = 5000) {
        TDns dns;
        dns.SetServerHost(server);
        dns.SetPort(s_servers->Port());
        dns.SetQueryType(type);
        dns.SetReceiveTimeout(timeout);
        return dns;
    }

    static std::unique_ptr<TDnsTestServers> s_servers;
};
std::unique_ptr<TDnsTestServers> DnsLive::s_servers;

TEST_F(DnsLive, PtrQueryAsksForTheReversedNameWithRecursionDesired) {
    TDns dns = Query(kServer, TDnsType::PTR);
    const std::size_t before = s_servers->Queries(kServer).size();
    dns.Resolve("192.0.2.7");
    const auto queries = s_servers->Queries(kServer);
    ASSERT_EQ(queries.size(), before + 1);
    EXPECT_EQ(queries.back().qname, "7.2.0.192.in-addr.arpa");
    EXPECT_EQ(queries.back().qtype, "PTR");
    EXPECT_EQ(queries.back().qclass, "IN");
    EXPECT_TRUE(queries.back().recursionDesired);

    const auto& result = dns.Result();
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0].type, TDnsType::PTR);
    EXPECT_EQ(result[0].name, "host.example.com");
    EXPECT_EQ(result[1].type, TDnsType::NS);
    EXPECT_EQ(result[1].section, TDnsSection::Authority);
    EXPECT_EQ(result[1].name, "ns1.example.net");
    EXPECT_EQ(result[2].type, TDnsType::A);
    EXPECT_EQ(result[2].section, TDnsSection::Additional);
    EXPECT_EQ(result[2].name, "192.0.2.53");

    dns.SetRecursionDesired(false);
    dns.Resolve("192.0.2.7");
    EXPECT_FALSE(s_servers->Queries(kServer).back().recursionDesired);
}

TEST_F(DnsLive, ReferralGivesTheNameServersOfTheAuthoritySection) {
    TDns dns = Query(kServer, TDnsType::PTR);
    dns.Resolve("192.0.2.9");
    std::vector<std::string> ns;
    for (const TDnsRecord& r : dns.Result())
        if (r.type == TDnsType::NS) ns.push_back(r.name);
    EXPECT_EQ(ns, (std::vector<std::string>{"ns1.example.org", "ns2.example.org"}));
    EXPECT_EQ(dns.Result().size(), 4u);  // and the two glue addresses
}

TEST_F(DnsLive, ErrorResponseCodesFailWithTheirMessagesAndClearTheResult) {
    const struct {
        const char* name;
        const char* message;
    } rows[] = {
        {"formerr.example", "DNS Server Reports Query Format Error"},
        {"servfail.example", "DNS Server Reports Query Server Error"},
        {"nx.example", "DNS Server Reports Query Name Error"},
        {"notimp.example", "DNS Server Reports Query Not Implemented Error"},
        {"refused.example", "DNS Server Reports Query Refused Error"},
        {"yxdomain.example", "Server Returned Unknown Error"},
    };
    TDns dns = Query(kServer, TDnsType::MX);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        dns.Resolve("example.com");
        ASSERT_FALSE(dns.Result().empty());
        try {
            dns.Resolve(row.name);
            ADD_FAILURE() << "no error";
        } catch (const TPeerRefused& e) {
            EXPECT_STREQ(e.what(), row.message);
        }
        EXPECT_TRUE(dns.Result().empty());
    }
}

TEST_F(DnsLive, SilentServerTimesOutAfterExactlyOneDatagram) {
    TDns dns = Query(kSilent, TDnsType::PTR, 300);
    const std::size_t before = s_servers->Queries(kSilent).size();
    const auto start = std::chrono::steady_clock::now();
    try {
        dns.Resolve("192.0.2.7");
        ADD_FAILURE() << "no error";
    } catch (const TNetError& e) {
        EXPECT_STREQ(e.what(), "TimedOut");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);  // it did wait for the reply
    EXPECT_EQ(s_servers->Queries(kSilent).size(), before + 1);
}

TEST_F(DnsLive, ServerHostNameGoesThroughTheResolver) {
    TDns dns = Query("dns.test.invalid", TDnsType::MX);
    std::vector<std::string> asked;
    dns.SetHostResolver([&](const std::string& host) {
        asked.push_back(host);
        if (host == "dns.test.invalid") return std::string(kServer);
        throw TNetError("Host not found: " + host);
    });
    dns.Resolve("example.com");
    EXPECT_EQ(asked, std::vector<std::string>{"dns.test.invalid"});
    EXPECT_EQ(dns.Result().size(), 4u);

    dns.SetServerHost("unknown.test.invalid");
    try {
        dns.Resolve("example.com");
        ADD_FAILURE() << "no error";
    } catch (const TNetError& e) {
        EXPECT_STREQ(e.what(), "Host not found: unknown.test.invalid");
    }
}

TEST_F(DnsLive, LookupMxPicksTheLastHostInsideTheDomain) {
    const struct {
        const char* address;
        const char* expected;
    } rows[] = {
        {"alice@example.com", "mx2.example.com"},          // two in the domain: the second
        {"bob@other.example", "mail.provider.net"},        // none inside: the first record's
        {"carol@upper.example", "first.provider.net"},     // letter case counts
        {"dave@empty.example", ""},                        // no records
        {"erin@nx.example", ""},                           // error response, not reported
        {"whole-address-domain", "mx.whole-address-domain"},  // no at sign: used whole
        {"frank@x@example.com", ""},                       // domain "x@example.com" is not known
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(LookupMX(kServer, row.address, s_servers->Port()), row.expected);
    }
    const auto queries = s_servers->Queries(kServer);
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries.back().qtype, "MX");
    EXPECT_TRUE(queries.back().recursionDesired);
}

TEST_F(DnsLive, EveryCutOfARealReplyIsAnError) {
    TDns dns = Query(kServer, TDnsType::PTR);
    dns.Resolve("192.0.2.9");
    const std::string reply = s_servers->Replies().back();
    const std::uint16_t id = static_cast<std::uint16_t>(static_cast<unsigned char>(reply[0]) << 8 |
                                                        static_cast<unsigned char>(reply[1]));
    const std::size_t queryLength = EncodeDnsQuery(id, true, "9.2.0.192.in-addr.arpa", TDnsType::PTR).size();
    ASSERT_EQ(DecodeDnsReply(reply, id, queryLength).size(), dns.Result().size());
    for (std::size_t cut = 0; cut < reply.size(); ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        std::unique_ptr<char[]> exact(new char[cut + 1]);
        std::copy(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(cut), exact.get());
        EXPECT_THROW(DecodeDnsReply(std::string_view(exact.get(), cut), id, 0), TProtocolError);
    }
}

// A UDP peer on 127.0.0.1 that answers each query with datagrams built by a function: for the
// replies a real server never sends. Waits are bounded; the thread ends with the object.
class TFakeDnsPeer {
public:
    using TMaker = std::function<std::vector<std::string>(const std::string& query)>;
    explicit TFakeDnsPeer(TMaker maker) : m_maker(std::move(maker)) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("fake DNS peer: cannot bind");
        m_port = ntohs(addr.sin_port);
        m_thread = std::jthread([this](std::stop_token stop) { Serve(stop); });
    }
    ~TFakeDnsPeer() {
        m_thread.request_stop();
        m_thread.join();
        close(m_fd);
    }
    std::uint16_t Port() const { return m_port; }
    int Queries() const { return m_queries; }

private:
    void Serve(std::stop_token stop) {
        while (!stop.stop_requested()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            ++m_queries;
            for (const std::string& d : m_maker(std::string(buf, static_cast<std::size_t>(n)))) {
                sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                std::this_thread::sleep_for(2ms);  // separate datagrams, in order
            }
        }
    }

    TMaker m_maker;
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<int> m_queries{0};
    std::jthread m_thread;  // last: joined before the members it uses go
};

// The reply to query with its question echoed and the answer records appended.
std::string ReplyTo(const std::string& query, const std::string& records, unsigned answers,
                    int idDelta = 0) {
    std::string r = query;
    const unsigned id = (static_cast<unsigned char>(query[0]) << 8 | static_cast<unsigned char>(query[1])) + idDelta;
    r[0] = static_cast<char>(id >> 8 & 0xff);
    r[1] = static_cast<char>(id & 0xff);
    r[2] = static_cast<char>(0x81);
    r[3] = static_cast<char>(0x80);
    r[7] = static_cast<char>(answers);
    return r + records;
}
// A PTR answer for the question at offset 12 with the host "h.example".
const std::string kPtrRecord = std::string("\xc0\x0c\x00\x0c\x00\x01\x00\x00\x00\x3c\x00\x0b", 12) +
                               std::string("\x01h\x07" "example\x00", 11);

TDns FakeQuery(const TFakeDnsPeer& peer, std::int32_t timeout = 2000) {
    TDns dns;
    dns.SetServerHost("127.0.0.1");
    dns.SetPort(peer.Port());
    dns.SetReceiveTimeout(timeout);
    return dns;
}

TEST(DnsFakePeer, HostileDatagramsAreErrorsNotResults) {
    const struct Row {
        const char* what;
        std::function<std::string(const std::string&)> reply;
        const char* message;  // exact message, or "" for any TProtocolError
    } rows[] = {
        {"well-formed control row", [](const std::string& q) { return ReplyTo(q, kPtrRecord, 1); }, nullptr},
        {"other identifier", [](const std::string& q) { return ReplyTo(q, kPtrRecord, 1, 1); },
         "DNS reply identifier does not match the query"},
        {"owner pointer to itself", [](const std::string& q) {
             const std::string self = {static_cast<char>(0xc0), static_cast<char>(q.size())};
             return ReplyTo(q, self + kPtrRecord.substr(2), 1); }, ""},
        {"owner pointer beyond the datagram", [](const std::string& q) {
             return ReplyTo(q, "\xff\xff" + kPtrRecord.substr(2), 1); }, ""},
        {"record cut short", [](const std::string& q) {
             return ReplyTo(q, kPtrRecord.substr(0, 15), 1); }, ""},
        {"record data length overrunning", [](const std::string& q) {
             std::string rec = kPtrRecord;
             rec[11] = 0x40;
             return ReplyTo(q, rec, 1); }, ""},
        {"shorter than the query", [](const std::string& q) { return ReplyTo(q, "", 0).substr(0, q.size() - 1); }, ""},
        {"four bytes only", [](const std::string& q) { return q.substr(0, 4); }, "TimedOut"},
        {"empty datagram", [](const std::string&) { return std::string(); }, "TimedOut"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TFakeDnsPeer peer([&](const std::string& q) { return std::vector<std::string>{row.reply(q)}; });
        TDns dns = FakeQuery(peer);
        if (!row.message) {
            dns.Resolve("192.0.2.7");
            ASSERT_EQ(dns.Result().size(), 1u);
            EXPECT_EQ(dns.Result()[0].name, "h.example");
            continue;
        }
        try {
            dns.Resolve("192.0.2.7");
            ADD_FAILURE() << "no error";
        } catch (const TProtocolError& e) {
            if (*row.message) {
                EXPECT_STREQ(e.what(), row.message);
            }
        } catch (const TNetError& e) {
            EXPECT_STREQ(e.what(), row.message);
        }
        EXPECT_TRUE(dns.Result().empty());
        EXPECT_EQ(peer.Queries(), 1);
    }
}

// A reply cut into two datagrams is not put together again: the first part alone is judged.
TEST(DnsFakePeer, ReplySplitIntoTwoDatagramsAtAnyByteFails) {
    const std::size_t queryLength = EncodeDnsQuery(0, true, "7.2.0.192.in-addr.arpa", TDnsType::PTR).size();
    const std::size_t replyLength = queryLength + kPtrRecord.size();
    for (std::size_t cut = 1; cut < replyLength; ++cut) {
        SCOPED_TRACE("split at byte " + std::to_string(cut));
        TFakeDnsPeer peer([&](const std::string& q) {
            const std::string whole = ReplyTo(q, kPtrRecord, 1);
            return std::vector<std::string>{whole.substr(0, cut), whole.substr(cut)};
        });
        TDns dns = FakeQuery(peer);
        try {
            dns.Resolve("192.0.2.7");
            ADD_FAILURE() << "no error";
        } catch (const TProtocolError&) {
            EXPECT_GE(cut, 5u);
        } catch (const TNetError& e) {
            EXPECT_LT(cut, 5u);
            EXPECT_STREQ(e.what(), "TimedOut");
        }
    }
}

TEST(DnsFakePeer, PortWithoutListenerFailsAtOnceNotAsTimeOut) {
    std::uint16_t port = 0;
    {
        TFakeDnsPeer closed([](const std::string&) { return std::vector<std::string>{}; });
        port = closed.Port();
    }  // the port is free again: the host answers "port unreachable"
    TDns dns;
    dns.SetServerHost("127.0.0.1");
    dns.SetPort(port);
    dns.SetReceiveTimeout(60000);
    try {
        dns.Resolve("192.0.2.7");
        ADD_FAILURE() << "no error";
    } catch (const TNetError& e) {
        EXPECT_STRNE(e.what(), "TimedOut");
        EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace vorla
