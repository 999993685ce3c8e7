#include "net/DnsMessage.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/Errors.h"

namespace vorla {
namespace {

constexpr std::uint16_t kId = 0x1234;

std::string U16(unsigned v) { return {static_cast<char>(v >> 8 & 0xff), static_cast<char>(v & 0xff)}; }
std::string U32(std::uint32_t v) { return U16(v >> 16) + U16(v & 0xffff); }
std::string Header(unsigned qd, unsigned an, unsigned ns, unsigned ar, unsigned flags = 0x8180,
                   unsigned id = kId) {
    return U16(id) + U16(flags) + U16(qd) + U16(an) + U16(ns) + U16(ar);
}
// Wire labels of a dotted name (no escapes), with the final zero byte.
std::string Labels(const std::string& dotted) {
    std::string out;
    std::size_t start = 0;
    while (start < dotted.size()) {
        std::size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) dot = dotted.size();
        out += static_cast<char>(dot - start);
        out += dotted.substr(start, dot - start);
        start = dot + 1;
    }
    return out + '\0';
}
std::string Pointer(unsigned offset) { return U16(0xc000 | offset); }
std::string Record(const std::string& owner, unsigned type, const std::string& rdata, unsigned ttl = 60) {
    return owner + U16(type) + U16(1) + U32(ttl) + U16(static_cast<unsigned>(rdata.size())) + rdata;
}

// Decodes from a heap block of exactly the reply's size, so that the sanitizer sees any read
// past its end.
std::vector<TDnsRecord> DecodeExact(const std::string& reply, std::size_t queryLength = 0,
                                    std::uint16_t id = kId) {
    std::unique_ptr<char[]> block(new char[reply.size() ? reply.size() : 1]);
    std::copy(reply.begin(), reply.end(), block.get());
    return DecodeDnsReply(std::string_view(block.get(), reply.size()), id, queryLength);
}

// A reply as servers write it: the question, then names compressed against it.
std::string PtrReplyWithReferralAndGlue() {
    const std::string question = Labels("7.2.0.192.in-addr.arpa") + U16(12) + U16(1);
    std::string r = Header(1, 1, 1, 1) + question;
    r += Record(Pointer(12), 12, Labels("host.example.com"));
    const std::size_t ns1 = r.size() + 12;  // where the NS record's data (ns1.example.net) starts
    r += Record(Pointer(18), 2, Labels("ns1.example.net"));  // owner: "192.in-addr.arpa"
    r += Record(Pointer(static_cast<unsigned>(ns1)), 1, std::string("\xc0\x00\x02\x35", 4));
    return r;
}

TEST(DnsMessage, QuestionNameOfPtrQueriesIsTheReversedAddress) {
    struct Row {
        const char* name;
        TDnsType type;
        const char* expected;
    } rows[] = {
        {"192.0.2.7", TDnsType::PTR, "7.2.0.192.in-addr.arpa"},
        {"10.1.2.3", TDnsType::PTR, "3.2.1.10.in-addr.arpa"},
        {"7.2.0.192.in-addr.arpa", TDnsType::PTR, "7.2.0.192.in-addr.arpa"},
        {"2.0.192.IN-ADDR.ARPA", TDnsType::PTR, "2.0.192.IN-ADDR.ARPA"},
        {"example.com", TDnsType::MX, "example.com"},
        {"192.0.2.7", TDnsType::MX, "192.0.2.7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DnsQuestionName(row.name, row.type), row.expected);
    }
}

TEST(DnsMessage, QueryHasHeaderRecursionBitAndOneQuestion) {
    const std::string q = EncodeDnsQuery(0xbeef, true, "7.2.0.192.in-addr.arpa", TDnsType::PTR);
    const std::string expected = U16(0xbeef) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) +
                                 Labels("7.2.0.192.in-addr.arpa") + U16(12) + U16(1);
    EXPECT_EQ(q, expected);
    const std::string noRd = EncodeDnsQuery(1, false, "example.com.", TDnsType::MX);
    EXPECT_EQ(noRd.substr(2, 2), U16(0));
    EXPECT_EQ(noRd.substr(12), Labels("example.com") + U16(15) + U16(1));  // final dot ignored
}

TEST(DnsMessage, NamesThatCannotBeAskedAreRefused) {
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    EXPECT_NO_THROW(EncodeDnsQuery(1, true, label63 + ".example", TDnsType::MX));
    EXPECT_NO_THROW(EncodeDnsQuery(1, true, name253, TDnsType::MX));
    for (const std::string& bad : {std::string(), std::string("."), std::string("a..b"), std::string(".a"),
                                   std::string(64, 'a') + ".example", name253 + "c"}) {
        SCOPED_TRACE("name of " + std::to_string(bad.size()) + " bytes: " + bad.substr(0, 20));
        EXPECT_THROW(EncodeDnsQuery(1, true, bad, TDnsType::MX), TVorlaError);
    }
}

TEST(DnsMessage, DecodesEveryRecordOfTheThreeSectionsInOrder) {
    const std::vector<TDnsRecord> records = DecodeExact(PtrReplyWithReferralAndGlue());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type, TDnsType::PTR);
    EXPECT_EQ(records[0].section, TDnsSection::Answer);
    EXPECT_EQ(records[0].owner, "7.2.0.192.in-addr.arpa");
    EXPECT_EQ(records[0].name, "host.example.com");
    EXPECT_EQ(records[0].ttl, 60u);
    EXPECT_EQ(records[1].type, TDnsType::NS);
    EXPECT_EQ(records[1].section, TDnsSection::Authority);
    EXPECT_EQ(records[1].owner, "192.in-addr.arpa");
    EXPECT_EQ(records[1].name, "ns1.example.net");
    EXPECT_EQ(records[2].type, TDnsType::A);
    EXPECT_EQ(records[2].section, TDnsSection::Additional);
    EXPECT_EQ(records[2].owner, "ns1.example.net");
    EXPECT_EQ(records[2].name, "192.0.2.53");
}

