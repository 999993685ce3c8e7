#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/TlsOptions.h"

struct ssl_st;
struct ssl_ctx_st;

// TLS (OpenSSL) over a connected, non-blocking socket owned by someone else: the handshake
// for either side, then encrypted bytes in and out with the same deadlines as the plain
// socket. The sockets (TTcpSocket, TServerSocket) hold one once TLS has started, so the line
// layers above them see no difference.
namespace vorla {

class TTlsServerContext;

class TTlsChannel {
public:
    // Waits until the socket is ready for events (POLLIN or POLLOUT) or left has passed;
    // returns false on time-out. May throw (a stop request): the error passes through.
    using TWait = std::function<bool(short events, std::chrono::milliseconds left)>;

    // The client handshake on fd. hostName is sent for SNI (when it is a name, not an
    // address) and, with options.verifyPeer, must match the certificate (a DNS name, or an IP
    // address for a numeric host), whose chain must lead to the system's store or
    // options.trustedCa. Throws TNetError: "certificate verify failed: <reason>" (for
    // instance "certificate has expired", "hostname mismatch", "self-signed certificate"),
    // "Cannot load the trusted certificates from <path>: <reason>", "the server closed the
    // connection during the TLS handshake", a time-out, or OpenSSL's reason.
    static std::unique_ptr<TTlsChannel> Connect(int fd, const std::string& hostName, const TTlsOptions& options,
                                                const TWait& wait, std::chrono::milliseconds timeout);
    // The server handshake on fd with the context's certificate. Throws TNetError.
    static std::unique_ptr<TTlsChannel> Accept(int fd, const TTlsServerContext& context, const TWait& wait,
                                               std::chrono::milliseconds timeout);

    ~TTlsChannel();  // frees the session; the socket stays open (its owner closes it)
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    // Up to size decrypted bytes; 0 when the peer has closed (with or without its TLS
    // goodbye); nullopt when nothing came within timeout. Throws TNetError on a broken
    // connection or a TLS failure.
    std::optional<std::size_t> Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout,
                                       const TWait& wait);
    // Sends all of data; false when the peer took nothing for timeout. Throws TNetError.
    bool Send(std::string_view data, std::chrono::milliseconds timeout, const TWait& wait);
    // Sends the TLS goodbye if the socket takes it at once; never waits, never throws.
    void Close() noexcept;

    // The negotiated protocol ("TLSv1.3"), for messages and tests.
    std::string Protocol() const;

private:
    explicit TTlsChannel(ssl_st* ssl);
    // Runs the handshake; what names the peer in messages ("the server", "the client").
    void Handshake(const TWait& wait, std::chrono::milliseconds timeout, const char* what);

    ssl_st* m_ssl;
    ssl_ctx_st* m_ownContext = nullptr;  // the client's own context; a server's is shared
};

}  // namespace vorla
