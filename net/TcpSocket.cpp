#include "net/TcpSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/TlsChannel.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

using TClock = std::chrono::steady_clock;

struct TAddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using TAddrInfo = std::unique_ptr<addrinfo, TAddrInfoFree>;

std::string Where(const std::string& host, std::uint16_t port) {
    return host + " port " + std::to_string(port);
}

int PollMilliseconds(TClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1LL << 30));
}

std::string TimedOut(std::chrono::milliseconds timeout) {
    return "Timed out after " + std::to_string(timeout.count()) + " ms";
}

}  // namespace

TTcpSocket::TTcpSocket() {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) throw TNetError(std::string("Cannot create a socket wake-up handle: ") + std::strerror(errno));
}

TTcpSocket::~TTcpSocket() {
    Close();
    ::close(m_wakeFd);
}

void TTcpSocket::ThrowIfStopped() const {
    if (m_stopped.load()) throw TNetError("Connection stopped");
}

void TTcpSocket::Shutdown() noexcept {
    m_stopped.store(true);
    const std::uint64_t one = 1;
    // A full counter is already readable, so a failed write changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

void TTcpSocket::Close() noexcept {
    if (m_tls) {
        m_tls->Close();
        m_tls.reset();
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void TTcpSocket::StartTls(const std::string& hostName, const TTlsOptions& options, std::chrono::milliseconds timeout) {
    ThrowIfStopped();
    if (m_fd < 0) throw TNetError("Not connected");
    if (m_tls) throw TNetError("TLS is already active on the connection to " + m_where);
    try {
        m_tls = TTlsChannel::Connect(
            m_fd, hostName, options, [this](short events, std::chrono::milliseconds left) { return Wait(events, left); },
            timeout);
    } catch (const TNetError& e) {
        const std::string where = m_where;
        Close();
        // A stop is a stop, wherever it came.
        if (m_stopped.load()) throw;
        throw TNetError(std::string(e.what()) + " (server " + where + ")");
    }
}

bool TTcpSocket::PeerIsLoopback() const {
    if (m_fd < 0) return false;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

std::string TTcpSocket::TlsProtocol() const { return m_tls ? m_tls->Protocol() : std::string(); }

bool TTcpSocket::Wait(short events, std::chrono::milliseconds timeout) {
    const auto deadline = TClock::now() + std::max(timeout, std::chrono::milliseconds(0));
    for (;;) {
        ThrowIfStopped();
        pollfd fds[2] = {{m_fd, events, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, PollMilliseconds(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw TNetError(std::string("Waiting on the connection failed: ") + std::strerror(errno));
        }
        ThrowIfStopped();
        // Errors and hang-ups count as ready: the following call reports them.
        if (ready > 0 && fds[0].revents != 0) return true;
        if (TClock::now() >= deadline) return false;
    }
}

void TTcpSocket::Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) {
    ThrowIfStopped();
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    TAddrInfo info(list);
    if (rc != 0 || !info) throw TNetError("Host not found: " + host + " (" + ::gai_strerror(rc) + ")");

    m_where = Where(host, port);
    const auto deadline = TClock::now() + std::max(timeout, std::chrono::milliseconds(0));
    std::string lastError = "no usable address";
    for (const addrinfo* a = info.get(); a; a = a->ai_next) {
        m_fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (m_fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        // Commands are one short line each; waiting to fill a segment only adds delay.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        int error = 0;
        if (::connect(m_fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
                bool ready = false;
                try {
                    ready = Wait(POLLOUT, left);
                } catch (...) {
                    Close();
                    throw;
                }
                if (!ready) {
                    Close();
                    throw TNetError("Connecting to " + Where(host, port) + " timed out after " +
                                    std::to_string(timeout.count()) + " ms");
                }
                socklen_t length = sizeof error;
                if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
        if (error == 0) return;
        lastError = std::strerror(error);
        Close();
    }
    throw TNetError("Cannot connect to " + Where(host, port) + ": " + lastError);
}

std::size_t TTcpSocket::Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout) {
    ThrowIfStopped();
    if (m_fd < 0) throw TNetError("Not connected");
    if (m_tls) {
        const auto got = m_tls->Receive(
            buffer, size, timeout, [this](short events, std::chrono::milliseconds left) { return Wait(events, left); });
        if (!got) throw TNetError(TimedOut(timeout));
        return *got;
    }
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, size, 0);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw TNetError(std::string("Receiving failed: ") + std::strerror(errno));
        if (!Wait(POLLIN, timeout)) throw TNetError(TimedOut(timeout));
    }
}

void TTcpSocket::Send(std::string_view data, std::chrono::milliseconds timeout) {
    ThrowIfStopped();
    if (m_fd < 0) throw TNetError("Not connected");
    if (m_tls) {
        if (!m_tls->Send(data, timeout, [this](short events, std::chrono::milliseconds left) { return Wait(events, left); }))
            throw TNetError(TimedOut(timeout));
        return;
    }
    while (!data.empty()) {
        const ssize_t sent = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw TNetError(std::string("Sending failed: ") + std::strerror(errno));
        if (!Wait(POLLOUT, timeout)) throw TNetError(TimedOut(timeout));
    }
}

}  // namespace vorla
