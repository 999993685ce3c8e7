#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/DnsMessage.h"

// The DNS query object: one question over UDP to one configured server, every record of the
// reply as the result; and the mail-exchanger lookup of the outgoing queue.
namespace vorla {

// Turns a server host name into a numeric address. The default is the platform's ordinary
// resolution (ResolveHostAddress); tests give one that knows only their own loopback names.
// Throws TNetError for a name it cannot resolve.
using THostResolver = std::function<std::string(const std::string& host)>;

class TDns {
public:
    static constexpr std::uint16_t kDefaultPort = 53;
    static constexpr std::int32_t kDefaultReceiveTimeout = 10000;  // ms

    TDns();

    // A host name or a numeric address; resolved anew by each Resolve.
    void SetServerHost(std::string host) { m_serverHost = std::move(host); }
    const std::string& ServerHost() const { return m_serverHost; }
    void SetPort(std::uint16_t port) { m_port = port; }
    std::uint16_t Port() const { return m_port; }
    // Milliseconds Resolve waits for the reply; zero or less means no wait at all.
    void SetReceiveTimeout(std::int32_t milliseconds) { m_receiveTimeout = milliseconds; }
    std::int32_t ReceiveTimeout() const { return m_receiveTimeout; }
    void SetRecursionDesired(bool on) { m_recursionDesired = on; }
    bool RecursionDesired() const { return m_recursionDesired; }
    // The one record type asked for (PTR by default).
    void SetQueryType(TDnsType type) { m_queryType = type; }
    TDnsType QueryType() const { return m_queryType; }
    // An empty resolver restores the platform's.
    void SetHostResolver(THostResolver resolver);

    // Sends one query for name (see DnsQuestionName for the PTR form) to the server host and
    // waits for one reply datagram at most the receive timeout: no retry, no TCP. On success
    // the result holds every record of the reply's answer, authority and additional
    // sections, in that order; on failure it is empty. Throws:
    //  - TNetError "TimedOut" when no datagram (or one shorter than five bytes) came in time;
    //  - TNetError with the resolver's or the system's reason when the server host cannot be
    //    resolved or reached (a refused port is reported at once, not as a time-out);
    //  - TPeerRefused with the response code's message, TProtocolError for a reply that is
    //    not the answer to this query or is malformed (DecodeDnsReply);
    //  - TVorlaError for a name that cannot be asked.
    // Sends exactly one datagram per call. One query at a time per object.
    void Resolve(const std::string& name);

    const std::vector<TDnsRecord>& Result() const { return m_result; }
    void ClearResult() { m_result.clear(); }

private:
    std::string m_serverHost;
    std::uint16_t m_port = kDefaultPort;
    std::int32_t m_receiveTimeout = kDefaultReceiveTimeout;
    bool m_recursionDesired = true;
    TDnsType m_queryType = TDnsType::PTR;
    THostResolver m_resolver;
    std::vector<TDnsRecord> m_result;
};

// The mail exchanger for a recipient address, asked of dnsServer (a host name or address)
// with an MX query, recursion desired and a 10 s time-out. The domain is the address after its
// first "@" (the whole address without one). Among all records of the reply, in order, the
// last whose name contains the domain (letter case counts) wins; when none does, the first
// record's name; "" when the reply has no records or the query failed in any way (failures
// are not reported). MX preferences are not consulted. port and resolver are for tests.
std::string LookupMX(const std::string& dnsServer, const std::string& address,
                     std::uint16_t port = TDns::kDefaultPort, THostResolver resolver = {});

}  // namespace vorla