TEST(DnsMessage, RecordTextsOfTheOtherTypes) {
    std::string r = Header(0, 8, 0, 0);
    r += Record(Labels("example.com"), 15, U16(20) + Labels("mx2.example.com"));
    r += Record(Labels("example.com"), 6,
                Labels("ns.example.com") + Labels("admin.example.com") + std::string(20, '\x01'));
    r += Record(Labels("example.com"), 16, std::string("\x08hi there\x03x\ny", 13));
    r += Record(Labels("example.com"), 13, std::string("\x03" "cpu\x02os", 7));
    r += Record(Labels("example.com"), 28, std::string(15, '\0') + '\x01');
    r += Record(Labels("example.com"), 99, "opaque");
    r += Record(Labels("example.com"), 5, Labels("alias.example.org"));
    r += Record(Labels("example.com"), 11, std::string("\x7f\0\0\x01\x06\xff", 6));
    const std::vector<TDnsRecord> records = DecodeExact(r);
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].name, "mx2.example.com");
    EXPECT_EQ(records[0].preference, 20);
    EXPECT_EQ(records[1].name, "ns.example.com");
    EXPECT_EQ(records[2].name, "hi there x\\010y");
    EXPECT_EQ(records[3].name, "cpu os");
    EXPECT_EQ(records[4].name, "::1");
    EXPECT_EQ(static_cast<unsigned>(records[5].type), 99u);
    EXPECT_EQ(records[5].name, "");
    EXPECT_EQ(records[6].type, TDnsType::CNAME);
    EXPECT_EQ(records[6].name, "alias.example.org");
    EXPECT_EQ(records[7].name, "127.0.0.1");
}

TEST(DnsMessage, HostileLabelBytesAreEscapedInNames) {
    // Labels "a.b", TAB, "c\" and a space: none may pass as a label boundary or a raw control
    // character into a status line.
    const std::string owner = std::string("\x03" "a.b\x01\t\x02" "c\\\x01 ", 11) + '\0';
    const std::string r = Header(0, 1, 0, 0) + Record(owner, 12, std::string("\x04" "ho\r\n\0", 6));
    const std::vector<TDnsRecord> records = DecodeExact(r);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].owner, "a\\.b.\\009.c\\\\.\\032");
    EXPECT_EQ(records[0].name, "ho\\013\\010");
}

TEST(DnsMessage, ResponseCodesFailWithTheirMessages) {
    const struct {
        unsigned code;
        const char* message;
    } rows[] = {
        {1, "DNS Server Reports Query Format Error"},
        {2, "DNS Server Reports Query Server Error"},
        {3, "DNS Server Reports Query Name Error"},
        {4, "DNS Server Reports Query Not Implemented Error"},
        {5, "DNS Server Reports Query Refused Error"},
        {6, "Server Returned Unknown Error"},
        {15, "Server Returned Unknown Error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        try {
            DecodeExact(Header(0, 0, 0, 0, 0x8180 | row.code));
            ADD_FAILURE() << "no error";
        } catch (const TPeerRefused& e) {
            EXPECT_STREQ(e.what(), row.message);
            EXPECT_EQ(e.Reply(), "RCODE " + std::to_string(row.code));
        }
    }
}

