#include "net/TlsChannel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "net/TlsPrivate.h"
#include "net/TlsServerContext.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

using TClock = std::chrono::steady_clock;

// --- A socket BIO that never raises SIGPIPE ---
// OpenSSL's own socket BIO writes with write(), which kills the process with SIGPIPE when
// the peer has gone; the plain sockets send with MSG_NOSIGNAL, and so does this one. Every
// call is non-blocking (MSG_DONTWAIT), whatever mode the descriptor is in: waiting is done
// by the channel with its deadlines.

int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (WouldBlock(errno)) BIO_set_retry_write(bio);
        return -1;
    }
    return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (got < 0) {
        if (WouldBlock(errno)) BIO_set_retry_read(bio);
        return -1;
    }
    return static_cast<int>(got);
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    // Made once and kept for the life of the process.
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vorla socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    if (!method) throw TNetError("Cannot set up TLS: " + TakeTlsError());
    return method;
}

void AttachSocket(SSL* ssl, int fd) {
    BIO* bio = BIO_new(SocketMethod());
    if (!bio) throw TNetError("Cannot set up TLS: " + TakeTlsError());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);  // one reference, taken by the session
}

// --- Helpers ---

std::chrono::milliseconds Left(TClock::time_point deadline) {
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()),
                    std::chrono::milliseconds(0));
}

bool IsNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Adds the certificates of path (a PEM file, or every PEM file of a folder) to the trusted
// ones. In a folder, files that hold no certificate are passed over, but a folder without any
// certificate at all is an error: the user meant it to be trusted.
void LoadTrusted(SSL_CTX* context, const std::string& path) {
    namespace fs = std::filesystem;
    const std::string failed = "Cannot load the trusted certificates from " + path + ": ";
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) throw TNetError(failed + (ec ? ec.message() : "no such file or folder"));
    if (!fs::is_directory(status)) {
        if (SSL_CTX_load_verify_file(context, path.c_str()) != 1) throw TNetError(failed + TakeTlsError());
        return;
    }
    int loaded = 0;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.' || !it->is_regular_file(ec)) continue;
        if (SSL_CTX_load_verify_file(context, it->path().c_str()) == 1) ++loaded;
        ERR_clear_error();
    }
    if (ec) throw TNetError(failed + ec.message());
    if (loaded == 0) throw TNetError(failed + "the folder holds no certificate");
}

struct TContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

}  // namespace

std::string TakeTlsError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    if (const char* reason = ERR_reason_error_string(code)) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

TTlsChannel::TTlsChannel(ssl_st* ssl) : m_ssl(ssl) {}

TTlsChannel::~TTlsChannel() {
    SSL_free(m_ssl);
    if (m_ownContext) SSL_CTX_free(m_ownContext);
}

std::unique_ptr<TTlsChannel> TTlsChannel::Connect(int fd, const std::string& hostName, const TTlsOptions& options,
                                                  const TWait& wait, std::chrono::milliseconds timeout) {
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, TContextFree> context(SSL_CTX_new(TLS_client_method()));
    if (!context) throw TNetError("Cannot set up TLS: " + TakeTlsError());
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // A peer that closes without the TLS goodbye reads as closed; the protocols above have
    // their own end markers, so a cut-off reply is still noticed there.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (options.verifyPeer) {
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(context.get()) != 1) ERR_clear_error();  // an empty store is no error
        if (!options.trustedCa.empty()) LoadTrusted(context.get(), options.trustedCa);
    } else {
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    }
    SSL* ssl = SSL_new(context.get());
    if (!ssl) throw TNetError("Cannot set up TLS: " + TakeTlsError());
    std::unique_ptr<TTlsChannel> channel(new TTlsChannel(ssl));
    channel->m_ownContext = context.release();
    AttachSocket(ssl, fd);
    const bool numeric = IsNumericAddress(hostName);
    if (!numeric && !hostName.empty() && SSL_set_tlsext_host_name(ssl, hostName.c_str()) != 1)
        throw TNetError("Cannot set up TLS for " + hostName + ": " + TakeTlsError());
    if (options.verifyPeer) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        const int set = numeric ? X509_VERIFY_PARAM_set1_ip_asc(param, hostName.c_str())
                                : (X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS),
                                   X509_VERIFY_PARAM_set1_host(param, hostName.c_str(), hostName.size()));
        if (set != 1) throw TNetError("Cannot check the certificate for " + hostName + ": " + TakeTlsError());
    }
    SSL_set_connect_state(ssl);
    channel->Handshake(wait, timeout, "the server");
    return channel;
}

