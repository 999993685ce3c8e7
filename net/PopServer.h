#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "net/PopServerMaildrop.h"
#include "platform/Slot.h"

// The local POP3 server through which the user's mail client collects the accepted mail: it
// listens on one address and port, serves each connection on a thread of its own, logs the
// client in with an account's uplink login name and password, and serves that account's
// vorla folder (net/PopServerSession.h has the protocol).
//
// Limits: command lines of at most kMaxCommandLine bytes (longer ones end the connection),
// kDefaultMaxConnections simultaneous connections (further ones are refused with an -ERR
// greeting), kDefaultIdleTimeout without a command closes the connection, and an address
// whose logins keep failing waits longer and longer for each further failure reply.
//
// STLS (off by default): with "bind" stls=1 and a certificate and key, CAPA lists STLS and a
// client may switch its connection to TLS before it logs in. Plain logins stay allowed: the
// server listens on 127.0.0.1 unless told otherwise, where nobody else sees the traffic.
namespace vorla {

class TIniFile;
class TPopServerSession;
class TServerSocket;
class TTcpListener;
class TTlsServerContext;
class TZivadMessageCollection;

// One account as a session of the local server sees it. The session that logged in to it
// keeps it until the session ends, so the account it serves (and purges at QUIT) is the one
// it logged in to, even when the list is changed meanwhile. Any thread.
class TPopMailbox {
public:
    virtual ~TPopMailbox() = default;
    // The account's uplink password as it is now.
    virtual std::string Password() const = 0;
    // The account's vorla folder; valid as long as this object.
    virtual TZivadMessageCollection& VorlaFolder() = 0;
    // Runs after a successful login and before its reply, on the connection's thread. In
    // proxy mode the engine runs the account's fetch cycle to its end here; otherwise it
    // returns at once.
    virtual void ProxyFetch() {}
};

// What the server needs of the accounts. The engine fills it in; the server knows no engine.
struct TPopAccountAccess {
    // The first account in list order whose uplink login name equals loginName exactly
    // (letter case counts), or null. Called on a connection thread.
    std::function<std::shared_ptr<TPopMailbox>(const std::string& loginName)> find;
};

// Slows down guessing: after kFreeFailures failed logins from one address, every further
// failure reply waits kFirstDelay, doubling up to kMaxDelay. A successful login from the address,
// or kForgetAfter without a failure, starts it afresh. Any thread.
class TPopLoginThrottle {
public:
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::milliseconds kFirstDelay{1000};
    static constexpr std::chrono::milliseconds kMaxDelay{8000};
    static constexpr std::chrono::minutes kForgetAfter{15};
    static constexpr std::size_t kMaxAddresses = 4096;  // bound on memory under a flood

    // Counts one failure of address; returns how long its reply is to wait.
    std::chrono::milliseconds Failed(const std::string& address);
    void Succeeded(const std::string& address);
    // The first delay (tests use a short one); later delays double from it up to 8 times it.
    void SetFirstDelay(std::chrono::milliseconds delay) { m_firstDelay = delay; }

private:
    struct TRecord {
        int failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::atomic<std::chrono::milliseconds> m_firstDelay{kFirstDelay};
    std::mutex m_mutex;  // guards m_records
    std::unordered_map<std::string, TRecord> m_records;
};

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
    static constexpr std::size_t kMaxCommandLine = 1024;  // bytes, without the line end
    static constexpr int kDefaultMaxConnections = 64;
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout = std::chrono::minutes(10);
    // The longest a client may take for its TLS handshake after STLS.
    static constexpr std::chrono::milliseconds kTlsHandshakeTimeout = std::chrono::seconds(30);

    // Defaults; inactive. The caller then loads the settings (LoadSettings). Without access
    // (tests of the settings alone) every login fails.
    explicit TPopServer(TStatusSink addStatus, TPopAccountAccess access = {});
    ~TPopServer();  // stops listening first
    TPopServer(const TPopServer&) = delete;
    TPopServer& operator=(const TPopServer&) = delete;

    // Reads "bind" ipaddress and port and "status" connections, successful, failed, quit,
    // each with its current value as default. A port outside 0..65535 (or not a number) is
    // refused: the port stays as it was and a status line names the value. Then "bind" stls,
    // certfile and keyfile.
    void LoadSettings(const TIniFile& ini);
    // Writes "status" connections, successful, failed, quit, then "bind" ipaddress, port,
    // stls, certfile, keyfile. Throws TFileError.
    void SaveSettings(TIniFile& ini) const;

