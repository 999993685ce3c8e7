#include "filters/ReverseDns.h"

#include <algorithm>
#include <limits>

#include "filters/ZivadFilters.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Strings.h"
#include "text/Helpers.h"

namespace vorla {
namespace {

constexpr char kTldFileName[] = "tld.txt";
constexpr char kRdnsLookup[] = "\tRDNS\t\tLookup: ";
constexpr char kRdnsException[] = "\tRDNS\t\tException: ";

// Addresses come from Received lines of incoming mail: keep their control bytes (a tab would
// shift the status line's columns) out of status lines and progress texts.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

std::int32_t TimeoutMilliseconds(std::int32_t seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    return static_cast<std::int32_t>(std::clamp<long long>(ms, 0, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

// The state of one lookup: the servers asked so far and the query object its calls share.
struct TReverseDns::TLookup {
    explicit TLookup(TConfig c) : config(std::move(c)) {
        dns.SetPort(config.port);
        dns.SetHostResolver(config.resolver);
    }
    void AddStatus(const std::string& line) const {
        if (config.report.addStatus) config.report.addStatus(line);
    }
    void StatusText(const std::string& text) const {
        if (config.report.statusText) config.report.statusText(text);
    }
    bool LookupLinesWanted() const {
        return !config.report.lookupLinesWanted || config.report.lookupLinesWanted();
    }
    bool Asked(const std::string& server) const {
        return std::any_of(serversAsked.begin(), serversAsked.end(),
                           [&](const std::string& s) { return SameTextAscii(s, server); });
    }

    TConfig config;
    TDns dns;
    std::vector<std::string> serversAsked;
    bool gaveUp = false;
};

TReverseDns::TReverseDns() { m_config.dnsHost = kDefaultDnsHost; }

void TReverseDns::SetServer(const std::string& dnsHost, std::int32_t timeoutSeconds) {
    std::scoped_lock lock(m_mutex);
    m_config.dnsHost = dnsHost;
    m_config.timeoutSeconds = timeoutSeconds;
}

std::string TReverseDns::DnsHost() const {
    std::scoped_lock lock(m_mutex);
    return m_config.dnsHost;
}

void TReverseDns::SetPort(std::uint16_t port) {
    std::scoped_lock lock(m_mutex);
    m_config.port = port;
}

void TReverseDns::SetHostResolver(THostResolver resolver) {
    std::scoped_lock lock(m_mutex);
    m_config.resolver = std::move(resolver);
}

void TReverseDns::SetReport(TReverseDnsReport report) {
    std::scoped_lock lock(m_mutex);
    m_config.report = std::move(report);
}

TReverseDns::TConfig TReverseDns::Config() const {
    std::scoped_lock lock(m_mutex);
    return m_config;
}

// One step of the walk down the referrals:
//   server asked before (letter case ignored) or the limit reached -> nothing;
//   otherwise ask it; PTR records give the host, NS records the servers to ask next, in
//   order, until one of them yields a host. A failure of this server becomes an "Exception"
//   line and ends this step only; the caller goes on with its next server. Each step empties
//   the name server before asking, so at the end it holds the first NS name of the last reply
//   processed (or "").
void TReverseDns::ReverseQuery(TLookup& lookup, const std::string& address, const std::string& server,
                               std::string& host, std::string& nameServer) {
    if (lookup.Asked(server)) return;
    if (lookup.serversAsked.size() >= kMaxServersAsked) {
        if (!lookup.gaveUp) {
            lookup.gaveUp = true;
            lookup.AddStatus(kRdnsException + std::string("Gave up after asking ") +
                             std::to_string(kMaxServersAsked) + " name servers about " + Printable(address));
        }
        return;
    }
    lookup.serversAsked.push_back(server);

    TDns& dns = lookup.dns;
    dns.SetRecursionDesired(true);
    dns.SetReceiveTimeout(TimeoutMilliseconds(lookup.config.timeoutSeconds));
    dns.SetQueryType(TDnsType::PTR);
    nameServer.clear();
    lookup.StatusText("Looking up " + Printable(address) + " on " + Printable(server));
    try {
        dns.ClearResult();
        dns.SetServerHost(server);
        dns.Resolve(address);
        std::vector<std::string> nameServers;
        for (const TDnsRecord& record : dns.Result()) {
            if (record.type == TDnsType::PTR) host = record.name;
            if (lookup.LookupLinesWanted())
                lookup.AddStatus(kRdnsLookup + Printable(address) + ", Result: " + record.name);
            if (record.type == TDnsType::NS) nameServers.push_back(record.name);
        }
        if (nameServer.empty() && !nameServers.empty()) nameServer = nameServers.front();
        if (host.empty()) {
            // The nested steps reuse the query object: the names were copied out above.
            for (const std::string& next : nameServers) {
                ReverseQuery(lookup, address, next, host, nameServer);
                if (!host.empty()) break;
            }
        }
        lookup.StatusText(host.empty() ? Printable(address) + " not found anywhere"
                                       : "Found " + host + " on " + Printable(address));
    } catch (const std::exception& e) {
        lookup.AddStatus(kRdnsException + OneLine(e.what()));
    }
}

std::string TReverseDns::ReverseLookupTLD(const std::string& address) {
    std::string name;
    {
        std::scoped_lock lock(m_mutex);
        if (const auto found = m_cache.find(address); found != m_cache.end()) return LastLabel(found->second);
    }
    TLookup lookup(Config());
    if (lookup.config.dnsHost.empty()) return {};
    std::string host;
    std::string nameServer;
    ReverseQuery(lookup, address, lookup.config.dnsHost, host, nameServer);
    name = host.empty() ? nameServer : host;
    // Texts longer than a cache entry can hold are not remembered: a cut address could stand
    // for another one, and a cut name could give another domain on the next lookup.
    if (!address.empty() && !name.empty() && address.size() <= kMaxCacheText && name.size() <= kMaxCacheText) {
        std::scoped_lock lock(m_mutex);
        if (m_cache.size() < kMaxCacheEntries) m_cache.emplace(address, name);
    }
    return LastLabel(name);
}

TIpInformation TReverseDns::IpInformation(const std::string& address, const std::vector<TTldEntry>& tldTable) {
    TIpInformation info;
    const TIPAddressTest test = IsIPAddress(address);
    TLookup lookup(Config());
    if (!test.isAddress || lookup.config.dnsHost.empty()) return info;
    std::string host;
    std::string nameServer;
    ReverseQuery(lookup, test.leadingPart, lookup.config.dnsHost, host, nameServer);
    if (!host.empty()) info.host = host;
    if (!nameServer.empty()) info.nameServer = nameServer;
    info.tld = LastLabel(host.empty() ? nameServer : host);
    if (!info.tld.empty()) {
        const auto entry = std::find_if(tldTable.begin(), tldTable.end(),
                                        [&](const TTldEntry& e) { return SameTextAscii(e.code, info.tld); });
        if (entry != tldTable.end()) info.location = entry->description;
    }
    return info;
}

std::string LastLabel(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

bool InstallDefaultTldTable(const std::string& homeFolder) {
    const std::string path = IncludeTrailingSlash(homeFolder) + kTldFileName;
    if (FileExists(path)) return false;
    WriteFileAtomic(path, std::string(kDefaultTldTable));
    return true;
}

}  // namespace vorla
