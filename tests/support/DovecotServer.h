#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// A real Dovecot POP3 server on loopback for tests: its own configuration, users and Maildirs
// in a fresh folder under /tmp, started as a child process and stopped by PID when the object
// goes. The system's Dovecot is never used or touched.
namespace vorla::test {

struct TPopUser {
    std::string Name;
    std::string Password;  // stored in plain text; no ":" or line breaks
};

// A TLS set-up for the server: "ssl = yes" with this certificate and key, STLS on the plain
// port and a second listener that speaks TLS from the first byte.
struct TDovecotTls {
    std::string certFile;
    std::string keyFile;
};

class TDovecotServer {
public:
    static constexpr const char* kHost = "127.0.0.1";

    // Writes the configuration, starts "dovecot -F -c <folder>/dovecot.conf" on a free
    // loopback port and waits (at most 10 s) until the port accepts connections. Throws
    // std::runtime_error, with Dovecot's own output, when it is not installed or does not
    // come up. Dovecot delays every failed login of one server more than the one before
    // (about 0.5 s, then 4.5 s, 8.5 s ...): a test should fail at most one login per server.
    // With tls, the plain port offers STLS and TlsPort() listens for TLS connections too.
    // With introspectionUrl, the server also takes OAuth 2.0 access tokens (AUTH XOAUTH2 and
    // OAUTHBEARER) and asks that endpoint (RFC 7662, POST) whether a token is active and for
    // which user; AUTH PLAIN, USER and PASS still check the users' passwords.
    explicit TDovecotServer(std::vector<TPopUser> users, std::optional<TDovecotTls> tls = std::nullopt,
                            std::string introspectionUrl = {});
    // SIGTERM, then SIGKILL when it has not ended after 5 s; then removes the folder. Dovecot
    // takes about 1.1 s to stop.
    ~TDovecotServer();
    TDovecotServer(const TDovecotServer&) = delete;
    TDovecotServer& operator=(const TDovecotServer&) = delete;

    // Why no server can be started here ("" when one can): Dovecot is not installed, or
    // this process is not root (mail files must be given to nobody). Tests skip then.
    static std::string Unavailable();

    std::uint16_t Port() const { return m_port; }
    // The port of the TLS listener (pop3s); 0 without a TLS set-up.
    std::uint16_t TlsPort() const { return m_tlsPort; }

    // Delivers text into user's Maildir/new/ as a mail server would: every CR LF written as
    // LF, a line end added when the text has none, owned by nobody. The server numbers the
    // messages in the order they were added. Returns the file's path.
    std::string AddMessage(const std::string& user, const std::string& text);
    // Paths of user's message files in new/ and cur/, sorted by name (Dovecot moves a file
    // from new/ to cur/ and adds flags to its name when a session sees it).
    std::vector<std::string> MessageFiles(const std::string& user) const;
    // Dovecot's log so far.
    std::string LogText() const;
    // Waits (at most timeoutMs) until text occurs at least count times in the log.
    bool WaitForLog(const std::string& text, int count, int timeoutMs) const;

private:
    void WriteConfig() const;
    bool Start();  // false when Dovecot ended before the port accepted (a port clash)
    void Stop();
    std::string MaildirOf(const std::string& user) const;

    std::vector<TPopUser> m_users;
    std::optional<TDovecotTls> m_tls;
    std::string m_introspectionUrl;
    std::string m_dir;  // ends in "/"
    std::uint16_t m_port = 0;
    std::uint16_t m_tlsPort = 0;
    pid_t m_pid = -1;
    unsigned m_delivered = 0;
};

// A loopback port on which nothing listens at the moment of the call.
std::uint16_t FreeLoopbackPort();

}  // namespace vorla::test
