#include "net/Pop3Client.h"

#include <charconv>
#include <limits>
#include <optional>

#include "mail/MailMessage.h"
#include "net/SaslAuth.h"
#include "platform/Errors.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

// Past the message limit a reply is still read and thrown away, so that the next command
// finds the dialogue in step; this much more without its end and the connection is dropped.
constexpr std::size_t kSkipFactor = 4;
// Server text quoted in an error message is cut here: it ends up in a one-line log entry.
constexpr std::size_t kMaxQuoted = 200;

// The server's words made safe for a log line: control bytes become "?", long text is cut.
std::string Printable(std::string_view text) {
    std::string out = ControlsReplaced(text.substr(0, kMaxQuoted));
    if (text.size() > kMaxQuoted) out += "...";
    return out;
}

std::string Quoted(std::string_view text) { return "\"" + Printable(text) + "\""; }

// What follows "+OK" and the blanks after it.
std::string_view ReplyText(std::string_view line) {
    std::string_view text = line.substr(3);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

template <class TNumber>
bool ParseWhole(std::string_view text, TNumber& value) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

void CheckArgument(const std::string& value, const char* what) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw TVorlaError(std::string("The ") + what + " contains a line break or a NUL byte");
}

}  // namespace

TPop3Client::TPop3Client(TPop3Limits limits) : m_limits(limits) {}

TPop3Client::~TPop3Client() = default;

void TPop3Client::SetTls(TTlsMode mode, TTlsOptions options) {
    m_tlsMode = mode;
    m_tlsOptions = std::move(options);
}

void TPop3Client::SetTranscript(TLineReader::TTranscript transcript) {
    m_reader.SetTranscript(std::move(transcript));
}

void TPop3Client::Send(const std::string& command, const std::string& shown, bool secret) {
    // The replies still owed to queued commands come first on the wire.
    if (!m_pending.empty() || !m_unsent.empty()) ReadAllPending();
    if (!Connected()) throw TNetError("Not connected to the server (" + shown + ")");
    try {
        if (secret)
            m_reader.WriteSecretLine(command, shown + " ****", m_limits.ReplyTimeout);
        else
            m_reader.WriteLine(command, m_limits.ReplyTimeout);
    } catch (const TNetError& e) {
        m_socket.Close();
        throw TNetError(std::string(e.what()) + " sending " + shown);
    }
}

// One line of the server, whatever it says; the connection is closed when none comes.
std::string TPop3Client::ReadLine(const std::string& shown) {
    const std::string waiting = shown.empty() ? "waiting for the greeting" : "waiting for the reply to " + shown;
    try {
        return m_reader.ReadLine(m_limits.ReplyTimeout);
    } catch (const TNetError& e) {
        m_socket.Close();
        throw TNetError(std::string(e.what()) + " " + waiting);
    } catch (const TProtocolError& e) {
        m_socket.Close();
        throw TProtocolError(std::string(e.what()) + " " + waiting);
    }
}

// shown is the command as it may appear in a message, empty for the greeting.
std::string TPop3Client::ReadReply(const std::string& shown) {
    const std::string line = ReadLine(shown);
    if (StartsWithAscii(line, "+OK")) return line;
    if (StartsWithAscii(line, "-ERR")) {
        throw TPeerRefused(shown.empty() ? "The server refused the session: " + Printable(line)
                                         : shown + " refused: " + Printable(line),
                           line);
    }
    m_socket.Close();
    throw TProtocolError((shown.empty() ? "Unexpected greeting: " : "Unexpected reply to " + shown + ": ") +
                         Quoted(line));
}

std::string TPop3Client::Exchange(const std::string& command, const std::string& shown) {
    Send(command, shown);
    return ReadReply(shown);
}

std::string TPop3Client::ReadMultiLine(const std::string& command) {
    Exchange(command, command);
    return ReadListingOf(command);
}

