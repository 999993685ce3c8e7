#include "net/Dns.h"

#include <mutex>
#include <random>

#include "net/UdpSocket.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

// Replies shorter than this are noise, treated like no reply at all.
constexpr std::size_t kMinReplyBytes = 5;
constexpr std::int32_t kMxReceiveTimeout = 10000;  // ms

// A fresh, unpredictable identifier per query, so that a stray or forged datagram is unlikely
// to pass for the reply.
std::uint16_t NewQueryId() {
    static std::mutex mutex;  // guards engine
    static std::mt19937 engine{std::random_device{}()};
    std::scoped_lock lock(mutex);
    return static_cast<std::uint16_t>(engine());
}

}  // namespace

TDns::TDns() : m_resolver(ResolveHostAddress) {}

void TDns::SetHostResolver(THostResolver resolver) {
    m_resolver = resolver ? std::move(resolver) : THostResolver(ResolveHostAddress);
}

void TDns::Resolve(const std::string& name) {
    m_result.clear();
    const std::uint16_t id = NewQueryId();
    const std::string query = EncodeDnsQuery(id, m_recursionDesired, DnsQuestionName(name, m_queryType), m_queryType);
    TUdpSocket socket(m_resolver(m_serverHost), m_port);
    socket.Send(query);
    const std::optional<std::string> reply = socket.Receive(std::chrono::milliseconds(m_receiveTimeout));
    if (!reply || reply->size() < kMinReplyBytes) throw TNetError("TimedOut");
    m_result = DecodeDnsReply(*reply, id, query.size());
}

std::string LookupMX(const std::string& dnsServer, const std::string& address, std::uint16_t port,
                     THostResolver resolver) {
    TDns dns;
    dns.SetServerHost(dnsServer);
    dns.SetPort(port);
    dns.SetHostResolver(std::move(resolver));
    dns.SetQueryType(TDnsType::MX);
    dns.SetRecursionDesired(true);
    dns.SetReceiveTimeout(kMxReceiveTimeout);
    const std::size_t at = address.find('@');
    const std::string domain = at == std::string::npos ? address : address.substr(at + 1);
    try {
        dns.Resolve(domain);
    } catch (const std::exception&) {
        return {};  // the queue reports "Mail exchange not found" itself
    }
    std::string found;
    for (const TDnsRecord& record : dns.Result())
        if (record.name.find(domain) != std::string::npos) found = record.name;
    if (found.empty() && !dns.Result().empty()) found = dns.Result().front().name;
    return found;
}

}  // namespace vorla
