#include "engine/ZivadPeek.h"

#include <exception>
#include <mutex>

#include "engine/AccountTls.h"
#include "engine/ZivadAccount.h"
#include "net/Pop3Client.h"
#include "platform/Errors.h"

namespace vorla {

TZivadPeek::TZivadPeek() : TZivadMessageCollection(std::string()), m_client(std::make_unique<TPop3Client>()) {}

TZivadPeek::~TZivadPeek() = default;

void TZivadPeek::SetHost(const std::string& host) { m_client->SetHost(host); }

void TZivadPeek::SetPort(std::uint16_t port) { m_client->SetPort(port); }

void TZivadPeek::SetLogin(const std::string& login) { m_client->SetLogin(login); }

void TZivadPeek::SetPassword(const std::string& password) { m_client->SetPassword(password); }

void TZivadPeek::SetTls(TTlsMode mode, const TTlsOptions& options) { m_client->SetTls(mode, options); }

bool TZivadPeek::Connected() const { return m_client->Connected(); }

TPeekResult TZivadPeek::ConnectAndList() {
    RemoveAll();
    try {
        m_client->Connect();
    } catch (const std::exception& e) {
        return {false, OneLine(e.what())};
    }
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
    {
        std::scoped_lock hold(Lock());
        for (int n = 1; n <= count; ++n) {
            TZivadMessageItem& item = NewItem();
            try {
                m_client->RetrieveHeader(n, item.Message());
            } catch (const std::exception&) {
                item.Message().Clear();  // listed all the same, with an empty header
            }
            try {
                const std::int64_t size = m_client->MessageSize(n);
                item.SetSize(size >= 0 && size <= INT32_MAX ? static_cast<int>(size) : -1);
            } catch (const std::exception&) {
                item.SetSize(-1);
            }
        }
    }
    RaiseChange();
    return {true, {}};
}

void TZivadPeek::SetAccount(const TZivadAccount& account) {
    const std::shared_ptr<const TAccountSettings> s = account.Settings();
    if (s->popserver.empty() || s->loginname.empty() || s->popport == 0)
        throw TVorlaError("the account '" + s->name + "' has no uplink server or login name");
    SetHost(s->popserver);
    SetPort(s->popport);
    SetLogin(s->loginname);
    SetPassword(s->password);
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