// The lines of the multi-line reply to command, after its "+OK".
std::string TPop3Client::ReadListingOf(const std::string& command) {
    std::optional<std::string> listing;
    try {
        listing = m_reader.ReadListing(m_limits.ReplyTimeout, m_limits.MaxMessage,
                                       m_limits.MaxMessage * kSkipFactor);
    } catch (const TNetError& e) {
        m_socket.Close();
        throw TNetError(std::string(e.what()) + " during the reply to " + command);
    } catch (const TProtocolError& e) {
        m_socket.Close();
        throw TProtocolError(std::string(e.what()) + " in the reply to " + command);
    }
    if (!listing)
        throw TProtocolError(command + ": the message is larger than the limit of " +
                             std::to_string(m_limits.MaxMessage) + " bytes");
    return std::move(*listing);
}

void TPop3Client::CheckNumber(int n) const {
    if (n < 1 || (m_count >= 0 && n > m_count))
        throw TVorlaError("There is no message " + std::to_string(n) + " on the server");
}

void TPop3Client::Connect() {
    CheckArgument(m_login, "login name");
    CheckArgument(m_password, "password");
    m_socket.Close();
    m_reader.Reset();
    m_count = -1;
    m_pipelining.reset();
    m_firstTicket += m_pending.size();
    m_pending.clear();
    m_readCount = 0;
    m_unsent.clear();
    m_socket.Connect(m_host, m_port, m_limits.ConnectTimeout);
    try {
        if (m_tlsMode == TTlsMode::Implicit) StartTls();
        ReadReply("");
        if (m_tlsMode == TTlsMode::StartTls) UpgradeWithStls();
        if (m_auth == TPopAuth::User) {
            Exchange("USER " + m_login, "USER " + m_login);
            Exchange("PASS " + m_password, "PASS");
        } else {
            LogInWithSasl();
        }
    } catch (...) {
        if (Connected()) {
            try {
                Exchange("QUIT", "QUIT");
            } catch (const TVorlaError&) {
                // The login error is the one worth reporting.
            }
        }
        m_socket.Close();
        throw;
    }
}

// AUTH with the account's mechanism (RFC 5034): the initial response goes with the command
// when the line stays within the 255 octets a POP3 command may have, else it follows the
// server's empty challenge. An error challenge of a token mechanism is answered as the
// mechanism requires; the server then sends its "-ERR", which is thrown with the reason the
// challenge gave.
void TPop3Client::LogInWithSasl() {
    constexpr std::size_t kMaxCommandLine = 255;
    // A server that keeps challenging is not logging us in; three rounds are more than any
    // of these mechanisms uses.
    constexpr int kMaxRounds = 3;
    const std::string mechanism = SaslMechanism(m_auth);
    const std::string shown = "AUTH " + mechanism;
    if (IsOAuth(m_auth) && !Encrypted() && !m_socket.PeerIsLoopback())
        throw TVorlaError(mechanism + " login refused: the connection to " + m_host +
                          " is not encrypted, and an access token is sent only over TLS (choose STLS or TLS)");
    std::string response;
    if (m_auth == TPopAuth::Plain) response = PlainResponse(m_login, m_password);
    else if (m_auth == TPopAuth::XOAuth2) response = XOAuth2Response(m_login, m_password);
    else response = OAuthBearerResponse(m_login, m_host, m_port, m_password);
    std::string encoded = EncodeBase64Line(response);
    std::fill(response.begin(), response.end(), '\0');
    bool responseSent = false;
    if (shown.size() + 1 + encoded.size() + 2 <= kMaxCommandLine) {
        Send(shown + " " + encoded, shown, true);
        responseSent = true;
    } else {
        Send(shown, shown);
    }
    std::string reason;  // from the error challenge
    for (int round = 0; round < kMaxRounds; ++round) {
        const std::string line = ReadLine(shown);
        if (StartsWithAscii(line, "+OK")) return;
        if (StartsWithAscii(line, "-ERR"))
            throw TPeerRefused(shown + " refused: " + Printable(line) +
                                   (reason.empty() ? std::string() : " (" + Printable(reason) + ")"),
                               line);
        if (line.empty() || line[0] != '+') break;
        // A challenge: "+" and an optional Base64 text.
        const std::string_view challenge = TrimmedView(std::string_view(line).substr(1), TTrimSet::Blanks);
        if (!responseSent && challenge.empty()) {
            Send(encoded, shown, true);
            responseSent = true;
        } else if (m_auth == TPopAuth::Plain) {
            Send("*", shown + " (cancel)");  // PLAIN has no second step: give up
        } else {
            reason = ChallengeText(challenge);
            Send(EncodeBase64Line(ErrorChallengeAnswer(mechanism.c_str())), shown + " (error challenge)");
        }
    }
    m_socket.Close();
    throw TProtocolError("Unexpected reply to " + shown + " (the login did not end)");
}

