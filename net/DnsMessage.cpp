#include "net/DnsMessage.h"

#include <arpa/inet.h>

#include "platform/Errors.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

constexpr std::uint16_t kClassIn = 1;
constexpr unsigned kFlagReply = 0x8000;
constexpr unsigned kFlagRecursionDesired = 0x0100;
constexpr unsigned kResponseCodeMask = 0x000f;
// Every step of a pointer chain lands on a label or another pointer; a legal name of at most
// 255 bytes never needs more steps than it has labels, so more than this is a loop.
constexpr int kMaxPointerSteps = 128;

[[noreturn]] void Malformed(const std::string& what) {
    throw TProtocolError("Malformed DNS reply: " + what);
}

void AppendEscaped(std::string& out, unsigned char c, bool inName) {
    if (inName && (c == '.' || c == '\\')) {
        out += '\\';
        out += static_cast<char>(c);
    } else if (!inName && c == '\\') {
        out += "\\\\";
    } else if (c > 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
    } else if (!inName && c == ' ') {
        out += ' ';
    } else {
        out += '\\';
        out += static_cast<char>('0' + c / 100);
        out += static_cast<char>('0' + c / 10 % 10);
        out += static_cast<char>('0' + c % 10);
    }
}

// Reads a reply with every access checked against its end.
class TReader {
public:
    explicit TReader(std::string_view data) : m_data(data) {}

    std::size_t Size() const { return m_data.size(); }
    std::size_t Position() const { return m_pos; }

    std::uint8_t U8At(std::size_t pos, const char* what) const {
        if (pos >= m_data.size()) Malformed(std::string(what) + " runs past the end of the reply");
        return static_cast<std::uint8_t>(m_data[pos]);
    }
    std::uint8_t U8(const char* what) { return U8At(m_pos++, what); }
    std::uint16_t U16(const char* what) {
        const unsigned hi = U8(what);
        return static_cast<std::uint16_t>(hi << 8 | U8(what));
    }
    std::uint32_t U32(const char* what) {
        const std::uint32_t hi = U16(what);
        return hi << 16 | U16(what);
    }
    void Skip(std::size_t count, const char* what) {
        if (count > m_data.size() - m_pos) Malformed(std::string(what) + " runs past the end of the reply");
        m_pos += count;
    }
    void Seek(std::size_t pos) { m_pos = pos; }

    // The (possibly compressed) name at the current position; the position moves past the
    // name's bytes in place, which must end at or before limit.
    std::string Name(std::size_t limit, const char* what) {
        std::string text;
        std::size_t octets = 1;  // the final zero length byte
        std::size_t pos = m_pos;
        std::size_t endInPlace = 0;  // set at the first pointer
        int steps = 0;
        for (;;) {
            if (endInPlace == 0 && pos >= limit) Malformed(std::string(what) + " runs past its record");
            const std::uint8_t length = U8At(pos, what);
            if (length == 0) {
                ++pos;
                break;
            }
            const unsigned kind = length & 0xc0;
            if (kind == 0xc0) {
                const std::size_t target = static_cast<std::size_t>(length & 0x3f) << 8 | U8At(pos + 1, what);
                if (endInPlace == 0) {
                    if (pos + 2 > limit) Malformed(std::string(what) + " runs past its record");
                    endInPlace = pos + 2;
                }
                if (++steps > kMaxPointerSteps) Malformed(std::string(what) + " has a looping compression pointer");
                if (target >= m_data.size()) Malformed(std::string(what) + " has a compression pointer outside the reply");
                pos = target;
                continue;
            }
            if (kind != 0) Malformed(std::string(what) + " uses a reserved label type");
            octets += 1u + length;
            if (octets > kDnsMaxNameOctets) Malformed(std::string(what) + " is longer than 255 bytes");
            if (endInPlace == 0 && pos + 1 + length > limit) Malformed(std::string(what) + " runs past its record");
            if (pos + 1 + length > m_data.size()) Malformed(std::string(what) + " runs past the end of the reply");
            if (!text.empty()) text += '.';
            for (std::size_t i = 0; i < length; ++i)
                AppendEscaped(text, static_cast<unsigned char>(m_data[pos + 1 + i]), true);
            pos += 1u + length;
        }
        m_pos = endInPlace ? endInPlace : pos;
        return text;
    }

    // One length-prefixed character string, ending at or before limit.
    std::string CharacterString(std::size_t limit) {
        const std::uint8_t length = U8("text");
        if (m_pos + length > limit) Malformed("text runs past its record");
        std::string text;
        for (std::size_t i = 0; i < length; ++i) AppendEscaped(text, static_cast<unsigned char>(m_data[m_pos + i]), false);
        m_pos += length;
        return text;
    }

    std::string_view Bytes(std::size_t pos, std::size_t count) const { return m_data.substr(pos, count); }

private:
    std::string_view m_data;
    std::size_t m_pos = 0;
};

std::string DottedAddress(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i) text += '.';
        text += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return text;
}

std::string Ipv6Address(std::string_view bytes) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET6, bytes.data(), text, sizeof text)) return {};
    return text;
}

void ExpectLength(std::uint16_t actual, std::uint16_t wanted, const char* type) {
    if (actual != wanted) Malformed(std::string(type) + " record data has the wrong size");
}

