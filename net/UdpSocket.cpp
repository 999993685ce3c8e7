#include "net/UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/Errors.h"

namespace vorla {
namespace {

[[noreturn]] void ThrowSystem(const std::string& what, int error) {
    throw TNetError(what + ": " + std::strerror(error));
}

struct TAddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using TAddrInfo = std::unique_ptr<addrinfo, TAddrInfoFree>;

// getaddrinfo for a datagram peer; the error code on failure.
int LookUp(const std::string& host, const char* service, int flags, TAddrInfo& result) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), service, &hints, &list);
    result.reset(list);
    return rc;
}

}  // namespace

TUdpSocket::TUdpSocket(const std::string& address, std::uint16_t port) {
    TAddrInfo info;
    const std::string service = std::to_string(port);
    if (LookUp(address, service.c_str(), AI_NUMERICHOST | AI_NUMERICSERV, info) != 0 || !info)
        throw TNetError("Not a numeric address: " + address);
    m_fd = ::socket(info->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) ThrowSystem("Cannot open a UDP socket", errno);
    if (::connect(m_fd, info->ai_addr, info->ai_addrlen) != 0) {
        const int error = errno;
        ::close(m_fd);
        m_fd = -1;
        ThrowSystem("Cannot reach " + address, error);
    }
}

TUdpSocket::~TUdpSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

void TUdpSocket::Send(std::string_view datagram) {
    for (;;) {
        const ssize_t sent = ::send(m_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            if (static_cast<std::size_t>(sent) != datagram.size()) throw TNetError("Datagram was cut on sending");
            return;
        }
        if (errno != EINTR) ThrowSystem("Cannot send the DNS query", errno);
    }
}

std::optional<std::string> TUdpSocket::Receive(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 1LL << 30));
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            ThrowSystem("Waiting for the DNS reply failed", errno);
        }
        if (ready == 0) {
            if (Clock::now() >= deadline) return std::nullopt;
            continue;  // a wait longer than poll takes at once
        }
        std::string buffer(kMaxDatagram + 1, '\0');
        const ssize_t got = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            ThrowSystem("No DNS reply", errno);
        }
        buffer.resize(static_cast<std::size_t>(got));
        return buffer;
    }
}

std::string ResolveHostAddress(const std::string& host) {
    TAddrInfo info;
    int rc = LookUp(host, nullptr, AI_NUMERICHOST, info);
    if (rc != 0) rc = LookUp(host, nullptr, AI_ADDRCONFIG, info);
    if (rc != 0 || !info) {
        const std::string reason = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
        throw TNetError("Host not found: " + host + " (" + reason + ")");
    }
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = info->ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(info->ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(info->ai_addr)->sin_addr);
    if (!inet_ntop(info->ai_family, raw, text, sizeof text)) ThrowSystem("Cannot format the address of " + host, errno);
    return text;
}

}  // namespace vorla
