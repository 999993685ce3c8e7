#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/PythonServer.h"
#include "support/TempDir.h"

// A real SMTP server on loopback for tests: tests/support/smtp_server.py (aiosmtpd), started
// as a child process with its own configuration and spool in a temporary folder, stopped by
// PID when the object goes.
namespace vorla::test {

struct TSmtpServerSetup {
    std::map<std::string, std::string> users;  // login -> password; AUTH LOGIN and PLAIN offered when any
    bool authRequired = false;
    std::string ehloReply;                            // a refusal of EHLO ("502 ..."), forcing HELO
    std::map<std::string, std::string> mailReplies;  // sender -> refusal of its MAIL FROM
    std::map<std::string, std::string> rcptReplies;  // recipient -> refusal of its RCPT TO
    std::map<std::string, std::string> dataReplies;  // recipient -> refusal of the data
    double dataDelaySeconds = 0;                      // wait before answering the data
    bool holdData = false;                            // answer the data only after ReleaseData()
    // TLS with this certificate and key: "starttls" offers STARTTLS on the plain connection
    // (and, with authRequireTls, AUTH only after it); "implicit" speaks TLS from the first
    // byte. "" for none.
    std::string tlsMode;
    std::string tlsCert;
    std::string tlsKey;
    bool authRequireTls = false;
    std::vector<std::string> authExclude;  // mechanisms not offered ("PLAIN" leaves LOGIN)
    // login -> the access tokens it may log in with; XOAUTH2 and OAUTHBEARER offered when any.
    std::map<std::string, std::vector<std::string>> tokens;
    // The JSON object of the error challenge for a bad token; "" for {"status": "invalid_token"}.
    std::string oauthError;
};

// One accepted message.
struct TSmtpReceived {
    std::string helo;   // the EHLO / HELO argument
    std::string login;  // the AUTH login name, "" without a login
    std::string mailFrom;
    std::vector<std::string> rcptTos;
    std::string data;   // as received, un-stuffed, without the terminating line
};

class TSmtpServer {
public:
    // Starts the server on a free port and waits (at most 15 s) until it listens. Throws
    // std::runtime_error when python3-aiosmtpd is missing or the server does not come up.
    explicit TSmtpServer(const TSmtpServerSetup& setup = {});
    // SIGTERM, then SIGKILL when the process has not ended after 5 s.
    ~TSmtpServer() = default;
    TSmtpServer(const TSmtpServer&) = delete;
    TSmtpServer& operator=(const TSmtpServer&) = delete;

    std::uint16_t Port() const { return m_server.Port(); }
    // Every accepted message so far, in order of acceptance.
    std::vector<TSmtpReceived> Deliveries() const;
    // Every command as the server logged it ("EHLO x", "STARTTLS" once the handshake is done,
    // "AUTH LOGIN user pw ok", "MAIL a", "RCPT b", "DATA n", "RSET", "QUIT"), in order.
    std::vector<std::string> Events() const;
    // With holdData: answers the data held so far and all that comes later. Any thread.
    void ReleaseData() const;
    // Waits until at least count events are logged (for a QUIT that arrives after the
    // client has returned); false after timeout.
    bool WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    TTempDir m_dir;
    TPythonServer m_server;  // after m_dir: stopped before the folder goes
};

// An address on which nothing listens (a port just freed), for refused connections.
std::uint16_t UnusedLoopbackPort();

}  // namespace vorla::test
