#include "net/PopServerSession.h"

#include <charconv>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "net/PopServer.h"
#include "net/PopServerMaildrop.h"
#include "net/TlsServerContext.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

constexpr std::size_t kReceiveChunk = 16 * 1024;
// Replies are gathered while commands that have already arrived are answered, and go out
// together before the session waits for more (a client that sends its commands in one go
// gets its replies in as few writes as the socket takes). Past this size they go out at once.
constexpr std::size_t kOutputFlushSize = 256 * 1024;
constexpr std::size_t kMaxUserShown = 100;           // bytes of a user name in a status line
// At the end the server stops sending first and reads what the client still sends, so that
// closing with unread input (after an over-long line) does not reset the connection and
// destroy our last reply before the client has read it. Bounded in time and bytes.
constexpr std::chrono::milliseconds kLingerTime{500};
constexpr std::size_t kLingerBytes = 1 << 20;

constexpr std::string_view kInvalidNumber = "-ERR Invalid Message Number";
constexpr std::string_view kInvalidSyntax = "-ERR Invalid Syntax";
constexpr std::string_view kWrongState = "-ERR Wrong State";

bool SameVerb(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        if (x != b[i]) return false;
    }
    return true;
}

// A whole number: decimal digits only. Values beyond the type's range give its maximum (they
// name no message and ask for every line).
std::optional<std::uint64_t> WholeNumber(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) return std::numeric_limits<std::uint64_t>::max();
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string SafeForStatus(std::string_view text) {
    std::string safe(text.substr(0, kMaxUserShown));
    for (char& c : safe)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return safe;
}

}  // namespace

const TPopServerSession::TCommand TPopServerSession::kCommands[] = {
    {"USER", TCommand::TAccess::Any, &TPopServerSession::User},
    {"PASS", TCommand::TAccess::Any, &TPopServerSession::Pass},
    {"APOP", TCommand::TAccess::Any, &TPopServerSession::Apop},
    {"CAPA", TCommand::TAccess::Any, &TPopServerSession::Capa},
    {"STLS", TCommand::TAccess::Any, &TPopServerSession::Stls},
    {"STAT", TCommand::TAccess::LoginNeeded, &TPopServerSession::Stat},
    {"LIST", TCommand::TAccess::LoginNeeded, &TPopServerSession::List},
    {"RETR", TCommand::TAccess::LoginNeeded, &TPopServerSession::Retr},
    {"TOP", TCommand::TAccess::LoginNeeded, &TPopServerSession::Top},
    {"DELE", TCommand::TAccess::LoginNeeded, &TPopServerSession::Dele},
    {"NOOP", TCommand::TAccess::Any, &TPopServerSession::Noop},
    {"RSET", TCommand::TAccess::LoginNeeded, &TPopServerSession::Rset},
    {"UIDL", TCommand::TAccess::LoginNeeded, &TPopServerSession::Uidl},
    {"QUIT", TCommand::TAccess::Any, &TPopServerSession::Quit},
};

TPopServerSession::TPopServerSession(TPopServer& server, TServerSocket socket)
    : m_server(server), m_socket(std::move(socket)) {}

TPopServerSession::~TPopServerSession() = default;

void TPopServerSession::Run(std::stop_token stop) {
    m_stop = stop;
    std::stop_callback wake(stop, [this] { m_socket.Shutdown(); });
    try {
        if (m_server.m_logConnections) m_server.Status("", "Connection from " + m_socket.PeerAddress());
        Reply(m_server.Greeting());
        while (!m_ending && !stop.stop_requested()) {
            const std::optional<std::string> line = ReadLine();
            if (!line) break;
            Handle(*line);
        }
        Flush();
        Linger();
    } catch (const std::exception& e) {
        // A server that is stopping cuts connections short; that is no failure to report.
        if (!stop.stop_requested()) m_server.Status("", "Exception: " + OneLine(e.what()));
    }
}

void TPopServerSession::Linger() {
    m_socket.ShutdownSend();
    const auto deadline = std::chrono::steady_clock::now() + kLingerTime;
    std::size_t drained = 0;
    char chunk[kReceiveChunk];
    while (drained < kLingerBytes) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const std::optional<std::size_t> got = m_socket.Receive(chunk, sizeof chunk, left);
        if (!got || *got == 0) break;
        drained += *got;
    }
}

void TPopServerSession::Status(const std::string& text) const { m_server.Status(m_userShown, text); }

void TPopServerSession::Reply(std::string_view line) {
    m_out.append(line);
    m_out.append("\r\n");
    if (m_out.size() >= kOutputFlushSize) Flush();
}

void TPopServerSession::ReplyText(std::string_view text) {
    if (m_out.size() + text.size() < kOutputFlushSize) {
        m_out.append(text);
        return;
    }
    // A large reply goes straight from its buffer, after what was gathered before it.
    m_socket.Send(m_out, text, m_server.IdleTimeout());
    m_out.clear();
}

void TPopServerSession::Flush() {
    if (m_out.empty()) return;
    m_socket.Send(m_out, m_server.IdleTimeout());
    m_out.clear();
}

