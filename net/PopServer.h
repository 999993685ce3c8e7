#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// The local POP3 server through which the user's mail client collects the accepted mail.
// This build holds its settings, greeting and switches; listening is not built yet, and
// SetActive(true) says so in the status history instead of pretending to listen.
namespace vorla {

class TIniFile;

class TPopServer {
public:
    // Receives one status text ("\tPOP3\t" + user + "\t" + text); called on the thread that
    // does the work. May be empty (then status lines are dropped).
    using TStatusSink = std::function<void(const std::string&)>;

    static constexpr const char* kBindSection = "bind";
    static constexpr const char* kStatusSection = "status";
    static constexpr const char* kDefaultBindAddress = "127.0.0.1";
    static constexpr std::uint16_t kDefaultPort = 110;
    static constexpr const char* kUnknownCommandReply = "-ERR Unknown Command";

    // Defaults; inactive. The caller then loads the settings (LoadSettings).
    explicit TPopServer(TStatusSink addStatus);
    ~TPopServer();  // stops listening first
    TPopServer(const TPopServer&) = delete;
    TPopServer& operator=(const TPopServer&) = delete;

    // Reads "bind" ipaddress and port and "status" connections, successful, failed, quit,
    // each with its current value as default. A port outside 0..65535 (or not a number) is
    // refused: the port stays as it was and a status line names the value.
    void LoadSettings(const TIniFile& ini);
    // Writes "status" connections, successful, failed, quit, then "bind" ipaddress, port.
    // Throws TFileError.
    void SaveSettings(TIniFile& ini) const;

    // Starts or stops listening. Until the server is built, starting adds the status line
    // "The local POP3 server is not available in this build" and leaves it inactive.
    void SetActive(bool active);
    bool Active() const { return m_active; }
    // What "options"/"server" keeps: whether it listens, or, while listening is not available
    // in this build, the state last asked for, so that a save does not switch off a server
    // the user wants.
    bool ActiveSetting() const;

    // When the value differs: stops the server, changes the binding, starts it again if it was
    // active.
    void SetBindAddress(const std::string& address);
    std::string BindAddress() const;
    void SetPort(std::uint16_t port);
    std::uint16_t Port() const { return m_port; }

    // The greeting becomes "+OK Vorla (v" + version + ")".
    void SetVersion(const std::string& version);
    std::string Greeting() const;

    // Status switches: which connection events are written to the status history.
    bool LogConnections() const { return m_logConnections; }
    void SetLogConnections(bool on) { m_logConnections = on; }
    bool LogSuccessful() const { return m_logSuccessful; }
    void SetLogSuccessful(bool on) { m_logSuccessful = on; }
    bool LogFailed() const { return m_logFailed; }
    void SetLogFailed(bool on) { m_logFailed = on; }
    bool LogQuit() const { return m_logQuit; }
    void SetLogQuit(bool on) { m_logQuit = on; }

private:
    // Adds "\tPOP3\t" + user + "\t" + text.
    void Status(const std::string& user, const std::string& text) const;
    // Listening itself; false with reason when it cannot be done.
    bool StartListening(std::string& reason);
    void StopListening();

    TStatusSink m_addStatus;

    mutable std::mutex m_mutex;  // guards m_bindAddress and m_greeting
    std::string m_bindAddress = kDefaultBindAddress;
    std::string m_greeting = "+OK Vorla";
    std::atomic<std::uint16_t> m_port{kDefaultPort};
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_wanted{false};

    std::atomic<bool> m_logConnections{true};
    std::atomic<bool> m_logSuccessful{true};
    std::atomic<bool> m_logFailed{true};
    std::atomic<bool> m_logQuit{true};
};

}  // namespace vorla
