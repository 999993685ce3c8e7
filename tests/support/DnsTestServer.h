#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/PythonServer.h"
#include "support/TempDir.h"

// Real DNS servers on loopback for tests: tests/support/dns_server.py (dnslib), started as a
// child process with its own zone data in a temporary folder and stopped by PID when the
// object goes.
namespace vorla::test {

// One answer: for a question name (and type, when not empty) the response code and the
// records of the three sections, each in zone-file form ("x.example. 60 IN PTR host.example.").
struct TDnsAnswer {
    std::string qname;  // ignored for a server's fallback answer
    std::string qtype;  // "PTR", "MX", ...; empty matches any type
    std::string rcode = "NOERROR";  // a dnslib RCODE name, or a number ("6")
    std::vector<std::string> answer;
    std::vector<std::string> authority;
    std::vector<std::string> additional;
};

struct TDnsServerSpec {
    std::string address;  // 127.0.0.x
    bool silent = false;  // reads queries, never answers
    std::vector<TDnsAnswer> answers;
    // For questions no answer matches; NXDOMAIN when not set.
    bool hasFallback = false;
    TDnsAnswer fallback;
};

// One query as the server logged it.
struct TDnsLoggedQuery {
    std::string server;
    unsigned id = 0;
    std::string qname;  // lower case, no final dot
    std::string qtype;
    std::string qclass;
    bool recursionDesired = false;
};

class TDnsTestServers {
public:
    // Starts the servers, all on one port free on every address, and waits (at most 15 s)
    // until they listen. Throws std::runtime_error when python3-dnslib is missing or the
    // servers do not come up, with the harness's own error output.
    explicit TDnsTestServers(const std::vector<TDnsServerSpec>& servers);
    // SIGTERM, then SIGKILL when the process has not ended after 5 s.
    ~TDnsTestServers() = default;
    TDnsTestServers(const TDnsTestServers&) = delete;
    TDnsTestServers& operator=(const TDnsTestServers&) = delete;

    std::uint16_t Port() const { return m_server.Port(); }
    // Every query received so far, in order of arrival (optionally only those of one server).
    std::vector<TDnsLoggedQuery> Queries(const std::string& server = "") const;
    // The raw reply datagrams sent so far.
    std::vector<std::string> Replies() const;

private:
    std::vector<std::string> LogLines(char kind) const;

    TTempDir m_dir;
    TPythonServer m_server;  // after m_dir: stopped before the folder goes
};

}  // namespace vorla::test
