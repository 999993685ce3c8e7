#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The server side of TCP: a listening socket that hands out accepted connections, and the
// accepted connection itself (bytes with deadlines; no lines, no protocol).
namespace vorla {

class TTlsChannel;
class TTlsServerContext;

// One accepted connection. Owns its descriptor; movable, not copyable. Once StartTls has
// run, Receive and Send carry encrypted bytes.
class TServerSocket {
public:
    TServerSocket() = default;
    TServerSocket(int fd, std::string peerAddress);
    ~TServerSocket();
    TServerSocket(TServerSocket&& other) noexcept;
    TServerSocket& operator=(TServerSocket&& other) noexcept;
    TServerSocket(const TServerSocket&) = delete;
    TServerSocket& operator=(const TServerSocket&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    // The peer's numeric IP address ("127.0.0.1", "::1").
    const std::string& PeerAddress() const { return m_peerAddress; }

    // The server side of the TLS handshake with context's certificate, within timeout. The
    // caller drops whatever it had received before (it came in clear). Throws TNetError (the
    // client went, sent no TLS, timed out); the connection is of no use then.
    void StartTls(const TTlsServerContext& context, std::chrono::milliseconds timeout);
    bool IsTls() const { return m_tls != nullptr; }

    // Up to size bytes into buffer. Returns the count, 0 when the peer has closed (or reset)
    // the connection or Shutdown was called, nullopt when nothing arrived within timeout.
    // Throws TNetError on other failures.
    std::optional<std::size_t> Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout);
    // Sends all of first and then second, in as few system calls as the kernel allows. A peer
    // that takes nothing for timeout, a closed connection or another failure throws TNetError.
    void Send(std::string_view first, std::string_view second, std::chrono::milliseconds timeout);
    void Send(std::string_view data, std::chrono::milliseconds timeout) { Send(data, {}, timeout); }
    // Ends both directions at once; a Receive or Send blocked in another thread returns. Any
    // thread; the descriptor stays owned until destruction.
    void Shutdown() noexcept;
    // Ends the sending direction only: the peer reads the end of the data, and we can still
    // read what it sent meanwhile.
    void ShutdownSend() noexcept;

private:
    void Close() noexcept;

    int m_fd = -1;
    std::string m_peerAddress;
    std::unique_ptr<TTlsChannel> m_tls;  // from StartTls on
};

// A listening TCP socket on one numeric address (IPv4 or IPv6) and port.
class TTcpListener {
public:
    static constexpr int kBacklog = 128;

    // Binds and listens. address must be a numeric IP address (names are not looked up);
    // port 0 takes any free port. Throws TNetError whose message is the system's reason
    // ("Permission denied", "Address already in use") or says the address is not numeric.
    TTcpListener(const std::string& address, std::uint16_t port);
    ~TTcpListener();
    TTcpListener(const TTcpListener&) = delete;
    TTcpListener& operator=(const TTcpListener&) = delete;

    std::uint16_t Port() const { return m_port; }  // the bound port (also when 0 was asked)

    // Waits at most timeout for a connection. nullopt on time-out, after Wake, or when the
    // connection was gone before it could be taken. Accepted sockets are blocking, close on
    // exec and send without delay. Throws TNetError on a failure of the listening socket.
    std::optional<TServerSocket> Accept(std::chrono::milliseconds timeout);
    // Makes a running or the next Accept return at once. Any thread.
    void Wake() noexcept;

private:
    int m_fd = -1;
    int m_wakeFd = -1;  // eventfd that Wake signals
    std::uint16_t m_port = 0;
};

}  // namespace vorla
