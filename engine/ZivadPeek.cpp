#include "engine/ZivadPeek.h"

#include <algorithm>
#include <exception>
#include <vector>
#include <mutex>

#include "engine/AccountTls.h"
#include "engine/ZivadAccount.h"
#include "mail/MailMessage.h"
#include "net/Pop3Client.h"
#include "platform/Errors.h"
#include "platform/SecretCommand.h"

namespace vorla {

TZivadPeek::TZivadPeek() : TZivadMessageCollection(std::string()), m_client(std::make_unique<TPop3Client>()) {}

TZivadPeek::~TZivadPeek() = default;

void TZivadPeek::SetHost(const std::string& host) { m_client->SetHost(host); }

void TZivadPeek::SetPort(std::uint16_t port) { m_client->SetPort(port); }

void TZivadPeek::SetLogin(const std::string& login) { m_client->SetLogin(login); }

void TZivadPeek::SetPassword(const std::string& password) { m_client->SetPassword(password); }

void TZivadPeek::SetAuth(TPopAuth auth) { m_client->SetAuth(auth); }

void TZivadPeek::SetPasswordCommand(const std::string& command) { m_passwordCommand = command; }

void TZivadPeek::SetTls(TTlsMode mode, const TTlsOptions& options) { m_client->SetTls(mode, options); }

bool TZivadPeek::Connected() const { return m_client->Connected(); }

TPeekResult TZivadPeek::ConnectAndList() {
    RemoveAll();
    try {
        if (!m_passwordCommand.empty()) m_client->SetPassword(TSecretCommand::Run(m_passwordCommand));
        m_client->Connect();
    } catch (const std::exception& e) {
        if (!m_passwordCommand.empty()) m_client->SetPassword({});
        return {false, OneLine(e.what())};
    }
    // A secret from a command is asked again at the next login.
    if (!m_passwordCommand.empty()) m_client->SetPassword({});
    int count = 0;
    try {
        count = m_client->MessageCount();
    } catch (const std::exception& e) {
        // Without a count there is nothing to list; the session is of no further use.
        TPeekResult result{false, OneLine(e.what())};
        try {
            m_client->Disconnect();
        } catch (const std::exception&) {
        }
        return result;
    }
    bool pipelining = false;
    if (count > 0) {
        try {
            pipelining = m_client->OffersPipelining();
        } catch (const std::exception&) {
            // The connection is gone: every header below fails and stays empty.
        }
    }
    {
        std::scoped_lock hold(Lock());
        if (pipelining)
            ListPipelined(count);
        else
            ListOneByOne(count);
    }
    RaiseChange();
    return {true, {}};
}

namespace {

void SetListedSize(TZivadMessageItem& item, std::int64_t size) {
    item.SetSize(size >= 0 && size <= INT32_MAX ? static_cast<int>(size) : -1);
}

}  // namespace

void TZivadPeek::ListOneByOne(int count) {
    for (int n = 1; n <= count; ++n) {
        TZivadMessageItem& item = NewItem();
        try {
            m_client->RetrieveHeader(n, item.Message());
        } catch (const std::exception&) {
            item.Message().Clear();  // listed all the same, with an empty header
        }
        try {
            SetListedSize(item, m_client->MessageSize(n));
        } catch (const std::exception&) {
            item.SetSize(-1);
        }
    }
}

// The same commands (TOP n 0, LIST n), sent a window at a time.
void TZivadPeek::ListPipelined(int count) {
    constexpr int kWindow = 100;
    for (int first = 1; first <= count; first += kWindow) {
        const int last = std::min(count, first + kWindow - 1);
        std::vector<TPop3Client::TTicket> tickets;
        try {
            for (int n = first; n <= last; ++n) tickets.push_back(m_client->QueueHeader(n));
            m_client->SendQueued();
        } catch (const std::exception&) {
            // The connection is gone: the messages without a request are listed empty.
        }
        for (int n = first; n <= last; ++n) {
            TZivadMessageItem& item = NewItem();
            item.SetSize(-1);
            if (static_cast<std::size_t>(n - first) >= tickets.size()) continue;
            try {
                const TPop3Client::TPipelined reply = m_client->Take(tickets[static_cast<std::size_t>(n - first)]);
                item.Message().LoadMode = TLoadMode::Raw;
                item.Message().LoadFromMailText(reply.text);
                if (!reply.sizeError) SetListedSize(item, reply.size);
            } catch (const std::exception&) {
                item.Message().Clear();
            }
        }
    }
}

void TZivadPeek::SetAccount(const TZivadAccount& account) {
    const std::shared_ptr<const TAccountSettings> s = account.Settings();
    if (s->popserver.empty() || s->loginname.empty() || s->popport == 0)
        throw TVorlaError("the account '" + s->name + "' has no uplink server or login name");
    SetHost(s->popserver);
    SetPort(s->popport);
    SetLogin(s->loginname);
    SetPassword(s->password);
    SetPasswordCommand(s->passwordcommand);
    SetAuth(s->popauth);
    SetTls(s->popsecurity, AccountTlsOptions(account));
}

void TZivadPeek::FetchWhole(int index) {
    std::scoped_lock hold(Lock());
    TZivadMessageItem* item = Item(index);
    if (!item || !item->Message().Body.empty()) return;
    TMailMessage& message = item->Message();
    // Read first: a refused retrieval leaves the listed header in place.
    const std::string text = m_client->RetrieveText(index + 1);
    message.Clear();
    message.LoadMode = TLoadMode::Raw;
    message.LoadFromMailText(text);
    item->SetSize(-1);
}

std::string TZivadPeek::MessageText(int index) {
    std::scoped_lock hold(Lock());
    TZivadMessageItem* item = Item(index);
    return item ? item->Message().SaveToText() : std::string();
}

void TZivadPeek::Disconnect() {
    std::exception_ptr first;
    {
        std::scoped_lock hold(Lock());
        for (int i = 0; i < Count(); ++i) {
            if (!Item(i)->Deleted) continue;
            try {
                m_client->Delete(i + 1);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
    }
    try {
        m_client->Disconnect();
    } catch (...) {
        if (!first) first = std::current_exception();
    }
    RemoveAll();
    RaiseChange();
    if (first) std::rethrow_exception(first);
}

void TZivadPeek::RemoveAll() {
    std::scoped_lock hold(Lock());
    for (int i = Count() - 1; i >= 0; --i) Delete(i);
}

}  // namespace vorla
