#include "net/PopServer.h"

#include <algorithm>

#include "net/PopServerSession.h"
#include "net/TcpListener.h"
#include "net/TlsServerContext.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"

namespace vorla {
namespace {

constexpr const char* kIpAddressKey = "ipaddress";
constexpr const char* kPortKey = "port";
constexpr const char* kConnectionsKey = "connections";
constexpr const char* kSuccessfulKey = "successful";
constexpr const char* kFailedKey = "failed";
constexpr const char* kQuitKey = "quit";
constexpr const char* kStlsKey = "stls";
constexpr const char* kCertFileKey = "certfile";
constexpr const char* kKeyFileKey = "keyfile";

std::string FromHome(const std::string& path) {
    return path.empty() || path.front() == '/' ? path : IncludeTrailingSlash(HomeFolder()) + path;
}

// How often the accepting thread wakes without a connection to reap finished ones.
constexpr std::chrono::milliseconds kReapInterval{1000};
// The refusal a connection beyond the limit gets; it is sent into a fresh socket's buffer.
constexpr std::chrono::milliseconds kRefusalSendTimeout{1000};
constexpr const char* kTooManyConnectionsReply = "-ERR Too many connections, try again later\r\n";

}  // namespace

// --- TPopLoginThrottle ---

std::chrono::milliseconds TPopLoginThrottle::Failed(const std::string& address) {
    const auto now = std::chrono::steady_clock::now();
    std::scoped_lock lock(m_mutex);
    if (m_records.size() >= kMaxAddresses && !m_records.contains(address)) {
        std::erase_if(m_records, [&](const auto& entry) { return now - entry.second.last > kForgetAfter; });
        if (m_records.size() >= kMaxAddresses) m_records.clear();
    }
    TRecord& record = m_records[address];
    if (record.failures > 0 && now - record.last > kForgetAfter) record.failures = 0;
    record.last = now;
    const int failures = ++record.failures;
    if (failures <= kFreeFailures) return std::chrono::milliseconds(0);
    const int doublings = std::min(failures - kFreeFailures - 1, 3);  // 1, 2, 4, 8 times the first
    return m_firstDelay.load() * (1 << doublings);
}

void TPopLoginThrottle::Succeeded(const std::string& address) {
    std::scoped_lock lock(m_mutex);
    m_records.erase(address);
}

// --- TPopServer ---

TPopServer::TPopServer(TStatusSink addStatus, TPopAccountAccess access)
    : m_addStatus(std::move(addStatus)), m_access(std::move(access)) {}

TPopServer::~TPopServer() {
    OnWarning.Clear();
    StopListening();
}

void TPopServer::Status(const std::string& user, const std::string& text) const {
    if (m_addStatus) m_addStatus("\tPOP3\t" + user + "\t" + text);
}

void TPopServer::LoadSettings(const TIniFile& ini) {
    m_logConnections = ini.ReadBool(kStatusSection, kConnectionsKey, m_logConnections);
    m_logSuccessful = ini.ReadBool(kStatusSection, kSuccessfulKey, m_logSuccessful);
    m_logFailed = ini.ReadBool(kStatusSection, kFailedKey, m_logFailed);
    m_logQuit = ini.ReadBool(kStatusSection, kQuitKey, m_logQuit);
    SetBindAddress(ini.ReadString(kBindSection, kIpAddressKey, BindAddress()));

    // Read as text: ReadInteger would turn "abc" silently into the default, and a port the
    // user mistyped should be named, not replaced without a word.
    const std::string text = ini.ReadString(kBindSection, kPortKey, "");
    if (!text.empty()) {
        const long long port = ini.ReadInteger(kBindSection, kPortKey, -1);
        if (port < 0 || port > 65535)
            Status("", "Invalid port \"" + OneLine(text) + "\" in the settings file; keeping port " +
                           std::to_string(Port()));
        else
            SetPort(static_cast<std::uint16_t>(port));
    }
    SetCertificateFile(ini.ReadString(kBindSection, kCertFileKey, CertificateFile()));
    SetKeyFile(ini.ReadString(kBindSection, kKeyFileKey, KeyFile()));
    SetStls(ini.ReadBool(kBindSection, kStlsKey, m_stls));
}

void TPopServer::SaveSettings(TIniFile& ini) const {
    ini.WriteBool(kStatusSection, kConnectionsKey, m_logConnections);
    ini.WriteBool(kStatusSection, kSuccessfulKey, m_logSuccessful);
    ini.WriteBool(kStatusSection, kFailedKey, m_logFailed);
    ini.WriteBool(kStatusSection, kQuitKey, m_logQuit);
    ini.WriteString(kBindSection, kIpAddressKey, BindAddress());
    ini.WriteInteger(kBindSection, kPortKey, Port());
    ini.WriteBool(kBindSection, kStlsKey, m_stls);
    ini.WriteString(kBindSection, kCertFileKey, CertificateFile());
    ini.WriteString(kBindSection, kKeyFileKey, KeyFile());
}

void TPopServer::SetActive(bool active) {
    m_wanted = active;
    if (active == m_active) return;
    const std::string address = BindAddress();
    const std::string port = std::to_string(Port());
    if (!active) {
        Status("", "Server deactivated");
        StopListening();
        return;
    }
    Status("", "Server activated on " + address + " port " + port);
    try {
        m_listener = std::make_unique<TTcpListener>(address, Port());
    } catch (const TNetError& e) {
        Status("", "Server error on " + address + " port " + port + " " + OneLine(e.what()));
        OnWarning.Raise("Unable to bind " + address + " on port " + port + "\r\n\r\n" + e.what());
        return;
    }
    m_listeningPort = m_listener->Port();
    if (m_stls) LoadTlsContext();
    m_active = true;
    m_acceptThread = std::jthread([this](std::stop_token stop) { AcceptLoop(stop); });
}

void TPopServer::LoadTlsContext() {
    const std::string certificate = FromHome(CertificateFile());
    const std::string key = FromHome(KeyFile());
    try {
        if (certificate.empty() || key.empty()) throw TVorlaError("no certificate or key file is set");
        m_tlsContext = std::make_shared<const TTlsServerContext>(certificate, key);
        Status("", "STLS offered");
    } catch (const std::exception& e) {
        Status("", "STLS not offered: " + OneLine(e.what()));
    }
}

bool TPopServer::ActiveSetting() const { return m_active || m_wanted; }

void TPopServer::StopListening() {
    if (m_acceptThread.joinable()) {
        m_acceptThread.request_stop();
        m_listener->Wake();
        m_acceptThread.join();
    }
    // Only the accepting thread adds connections, and it has ended: the list is ours now.
    std::list<std::unique_ptr<TConnection>> connections;
    {
        std::scoped_lock lock(m_connectionsMutex);
        connections.swap(m_connections);
    }
    for (auto& connection : connections) connection->thread.request_stop();
    connections.clear();  // joins every connection thread
    m_tlsContext.reset();
    m_listener.reset();
    m_listeningPort = 0;
    m_active = false;
}

void TPopServer::AcceptLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::optional<TServerSocket> socket;
        try {
            socket = m_listener->Accept(kReapInterval);
        } catch (const std::exception& e) {
            Status("", "Exception: " + OneLine(e.what()));
            std::this_thread::sleep_for(kReapInterval);  // a broken listener must not spin
        }
        ReapFinished();
        if (!socket || stop.stop_requested()) continue;
        if (ConnectionCount() >= m_maxConnections) {
            if (m_logConnections) Status("", "Connection from " + socket->PeerAddress() + " refused: too many connections");
            try {
                socket->Send(kTooManyConnectionsReply, kRefusalSendTimeout);
            } catch (const TNetError&) {
                // It is being turned away anyway.
            }
            continue;
        }
        auto connection = std::make_unique<TConnection>();
        TConnection* raw = connection.get();
        {
            std::scoped_lock lock(m_connectionsMutex);
            m_connections.push_back(std::move(connection));
        }
        raw->thread = std::jthread([this, raw, client = std::move(*socket)](std::stop_token own) mutable {
            TPopServerSession session(*this, std::move(client));
            session.Run(own);
            raw->finished = true;
        });
    }
}