std::optional<std::string> TPopServerSession::ReadLine() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + m_server.IdleTimeout();
    std::size_t scanned = m_inStart;
    for (;;) {
        const std::size_t end = m_in.find('\n', scanned);
        if (end != std::string::npos) {
            std::string line = m_in.substr(m_inStart, end - m_inStart);
            m_inStart = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() <= TPopServer::kMaxCommandLine) return line;
        }
        if (end != std::string::npos || m_in.size() - m_inStart > TPopServer::kMaxCommandLine + 1) {
            Reply("-ERR Line too long");
            Flush();
            if (m_server.m_logQuit) Status("Connection closed: command line too long");
            return std::nullopt;
        }
        scanned = m_in.size();
        if (m_inStart > 0) {
            m_in.erase(0, m_inStart);
            scanned -= m_inStart;
            m_inStart = 0;
        }
        Flush();  // everything answered so far goes out before we wait
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        char chunk[kReceiveChunk];
        const std::optional<std::size_t> got =
            left.count() > 0 ? m_socket.Receive(chunk, sizeof chunk, left) : std::nullopt;
        if (!got) {
            Reply("-ERR Idle time-out");
            Flush();
            if (m_server.m_logQuit) Status("Connection closed: idle time-out");
            return std::nullopt;
        }
        if (*got == 0) return std::nullopt;
        m_in.append(chunk, *got);
    }
}

void TPopServerSession::Handle(std::string_view line) {
    TArgs words;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    if (words.empty()) {
        Reply(TPopServer::kUnknownCommandReply);
        return;
    }
    const TCommand* command = nullptr;
    for (const TCommand& candidate : kCommands)
        if (SameVerb(words.front(), candidate.verb)) command = &candidate;
    if (!command) {
        Reply(TPopServer::kUnknownCommandReply);
        return;
    }
    if (command->access == TCommand::TAccess::LoginNeeded && m_state != TState::LoggedIn) {
        Reply("-ERR Please login first");
        return;
    }
    // The text after the verb and one space: a password may hold spaces.
    const std::size_t verbEnd = static_cast<std::size_t>(words.front().data() - line.data()) + words.front().size();
    const std::string_view rest = verbEnd < line.size() ? line.substr(verbEnd + 1) : std::string_view();
    const TArgs args(words.begin() + 1, words.end());
    (this->*command->run)(args, rest);
}

std::optional<int> TPopServerSession::MessageNumber(const TArgs& args) const {
    if (args.empty()) return std::nullopt;
    const std::optional<std::uint64_t> n = WholeNumber(args.front());
    if (!n || *n > static_cast<std::uint64_t>(std::numeric_limits<int>::max()) ||
        !m_maildrop->Exists(static_cast<long long>(*n)))
        return std::nullopt;
    return static_cast<int>(*n);
}

// --- Commands ---

void TPopServerSession::User(const TArgs& args, std::string_view) {
    if (m_state == TState::LoggedIn) {
        Reply(kWrongState);
        return;
    }
    m_user = args.empty() ? std::string() : std::string(args.front());
    m_userShown = SafeForStatus(m_user);
    Reply("+OK Password required");
}

void TPopServerSession::Pass(const TArgs&, std::string_view rest) {
    if (m_state == TState::LoggedIn) {
        Reply(kWrongState);
        return;
    }
    m_password = rest;
    Reply(LogIn() ? "+OK Login OK" : "-ERR Login failed");
}

bool TPopServerSession::LogIn() {
    const TPopAccountAccess& access = m_server.m_access;
    std::shared_ptr<TPopMailbox> mailbox = access.find && !m_user.empty() ? access.find(m_user) : nullptr;
    bool ok = false;
    if (!mailbox) {
        Status("No such account name");
    } else if (const std::string password = mailbox->Password(); password.empty() || password != m_password) {
        // An account without a password is never opened to whoever sends an empty one.
        if (m_server.m_logFailed) Status("Invalid password");
    } else {
        ok = true;
    }
    m_password.clear();
    if (!ok) {
        const std::chrono::milliseconds delay = m_server.m_loginThrottle.Failed(m_socket.PeerAddress());
        if (delay.count() > 0) {
            Flush();
            std::mutex mutex;
            std::condition_variable_any woken;
            std::unique_lock lock(mutex);
            woken.wait_for(lock, m_stop, delay, [] { return false; });
        }
        return false;
    }

    m_server.m_loginThrottle.Succeeded(m_socket.PeerAddress());
    m_state = TState::LoggedIn;
    m_mailbox = std::move(mailbox);
    if (m_server.m_logSuccessful) Status("Connected");
    try {
        m_mailbox->ProxyFetch();
    } catch (const std::exception& e) {
        m_server.Status("", "Exception: " + OneLine(e.what()));
    }
    // After the proxy fetch, so that what it brought in is served in this session.
    m_maildrop = std::make_unique<TPopMaildrop>(m_mailbox->VorlaFolder(), &m_server.m_uidCache);
    return true;
}

void TPopServerSession::Apop(const TArgs&, std::string_view) {
    Reply(m_state == TState::LoggedIn ? kWrongState : std::string_view("-ERR Command Not Handled: APOP"));
}

