#pragma once
#include <string>
#include <vector>

#include "support/TempDir.h"

// Certificates for TLS tests, made with the openssl command in a temporary folder: a test
// authority, server certificates it signs (also expired ones), and self-signed ones nobody
// trusts. Keys are P-256, so making them takes milliseconds.
namespace vorla::test {

struct TTestCertificate {
    std::string certFile;  // PEM certificate
    std::string keyFile;   // PEM private key, unencrypted
};

class TTestCertificates {
public:
    // Makes the authority. Throws std::runtime_error, with openssl's output, when the openssl
    // command is missing or fails.
    TTestCertificates();

    // The authority's certificate: what a client is told to trust.
    const std::string& CaFile() const { return m_ca.certFile; }
    const std::string& Folder() const { return m_dir.Path(); }

    // A server certificate signed by the authority, with common name commonName and the
    // subject alternative names (numeric ones become IP entries, others DNS entries). expired:
    // its validity ended a day before it began, so every check finds it expired.
    TTestCertificate Issue(const std::string& commonName, const std::vector<std::string>& altNames,
                           bool expired = false);
    // A self-signed server certificate: valid in every other way, trusted by nobody.
    TTestCertificate SelfSigned(const std::string& commonName, const std::vector<std::string>& altNames);

    // Whether the openssl command can be run here ("" when it can); tests skip otherwise.
    static std::string Unavailable();

private:
    std::string NewName(const std::string& stem);

    TTempDir m_dir;
    TTestCertificate m_ca;
    int m_serial = 1;
};

}  // namespace vorla::test
