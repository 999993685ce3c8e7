#include "net/TcpListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/TlsChannel.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

// How long Accept rests when the system is out of descriptors or memory.
constexpr std::chrono::milliseconds kShortagePause{100};

[[noreturn]] void ThrowSystem(int error) { throw TNetError(std::strerror(error)); }

// poll() wait in milliseconds for a timeout; negative timeouts count as 0.
int PollWait(std::chrono::milliseconds timeout) {
    return static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1LL << 30));
}

std::string NumericAddress(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    return text;
}

// The wait of the encrypted connection: the descriptor alone; Shutdown wakes it by ending
// the connection.
TTlsChannel::TWait WaitOn(int fd) {
    return [fd](short events, std::chrono::milliseconds left) {
        pollfd p{fd, events, 0};
        for (;;) {
            const int ready = ::poll(&p, 1, PollWait(left));
            if (ready >= 0) return ready > 0;
            if (errno != EINTR) ThrowSystem(errno);
        }
    };
}

}  // namespace

// --- TServerSocket ---

TServerSocket::TServerSocket(int fd, std::string peerAddress) : m_fd(fd), m_peerAddress(std::move(peerAddress)) {}

TServerSocket::~TServerSocket() { Close(); }

TServerSocket::TServerSocket(TServerSocket&& other) noexcept
    : m_fd(other.m_fd), m_peerAddress(std::move(other.m_peerAddress)), m_tls(std::move(other.m_tls)) {
    other.m_fd = -1;
}

TServerSocket& TServerSocket::operator=(TServerSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_peerAddress = std::move(other.m_peerAddress);
        m_tls = std::move(other.m_tls);
        other.m_fd = -1;
    }
    return *this;
}

void TServerSocket::Close() noexcept {
    if (m_tls) {
        m_tls->Close();
        m_tls.reset();
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void TServerSocket::StartTls(const TTlsServerContext& context, std::chrono::milliseconds timeout) {
    if (m_fd < 0) throw TNetError("Not connected");
    if (m_tls) throw TNetError("TLS is already active");
    m_tls = TTlsChannel::Accept(m_fd, context, WaitOn(m_fd), timeout);
}

void TServerSocket::Shutdown() noexcept {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

void TServerSocket::ShutdownSend() noexcept {
    if (m_tls) m_tls->Close();  // the TLS goodbye first, while the direction is open
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

std::optional<std::size_t> TServerSocket::Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout) {
    if (m_tls) return m_tls->Receive(buffer, size, timeout, WaitOn(m_fd));
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, size, MSG_DONTWAIT);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowSystem(errno);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, PollWait(left));
        if (ready < 0 && errno != EINTR) ThrowSystem(errno);
        if (ready == 0 && Clock::now() >= deadline) return std::nullopt;
    }
}

void TServerSocket::Send(std::string_view first, std::string_view second, std::chrono::milliseconds timeout) {
    if (m_tls) {
        const TTlsChannel::TWait wait = WaitOn(m_fd);
        if (!m_tls->Send(first, timeout, wait) || !m_tls->Send(second, timeout, wait))
            throw TNetError("The client takes no data");
        return;
    }
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                      {const_cast<char*>(second.data()), second.size()}};
    iovec* next = parts;
    int count = 2;
    while (count > 0 && next->iov_len == 0) {
        ++next;
        --count;
    }
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowSystem(errno);
            pollfd p{m_fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, PollWait(timeout));
            if (ready < 0 && errno != EINTR) ThrowSystem(errno);
            if (ready == 0) throw TNetError("The client takes no data");
            continue;
        }
        std::size_t done = static_cast<std::size_t>(sent);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

// --- TTcpListener ---

TTcpListener::TTcpListener(const std::string& address, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &list) != 0 || !list) {
        if (list) ::freeaddrinfo(list);
        throw TNetError("Not a numeric IP address: " + address);
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> info(list, &::freeaddrinfo);

    m_fd = ::socket(info->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) ThrowSystem(errno);
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(m_fd, info->ai_addr, info->ai_addrlen) != 0 || ::listen(m_fd, kBacklog) != 0) {
        const int error = errno;
        ::close(m_fd);
        ThrowSystem(error);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        const int error = errno;
        ::close(m_fd);
        ThrowSystem(error);
    }
}

TTcpListener::~TTcpListener() {
    ::close(m_fd);
    ::close(m_wakeFd);
}

void TTcpListener::Wake() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

std::optional<TServerSocket> TTcpListener::Accept(std::chrono::milliseconds timeout) {
    pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    const int ready = ::poll(p, 2, PollWait(timeout));
    if (ready < 0) {
        if (errno == EINTR) return std::nullopt;
        ThrowSystem(errno);
    }
    if (p[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        return std::nullopt;
    }
    if (!(p[0].revents & POLLIN)) return std::nullopt;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        // Gone before we took it, or a passing shortage: the loop simply waits again.
        switch (errno) {
            case EAGAIN: case ECONNABORTED: case EINTR: case EPROTO: case EPERM:
                return std::nullopt;
            case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
                // The pending connection stays ready: pause (or until Wake) instead of spinning.
                ::poll(&p[1], 1, static_cast<int>(kShortagePause.count()));
                return std::nullopt;
            default:
                ThrowSystem(errno);
        }
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return TServerSocket(fd, NumericAddress(peer));
}

}  // namespace vorla
