#include "support/RecordingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vorla::test {
namespace {

constexpr auto kConnectionLimit = std::chrono::seconds(60);
constexpr int kPollMs = 200;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Sends all of data; false when the peer is gone.
bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

TRecordingProxy::TRecordingProxy(std::uint16_t targetPort, std::string sourceAddress)
    : m_targetPort(targetPort), m_sourceAddress(std::move(sourceAddress)) {
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 8) != 0 || getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listenFd >= 0) close(m_listenFd);
        throw std::runtime_error("the recording proxy cannot listen");
    }
    m_port = ntohs(address.sin_port);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

TRecordingProxy::~TRecordingProxy() {
    m_thread.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
    if (m_thread.joinable()) m_thread.join();
    close(m_listenFd);
    close(m_wakeFd);
}

std::string TRecordingProxy::ClientBytes() const {
    std::scoped_lock lock(m_mutex);
    return m_fromClient;
}

std::string TRecordingProxy::ServerBytes() const {
    std::scoped_lock lock(m_mutex);
    return m_fromServer;
}

int TRecordingProxy::Connections() const {
    std::scoped_lock lock(m_mutex);
    return m_connections;
}

void TRecordingProxy::Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, kPollMs) <= 0 || !(fds[0].revents & POLLIN)) continue;
        const int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        {
            std::scoped_lock lock(m_mutex);
            ++m_connections;
        }
        Relay(client, stop);
        close(client);
    }
}

void TRecordingProxy::Relay(int client, std::stop_token stop) {
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = Loopback(m_targetPort);
    if (server >= 0 && !m_sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, m_sourceAddress.c_str(), &source.sin_addr) != 1 ||
            bind(server, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            close(server);
            return;
        }
    }
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if (server >= 0) close(server);
        return;  // the client sees its connection closed
    }
    const auto deadline = std::chrono::steady_clock::now() + kConnectionLimit;
    bool clientOpen = true;
    bool serverOpen = true;
    char buffer[16384];
    while ((clientOpen || serverOpen) && !stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[3] = {{clientOpen ? client : -1, POLLIN, 0}, {serverOpen ? server : -1, POLLIN, 0},
                         {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 3, kPollMs) <= 0) continue;
        for (int side = 0; side < 2; ++side) {
            if (!(fds[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const int from = side == 0 ? client : server;
            const int to = side == 0 ? server : client;
            const ssize_t got = recv(from, buffer, sizeof buffer, 0);
            if (got > 0) {
                {
                    std::scoped_lock lock(m_mutex);
                    (side == 0 ? m_fromClient : m_fromServer).append(buffer, static_cast<std::size_t>(got));
                }
                if (SendAll(to, buffer, static_cast<std::size_t>(got))) continue;
            }
            // This side has ended (or the other cannot take more): pass the end on.
            (side == 0 ? clientOpen : serverOpen) = false;
            shutdown(to, SHUT_WR);
        }
    }
    close(server);
}

}  // namespace vorla::test
