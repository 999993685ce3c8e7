#include "net/SmtpClient.h"

#include <algorithm>

#include "net/SaslAuth.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

// After a failure or after the data, the goodbye must not hold the pass up for long.
constexpr std::chrono::milliseconds kQuitTimeout{5000};
// RFC 4954 allows an AUTH command line of up to 12288 octets; a longer initial response
// goes on a line of its own after the server's empty challenge.
constexpr std::size_t kMaxAuthLine = 12288;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), Upper);
    return text;
}

// Overwrites a string holding credentials when it goes out of scope, also on a throw.
struct TWipeOnExit {
    std::string& text;
    ~TWipeOnExit() { std::fill(text.begin(), text.end(), '\0'); }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The mechanisms of an EHLO reply line "AUTH LOGIN PLAIN" (or the older "AUTH=LOGIN"), or
// nothing when the line is no AUTH line.
std::vector<std::string> AuthMechanisms(const std::string& line) {
    std::vector<std::string> mechanisms;
    if (line.size() < 4 || UpperCase(line.substr(0, 4)) != "AUTH") return mechanisms;
    if (line.size() > 4 && line[4] != ' ' && line[4] != '=') return mechanisms;
    std::size_t pos = 5;
    while (pos < line.size()) {
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        if (end > pos) mechanisms.push_back(UpperCase(line.substr(pos, end - pos)));
        pos = end + 1;
    }
    return mechanisms;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string TSmtpReply::Text() const {
    std::string text;
    const std::string number = std::to_string(code);
    for (const std::string& line : lines) {
        if (!text.empty()) text += ' ';
        text += number;
        if (!line.empty()) text += ' ' + line;
    }
    return text.empty() ? number : text;
}

TSmtpClient::TSmtpClient() = default;

TSmtpClient::~TSmtpClient() { Close(); }

void TSmtpClient::Shutdown() noexcept { m_socket.Shutdown(); }

void TSmtpClient::Close() noexcept {
    m_socket.Close();
    m_reader.Reset();
}

// A reply is one or more lines "ddd-text" ending with a line "ddd text" (or just "ddd").
TSmtpReply TSmtpClient::ReadReply() {
    TSmtpReply reply;
    for (;;) {
        const std::string line = m_reader.ReadLine(m_replyTimeout, kMaxReplyLine);
        if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
            (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
            throw TProtocolError("The SMTP server sent a line that is no reply: " + line.substr(0, 200));
        reply.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        reply.lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
        if (line.size() == 3 || line[3] == ' ') return reply;
        if (reply.lines.size() >= kMaxReplyLines)
            throw TProtocolError("The SMTP server's reply did not end within " + std::to_string(kMaxReplyLines) +
                                 " lines");
    }
}

void TSmtpClient::Require(const TSmtpReply& reply, std::initializer_list<int> codes) {
    if (std::find(codes.begin(), codes.end(), reply.code) == codes.end()) {
        const std::string text = reply.Text();
        throw TPeerRefused(text, text);
    }
}

TSmtpReply TSmtpClient::Command(const std::string& command) {
    m_reader.WriteLine(command, m_replyTimeout);
    return ReadReply();
}

TSmtpReply TSmtpClient::Expect(const std::string& command, std::initializer_list<int> codes) {
    TSmtpReply reply = Command(command);
    Require(reply, codes);
    return reply;
}

void TSmtpClient::Connect(const std::string& host, std::uint16_t port, TTlsMode security, const TTlsOptions& tls) {
    Close();
    m_authMechanisms.clear();
    m_startTls = false;
    m_socket.Connect(host, port, m_connectTimeout);
    if (security == TTlsMode::Implicit) m_socket.StartTls(host, tls, m_replyTimeout);
    Require(ReadReply(), {220});
}

void TSmtpClient::StartTls(const std::string& hostName, const TTlsOptions& tls) {
    Expect("STARTTLS", {220});
    // Whatever came after the go-ahead was sent in clear and must not pass for the server's
    // first encrypted replies.
    if (m_reader.Buffered() > 0) {
        Close();
        throw TProtocolError("The SMTP server sent more than its reply to STARTTLS before the TLS handshake");
    }
    m_authMechanisms.clear();
    m_startTls = false;
    m_socket.StartTls(hostName, tls, m_replyTimeout);
    m_reader.Reset();
}

void TSmtpClient::Hello(const std::string& name) {
    m_authMechanisms.clear();
    m_startTls = false;
    const TSmtpReply ehlo = Command("EHLO " + name);
    if (ehlo.code != 250) {
        Expect("HELO " + name, {250});
        return;
    }
    // The first line names the server; the extensions follow, one per line.
    for (std::size_t i = 1; i < ehlo.lines.size(); ++i) {
        for (std::string& mechanism : AuthMechanisms(ehlo.lines[i])) m_authMechanisms.push_back(std::move(mechanism));
        const std::string keyword = UpperCase(ehlo.lines[i].substr(0, ehlo.lines[i].find(' ')));
        if (keyword == "STARTTLS") m_startTls = true;
    }
}

bool TSmtpClient::OffersAuth(const std::string& mechanism) const {
    return std::find(m_authMechanisms.begin(), m_authMechanisms.end(), UpperCase(mechanism)) != m_authMechanisms.end();
}

void TSmtpClient::SendSecret(const std::string& line, const std::string& shown) {
    m_reader.WriteSecretLine(line, shown, m_replyTimeout);
}

void TSmtpClient::AuthLogin(const std::string& loginName, const std::string& password) {
    Expect("AUTH LOGIN", {334});
    Expect(EncodeBase64Line(loginName), {334});
    std::string encoded = EncodeBase64Line(password);
    const TWipeOnExit wipe{encoded};
    SendSecret(encoded, "****");
    Require(ReadReply(), {235});
}

void TSmtpClient::AuthPlain(const std::string& loginName, const std::string& password) {
    std::string response = PlainResponse(loginName, password);
    std::string credentials = EncodeBase64Line(response);
    std::fill(response.begin(), response.end(), '\0');
    const TWipeOnExit wipe{credentials};
    SendSecret("AUTH PLAIN " + credentials, "AUTH PLAIN ****");
    const TSmtpReply reply = ReadReply();
    if (reply.code != 334) {
        Require(reply, {235});
        return;
    }
    SendSecret(credentials, "****");
    Require(ReadReply(), {235});
}

void TSmtpClient::AuthOAuth(TSmtpAuth auth, const std::string& host, std::uint16_t port, const std::string& loginName,
                            const std::string& token) {
    // A server that keeps challenging is not logging us in: the empty challenge, the error
    // challenge and the final reply are all there is.
    constexpr int kMaxRounds = 3;
    const std::string mechanism = SaslMechanism(auth);
    const std::string shown = "AUTH " + mechanism;
    if (!IsOAuth(auth)) throw TVorlaError("No access token mechanism: " + mechanism);
    if (!Encrypted() && !m_socket.PeerIsLoopback())
        throw TVorlaError(mechanism + " login refused: the connection to " + host +
                          " is not encrypted, and an access token is sent only over TLS (choose STARTTLS or TLS)");
    if (!OffersAuth(mechanism))
        throw TProtocolError("The SMTP server does not offer " + mechanism +
                             " (the account asks for it; no login or mail was sent)");
    std::string response = auth == TSmtpAuth::XOAuth2 ? XOAuth2Response(loginName, token)
                                                      : OAuthBearerResponse(loginName, host, port, token);
    std::string encoded = EncodeBase64Line(response);
    std::fill(response.begin(), response.end(), '\0');
    const TWipeOnExit wipe{encoded};
    bool responseSent = false;
    if (shown.size() + 1 + encoded.size() + 2 <= kMaxAuthLine) {
        SendSecret(shown + " " + encoded, shown + " ****");
        responseSent = true;
    } else {
        m_reader.WriteLine(shown, m_replyTimeout);
    }
    bool challengeAnswered = false;
    std::string reason;  // from the error challenge
    for (int round = 0; round < kMaxRounds; ++round) {
        const TSmtpReply reply = ReadReply();
        if (reply.code == 235) return;
        if (reply.code != 334 || challengeAnswered) {
            const std::string text = reply.Text();
            throw TPeerRefused(shown + " refused: " + text + (reason.empty() ? std::string() : " (" + reason + ")"),
                               text);
        }
        const std::string challenge = reply.lines.empty() ? std::string() : reply.lines.back();
        if (!responseSent && challenge.find_first_not_of(' ') == std::string::npos) {
            SendSecret(encoded, shown + " ****");
            responseSent = true;
            continue;
        }
        // An error challenge: the mechanism's answer, after which the server sends its
        // final refusal.
        reason = ChallengeText(challenge);
        m_reader.WriteLine(EncodeBase64Line(ErrorChallengeAnswer(mechanism.c_str())), m_replyTimeout);
        challengeAnswered = true;
    }
    throw TProtocolError("Unexpected reply to " + shown + " (the login did not end)");
}

void TSmtpClient::SendData(const std::string& data) {
    // The terminator is part of the message file form; without it the server would take
    // the next command as message text.
    if (data != ".\r\n" && !EndsWith(data, "\r\n.\r\n"))
        throw TVorlaError("The message text does not end with its final \".\" line");
    Expect("DATA", {354});
    m_socket.Send(data, m_replyTimeout);
    Require(ReadReply(), {250});
}

void TSmtpClient::Quit() noexcept {
    try {
        if (m_socket.IsOpen()) {
            m_reader.WriteLine("QUIT", kQuitTimeout);
            m_reader.ReadLine(std::min(m_replyTimeout, kQuitTimeout), kMaxReplyLine);
        }
    } catch (const std::exception&) {
        // The server may close first; the session is over either way.
    }
    Close();
}

void TSmtpClient::Deliver(const TSmtpDelivery& delivery, const std::function<void()>& accepted) {
    try {
        Connect(delivery.host, delivery.port, delivery.security, delivery.tls);
        Hello(delivery.heloName);
        if (delivery.security == TTlsMode::StartTls) {
            if (!m_startTls)
                throw TProtocolError("The SMTP server does not offer STARTTLS (the account asks for it; "
                                     "no login or mail was sent)");
            StartTls(delivery.host, delivery.tls);
            Hello(delivery.heloName);
        }
        // Each path above either encrypts or throws; this only guards against a change there.
        if (delivery.security != TTlsMode::None && !Encrypted())
            throw TVorlaError("TLS was asked for but the connection is not encrypted");
        Command("RSET");
        if (!delivery.loginName.empty() && IsOAuth(delivery.auth)) {
            AuthOAuth(delivery.auth, delivery.host, delivery.port, delivery.loginName, delivery.password);
        } else if (!delivery.loginName.empty()) {
            if (OffersAuth("PLAIN"))
                AuthPlain(delivery.loginName, delivery.password);
            else if (OffersAuth("LOGIN"))
                AuthLogin(delivery.loginName, delivery.password);
        }
        Expect("MAIL FROM:<" + delivery.mailFrom + ">", {250});
        for (const std::string& recipient : delivery.recipients) Expect("RCPT TO:<" + recipient + ">", {250, 251});
        SendData(delivery.data);
    } catch (...) {
        Quit();
        throw;
    }
    try {
        if (accepted) accepted();
    } catch (...) {
        Quit();
        throw;
    }
    Quit();
}

}  // namespace vorla
