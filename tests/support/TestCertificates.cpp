#include "support/TestCertificates.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace vorla::test {
namespace {

const char* const kOpensslPaths[] = {"/usr/bin/openssl", "/usr/local/bin/openssl"};
constexpr const char* kKeyOptions = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

std::string Openssl() {
    for (const char* path : kOpensslPaths)
        if (access(path, X_OK) == 0) return path;
    return "";
}

bool IsNumeric(const std::string& name) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 || inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

std::string AltNames(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + std::string(IsNumeric(name) ? "IP:" : "DNS:") + name;
    return list;
}

// Runs openssl with arguments (paths in the test folder hold no blanks or quotes).
void Run(const std::string& folder, const std::string& arguments) {
    const std::string log = folder + "openssl.log";
    const std::string command = Openssl() + " " + arguments + " >" + log + " 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl failed: " + command + "\n" + ReadFile(log));
}

}  // namespace

std::string TTestCertificates::Unavailable() {
    return Openssl().empty() ? "the openssl command is not installed" : "";
}

TTestCertificates::TTestCertificates() {
    if (!Unavailable().empty()) throw std::runtime_error(Unavailable());
    m_ca = {m_dir / "ca.pem", m_dir / "ca.key"};
    Run(m_dir.Path(), std::string("req -x509 ") + kKeyOptions + " -keyout " + m_ca.keyFile + " -out " + m_ca.certFile +
                          " -subj /CN=Vorla-Test-CA -days 30" +
                          " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
}

std::string TTestCertificates::NewName(const std::string& stem) {
    return m_dir / (stem + "-" + std::to_string(m_serial++));
}

TTestCertificate TTestCertificates::Issue(const std::string& commonName, const std::vector<std::string>& altNames,
                                          bool expired) {
    const std::string base = NewName(expired ? "expired" : "server");
    TTestCertificate result{base + ".pem", base + ".key"};
    const std::string extensions = base + ".ext";
    WriteFile(extensions, "subjectAltName=" + AltNames(altNames) +
                              "\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n");
    Run(m_dir.Path(), std::string("req -new ") + kKeyOptions + " -keyout " + result.keyFile + " -out " + base +
                          ".csr -subj /CN=" + commonName);
    // openssl 3.0 cannot start a validity in the past, but takes -1 days: the end then lies
    // before the start, and the certificate is expired from its first second.
    Run(m_dir.Path(), "x509 -req -in " + base + ".csr -CA " + m_ca.certFile + " -CAkey " + m_ca.keyFile +
                          " -set_serial " + std::to_string(m_serial) + " -days " + (expired ? "-1" : "30") +
                          " -extfile " + extensions + " -out " + result.certFile);
    return result;
}

TTestCertificate TTestCertificates::SelfSigned(const std::string& commonName, const std::vector<std::string>& altNames) {
    const std::string base = NewName("selfsigned");
    TTestCertificate result{base + ".pem", base + ".key"};
    Run(m_dir.Path(), std::string("req -x509 ") + kKeyOptions + " -keyout " + result.keyFile + " -out " +
                          result.certFile + " -subj /CN=" + commonName + " -days 30 -addext subjectAltName=" +
                          AltNames(altNames) + " -addext basicConstraints=CA:FALSE");
    return result;
}

}  // namespace vorla::test