void TPopServer::ReapFinished() {
    std::list<std::unique_ptr<TConnection>> finished;
    {
        std::scoped_lock lock(m_connectionsMutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if ((*it)->finished) finished.splice(finished.end(), m_connections, it);
            it = next;
        }
    }
    // Joined here, outside the lock: each has finished its work or is about to return.
}

int TPopServer::ConnectionCount() const {
    std::scoped_lock lock(m_connectionsMutex);
    return static_cast<int>(m_connections.size());
}

void TPopServer::SetBindAddress(const std::string& address) {
    {
        std::scoped_lock lock(m_mutex);
        if (address == m_bindAddress) return;
    }
    const bool wasActive = m_active;
    if (wasActive) SetActive(false);
    {
        std::scoped_lock lock(m_mutex);
        m_bindAddress = address;
    }
    if (wasActive) SetActive(true);
}

std::string TPopServer::BindAddress() const {
    std::scoped_lock lock(m_mutex);
    return m_bindAddress;
}

void TPopServer::SetPort(std::uint16_t port) {
    if (port == m_port) return;
    const bool wasActive = m_active;
    if (wasActive) SetActive(false);
    m_port = port;
    if (wasActive) SetActive(true);
}

void TPopServer::Restart(const std::function<void()>& change) {
    const bool wasActive = m_active;
    if (wasActive) SetActive(false);
    change();
    if (wasActive) SetActive(true);
}

void TPopServer::SetStls(bool on) {
    if (on != m_stls) Restart([&] { m_stls = on; });
}

std::string TPopServer::CertificateFile() const {
    std::scoped_lock lock(m_mutex);
    return m_certificateFile;
}

void TPopServer::SetCertificateFile(const std::string& path) {
    if (path == CertificateFile()) return;
    Restart([&] {
        std::scoped_lock lock(m_mutex);
        m_certificateFile = path;
    });
}

std::string TPopServer::KeyFile() const {
    std::scoped_lock lock(m_mutex);
    return m_keyFile;
}

void TPopServer::SetKeyFile(const std::string& path) {
    if (path == KeyFile()) return;
    Restart([&] {
        std::scoped_lock lock(m_mutex);
        m_keyFile = path;
    });
}

void TPopServer::SetVersion(const std::string& version) {
    std::scoped_lock lock(m_mutex);
    m_greeting = "+OK Vorla (v" + version + ")";
}

std::string TPopServer::Greeting() const {
    std::scoped_lock lock(m_mutex);
    return m_greeting;
}

}  // namespace vorla
