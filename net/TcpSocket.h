#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/TlsOptions.h"

// A TCP client connection with a deadline on every wait, and a way for another thread to
// wake a blocked call (a stop request). Once StartTls has run, the same calls carry
// encrypted bytes.
namespace vorla {

class TTlsChannel;

class TTcpSocket {
public:
    // Not connected. Throws TNetError when the system cannot give the wake-up handle.
    TTcpSocket();
    ~TTcpSocket();  // closes the connection
    TTcpSocket(const TTcpSocket&) = delete;
    TTcpSocket& operator=(const TTcpSocket&) = delete;

    // Resolves host (a name or a numeric address) and connects to the first of its addresses
    // that accepts, all within timeout (name resolution itself is the system's and not
    // covered by it). An open connection is closed first. Throws TNetError:
    // "Host not found: <host> (<reason>)", "Cannot connect to <host> port <port>: <reason>"
    // (refused, unreachable), "Connecting to <host> port <port> timed out after <n> ms",
    // "Connection stopped" after Shutdown.
    void Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    bool IsOpen() const { return m_fd >= 0; }

    // Runs the TLS client handshake on the open connection (see TTlsChannel::Connect for
    // hostName and options) within timeout; from then on Receive and Send are encrypted,
    // until Close. The caller must have read everything the peer sent in plain text before
    // (a byte buffered above this socket would be the peer's plain text, not TLS). Throws
    // TNetError whose message ends with "(server <host> port <port>)", such as
    // "certificate verify failed: certificate has expired (server mail.example port 995)";
    // the connection is closed then, so nothing more can be sent on it in plain text.
    void StartTls(const std::string& hostName, const TTlsOptions& options, std::chrono::milliseconds timeout);
    bool IsTls() const { return m_tls != nullptr; }
    // True when the open connection's far end is a loopback address (127.0.0.0/8, ::1, or
    // an IPv4 loopback address mapped into IPv6): the traffic never leaves this machine.
    bool PeerIsLoopback() const;
    // The negotiated protocol ("TLSv1.3"); "" without TLS.
    std::string TlsProtocol() const;

    // Waits at most timeout for bytes and reads up to size of them; returns how many, 0 when
    // the peer has closed its side. Throws TNetError "Timed out after <n> ms", "Connection
    // stopped" after Shutdown, the system's reason on a failure, "Not connected".
    std::size_t Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout);
    // Sends all of data; timeout bounds each wait for the peer to take more. Throws TNetError
    // like Receive.
    void Send(std::string_view data, std::chrono::milliseconds timeout);

    // Closes the connection (after the TLS goodbye, when it goes out at once); the object can
    // connect again (unless Shutdown was called).
    void Close() noexcept;
    // May be called from any thread at any time while the object exists: wakes a blocked
    // Connect, Receive or Send, which then throws, and makes every later call throw too.
    // The connection itself is closed by the owning thread (Close, destructor). A socket that
    // was shut down stays unusable: make a new one.
    void Shutdown() noexcept;

private:
    // Waits until the connection is ready for events (POLLIN / POLLOUT); false on time-out.
    // Throws TNetError after Shutdown.
    bool Wait(short events, std::chrono::milliseconds timeout);
    void ThrowIfStopped() const;

    int m_fd = -1;
    int m_wakeFd = -1;  // an eventfd that Shutdown makes readable
    std::atomic<bool> m_stopped{false};
    std::string m_where;                 // "<host> port <port>" of the connection, for messages
    std::unique_ptr<TTlsChannel> m_tls;  // set from StartTls to Close
};

}  // namespace vorla
