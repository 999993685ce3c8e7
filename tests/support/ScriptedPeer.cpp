#include "support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vorla::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr auto kAcceptTimeout = 10s;
constexpr auto kReadTimeout = 10s;
constexpr auto kSendTimeout = 10s;
constexpr int kSlice = 20;  // ms between looks at the stop request

// Waits for events on fd until the deadline or a stop request; false then.
bool WaitFor(int fd, short events, TClock::time_point deadline, const std::stop_token& stop) {
    while (!stop.stop_requested() && TClock::now() < deadline) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, kSlice);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

}  // namespace

TPeerStep PeerSend(std::string bytes) { return {TPeerStep::TKind::Send, std::move(bytes), {}}; }
TPeerStep PeerReadLine() { return {TPeerStep::TKind::ReadLine, {}, {}}; }
TPeerStep PeerPause(std::chrono::milliseconds wait) { return {TPeerStep::TKind::Pause, {}, wait}; }
TPeerStep PeerClose() { return {TPeerStep::TKind::Close, {}, {}}; }

TScriptedPeer::TScriptedPeer(std::vector<TPeerStep> script) {
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 1) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(m_listenFd);
        throw std::runtime_error("cannot listen on loopback");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::jthread([this, s = std::move(script)](std::stop_token stop) mutable { Run(stop, std::move(s)); });
}

TScriptedPeer::~TScriptedPeer() {
    m_thread.request_stop();
    if (m_thread.joinable()) m_thread.join();
    close(m_listenFd);
}

std::vector<std::string> TScriptedPeer::Received() {
    if (m_thread.joinable()) m_thread.join();
    std::scoped_lock lock(m_mutex);
    return m_received;
}

void TScriptedPeer::Run(std::stop_token stop, std::vector<TPeerStep> script) {
    if (!WaitFor(m_listenFd, POLLIN, TClock::now() + kAcceptTimeout, stop)) return;
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string pending;  // bytes read past the last recorded line
    bool closed = false;

    // Reads one line into the record; false when the client closed or the wait ran out.
    const auto readLine = [&](TClock::time_point deadline) {
        for (;;) {
            const std::size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending.erase(0, lf + 1);
                std::scoped_lock lock(m_mutex);
                m_received.push_back(std::move(line));
                return true;
            }
            if (!WaitFor(fd, POLLIN, deadline, stop)) return false;
            char buffer[4096];
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                m_clientClosed = true;
                return false;
            }
            pending.append(buffer, static_cast<std::size_t>(got));
        }
    };

    for (const TPeerStep& step : script) {
        if (stop.stop_requested()) break;
        if (step.Kind == TPeerStep::TKind::Send) {
            std::string_view data = step.Data;
            const auto deadline = TClock::now() + kSendTimeout;
            while (!data.empty()) {
                if (!WaitFor(fd, POLLOUT, deadline, stop)) break;
                const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (sent < 0) break;  // the client went away
                data.remove_prefix(static_cast<std::size_t>(sent));
            }
            if (!data.empty()) break;
        } else if (step.Kind == TPeerStep::TKind::ReadLine) {
            if (!readLine(TClock::now() + kReadTimeout)) break;
        } else if (step.Kind == TPeerStep::TKind::Pause) {
            const auto until = TClock::now() + step.Wait;
            while (!stop.stop_requested() && TClock::now() < until) std::this_thread::sleep_for(1ms);
        } else {
            closed = true;
            break;
        }
    }
    if (!closed && !m_clientClosed) {
        const auto deadline = TClock::now() + kReadTimeout;
        while (readLine(deadline)) {
        }
    }
    close(fd);
}

}  // namespace vorla::test
