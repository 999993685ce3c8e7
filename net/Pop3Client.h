#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "net/LineReader.h"
#include "net/SaslAuth.h"
#include "net/TcpSocket.h"
#include "net/TlsOptions.h"

// The client for the uplink POP3 servers: log in with USER and PASS, count, read headers and
// whole messages, ask sizes, delete, and QUIT so that the deletions take effect. The
// connection is plain text, TLS from the start, or upgraded with STLS.
namespace vorla {

class TMailMessage;

struct TPop3Limits {
    std::chrono::milliseconds ConnectTimeout{15000};
    std::chrono::milliseconds ReplyTimeout{25000};  // longest wait for more of any reply
    // Largest header block or message accepted (as it arrives, CR LF line ends, un-stuffed).
    // No real mail comes near it; a larger one fails alone and stays on the server.
    std::size_t MaxMessage = std::size_t{64} << 20;
};

// Reply rule for every exchange: a line beginning with "+OK" (any letter case) is success;
// one beginning with "-ERR" (any letter case) is thrown as TPeerRefused whose message and
// Reply() hold the server's line; anything else is a TProtocolError quoting the reply.
// Time-outs, a refused or lost connection and a stop are TNetError. After a TNetError or
// TProtocolError the connection is closed (Connected() is false; the dialogue is out of step),
// so every later command fails at once with TNetError "Not connected ..."; a TPeerRefused
// leaves it open. Closing without QUIT leaves every message on the server.
//
// Pipelining (RFC 2449): when the server lists PIPELINING, commands may be queued and sent
// together, their replies read later in the order sent (Queue..., Take). Every TOP and RETR
// goes out followed by "LIST n" for the same message, whose reply must name that message:
// a server whose replies have slipped out of step with the commands (one left out or one too
// many) is caught there, before anything is done with the text read for the message, and the
// connection is closed (TProtocolError). The caller bounds how much it queues at a time.
// A command of the exchange-at-a-time kind first reads the replies of everything queued.
// One thread uses a client; only Shutdown may be called from another.
class TPop3Client {
public:
    static constexpr std::uint16_t kDefaultPort = 110;

    explicit TPop3Client(TPop3Limits limits = {});
    ~TPop3Client();  // closes an open connection without QUIT

    TPop3Client(const TPop3Client&) = delete;
    TPop3Client& operator=(const TPop3Client&) = delete;

    void SetHost(std::string host) { m_host = std::move(host); }
    void SetPort(std::uint16_t port) { m_port = port; }
    void SetLogin(std::string login) { m_login = std::move(login); }
    // The password, or the access token with an OAuth mechanism.
    void SetPassword(std::string password) { m_password = std::move(password); }
    // How Connect logs in: USER and PASS (the default), or AUTH with PLAIN, XOAUTH2 or
    // OAUTHBEARER. A token is sent only over TLS or to a server on a loopback address: over
    // a plain connection elsewhere, Connect fails before anything of the login is sent.
    void SetAuth(TPopAuth auth) { m_auth = auth; }
    TPopAuth Auth() const { return m_auth; }
    // How the connection is secured (plain by default) and how the server's certificate is
    // checked; takes effect at the next Connect.
    void SetTls(TTlsMode mode, TTlsOptions options = {});
    TTlsMode TlsMode() const { return m_tlsMode; }
    // True while the open connection is encrypted.
    bool Encrypted() const { return m_socket.IsTls(); }
    const std::string& Host() const { return m_host; }
    std::uint16_t Port() const { return m_port; }
    const std::string& Login() const { return m_login; }

    // Receives the dialogue line by line (see TLineReader::TTranscript); empty for none.
    void SetTranscript(TLineReader::TTranscript transcript);

    // Connects (an open connection is closed first, without QUIT), reads the greeting and
    // logs in with "USER " login and "PASS " password, or with AUTH and the mechanism of
    // SetAuth (a refusal is TPeerRefused with the server's "-ERR" line and, for a token, the
    // reason of its error challenge in brackets). When the greeting, USER or PASS is
    // not "+OK", or any of them fails, QUIT is sent if the connection still stands, the
    // connection is closed and the error is thrown.
    // With TTlsMode::Implicit the TLS handshake comes first, before the greeting. With
    // TTlsMode::StartTls the greeting is followed by "CAPA", which must list "STLS", and
    // "STLS", which must get "+OK"; then the handshake. The login name and password are
    // sent only once the handshake has succeeded: a server that does not offer STLS, refuses
    // it or fails the handshake (its certificate included) ends the attempt with an error
    // ("The server does not offer STLS", "certificate verify failed: ...") and nothing of
    // the login goes over the wire.
    void Connect();
    // True while the connection is open.
    bool Connected() const { return m_socket.IsOpen(); }

