#include "support/SmtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vorla::test {
namespace {

constexpr char kScript[] = TEST_DATA_DIR "/../support/smtp_server.py";
constexpr int kLifetimeSeconds = 900;  // the server ends itself even if a test crashes

std::string JsonMap(const std::map<std::string, std::string>& map) {
    std::string out = "{";
    for (const auto& [key, value] : map) out += (out.size() > 1 ? "," : "") + JsonText(key) + ":" + JsonText(value);
    return out + "}";
}

std::string JsonListMap(const std::map<std::string, std::vector<std::string>>& map) {
    std::string out = "{";
    for (const auto& [key, values] : map) out += (out.size() > 1 ? "," : "") + JsonText(key) + ":" + JsonList(values);
    return out + "}";
}

}  // namespace

TSmtpServer::TSmtpServer(const TSmtpServerSetup& setup) {
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.3f", setup.dataDelaySeconds);
    const std::string config =
        "{\"ready\":" + JsonText(m_dir / "ready") + ",\"spool\":" + JsonText(m_dir / "spool/") + ",\"log\":" +
        JsonText(m_dir / "events.log") + ",\"lifetime\":" + std::to_string(kLifetimeSeconds) +
        ",\"users\":" + JsonMap(setup.users) + ",\"auth_required\":" + (setup.authRequired ? "true" : "false") +
        ",\"ehlo_reply\":" + JsonText(setup.ehloReply) + ",\"mail_replies\":" + JsonMap(setup.mailReplies) +
        ",\"rcpt_replies\":" + JsonMap(setup.rcptReplies) + ",\"data_replies\":" + JsonMap(setup.dataReplies) +
        ",\"data_delay\":" + delay + ",\"data_gate\":" + JsonText(setup.holdData ? m_dir / "release" : "") +
        ",\"tls_mode\":" + JsonText(setup.tlsMode) + ",\"tls_cert\":" + JsonText(setup.tlsCert) +
        ",\"tls_key\":" + JsonText(setup.tlsKey) + ",\"auth_require_tls\":" + (setup.authRequireTls ? "true" : "false") +
        ",\"auth_exclude\":" + JsonList(setup.authExclude) + ",\"tokens\":" + JsonListMap(setup.tokens) +
        ",\"oauth_error\":" + (setup.oauthError.empty() ? std::string("null") : setup.oauthError) + "}";
    WriteFile(m_dir / "config.json", config);
    WriteFile(m_dir / "events.log", "");

    m_server.Start(kScript, m_dir / "config.json", m_dir / "ready", m_dir / "output.txt",
                   "SMTP test server did not start (is python3-aiosmtpd installed? scripts/deps installs it): ");
}

std::vector<TSmtpReceived> TSmtpServer::Deliveries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir / "spool"))
        if (entry.path().extension() == ".env") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<TSmtpReceived> deliveries;
    for (const std::string& name : names) {
        TSmtpReceived d;
        std::istringstream env(ReadFile(m_dir / ("spool/" + name + ".env")));
        std::string line;
        while (std::getline(env, line)) {
            const std::size_t space = line.find(' ');
            const std::string key = line.substr(0, space);
            const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
            if (key == "helo") d.helo = value;
            else if (key == "login") d.login = value;
            else if (key == "from") d.mailFrom = value;
            else if (key == "rcpt") d.rcptTos.push_back(value);
        }
        d.data = ReadFile(m_dir / ("spool/" + name + ".eml"));
        deliveries.push_back(std::move(d));
    }
    return deliveries;
}

void TSmtpServer::ReleaseData() const {
    WriteFile(m_dir / "release", "");
}

std::vector<std::string> TSmtpServer::Events() const {
    std::vector<std::string> events;
    std::istringstream in(ReadFile(m_dir / "events.log"));
    std::string line;
    while (std::getline(in, line)) events.push_back(line);
    return events;
}

bool TSmtpServer::WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Events().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::uint16_t UnusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    close(fd);  // nothing listens there now
    return ntohs(address.sin_port);
}

}  // namespace vorla::test
