#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The DNS message format: building one query datagram and decoding the reply into records.
// Pure functions over bytes; any thread.
namespace vorla {

// Record types. The underlying value is the wire code, so any code read from a reply fits
// (types without a name here keep their number).
enum class TDnsType : std::uint16_t {
    A = 1, NS = 2, MD = 3, MF = 4, CNAME = 5, SOA = 6, MB = 7, MG = 8, MR = 9, Null = 10,
    WKS = 11, PTR = 12, HINFO = 13, MINFO = 14, MX = 15, TXT = 16, AAAA = 28,
};

enum class TDnsSection : std::uint8_t { Answer, Authority, Additional };

// One resource record of a reply. Names are in presentation form without the final dot
// ("mx1.example.com"); a byte of a label that is not a printable non-space ASCII character,
// and a "." or "\" inside a label, is written as "\DDD" (decimal) or "\." / "\\", so a hostile
// name can neither forge label boundaries nor carry control characters into a log line.
struct TDnsRecord {
    TDnsType type{};
    TDnsSection section = TDnsSection::Answer;
    std::string owner;  // the name the record is about
    // The record's text: the host name carried by NS, CNAME, PTR, MB, MD, MF, MG, MR; the
    // exchange of MX; the primary server of SOA; the responsible mailbox of MINFO; the
    // dotted address of A and WKS; the address of AAAA; the strings of TXT and HINFO joined
    // by spaces. Empty for other types.
    std::string name;
    std::uint16_t preference = 0;  // MX only; carried, not used for any choice
    std::uint32_t ttl = 0;
};

// Fixed limits of the format.
inline constexpr std::size_t kDnsHeaderSize = 12;
inline constexpr std::size_t kDnsMaxNameOctets = 255;  // wire form, length bytes included
inline constexpr std::size_t kDnsMaxLabel = 63;

// The question name asked for name and type: for PTR the dot-separated parts of the address
// in reverse order followed by "in-addr.arpa" ("192.0.2.7" -> "7.2.0.192.in-addr.arpa"); a
// name that already contains "in-addr" (any letter case), and the name of any other type, is
// used unchanged.
std::string DnsQuestionName(std::string_view name, TDnsType type);

// One query datagram: header with identifier id, the RD bit when recursionDesired, one
// question (questionName, type, class IN). One final "." of the name is ignored. Throws
// TVorlaError when the name cannot be written as a DNS name (an empty label, a label longer
// than 63 bytes, more than 255 bytes in all).
std::string EncodeDnsQuery(std::uint16_t id, bool recursionDesired, std::string_view questionName,
                           TDnsType type);

// Decodes the reply to a query with identifier id that was queryLength bytes long: every
// record of the answer, authority and additional sections, in that order.
// Throws:
//  - TProtocolError when the reply is shorter than 12 bytes or than the query, carries
//    another identifier, is not marked as a reply, or is malformed anywhere: a record or
//    name running past the end of the datagram or of its record data, a compression pointer
//    outside the datagram, a chain of pointers that loops, a name longer than 255 bytes, a
//    reserved label type, record data of the wrong size for its type;
//  - TPeerRefused when the response code is not zero, with the code's message:
//    1 "DNS Server Reports Query Format Error", 2 "... Query Server Error", 3 "... Query Name
//    Error", 4 "... Query Not Implemented Error", 5 "... Query Refused Error", above 5
//    "Server Returned Unknown Error"; Reply() holds "RCODE " and the number.
// Reads only inside reply, whatever its content; work is linear in its size.
std::vector<TDnsRecord> DecodeDnsReply(std::string_view reply, std::uint16_t id,
                                       std::size_t queryLength);

// The message of a non-zero response code (see DecodeDnsReply).
std::string DnsResponseCodeMessage(unsigned responseCode);

}  // namespace vorla