void TPop3Client::StartTls() {
    // The handshake is one more exchange: the reply time-out bounds it.
    m_socket.StartTls(m_host, m_tlsOptions, m_limits.ReplyTimeout);
    m_reader.Reset();
}

// CAPA: the capability lines without their line ends; none when the server refuses it.
std::vector<std::string> TPop3Client::Capabilities() {
    // The capability list is a handful of short lines; a server that sends more is not one we
    // want to talk to.
    constexpr std::size_t kMaxCapabilities = 64u << 10;
    std::vector<std::string> capabilities;
    try {
        Exchange("CAPA", "CAPA");
    } catch (const TPeerRefused&) {
        return capabilities;
    }
    std::optional<std::string> listing;
    try {
        listing = m_reader.ReadListing(m_limits.ReplyTimeout, kMaxCapabilities, kMaxCapabilities);
    } catch (const TNetError& e) {
        m_socket.Close();
        throw TNetError(std::string(e.what()) + " during the reply to CAPA");
    } catch (const TProtocolError& e) {
        m_socket.Close();
        throw TProtocolError(std::string(e.what()) + " in the reply to CAPA");
    }
    for (std::size_t at = 0; listing && at < listing->size();) {
        const std::size_t end = std::min(listing->find("\r\n", at), listing->size());
        capabilities.emplace_back(*listing, at, end - at);
        at = end + 2;
    }
    return capabilities;
}

void TPop3Client::UpgradeWithStls() {
    bool offered = false;
    // A server without CAPA cannot say that it has STLS either.
    for (const std::string& capability : Capabilities())
        if (StartsWithAscii(capability, "STLS") &&
            (capability.size() == 4 || capability[4] == ' ' || capability[4] == '\t'))
            offered = true;
    if (!offered) throw TProtocolError("The server does not offer STLS (the account asks for it; the login was not sent)");
    Exchange("STLS", "STLS");
    // Anything after the go-ahead came in plain text: taking it as the server's words after
    // the handshake would let whoever sits on the line put replies into the dialogue.
    if (m_reader.Buffered() > 0) {
        m_socket.Close();
        throw TProtocolError("The server sent more than its reply to STLS before the TLS handshake");
    }
    StartTls();
}

int TPop3Client::MessageCount() {
    const std::string line = Exchange("STAT", "STAT");
    const std::string_view text = ReplyText(line);
    if (text.empty()) return m_count = 0;
    int count = 0;
    if (!ParseWhole(text.substr(0, text.find(' ')), count)) {
        m_socket.Close();
        throw TProtocolError("Unexpected reply to STAT: " + Quoted(line));
    }
    return m_count = count;
}

std::string TPop3Client::RetrieveHeaderText(int n) {
    CheckNumber(n);
    return ReadMultiLine("TOP " + std::to_string(n) + " 0");
}

void TPop3Client::RetrieveHeader(int n, TMailMessage& message) {
    const std::string text = RetrieveHeaderText(n);
    message.LoadMode = TLoadMode::Raw;
    message.LoadFromMailText(text);
}

std::int64_t TPop3Client::MessageSize(int n) {
    CheckNumber(n);
    const std::string command = "LIST " + std::to_string(n);
    const std::string line = Exchange(command, command);
    const std::string_view text = ReplyText(line);
    const std::size_t space = text.find(' ');
    std::int64_t size = 0;
    if (space == std::string_view::npos || !ParseWhole(text.substr(space + 1), size)) return -1;
    return size;
}

std::string TPop3Client::RetrieveText(int n) {
    CheckNumber(n);
    return ReadMultiLine("RETR " + std::to_string(n));
}

void TPop3Client::Retrieve(int n, TMailMessage& message) {
    const std::string text = RetrieveText(n);
    message.LoadMode = TLoadMode::Raw;
    message.LoadFromMailText(text);
}