    // STAT: the number before the first space of the reply text, 0 when the text is empty.
    // TProtocolError when it is not a number from 0 up.
    int MessageCount();
    // TOP n 0: the header block as it arrived, un-stuffed, every line ending CR LF (the
    // empty line after the header included when the server sends it).
    std::string RetrieveHeaderText(int n);
    // The same, loaded raw (content decoding off) into message.
    void RetrieveHeader(int n, TMailMessage& message);
    // LIST n: the text after the first space of the reply text as a size in bytes; -1 when
    // it is empty or not a number.
    std::int64_t MessageSize(int n);
    // RETR n: the message as it was before the server stuffed it, every line ending CR LF.
    // A message larger than the limit is read to its end and thrown away: TProtocolError,
    // the connection stays usable.
    std::string RetrieveText(int n);
    // The same, loaded raw into message.
    void Retrieve(int n, TMailMessage& message);
    // DELE n; the server removes the message when QUIT is accepted.
    void Delete(int n);
    // CAPA, asked once per connection after the login: whether the server lists
    // PIPELINING. A server that refuses CAPA offers nothing. Throws like any exchange.
    bool OffersPipelining();
    // LIST without argument: the size of every listed message by number (index n - 1; -1 for
    // a message not listed or a line whose size is no number); nullopt when the server
    // refuses the command (a single-message LIST then still works).
    std::optional<std::vector<std::int64_t>> ListAll();

    // QUIT when connected, then close (also when QUIT fails). Replies still owed to queued
    // commands are read first and dropped. Throws when QUIT is not accepted: the deletions
    // may not have taken effect.
    void Disconnect();

    // --- Pipelined commands. A ticket names one queued request.
    using TTicket = std::uint64_t;
    struct TPipelined {
        std::string text;              // TOP / RETR: as RetrieveHeaderText / RetrieveText give it
        std::int64_t size = -1;        // from the LIST n after it; -1 as MessageSize gives it
        std::exception_ptr sizeError;  // the LIST n was refused (TPeerRefused)
    };
    // "TOP n 0" and "LIST n".
    TTicket QueueHeader(int n);
    // "RETR n" and "LIST n".
    TTicket QueueRetrieve(int n);
    // "DELE n".
    TTicket QueueDelete(int n);
    // Writes every queued command not yet sent, in one write where the socket takes it.
    // Throws TNetError; the connection is left open for the replies sent before the failure,
    // and each request then gets what reading on gives it.
    void SendQueued();
    // The reply to the request (sending what is still queued, reading the replies before it
    // first); each ticket is taken once. Throws what the exchange-at-a-time command would:
    // TPeerRefused for a refused TOP, RETR or DELE (the session goes on), TProtocolError for
    // a message over the limit (the session goes on) or replies out of step, TNetError for a
    // lost connection (then every later request fails with "Not connected ...").
    TPipelined Take(TTicket ticket);
    // Whether the reply to the request has been read, so that Take will not wait.
    bool Ready(TTicket ticket) const;
    // Requests queued and not taken.
    std::size_t Pending() const { return m_pending.size(); }

    // Any thread: wakes a blocked call, which then throws TNetError; this client cannot be
    // used again after it.
    void Shutdown() noexcept { m_socket.Shutdown(); }

private:
    std::string Exchange(const std::string& command, const std::string& shown);
    std::string ReadLine(const std::string& shown);
    std::string ReadReply(const std::string& shown);
    std::string ReadMultiLine(const std::string& command);
    void CheckNumber(int n) const;
    // CAPA, then STLS and the handshake (see Connect).
    void UpgradeWithStls();
    void LogInWithSasl();
    std::vector<std::string> Capabilities();
    void StartTls();
    // shown stands for the command in errors; a secret command (a login's credentials) shows
    // in the transcript as shown and "****".
    void Send(const std::string& command, const std::string& shown, bool secret = false);
    std::string ReadListingOf(const std::string& command);

    enum class TRequest { Header, Retrieve, Delete };
    struct TEntry {
        TRequest kind;
        int n;
        bool read = false;   // its reply is in
        bool taken = false;  // Take returned it
        TPipelined reply;
        std::exception_ptr error;
    };
    TTicket Queue(TRequest kind, int n, std::string command);
    // Reads the reply of the oldest request not read yet.
    void ReadNextPending();
    void ReadAllPending();
    void ReadMarker(TEntry& entry);
    // The connection is gone: every request not read yet fails with error.
    void FailPending(std::exception_ptr error);
    void DropTaken();
    TPop3Limits m_limits;
    std::string m_host;
    std::uint16_t m_port = kDefaultPort;
    std::string m_login;
    std::string m_password;
    TTlsMode m_tlsMode = TTlsMode::None;
    TTlsOptions m_tlsOptions;
    TPopAuth m_auth = TPopAuth::User;
    int m_count = -1;  // the last STAT count of this connection, -1 before it
    std::optional<bool> m_pipelining;  // CAPA's answer on this connection
    std::deque<TEntry> m_pending;  // from the oldest request not taken on
    TTicket m_firstTicket = 0;     // the ticket of m_pending.front()
    std::size_t m_readCount = 0;   // m_pending's entries whose replies are in
    std::vector<std::string> m_unsent;  // queued commands not written yet
    TTcpSocket m_socket;
    TLineReader m_reader{m_socket};
};

}  // namespace vorla
