#include "net/PopServer.h"

#include "platform/IniFile.h"

namespace vorla {
namespace {

constexpr const char* kIpAddressKey = "ipaddress";
constexpr const char* kPortKey = "port";
constexpr const char* kConnectionsKey = "connections";
constexpr const char* kSuccessfulKey = "successful";
constexpr const char* kFailedKey = "failed";
constexpr const char* kQuitKey = "quit";

}  // namespace

TPopServer::TPopServer(TStatusSink addStatus) : m_addStatus(std::move(addStatus)) {}

TPopServer::~TPopServer() {
    if (m_active) StopListening();
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
    if (text.empty()) return;
    const long long port = ini.ReadInteger(kBindSection, kPortKey, -1);
    if (port < 0 || port > 65535)
        Status("", "Invalid port \"" + text + "\" in the settings file; keeping port " + std::to_string(Port()));
    else
        SetPort(static_cast<std::uint16_t>(port));
}

void TPopServer::SaveSettings(TIniFile& ini) const {
    ini.WriteBool(kStatusSection, kConnectionsKey, m_logConnections);
    ini.WriteBool(kStatusSection, kSuccessfulKey, m_logSuccessful);
    ini.WriteBool(kStatusSection, kFailedKey, m_logFailed);
    ini.WriteBool(kStatusSection, kQuitKey, m_logQuit);
    ini.WriteString(kBindSection, kIpAddressKey, BindAddress());
    ini.WriteInteger(kBindSection, kPortKey, Port());
}

void TPopServer::SetActive(bool active) {
    m_wanted = active;
    if (active == m_active) return;
    if (!active) {
        Status("", "Server deactivated");
        StopListening();
        return;
    }
    std::string reason;
    if (StartListening(reason)) {
        Status("", "Server activated on " + BindAddress() + " port " + std::to_string(Port()));
        m_active = true;
    } else {
        Status("", reason);
    }
}

bool TPopServer::ActiveSetting() const { return m_active || m_wanted; }

bool TPopServer::StartListening(std::string& reason) {
    reason = "The local POP3 server is not available in this build";
    return false;
}

void TPopServer::StopListening() { m_active = false; }

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

void TPopServer::SetVersion(const std::string& version) {
    std::scoped_lock lock(m_mutex);
    m_greeting = "+OK Vorla (v" + version + ")";
}

std::string TPopServer::Greeting() const {
    std::scoped_lock lock(m_mutex);
    return m_greeting;
}

}  // namespace vorla