void TPop3Client::Delete(int n) {
    CheckNumber(n);
    const std::string command = "DELE " + std::to_string(n);
    Exchange(command, command);
}

void TPop3Client::Disconnect() {
    if (!Connected()) return;
    ReadAllPending();
    m_firstTicket += m_pending.size();
    m_pending.clear();
    m_readCount = 0;
    if (!Connected()) return;
    m_count = -1;
    try {
        Exchange("QUIT", "QUIT");
    } catch (...) {
        m_socket.Close();
        throw;
    }
    m_socket.Close();
}

bool TPop3Client::OffersPipelining() {
    if (m_pipelining) return *m_pipelining;
    bool offered = false;
    for (const std::string& capability : Capabilities())
        if (SameTextAscii(TrimmedView(capability, TTrimSet::ControlsAndSpace), "PIPELINING")) offered = true;
    m_pipelining = offered;
    return offered;
}

std::optional<std::vector<std::int64_t>> TPop3Client::ListAll() {
    std::string listing;
    try {
        listing = ReadMultiLine("LIST");
    } catch (const TPeerRefused&) {
        return std::nullopt;
    }
    std::vector<std::int64_t> sizes(m_count > 0 ? static_cast<std::size_t>(m_count) : 0, -1);
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t end = std::min(listing.find("\r\n", at), listing.size());
        const std::string_view line(listing.data() + at, end - at);
        at = end + 2;
        const std::size_t space = line.find(' ');
        int n = 0;
        std::int64_t size = 0;
        if (space == std::string_view::npos || !ParseWhole(line.substr(0, space), n) || n < 1 ||
            (m_count >= 0 && n > m_count))
            continue;
        if (static_cast<std::size_t>(n) > sizes.size()) sizes.resize(static_cast<std::size_t>(n), -1);
        sizes[static_cast<std::size_t>(n - 1)] = ParseWhole(line.substr(space + 1), size) ? size : -1;
    }
    return sizes;
}

// --- Pipelined commands

TPop3Client::TTicket TPop3Client::Queue(TRequest kind, int n, std::string command) {
    CheckNumber(n);
    if (!Connected()) throw TNetError("Not connected to the server (" + command + ")");
    m_unsent.push_back(std::move(command));
    if (kind != TRequest::Delete) m_unsent.push_back("LIST " + std::to_string(n));
    m_pending.push_back(TEntry{kind, n, false, false, {}, nullptr});
    return m_firstTicket + m_pending.size() - 1;
}

TPop3Client::TTicket TPop3Client::QueueHeader(int n) {
    return Queue(TRequest::Header, n, "TOP " + std::to_string(n) + " 0");
}

TPop3Client::TTicket TPop3Client::QueueRetrieve(int n) {
    return Queue(TRequest::Retrieve, n, "RETR " + std::to_string(n));
}

TPop3Client::TTicket TPop3Client::QueueDelete(int n) {
    return Queue(TRequest::Delete, n, "DELE " + std::to_string(n));
}

void TPop3Client::SendQueued() {
    if (m_unsent.empty()) return;
    const std::vector<std::string> lines = std::move(m_unsent);
    m_unsent.clear();
    if (!Connected()) throw TNetError("Not connected to the server (" + lines.front() + ")");
    try {
        m_reader.WriteLines(lines, m_limits.ReplyTimeout);
    } catch (const TNetError& e) {
        // The connection stays open for reading: the replies the server sent before it went
        // are still to be had, and reading on shows where the dialogue broke off.
        throw TNetError(std::string(e.what()) + " sending " + lines.front());
    }
}

void TPop3Client::FailPending(std::exception_ptr error) {
    for (std::size_t i = m_readCount; i < m_pending.size(); ++i) {
        TEntry& entry = m_pending[i];
        entry.read = true;
        // The request that met the failure carries it; those after it were never answered.
        entry.error = i == m_readCount ? error
                                       : std::make_exception_ptr(TNetError(
                                             "Not connected to the server (" +
                                             std::string(entry.kind == TRequest::Header     ? "TOP "
                                                         : entry.kind == TRequest::Retrieve ? "RETR "
                                                                                             : "DELE ") +
                                             std::to_string(entry.n) + ")"));
    }
    m_readCount = m_pending.size();
}

