#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "mail/MessageStore.h"
#include "net/SaslAuth.h"
#include "net/TlsOptions.h"

// A look at the mail that still lies on an uplink POP3 server, without fetching it: the
// headers and sizes of all waiting messages, single messages in full on request, and deletion
// on the server of the messages marked Deleted when the session disconnects.
//
// It is a message collection without folder: item i (0-based) stands for server message i+1,
// and nothing is ever read from or written to disk. One thread uses a session (the peek
// window's, or a command's).
namespace vorla {

class TPop3Client;
class TZivadAccount;

struct TPeekResult {
    bool ok = false;
    std::string error;  // the client's error text when ok is false
};

class TZivadPeek : public TZivadMessageCollection {
public:
    TZivadPeek();
    ~TZivadPeek() override;  // closes an open connection without QUIT: nothing is deleted then

    void SetHost(const std::string& host);
    void SetPort(std::uint16_t port);
    void SetLogin(const std::string& login);
    void SetPassword(const std::string& password);
    // How the login is made (USER/PASS until set), and a command whose first line of output
    // is the password or access token at each ConnectAndList instead of the password set
    // (empty: none).
    void SetAuth(TPopAuth auth);
    void SetPasswordCommand(const std::string& command);
    // How the connection is secured and the server checked (plain until set).
    void SetTls(TTlsMode mode, const TTlsOptions& options);
    // All of the above from the account's uplink settings as they are now. Throws TVorlaError
    // when the account has no uplink server or login name, or port 0.
    void SetAccount(const TZivadAccount& account);

    // Logs in (the client's own time-outs; the password command first, when there is one) and
    // lists every waiting message: one item per
    // message with its header block (TOP n 0; a header that cannot be fetched stays empty and
    // the listing goes on) and its size from LIST n (unknown when that fails). Items of an
    // earlier listing are removed first. Raises OnChange and returns ok; a failed login, or a
    // failed STAT, returns the error text instead (with no items, the connection closed).
    TPeekResult ConnectAndList();
    bool Connected() const;

    // When the item's message has no body yet: fetches the whole message (RETR index+1) into
    // it, raw, and forgets its cached size. Does nothing for an item already fetched or an
    // index out of range. Throws what the client throws (TNetError, TPeerRefused, ...).
    void FetchWhole(int index);
    // The item's message in message file form: the header only until FetchWhole, then the
    // whole message. "" for an index out of range.
    std::string MessageText(int index);

    // Sends DELE for every item marked Deleted, in order, then QUIT (so the server carries the
    // deletions out), removes every item and raises OnChange. The items are removed and the
    // connection closed also when a command fails; the first failure is then thrown (after a
    // failed DELE the others are still sent and QUIT too, so every deletion that the server
    // took is carried out).
    void Disconnect();

private:
    void RemoveAll();
    // The items of a listing of count messages; the collection's lock is held.
    void ListOneByOne(int count);
    void ListPipelined(int count);

    std::unique_ptr<TPop3Client> m_client;
    std::string m_passwordCommand;
};

}  // namespace vorla
