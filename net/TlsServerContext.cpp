#include "net/TlsServerContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "net/TlsPrivate.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

// An encrypted key would make OpenSSL ask for its pass phrase on the terminal; refusing
// makes the load fail with a reason instead.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

TTlsServerContext::TTlsServerContext(const std::string& certFile, const std::string& keyFile)
    : m_context(SSL_CTX_new(TLS_server_method())) {
    ERR_clear_error();
    if (!m_context) throw TFileError("Cannot set up TLS: " + TakeTlsError());
    const auto fail = [this](const std::string& text) {
        SSL_CTX_free(m_context);
        m_context = nullptr;
        throw TFileError(text);
    };
    SSL_CTX_set_default_passwd_cb(m_context, NoPassphrase);
    SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
    SSL_CTX_set_options(m_context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(m_context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(m_context, certFile.c_str()) != 1)
        fail("Cannot load the TLS certificate " + certFile + ": " + TakeTlsError());
    const std::string mismatch = "The TLS key " + keyFile + " does not belong to the certificate " + certFile;
    if (SSL_CTX_use_PrivateKey_file(m_context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        // OpenSSL compares the key with the certificate while loading it.
        const bool otherKey = ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH;
        const std::string reason = TakeTlsError();
        fail(otherKey ? mismatch : "Cannot load the TLS key " + keyFile + ": " + reason);
    }
    if (SSL_CTX_check_private_key(m_context) != 1) {
        ERR_clear_error();
        fail(mismatch);
    }
}

TTlsServerContext::~TTlsServerContext() { SSL_CTX_free(m_context); }

}  // namespace vorla