// Replies no server should send. Each must end in a TProtocolError, read nothing outside the
// datagram (checked by the sanitizer build) and never loop.
TEST(DnsMessage, HostileRepliesAreProtocolErrors) {
    const std::string label63 = '\x3f' + std::string(63, 'x');
    const struct Row {
        const char* what;
        std::string reply;
        std::size_t queryLength;
    } rows[] = {
        {"shorter than a header", Header(0, 0, 0, 0).substr(0, 11), 0},
        {"shorter than the query", Header(0, 0, 0, 0), 29},
        {"other identifier", Header(0, 0, 0, 0, 0x8180, kId + 1), 0},
        {"a query, not a reply", Header(0, 0, 0, 0, 0x0100), 0},
        {"question name cut", Header(1, 0, 0, 0) + "\x03" "ab", 0},
        {"question type cut", Header(1, 0, 0, 0) + Labels("a") + U16(1), 0},
        {"answer count beyond the data", Header(0, 1, 0, 0), 0},
        {"65535 answers, one present", Header(0, 65535, 0, 0) + Record(Labels("a"), 1, "\x01\x02\x03\x04"), 0},
        {"pointer to itself", Header(0, 1, 0, 0) + Pointer(12) + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"two pointers pointing at each other", Header(0, 1, 0, 0) + Pointer(14) + Pointer(12), 0},
        {"pointer loop through a label", Header(0, 1, 0, 0) + "\x01x" + Pointer(12), 0},
        {"pointer beyond the end", Header(0, 1, 0, 0) + Pointer(0x3fff) + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"pointer missing its second byte", Header(0, 1, 0, 0) + "\xc0", 0},
        {"reserved label type 01", Header(0, 1, 0, 0) + "\x41x" + std::string(1, '\0') + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"reserved label type 10", Header(0, 1, 0, 0) + "\x81x" + std::string(1, '\0') + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"label running past the end", Header(0, 1, 0, 0) + "\x3f" "abc", 0},
        {"name longer than 255 bytes", Header(0, 1, 0, 0) + label63 + label63 + label63 + label63 + std::string(1, '\0') + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"name longer than 255 bytes through pointers",
         Header(0, 1, 0, 0) + label63 + label63 + label63 + Pointer(12) + U16(1) + U16(1) + U32(0) + U16(0), 0},
        {"record header cut", Header(0, 1, 0, 0) + std::string(1, '\0') + U16(1) + U16(1) + "\0", 0},
        {"record data longer than the datagram", Header(0, 1, 0, 0) + std::string(1, '\0') + U16(1) + U16(1) + U32(0) + U16(10) + "\x01\x02\x03\x04", 0},
        {"A record of 3 bytes", Header(0, 1, 0, 0) + Record(Labels("a"), 1, "\x01\x02\x03"), 0},
        {"AAAA record of 4 bytes", Header(0, 1, 0, 0) + Record(Labels("a"), 28, "\x01\x02\x03\x04"), 0},
        {"MX record of 2 bytes", Header(0, 1, 0, 0) + Record(Labels("a"), 15, U16(10)), 0},
        {"NS name longer than its record", Header(0, 1, 0, 0) + Labels("a") + U16(2) + U16(1) + U32(0) + U16(3) + Labels("hello"), 0},
        {"NS pointer cut by its record", Header(0, 1, 0, 0) + Labels("a") + U16(2) + U16(1) + U32(0) + U16(1) + Pointer(12), 0},
        {"SOA without its numbers", Header(0, 1, 0, 0) + Record(Labels("a"), 6, Labels("ns") + Labels("admin") + std::string(19, '\0')), 0},
        {"TXT string longer than its record", Header(0, 1, 0, 0) + Record(Labels("a"), 16, "\x05" "ab") + "cdef", 0},
        {"HINFO with one string", Header(0, 1, 0, 0) + Record(Labels("a"), 13, "\x03" "cpu"), 0},
        {"WKS without protocol", Header(0, 1, 0, 0) + Record(Labels("a"), 11, "\x01\x02\x03\x04"), 0},
        {"MX exchange pointing outside", Header(0, 1, 0, 0) + Record(Labels("a"), 15, U16(1) + Pointer(0x200)), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_THROW(DecodeExact(row.reply, row.queryLength), TProtocolError);
    }
}

TEST(DnsMessage, PointersMayPointForwardAndIntoEarlierRecords) {
    // Answer owner points at the name stored inside the second record's data, further on.
    std::string r = Header(0, 2, 0, 0);
    r += Record(Pointer(41), 1, "\x01\x02\x03\x04");  // bytes 12..27; the next record's data is at 41
    r += Record(Labels("b"), 2, Labels("ns.example"));
    const std::vector<TDnsRecord> records = DecodeExact(r);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].owner, "ns.example");
    EXPECT_EQ(records[1].name, "ns.example");
}

TEST(DnsMessage, EveryCutOfAReplyIsAnErrorNeverAnOverRead) {
    const std::string reply = PtrReplyWithReferralAndGlue();
    ASSERT_EQ(DecodeExact(reply).size(), 3u);
    for (std::size_t cut = 0; cut < reply.size(); ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        EXPECT_THROW(DecodeExact(reply.substr(0, cut)), TProtocolError);
    }
}

}  // namespace
}  // namespace vorla