void TPopServerSession::Capa(const TArgs&, std::string_view) {
    const bool stls = m_server.m_tlsContext && !m_socket.IsTls() && m_state == TState::NotLoggedIn;
    Reply(std::string("+OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n") +
          (stls ? "STLS\r\n" : "") + ".");
}

void TPopServerSession::Stls(const TArgs&, std::string_view) {
    // Without STLS switched on the command is as unknown as it always was.
    if (!m_server.m_tlsContext) {
        Reply(TPopServer::kUnknownCommandReply);
        return;
    }
    if (m_socket.IsTls()) {
        Reply("-ERR Command not permitted when TLS active");
        return;
    }
    if (m_state == TState::LoggedIn) {
        Reply(kWrongState);
        return;
    }
    Reply("+OK Begin TLS negotiation");
    Flush();
    // What the client sent after STLS came in clear: anyone on the way could have put
    // commands there, so none of it counts. So does a USER given before.
    m_in.clear();
    m_inStart = 0;
    m_user.clear();
    m_userShown.clear();
    try {
        m_socket.StartTls(*m_server.m_tlsContext,
                          std::min<std::chrono::milliseconds>(m_server.IdleTimeout(), TPopServer::kTlsHandshakeTimeout));
    } catch (const TNetError& e) {
        if (!m_stop.stop_requested() && m_server.m_logConnections)
            m_server.Status("", "TLS handshake with " + m_socket.PeerAddress() + " failed: " + OneLine(e.what()));
        m_ending = true;
        m_socket.Shutdown();
    }
}

void TPopServerSession::Stat(const TArgs&, std::string_view) {
    Reply("+OK " + std::to_string(m_maildrop->Count()) + " " + std::to_string(m_maildrop->TotalSize()));
}

void TPopServerSession::List(const TArgs& args, std::string_view) {
    if (args.empty()) {
        std::string reply = "+OK " + std::to_string(m_maildrop->Count()) + " " +
                            std::to_string(m_maildrop->TotalSize()) + "\r\n" + m_maildrop->ScanListing() + ".";
        Reply(reply);
        return;
    }
    const std::optional<int> n = MessageNumber(args);
    if (!n) {
        Reply(kInvalidNumber);
        return;
    }
    Reply("+OK " + std::to_string(*n) + " " + std::to_string(m_maildrop->Size(*n)));
}

void TPopServerSession::Retr(const TArgs& args, std::string_view) {
    const std::optional<int> n = MessageNumber(args);
    if (!n || !m_maildrop->Retrieve(*n, m_message)) {
        Reply(kInvalidNumber);
        return;
    }
    m_out += "+OK " + std::to_string(m_message.size()) + "\r\n";
    ReplyText(m_message);
    Status("Retrieved message " + std::to_string(*n));
}

void TPopServerSession::Top(const TArgs& args, std::string_view) {
    const std::optional<std::uint64_t> lines = args.size() >= 2 ? WholeNumber(args[1]) : std::nullopt;
    if (!lines || !WholeNumber(args[0])) {
        Reply(kInvalidSyntax);
        return;
    }
    const std::optional<int> n = MessageNumber(args);
    if (!n || !m_maildrop->Top(*n, *lines, m_message)) {
        Reply(kInvalidNumber);
        return;
    }
    m_out += "+OK\r\n";
    ReplyText(m_message);
}

void TPopServerSession::Dele(const TArgs& args, std::string_view) {
    const std::optional<int> n = MessageNumber(args);
    if (!n) {
        Reply(kInvalidNumber);
        return;
    }
    m_maildrop->Mark(*n);
    Status("Deleted message " + std::to_string(*n));
    Reply("+OK");
}

void TPopServerSession::Noop(const TArgs&, std::string_view) { Reply("+OK NOOP"); }

void TPopServerSession::Rset(const TArgs&, std::string_view) {
    m_maildrop->ClearMarks();
    Reply("+OK");
}

void TPopServerSession::Uidl(const TArgs& args, std::string_view) {
    if (args.empty()) {
        Reply("+OK\r\n" + m_maildrop->UidListing() + ".");
        return;
    }
    const std::optional<int> n = MessageNumber(args);
    const std::optional<std::string> uid = n ? m_maildrop->Uid(*n) : std::nullopt;
    if (!uid) {
        Reply(kInvalidNumber);
        return;
    }
    Reply("+OK " + std::to_string(*n) + " " + *uid);
}

void TPopServerSession::Quit(const TArgs&, std::string_view) {
    m_ending = true;
    if (m_state != TState::LoggedIn) {
        Reply("+OK Closing communication channel");
        return;
    }
    if (m_server.m_logQuit) Status("Quit");
    bool removed = true;
    try {
        // The account this session logged in to, whatever the list holds by now.
        m_maildrop->Commit(m_mailbox->VorlaFolder());
    } catch (const std::exception& e) {
        m_server.Status("", "Exception: " + OneLine(e.what()));
        removed = false;
    }
    Reply(removed ? "+OK Closing communication channel" : "-ERR Some deleted messages not removed");
}

}  // namespace vorla