// The record's text (see TDnsRecord::name); reads exactly the record data.
void DecodeRecordData(TReader& reader, TDnsRecord& record, std::uint16_t length) {
    const std::size_t start = reader.Position();
    const std::size_t end = start + length;  // within the reply: checked by the caller
    switch (record.type) {
    case TDnsType::A:
        ExpectLength(length, 4, "A");
        record.name = DottedAddress(reader.Bytes(start, 4));
        break;
    case TDnsType::AAAA:
        ExpectLength(length, 16, "AAAA");
        record.name = Ipv6Address(reader.Bytes(start, 16));
        break;
    case TDnsType::WKS:
        if (length < 5) Malformed("WKS record data is too short");
        record.name = DottedAddress(reader.Bytes(start, 4));
        break;
    case TDnsType::NS:
    case TDnsType::MD:
    case TDnsType::MF:
    case TDnsType::CNAME:
    case TDnsType::MB:
    case TDnsType::MG:
    case TDnsType::MR:
    case TDnsType::PTR:
        record.name = reader.Name(end, "record name");
        break;
    case TDnsType::MX:
        if (length < 3) Malformed("MX record data is too short");
        record.preference = reader.U16("MX preference");
        record.name = reader.Name(end, "mail exchange name");
        break;
    case TDnsType::SOA:
        record.name = reader.Name(end, "SOA primary server");
        reader.Name(end, "SOA mailbox");
        if (end - reader.Position() < 20) Malformed("SOA record data is too short");
        break;
    case TDnsType::MINFO:
        record.name = reader.Name(end, "MINFO mailbox");
        reader.Name(end, "MINFO error mailbox");
        break;
    case TDnsType::TXT:
    case TDnsType::HINFO: {
        std::string text;
        int strings = 0;
        while (reader.Position() < end) {
            if (strings++) text += ' ';
            text += reader.CharacterString(end);
        }
        if (record.type == TDnsType::HINFO && strings != 2) Malformed("HINFO record needs two strings");
        record.name = std::move(text);
        break;
    }
    default:
        break;  // carried by type only
    }
    reader.Seek(end);
}

void AppendLabels(std::string& out, std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty()) throw TVorlaError("Invalid DNS query name: empty name");
    std::size_t total = 1;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty()) throw TVorlaError("Invalid DNS query name: empty label in " + std::string(name));
        if (label.size() > kDnsMaxLabel) throw TVorlaError("Invalid DNS query name: label longer than 63 bytes");
        total += 1 + label.size();
        if (total > kDnsMaxNameOctets) throw TVorlaError("Invalid DNS query name: longer than 255 bytes");
        out += static_cast<char>(label.size());
        out += label;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    out += '\0';
}

void AppendU16(std::string& out, unsigned value) {
    out += static_cast<char>(value >> 8 & 0xff);
    out += static_cast<char>(value & 0xff);
}

}  // namespace

std::string DnsResponseCodeMessage(unsigned responseCode) {
    switch (responseCode) {
    case 1: return "DNS Server Reports Query Format Error";
    case 2: return "DNS Server Reports Query Server Error";
    case 3: return "DNS Server Reports Query Name Error";
    case 4: return "DNS Server Reports Query Not Implemented Error";
    case 5: return "DNS Server Reports Query Refused Error";
    default: return "Server Returned Unknown Error";
    }
}

std::string DnsQuestionName(std::string_view name, TDnsType type) {
    if (type != TDnsType::PTR || ContainsNoCase(name, "in-addr")) return std::string(name);
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    std::string reversed;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        reversed += *it;
        reversed += '.';
    }
    return reversed + "in-addr.arpa";
}

std::string EncodeDnsQuery(std::uint16_t id, bool recursionDesired, std::string_view questionName,
                           TDnsType type) {
    std::string out;
    AppendU16(out, id);
    AppendU16(out, recursionDesired ? kFlagRecursionDesired : 0);
    AppendU16(out, 1);  // one question
    AppendU16(out, 0);
    AppendU16(out, 0);
    AppendU16(out, 0);
    AppendLabels(out, questionName);
    AppendU16(out, static_cast<unsigned>(type));
    AppendU16(out, kClassIn);
    return out;
}

std::vector<TDnsRecord> DecodeDnsReply(std::string_view reply, std::uint16_t id, std::size_t queryLength) {
    if (reply.size() < kDnsHeaderSize || reply.size() < queryLength)
        throw TProtocolError("DNS reply too short (" + std::to_string(reply.size()) + " bytes)");
    TReader reader(reply);
    if (reader.U16("header") != id) throw TProtocolError("DNS reply identifier does not match the query");
    const unsigned flags = reader.U16("header");
    if (!(flags & kFlagReply)) throw TProtocolError("DNS server sent a query instead of a reply");
    if (const unsigned code = flags & kResponseCodeMask)
        throw TPeerRefused(DnsResponseCodeMessage(code), "RCODE " + std::to_string(code));
    const unsigned questions = reader.U16("header");
    const unsigned counts[3] = {reader.U16("header"), reader.U16("header"), reader.U16("header")};

    for (unsigned q = 0; q < questions; ++q) {
        reader.Name(reply.size(), "question name");
        reader.Skip(4, "question");
    }
    // Each record takes at least 11 bytes, so a count beyond what the reply can hold fails on
    // reading; reserving by the counts would let a 12-byte reply ask for megabytes.
    std::vector<TDnsRecord> records;
    const TDnsSection sections[3] = {TDnsSection::Answer, TDnsSection::Authority, TDnsSection::Additional};
    for (int s = 0; s < 3; ++s) {
        for (unsigned n = 0; n < counts[s]; ++n) {
            TDnsRecord record;
            record.section = sections[s];
            record.owner = reader.Name(reply.size(), "record owner");
            record.type = static_cast<TDnsType>(reader.U16("record header"));
            reader.U16("record header");  // class: taken as it comes
            record.ttl = reader.U32("record header");
            const std::uint16_t length = reader.U16("record header");
            if (length > reply.size() - reader.Position()) Malformed("record data runs past the end of the reply");
            DecodeRecordData(reader, record, length);
            records.push_back(std::move(record));
        }
    }
    return records;
}

}  // namespace vorla