std::unique_ptr<TTlsChannel> TTlsChannel::Accept(int fd, const TTlsServerContext& context, const TWait& wait,
                                                 std::chrono::milliseconds timeout) {
    ERR_clear_error();
    SSL* ssl = SSL_new(context.Native());
    if (!ssl) throw TNetError("Cannot set up TLS: " + TakeTlsError());
    std::unique_ptr<TTlsChannel> channel(new TTlsChannel(ssl));
    AttachSocket(ssl, fd);
    SSL_set_accept_state(ssl);
    channel->Handshake(wait, timeout, "the client");
    return channel;
}

void TTlsChannel::Handshake(const TWait& wait, std::chrono::milliseconds timeout, const char* what) {
    const auto deadline = TClock::now() + std::max(timeout, std::chrono::milliseconds(0));
    const std::string closed = std::string(what) + " closed the connection during the TLS handshake";
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_do_handshake(m_ssl);
        if (result == 1) return;
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, Left(deadline)))
                throw TNetError("TLS handshake timed out after " + std::to_string(timeout.count()) + " ms");
            continue;
        }
        // Without the check asked for, a failed chain does not stop the handshake, so its
        // result cannot be the reason.
        const long verified = SSL_get_verify_result(m_ssl);
        if (verified != X509_V_OK && SSL_get_verify_mode(m_ssl) != SSL_VERIFY_NONE) {
            ERR_clear_error();
            throw TNetError(std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified));
        }
        if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
            const int system = errno;
            const std::string reason = TakeTlsError("");
            if (system != 0 && system != ECONNRESET && system != EPIPE)
                throw TNetError("TLS handshake failed: " + std::string(std::strerror(system)));
            if (!reason.empty() && reason.find("unexpected eof") == std::string::npos)
                throw TNetError("TLS handshake failed: " + reason);
            throw TNetError(closed);
        }
        const std::string reason = TakeTlsError();
        if (reason.find("unexpected eof") != std::string::npos) throw TNetError(closed);
        throw TNetError("TLS handshake failed: " + reason);
    }
}

std::optional<std::size_t> TTlsChannel::Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout,
                                                const TWait& wait) {
    const auto deadline = TClock::now() + std::max(timeout, std::chrono::milliseconds(0));
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int got = SSL_read(m_ssl, buffer, want);
        if (got > 0) return static_cast<std::size_t>(got);
        const int error = SSL_get_error(m_ssl, got);
        switch (error) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:  // a key update may need to send first
                if (!wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, Left(deadline))) return std::nullopt;
                continue;
            case SSL_ERROR_ZERO_RETURN:
                return 0;
            case SSL_ERROR_SYSCALL: {
                const int system = errno;
                ERR_clear_error();
                if (system == 0 || system == ECONNRESET || system == EPIPE || system == ENOTCONN) return 0;
                throw TNetError(std::string("Receiving failed: ") + std::strerror(system));
            }
            default:
                throw TNetError("TLS failure while receiving: " + TakeTlsError());
        }
    }
}

bool TTlsChannel::Send(std::string_view data, std::chrono::milliseconds timeout, const TWait& wait) {
    while (!data.empty()) {
        ERR_clear_error();
        errno = 0;
        const int size = static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX));
        const int sent = SSL_write(m_ssl, data.data(), size);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        const int error = SSL_get_error(m_ssl, sent);
        switch (error) {
            case SSL_ERROR_WANT_WRITE:
            case SSL_ERROR_WANT_READ:
                if (!wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeout)) return false;
                continue;
            case SSL_ERROR_ZERO_RETURN:
                throw TNetError("Sending failed: the peer ended the TLS session");
            case SSL_ERROR_SYSCALL: {
                const int system = errno != 0 ? errno : EPIPE;
                ERR_clear_error();
                throw TNetError(std::string("Sending failed: ") + std::strerror(system));
            }
            default:
                throw TNetError("TLS failure while sending: " + TakeTlsError());
        }
    }
    return true;
}

void TTlsChannel::Close() noexcept {
    // One attempt: the goodbye is a courtesy, and a peer that is gone must not hold us up.
    ERR_clear_error();
    if (SSL_is_init_finished(m_ssl)) SSL_shutdown(m_ssl);
    ERR_clear_error();
}

std::string TTlsChannel::Protocol() const { return SSL_get_version(m_ssl); }

}  // namespace vorla
