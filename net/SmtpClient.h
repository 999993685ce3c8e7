#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/LineReader.h"
#include "net/SaslAuth.h"
#include "net/TcpSocket.h"
#include "net/TlsOptions.h"

// The client side of an SMTP dialogue: commands, the reply codes each one needs, and the
// delivery of one message from greeting to QUIT, in plain text, over TLS from the first byte
// or upgraded with STARTTLS.
namespace vorla {

// One reply of the server: its three-digit code and the text of every line.
struct TSmtpReply {
    int code = 0;
    std::vector<std::string> lines;  // each line's text after the code and its separator
    // The reply as the server wrote it, one line: "550 5.1.1 No such user"; the lines of a
    // multi-line reply joined by one space, each with its code.
    std::string Text() const;
};

// What one delivery needs. data is the message in message file form: CR LF line ends,
// dot-stuffed, ending in the line "." - exactly what goes over the wire after DATA.
struct TSmtpDelivery {
    std::string host;
    std::uint16_t port = 25;
    std::string heloName;
    std::string loginName;  // empty: no authentication
    std::string password;   // or, with an OAuth mechanism, the access token
    TSmtpAuth auth = TSmtpAuth::Auto;
    TTlsMode security = TTlsMode::None;
    TTlsOptions tls;        // how the server's certificate is checked, with TLS
    std::string mailFrom;  // the reverse path, without angle brackets
    std::vector<std::string> recipients;
    std::string data;
};

class TSmtpClient {
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{10000};
    // The longest wait for one reply (the one after the message data included). A server that
    // stays silent longer is taken as gone.
    static constexpr std::chrono::milliseconds kReplyTimeout{60000};
    // Bounds what a server that never ends a reply can make us read.
    static constexpr std::size_t kMaxReplyLine = 4096;
    static constexpr std::size_t kMaxReplyLines = 256;

    TSmtpClient();
    ~TSmtpClient();
    TSmtpClient(const TSmtpClient&) = delete;
    TSmtpClient& operator=(const TSmtpClient&) = delete;

    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    void SetReplyTimeout(std::chrono::milliseconds timeout) { m_replyTimeout = timeout; }

    // The whole dialogue: greeting 220; "EHLO" 250, else "HELO" 250; "RSET" (any reply);
    // when a login name is given: with TSmtpAuth::Auto "AUTH PLAIN" with the credentials,
    // 235, when the EHLO reply offers PLAIN, else "AUTH LOGIN" 334, user 334, password 235
    // when it offers LOGIN; with an OAuth mechanism AuthOAuth (see there);
    // "MAIL FROM:<...>" 250; "RCPT TO:<...>" 250 or 251 for each recipient in
    // order; "DATA" 354, the data, 250; then "QUIT" and close.
    // With TTlsMode::Implicit the TLS handshake comes before the greeting. With
    // TTlsMode::StartTls the EHLO reply must offer STARTTLS ("The SMTP server does not offer
    // STARTTLS" otherwise, also after HELO), "STARTTLS" must get 220, and after the handshake
    // EHLO is sent again (its reply, not the first one, says which AUTH mechanisms there
    // are). With either, the password is sent only over the encrypted connection. Once the server has taken the
    // data, nothing after it (QUIT, the close) can fail the delivery; accepted (when given)
    // runs at that moment, before QUIT, so that the caller can forget the message as early as
    // possible. An exception from accepted passes on after the QUIT.
    // Throws TPeerRefused (what() and Reply() = the server's reply text) for a reply with
    // another code, TNetError for connection failures, time-outs and a stop, TProtocolError
    // for a reply that is not SMTP. On a failure before the data was taken the dialogue is
    // ended with a best-effort QUIT.
    void Deliver(const TSmtpDelivery& delivery, const std::function<void()>& accepted = {});

    // --- The steps Deliver is made of, for callers that need them one by one ---
    // Connects and reads the greeting (220); with TTlsMode::Implicit the TLS handshake (with
    // tls) comes first. A connection left open is closed first.
    void Connect(const std::string& host, std::uint16_t port, TTlsMode security = TTlsMode::None,
                 const TTlsOptions& tls = {});
    // "EHLO name"; on 250 notes the mechanisms of the reply's AUTH line. Any other reply:
    // "HELO name", which must get 250.
    void Hello(const std::string& name);
    // True when the last EHLO reply listed mechanism on an AUTH line (letter case ignored).
    bool OffersAuth(const std::string& mechanism) const;
    // True when the last EHLO reply listed STARTTLS.
    bool OffersStartTls() const { return m_startTls; }
    // "STARTTLS" 220, then the TLS handshake for hostName; throws when the server sent more
    // than its reply before the handshake. The caller sends EHLO again.
    void StartTls(const std::string& hostName, const TTlsOptions& tls);
    bool Encrypted() const { return m_socket.IsTls(); }
    void AuthLogin(const std::string& loginName, const std::string& password);
    // "AUTH PLAIN" with the initial response (NUL, login, NUL, password in Base64), 235; a
    // server that asks for it separately with 334 gets it then.
    void AuthPlain(const std::string& loginName, const std::string& password);
    // Presents the access token with auth (XOAUTH2 or OAUTHBEARER; host and port go into the
    // OAUTHBEARER message). Nothing is sent, and TVorlaError thrown, when the connection is
    // not encrypted and the server is not on a loopback address; TProtocolError "The SMTP
    // server does not offer XOAUTH2" when the last EHLO reply did not list the mechanism.
    // Then "AUTH <mechanism> <initial response>" (RFC 4954; the response follows the
    // server's empty 334 when the line would be too long), 235. A 334 error challenge is
    // answered once as the mechanism requires (an empty line for XOAUTH2, ^A for
    // OAUTHBEARER); the server's final reply then gives TPeerRefused with what() =
    // "AUTH <mechanism> refused: " + the reply's text + " (" + the challenge's decoded
    // reason + ")", and Reply() = the reply's text.
    void AuthOAuth(TSmtpAuth auth, const std::string& host, std::uint16_t port, const std::string& loginName,
                   const std::string& token);
    // Sends command and returns the reply, whatever its code.
    TSmtpReply Command(const std::string& command);
    // Sends command; throws TPeerRefused unless the reply's code is one of codes.
    TSmtpReply Expect(const std::string& command, std::initializer_list<int> codes);
    // "DATA" 354, then data (which must end in CR LF "." CR LF: TVorlaError otherwise), 250.
    void SendData(const std::string& data);
    // "QUIT", waits briefly for the reply, closes. Never throws.
    void Quit() noexcept;
    void Close() noexcept;

    // Any thread, any time while the object exists: wakes a blocked call, which then throws
    // TNetError; every later call throws too.
    void Shutdown() noexcept;

private:
    TSmtpReply ReadReply();
    // Sends a line carrying credentials; the transcript shows shown instead.
    void SendSecret(const std::string& line, const std::string& shown);
    static void Require(const TSmtpReply& reply, std::initializer_list<int> codes);

    TTcpSocket m_socket;
    TLineReader m_reader{m_socket};
    std::vector<std::string> m_authMechanisms;  // upper case, from the last EHLO reply
    bool m_startTls = false;                    // the last EHLO reply listed STARTTLS
    std::chrono::milliseconds m_connectTimeout = kConnectTimeout;
    std::chrono::milliseconds m_replyTimeout = kReplyTimeout;
};

}  // namespace vorla
