#pragma once
#include <string>

struct ssl_ctx_st;

// The server side's TLS set-up: the certificate (with its chain) and private key a listening
// server shows to every client. Loaded once; shared read-only by all connection threads.
namespace vorla {

class TTlsServerContext {
public:
    // certFile: PEM, the server's certificate first, then any intermediate ones; keyFile: its
    // PEM private key (unencrypted). Throws TFileError "Cannot load the TLS certificate
    // <path>: <reason>", "... key <path> ...", or "The TLS key <path> does not belong to the
    // certificate <path>".
    TTlsServerContext(const std::string& certFile, const std::string& keyFile);
    ~TTlsServerContext();
    TTlsServerContext(const TTlsServerContext&) = delete;
    TTlsServerContext& operator=(const TTlsServerContext&) = delete;

    ssl_ctx_st* Native() const { return m_context; }

private:
    ssl_ctx_st* m_context;
};

}  // namespace vorla
