#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A connected UDP socket for one request/reply exchange, and the ordinary host-name lookup.
namespace vorla {

class TUdpSocket {
public:
    // Largest datagram Receive returns whole; longer ones are reported as such.
    static constexpr std::size_t kMaxDatagram = 65535;

    // Opens a datagram socket bound to the peer address (a numeric IPv4 or IPv6 address)
    // and port, so that only that peer's datagrams are received and a refusal by the peer's
    // host is reported. Throws TNetError with the system's reason.
    TUdpSocket(const std::string& address, std::uint16_t port);
    ~TUdpSocket();
    TUdpSocket(const TUdpSocket&) = delete;
    TUdpSocket& operator=(const TUdpSocket&) = delete;

    // Sends one datagram. Throws TNetError.
    void Send(std::string_view datagram);
    // Waits at most timeout (negative counts as zero) for one datagram and returns it;
    // nullopt when none arrived in time. Throws TNetError when the system reports an error
    // for the exchange (the peer's port refused the query, the network is unreachable).
    std::optional<std::string> Receive(std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
};

// The numeric address of host by the platform's ordinary host-name resolution; a host written
// as a numeric address is returned as it is, without any lookup. Throws TNetError
// ("Host not found: " + host + " (" + the resolver's reason + ")").
std::string ResolveHostAddress(const std::string& host);

}  // namespace vorla
