#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/Dns.h"

// Reverse DNS of sending hosts: the host name (and from it the top-level domain) of an IPv4
// address, found without a recursive resolver by following name-server referrals from one
// configured server; and the default table of top-level domains.
namespace vorla {

struct TTldEntry;  // filters/ZivadFilters.h

// What the filters editor shows for an address.
struct TIpInformation {
    std::string tld;
    std::string location = "Unknown";
    std::string host = "Unknown";
    std::string nameServer = "Unknown";
};

// Where lookups report. Every member may be empty and is then skipped. The callbacks run on
// the thread that runs the lookup and must not throw.
struct TReverseDnsReport {
    // A status-history line ("\tRDNS\t\tLookup: ..." / "\tRDNS\t\tException: ..."); the engine
    // hooks its AddStatus here.
    std::function<void(const std::string& line)> addStatus;
    // A progress text for the status bar; the engine hooks OnStatusText here.
    std::function<void(const std::string& text)> statusText;
    // The status switch "rdns": whether the "Lookup: " lines are written. Empty counts as on.
    // "Exception: " lines are written whatever it says.
    std::function<bool()> lookupLinesWanted;
};

class TReverseDns {
public:
    // Bounds on one lookup, so that name servers which keep referring to fresh names cannot
    // hold the fetch thread: at most this many servers are asked (each at most the time-out).
    static constexpr std::size_t kMaxServersAsked = 32;
    // The cache never shrinks; past this many entries new names are no longer remembered.
    static constexpr std::size_t kMaxCacheEntries = 65536;
    static constexpr std::size_t kMaxCacheText = 255;

    // Starts with the default DNS host (kDefaultDnsHost, a root name server), a 10 s time-out,
    // port 53 and the platform's host-name resolution.
    TReverseDns();
    TReverseDns(const TReverseDns&) = delete;
    TReverseDns& operator=(const TReverseDns&) = delete;

    // The settings "dnshost" (empty: no lookups at all) and "dnstimeout" (seconds per query;
    // zero or less: no wait).
    void SetServer(const std::string& dnsHost, std::int32_t timeoutSeconds);
    std::string DnsHost() const;
    // For tests: the port every server is asked on, and how server names become addresses.
    void SetPort(std::uint16_t port);
    void SetHostResolver(THostResolver resolver);
    void SetReport(TReverseDnsReport report);

    // The top-level domain of the address's host name, or "". Looks in the cache first
    // (exact comparison of the address); otherwise runs a lookup from the DNS host and, when
    // it gives a name, caches (address, name). The name is the host of the last PTR record
    // found; when no server knows one, the first name server of the last reply processed
    // stands in, so its domain counts. The result is the name's last label. Never throws for
    // DNS failures: they become "\tRDNS\t\tException: " lines and an empty result.
    std::string ReverseLookupTLD(const std::string& address);

    // TLD, location, host and name server of an address, for the filters editor. Only when
    // IsIPAddress(address) holds and the DNS host is set; looks up the address's leading
    // run of digits and dots; the cache is neither read nor written. The location is the
    // description of the first entry of tldTable whose code equals the TLD (ASCII letter case
    // ignored).
    TIpInformation IpInformation(const std::string& address, const std::vector<TTldEntry>& tldTable);

    // Thread safety: any thread; lookups may run at the same time (each has its own query
    // object and servers-asked list; the cache is locked). No lock is held during network
    // waits or callbacks.

private:
    struct TLookup;
    struct TConfig {
        std::string dnsHost;
        std::int32_t timeoutSeconds = 10;
        std::uint16_t port = TDns::kDefaultPort;
        THostResolver resolver;
        TReverseDnsReport report;
    };
    TConfig Config() const;
    // Asks server about address and follows its referrals; fills host and nameServer.
    void ReverseQuery(TLookup& lookup, const std::string& address, const std::string& server,
                      std::string& host, std::string& nameServer);

    mutable std::mutex m_mutex;  // guards m_config and m_cache
    TConfig m_config;
    std::unordered_map<std::string, std::string> m_cache;  // address -> host (or name server)
};

// The last dot-separated label of a host name ("net" for "ns1.example.net"); "" for "".
std::string LastLabel(std::string_view name);

// The default "tld.txt" shipped with the program: country-code and generic top-level
// domains, one "code description" line each.
extern const std::string_view kDefaultTldTable;

// Writes the default table to "<homeFolder>tld.txt" when the home folder has no such file; an
// existing file (the user's, or an empty one to have no table) is never touched. Returns
// whether it wrote the file. Call it once at start-up, before the filter lists are created
// (they read the table when they are made). Throws TFileError when the file cannot be written.
bool InstallDefaultTldTable(const std::string& homeFolder);

}  // namespace vorla