    // Starts or stops listening. Starting adds "Server activated on <address> port <port>"
    // first; with STLS switched on it loads the certificate and key and adds "STLS offered"
    // or, when they cannot be loaded, "STLS not offered: <reason>" (the server then runs
    // without STLS); when binding fails, OnWarning gets "Unable to bind <address> on port <port>"
    // CR LF CR LF + the system's reason, the status line "Server error on <address> port
    // <port> <reason>" is added and the server stays inactive. Stopping adds "Server
    // deactivated", closes the listening socket, ends every connection (marks of sessions
    // without QUIT are dropped) and joins their threads; a proxy fetch under way is waited for.
    // Call from one thread at a time (the UI thread).
    void SetActive(bool active);
    bool Active() const { return m_active; }
    // What "options"/"server" keeps: whether it listens, or the state last asked for when
    // starting failed, so that a save does not switch off a server the user wants because
    // its port was busy once.
    bool ActiveSetting() const;
    // The port actually listened on (the bound one when port 0 was set); 0 when inactive.
    std::uint16_t ListeningPort() const { return m_listeningPort; }

    // When the value differs: stops the server, changes the binding, starts it again if it was
    // active.
    void SetBindAddress(const std::string& address);
    std::string BindAddress() const;
    void SetPort(std::uint16_t port);
    std::uint16_t Port() const { return m_port; }

    // STLS and the PEM certificate (chain) and private key files it uses; a relative path is
    // taken from the home folder. When a value differs: stops the server, changes it, starts
    // the server again if it was active.
    bool Stls() const { return m_stls; }
    void SetStls(bool on);
    std::string CertificateFile() const;
    void SetCertificateFile(const std::string& path);
    std::string KeyFile() const;
    void SetKeyFile(const std::string& path);
    // Whether the running server offers STLS (switched on and its certificate loaded).
    bool StlsOffered() const { return m_tlsContext != nullptr; }

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

    // Limits; set before SetActive(true) (tests shorten them).
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }
    std::chrono::milliseconds IdleTimeout() const { return m_idleTimeout; }
    void SetMaxConnections(int count) { m_maxConnections = count; }
    TPopLoginThrottle& LoginThrottle() { return m_loginThrottle; }
    // Connections being served now (finished ones are reaped by the accepting thread).
    int ConnectionCount() const;

    // The text of a warning box (binding failed). Raised on the thread that calls SetActive.
    TSlot<const std::string&> OnWarning;

private:
    friend class TPopServerSession;

    struct TConnection {
        std::atomic<bool> finished{false};
        std::jthread thread;  // last: joined before the flag goes
    };

    // Adds "\tPOP3\t" + user + "\t" + text.
    void Status(const std::string& user, const std::string& text) const;
    void StopListening();
    // Stops the server, runs change, starts it again when it was active.
    void Restart(const std::function<void()>& change);
    void LoadTlsContext();
    void AcceptLoop(std::stop_token stop);
    void Serve(TServerSocket socket);
    void ReapFinished();

    TStatusSink m_addStatus;
    TPopAccountAccess m_access;

    mutable std::mutex m_mutex;  // guards m_bindAddress, m_greeting, m_certificateFile, m_keyFile
    std::string m_bindAddress = kDefaultBindAddress;
    std::string m_greeting = "+OK Vorla";
    std::string m_certificateFile;
    std::string m_keyFile;
    std::atomic<bool> m_stls{false};
    // Set before the accepting thread starts and reset after every connection thread has
    // ended: the sessions only read it.
    std::shared_ptr<const TTlsServerContext> m_tlsContext;
    std::atomic<std::uint16_t> m_port{kDefaultPort};
    std::atomic<std::uint16_t> m_listeningPort{0};
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_wanted{false};

    std::atomic<bool> m_logConnections{true};
    std::atomic<bool> m_logSuccessful{true};
    std::atomic<bool> m_logFailed{true};
    std::atomic<bool> m_logQuit{true};

    std::atomic<std::chrono::milliseconds> m_idleTimeout{kDefaultIdleTimeout};
    std::atomic<int> m_maxConnections{kDefaultMaxConnections};
    TPopLoginThrottle m_loginThrottle;
    TPopUidCache m_uidCache;

    std::unique_ptr<TTcpListener> m_listener;
    mutable std::mutex m_connectionsMutex;  // guards m_connections
    std::list<std::unique_ptr<TConnection>> m_connections;
    std::jthread m_acceptThread;  // last: stopped and joined before everything it uses goes
};

}  // namespace vorla
