#include "support/DnsTestServer.h"

#include <sstream>
#include <string>

namespace vorla::test {
namespace {

constexpr char kScript[] = TEST_DATA_DIR "/../support/dns_server.py";
constexpr int kLifetimeSeconds = 600;  // the harness ends itself even if a test crashes

std::string JsonAnswer(const TDnsAnswer& a) {
    return "{\"qname\":" + JsonText(a.qname) + (a.qtype.empty() ? "" : ",\"qtype\":" + JsonText(a.qtype)) +
           ",\"rcode\":" + (a.rcode.find_first_not_of("0123456789") == std::string::npos ? a.rcode : JsonText(a.rcode)) +
           ",\"answer\":" + JsonList(a.answer) + ",\"authority\":" + JsonList(a.authority) +
           ",\"additional\":" + JsonList(a.additional) + "}";
}

}  // namespace

TDnsTestServers::TDnsTestServers(const std::vector<TDnsServerSpec>& servers) {
    std::string config = "{\"port\":0,\"log\":" + JsonText(m_dir / "queries.log") + ",\"ready\":" +
                         JsonText(m_dir / "ready") + ",\"lifetime\":" + std::to_string(kLifetimeSeconds) +
                         ",\"servers\":[";
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const TDnsServerSpec& s = servers[i];
        config += std::string(i ? "," : "") + "{\"address\":" + JsonText(s.address) +
                  ",\"silent\":" + (s.silent ? "true" : "false") + ",\"rules\":[";
        for (std::size_t j = 0; j < s.answers.size(); ++j) config += (j ? "," : "") + JsonAnswer(s.answers[j]);
        config += "]";
        if (s.hasFallback) config += ",\"default\":" + JsonAnswer(s.fallback);
        config += "}";
    }
    config += "]}";
    WriteFile(m_dir / "config.json", config);
    WriteFile(m_dir / "queries.log", "");

    m_server.Start(kScript, m_dir / "config.json", m_dir / "ready", m_dir / "output.txt",
                   "DNS test server did not start (is python3-dnslib installed? scripts/deps installs it): ");
}

std::vector<std::string> TDnsTestServers::LogLines(char kind) const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(m_dir / "queries.log"));
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 2 && line[0] == kind && line[1] == ' ') lines.push_back(line.substr(2));
    return lines;
}

std::vector<TDnsLoggedQuery> TDnsTestServers::Queries(const std::string& server) const {
    std::vector<TDnsLoggedQuery> queries;
    for (const std::string& line : LogLines('Q')) {
        std::istringstream fields(line);
        TDnsLoggedQuery q;
        std::string id;
        int rd = 0;
        fields >> q.server >> id >> q.qname >> q.qtype >> q.qclass >> rd;
        q.id = id == "?" ? 0 : static_cast<unsigned>(std::stoul(id));
        q.recursionDesired = rd != 0;
        if (server.empty() || q.server == server) queries.push_back(q);
    }
    return queries;
}

std::vector<std::string> TDnsTestServers::Replies() const {
    std::vector<std::string> replies;
    for (const std::string& line : LogLines('R')) {
        const std::size_t space = line.find(' ');
        const std::string hex = line.substr(space + 1);
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        replies.push_back(bytes);
    }
    return replies;
}

}  // namespace vorla::test
