#include "support/SmtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kScript[] = TEST_DATA_DIR "/../support/smtp_server.py";
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr int kLifetimeSeconds = 900;  // the server ends itself even if a test crashes

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

std::string Json(const std::map<std::string, std::string>& map) {
    std::string out = "{";
    for (const auto& [key, value] : map) out += (out.size() > 1 ? "," : "") + Json(key) + ":" + Json(value);
    return out + "}";
}

std::string Json(const std::vector<std::string>& list) {
    std::string out = "[";
    for (const std::string& item : list) out += (out.size() > 1 ? "," : "") + Json(item);
    return out + "]";
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

TSmtpServer::TSmtpServer(const TSmtpServerSpec& spec) {
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.3f", spec.dataDelaySeconds);
    const std::string config =
        "{\"ready\":" + Json(m_dir / "ready") + ",\"spool\":" + Json(m_dir / "spool/") + ",\"log\":" +
        Json(m_dir / "events.log") + ",\"lifetime\":" + std::to_string(kLifetimeSeconds) +
        ",\"users\":" + Json(spec.users) + ",\"auth_required\":" + (spec.authRequired ? "true" : "false") +
        ",\"ehlo_reply\":" + Json(spec.ehloReply) + ",\"mail_replies\":" + Json(spec.mailReplies) +
        ",\"rcpt_replies\":" + Json(spec.rcptReplies) + ",\"data_replies\":" + Json(spec.dataReplies) +
        ",\"data_delay\":" + delay + ",\"tls_mode\":" + Json(spec.tlsMode) + ",\"tls_cert\":" + Json(spec.tlsCert) +
        ",\"tls_key\":" + Json(spec.tlsKey) + ",\"auth_require_tls\":" + (spec.authRequireTls ? "true" : "false") +
        ",\"auth_exclude\":" + Json(spec.authExclude) + "}";
    WriteFile(m_dir / "config.json", config);
    WriteFile(m_dir / "events.log", "");

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
            throw std::runtime_error("SMTP test server did not start (is python3-aiosmtpd installed? "
                                     "scripts/deps installs it): " + output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TSmtpServer::~TSmtpServer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitForExit(m_pid, kStopTimeout)) {
        kill(m_pid, SIGKILL);
        WaitForExit(m_pid, kStopTimeout);
    }
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
