#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "net/TcpListener.h"

// One client connection of the local POP3 server, from the greeting to the close: reads
// command lines, answers them and keeps the connection's state.
//
// States: NotLoggedIn --USER, then PASS with a matching account--> LoggedIn; QUIT, a dropped
// connection, the idle time-out, an over-long line or the server stopping end either.
// NotLoggedIn --STLS, handshake--> NotLoggedIn over TLS (once; a failed handshake ends the
// connection), when the server offers STLS.
// At login the session takes the account's vorla folder as it is then (TPopMaildrop); DELE
// marks a message for this session only, RSET clears the marks, and only QUIT removes the
// marked messages. A connection that ends any other way removes nothing.
namespace vorla {

class TPopMailbox;
class TPopMaildrop;
class TPopServer;

class TPopServerSession {
public:
    // server must outlive the session; it provides the accounts, switches, limits and the
    // status history.
    TPopServerSession(TPopServer& server, TServerSocket socket);
    ~TPopServerSession();
    TPopServerSession(const TPopServerSession&) = delete;
    TPopServerSession& operator=(const TPopServerSession&) = delete;

    // Serves the connection to its end. A stop request closes the socket, which ends a
    // wait for a command, and cuts short a failed-login delay. Never throws: failures become
    // the status line "Exception: " + text.
    void Run(std::stop_token stop);

private:
    enum class TState { NotLoggedIn, LoggedIn };
    using TArgs = std::vector<std::string_view>;
    struct TCommand {
        std::string_view verb;
        enum class TAccess { Any, LoginNeeded } access;
        void (TPopServerSession::*run)(const TArgs& args, std::string_view rest);
    };
    static const TCommand kCommands[];

    // Next command line without its line end; nullopt when the connection is to end (closed by
    // the client, idle time-out or over-long line; the last two are answered first).
    std::optional<std::string> ReadLine();
    void Handle(std::string_view line);
    void Reply(std::string_view line);  // queued with CR LF; sent before the next wait
    void ReplyText(std::string_view text);  // queued as it is (a message in wire form)
    void Flush();
    // Stops sending and reads (briefly) what the client still sends before the close.
    void Linger();
    void Status(const std::string& text) const;  // with the session's user name

    void User(const TArgs& args, std::string_view rest);
    void Pass(const TArgs& args, std::string_view rest);
    void Apop(const TArgs& args, std::string_view rest);
    void Capa(const TArgs& args, std::string_view rest);
    void Stls(const TArgs& args, std::string_view rest);
    void Stat(const TArgs& args, std::string_view rest);
    void List(const TArgs& args, std::string_view rest);
    void Retr(const TArgs& args, std::string_view rest);
    void Top(const TArgs& args, std::string_view rest);
    void Dele(const TArgs& args, std::string_view rest);
    void Noop(const TArgs& args, std::string_view rest);
    void Rset(const TArgs& args, std::string_view rest);
    void Uidl(const TArgs& args, std::string_view rest);
    void Quit(const TArgs& args, std::string_view rest);

    // The login check; true when the session is now logged in.
    bool LogIn();
    // The message number in the first argument when it names a message of the session.
    std::optional<int> MessageNumber(const TArgs& args) const;

    TPopServer& m_server;
    TServerSocket m_socket;
    std::stop_token m_stop;
    TState m_state = TState::NotLoggedIn;
    bool m_ending = false;
    std::string m_user;      // as given with USER
    std::string m_userShown; // m_user made safe for status lines
    std::string m_password;  // as given with PASS
    std::shared_ptr<TPopMailbox> m_mailbox;    // the account logged in to, kept to the end
    std::unique_ptr<TPopMaildrop> m_maildrop;  // from login on; declared after: goes first

    std::string m_in;           // received bytes not yet taken as lines, from m_inStart on
    std::size_t m_inStart = 0;
    std::string m_out;          // replies not yet sent
    std::string m_message;      // RETR buffer, reused
};

}  // namespace vorla
