#include "support/RawPopClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorla::test {

TRawPopClient::TRawPopClient(std::uint16_t port, const std::string& host) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(m_fd);
        m_fd = -1;
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
    }
}

TRawPopClient::~TRawPopClient() { Drop(); }

void TRawPopClient::Drop() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void TRawPopClient::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        done += static_cast<std::size_t>(sent);
    }
}

bool TRawPopClient::Fill(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) throw std::runtime_error("time-out waiting for the server; have: " + m_buffer.substr(0, 200));
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[65536];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        m_buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
}

std::string TRawPopClient::ReadUntil(const std::string& end, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const std::size_t at = m_buffer.find(end);
        if (at != std::string::npos) {
            std::string text = m_buffer.substr(0, at + end.size());
            m_buffer.erase(0, at + end.size());
            return text;
        }
        if (!Fill(deadline)) throw std::runtime_error("closed by the server; have: " + m_buffer.substr(0, 200));
    }
}

std::string TRawPopClient::ReadLine(std::chrono::milliseconds wait) {
    std::string line = ReadUntil("\r\n", wait);
    line.resize(line.size() - 2);
    return line;
}

std::string TRawPopClient::Command(const std::string& line, std::chrono::milliseconds wait) {
    SendLine(line);
    return ReadLine(wait);
}

std::string TRawPopClient::ReadExactly(std::size_t count, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (m_buffer.size() < count)
        if (!Fill(deadline)) throw std::runtime_error("closed by the server before the end of the data");
    std::string text = m_buffer.substr(0, count);
    m_buffer.erase(0, count);
    return text;
}

bool TRawPopClient::WaitClosed(std::chrono::milliseconds wait, std::string* rest) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    try {
        while (Fill(deadline)) {
        }
    } catch (const std::runtime_error&) {
        return false;  // still open at the deadline
    }
    if (rest) *rest = m_buffer;
    m_buffer.clear();
    return true;
}

}  // namespace vorla::test
