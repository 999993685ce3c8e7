#include "support/DnsTestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vorla::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kScript[] = TEST_DATA_DIR "/../support/dns_server.py";
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr int kLifetimeSeconds = 600;  // the harness ends itself even if a test crashes

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json(const std::vector<std::string>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) out += (i ? "," : "") + Json(list[i]);
    return out + "]";
}

std::string Json(const TDnsAnswer& a) {
    return "{\"qname\":" + Json(a.qname) + (a.qtype.empty() ? "" : ",\"qtype\":" + Json(a.qtype)) +
           ",\"rcode\":" + (a.rcode.find_first_not_of("0123456789") == std::string::npos ? a.rcode : Json(a.rcode)) +
           ",\"answer\":" + Json(a.answer) + ",\"authority\":" + Json(a.authority) +
           ",\"additional\":" + Json(a.additional) + "}";
}

bool WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

TDnsTestServers::TDnsTestServers(const std::vector<TDnsServerSpec>& servers) {
    std::string config = "{\"port\":0,\"log\":" + Json(m_dir / "queries.log") + ",\"ready\":" +
                         Json(m_dir / "ready") + ",\"lifetime\":" + std::to_string(kLifetimeSeconds) +
                         ",\"servers\":[";
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const TDnsServerSpec& s = servers[i];
        config += std::string(i ? "," : "") + "{\"address\":" + Json(s.address) +
                  ",\"silent\":" + (s.silent ? "true" : "false") + ",\"rules\":[";
        for (std::size_t j = 0; j < s.answers.size(); ++j) config += (j ? "," : "") + Json(s.answers[j]);
        config += "]";
        if (s.hasFallback) config += ",\"default\":" + Json(s.fallback);
        config += "}";
    }
    config += "]}";
    WriteFile(m_dir / "config.json", config);
    WriteFile(m_dir / "queries.log", "");

    const std::string configPath = m_dir / "config.json";
    const std::string outputPath = m_dir / "output.txt";
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execl(kPython, kPython, kScript, configPath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (;;) {
        std::ifstream ready(m_dir / "ready");
        unsigned port = 0;
        if (ready >> port && port > 0 && port < 65536) {
            m_port = static_cast<std::uint16_t>(port);
            return;
        }
        int status = 0;
        const bool ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
        if (ended || std::chrono::steady_clock::now() >= deadline) {
            if (!ended) {
                kill(m_pid, SIGKILL);
                WaitForExit(m_pid, kStopTimeout);
            }
            m_pid = -1;
            std::string output;
            try {
                output = ReadFile(outputPath);
            } catch (const std::exception&) {
            }
            throw std::runtime_error("DNS test server did not start (is python3-dnslib installed? "
                                     "scripts/deps installs it): " + output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TDnsTestServers::~TDnsTestServers() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitForExit(m_pid, kStopTimeout)) {
        kill(m_pid, SIGKILL);
        WaitForExit(m_pid, kStopTimeout);
    }
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