void TPop3Client::ReadMarker(TEntry& entry) {
    const std::string command = "LIST " + std::to_string(entry.n);
    std::string line;
    try {
        line = ReadReply(command);
    } catch (const TPeerRefused&) {
        entry.reply.sizeError = std::current_exception();
        return;
    }
    const std::string_view text = ReplyText(line);
    const std::size_t space = text.find(' ');
    int number = 0;
    if (!ParseWhole(text.substr(0, space), number) || number != entry.n) {
        m_socket.Close();
        throw TProtocolError("The server's replies are out of step with the commands (" + command +
                             " was answered " + Quoted(line) + ")");
    }
    std::int64_t size = 0;
    if (space != std::string_view::npos && ParseWhole(text.substr(space + 1), size)) entry.reply.size = size;
}

void TPop3Client::ReadNextPending() {
    TEntry& entry = m_pending[m_readCount];
    const std::string command = entry.kind == TRequest::Header     ? "TOP " + std::to_string(entry.n) + " 0"
                                : entry.kind == TRequest::Retrieve ? "RETR " + std::to_string(entry.n)
                                                                   : "DELE " + std::to_string(entry.n);
    try {
        if (!Connected()) throw TNetError("Not connected to the server (" + command + ")");
        try {
            ReadReply(command);
            if (entry.kind != TRequest::Delete) {
                entry.reply.text = ReadListingOf(command);
                // No header line looks like a status line: one here is a reply that came
                // where a message's lines were expected.
                if (StartsWithAscii(entry.reply.text, "+OK") || StartsWithAscii(entry.reply.text, "-ERR")) {
                    m_socket.Close();
                    throw TProtocolError("The server's replies are out of step with the commands (" + command +
                                         " began with " + Quoted(entry.reply.text.substr(0, entry.reply.text.find('\r'))) +
                                         ")");
                }
            }
        } catch (const TPeerRefused&) {
            entry.error = std::current_exception();
        } catch (const TProtocolError&) {
            // Over the limit: read to its end, the dialogue still in step. Anything else
            // closed the connection and goes on below.
            if (!Connected()) throw;
            entry.error = std::current_exception();
        }
        if (entry.kind != TRequest::Delete) ReadMarker(entry);
    } catch (const TVorlaError&) {
        entry.reply.text.clear();
        FailPending(std::current_exception());
        return;
    }
    entry.read = true;
    ++m_readCount;
}

void TPop3Client::ReadAllPending() {
    if (!m_unsent.empty()) {
        try {
            SendQueued();
        } catch (const TNetError&) {
            // Every request has its error now.
        }
    }
    while (m_readCount < m_pending.size()) ReadNextPending();
}

void TPop3Client::DropTaken() {
    while (!m_pending.empty() && m_pending.front().taken && m_readCount > 0) {
        m_pending.pop_front();
        ++m_firstTicket;
        --m_readCount;
    }
}

bool TPop3Client::Ready(TTicket ticket) const {
    if (ticket < m_firstTicket || ticket - m_firstTicket >= m_pending.size()) return false;
    return m_pending[static_cast<std::size_t>(ticket - m_firstTicket)].read;
}

TPop3Client::TPipelined TPop3Client::Take(TTicket ticket) {
    if (ticket < m_firstTicket || ticket - m_firstTicket >= m_pending.size() ||
        m_pending[static_cast<std::size_t>(ticket - m_firstTicket)].taken)
        throw TVorlaError("No such request waiting for its reply");
    const std::size_t index = static_cast<std::size_t>(ticket - m_firstTicket);
    if (!m_pending[index].read && !m_unsent.empty()) {
        try {
            SendQueued();
        } catch (const TNetError&) {
        }
    }
    while (m_readCount <= index) ReadNextPending();
    TEntry& entry = m_pending[index];
    entry.taken = true;
    const std::exception_ptr error = entry.error;
    TPipelined reply = std::move(entry.reply);
    DropTaken();
    if (error) std::rethrow_exception(error);
    return reply;
}

}  // namespace vorla
