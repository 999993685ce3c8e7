#include "ui/PeekForm.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>

#include "engine/SimpleThread.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "engine/ZivadPeek.h"
#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "mail/MailMessage.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

TPeekNotice ErrorNotice(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return {TPeekNotice::Error, OneLine(e.what())};
    } catch (...) {
        return {TPeekNotice::Error, "unknown error"};
    }
}

// "995" or " 995 ": the number; anything else (nothing, letters, more than a port holds): none.
std::optional<std::uint16_t> PortNumber(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::nullopt;
    const auto last = text.find_last_not_of(' ');
    unsigned long value = 0;
    for (std::size_t i = first; i <= last; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// The entries that read the sender, the recipients or Reply-To: the whole message is fetched
// first ("Subject" too, when it takes the subject).
bool NeedsWholeMessage(TRuleEntry entry, const std::string& selection) {
    switch (entry) {
        case TRuleEntry::FromAddress:
        case TRuleEntry::FromDomain:
        case TRuleEntry::ToAddress:
        case TRuleEntry::ToDomain:
        case TRuleEntry::ReplyTo:
            return true;
        case TRuleEntry::Subject:
            return selection.empty();
        default:
            return false;
    }
}

}  // namespace

TPeekWindow::TPeekWindow(TZivad& engine) : m_engine(engine), m_session(std::make_shared<TZivadPeek>()) {
    m_accounts = m_engine.Accounts().Snapshot();
    for (const TAccountPtr& account : m_accounts) m_accountNames.push_back(account->Name());
    if (!m_accounts.empty()) m_selectedAccount = 0;
}

TPeekWindow::~TPeekWindow() = default;

void TPeekWindow::Changed(unsigned parts) {
    if (OnChanged) OnChanged(parts);
}

std::exception_ptr TPeekWindow::OnWorker(std::function<void(TZivadPeek&)> job) {
    ++m_busy;
    // The worker holds the session too: it stays while the worker runs, whatever happens to
    // the window meanwhile.
    std::exception_ptr error =
        RunAndWait(m_engine.Dispatcher(), [session = m_session, job = std::move(job)] { job(*session); });
    --m_busy;
    return error;
}

TPeekNotice TPeekWindow::Finish(TPeekNotice notice) {
    if (m_closeWanted && !m_closed && !Busy()) Close();  // the window has gone: nobody reads its errors
    return notice;
}

TPeekNotice TPeekWindow::SelectAccount(int row) {
    if (Busy() || m_closed) return {};
    TPeekNotice notice;
    if (m_connected) notice = Disconnect();
    m_selectedAccount = row >= 0 && row < static_cast<int>(m_accounts.size()) ? row : -1;
    Changed(kAccountList);
    return Finish(notice);
}

TPeekNotice TPeekWindow::ConnectButtonClick() {
    if (Busy() || m_closed || m_connected || m_selectedAccount < 0) return {};
    try {
        m_session->SetAccount(*m_accounts[m_selectedAccount]);
    } catch (const std::exception& e) {
        return {TPeekNotice::Error, e.what()};
    }
    return Finish(Connect());
}

TCustomPeekFields TPeekWindow::CustomFields() const {
    return {m_customServer, std::to_string(m_customPort == 0 ? kDefaultPort : m_customPort), m_customLogin, ""};
}

TPeekNotice TPeekWindow::CustomOk(const TCustomPeekFields& typed) {
    if (Busy() || m_closed || m_connected) return {};
    m_customServer = typed.server;
    m_customLogin = typed.login;
    m_customPort = PortNumber(typed.port).value_or(kDefaultPort);
    if (!typed.password.empty()) m_customPassword = typed.password;
    m_session->SetHost(m_customServer);
    m_session->SetPort(m_customPort);
    m_session->SetLogin(m_customLogin);
    m_session->SetPassword(m_customPassword);
    m_session->SetPasswordCommand({});
    m_session->SetAuth(TPopAuth::User);
    m_session->SetTls(TTlsMode::None, {});
    return Finish(Connect());
}

TPeekNotice TPeekWindow::Connect() {
    Clear();
    Changed(kMessageList | kMessageText);
    TPeekResult result;
    // result lives on this frame, which the wait keeps until the worker has ended.
    if (const auto error = OnWorker([&result](TZivadPeek& session) { result = session.ConnectAndList(); }))
        return ErrorNotice(error);
    if (!result.ok) return {TPeekNotice::Error, result.error};
    m_connected = true;
    if (m_session->Count() == 0) {
        const TPeekNotice failed = Disconnect();
        return failed ? failed : TPeekNotice{TPeekNotice::Information, kNoMessagesText};
    }
    FillList();
    return {};
}

TPeekNotice TPeekWindow::DisconnectButtonClick() {
    if (Busy() || m_closed || !m_connected) return {};
    return Finish(Disconnect());
}

TPeekNotice TPeekWindow::Disconnect() {
    const auto error = OnWorker([](TZivadPeek& session) { session.Disconnect(); });
    m_connected = false;
    Clear();
    Changed(kMessageList | kMessageText);
    return error ? ErrorNotice(error) : TPeekNotice{};
}

TPeekNotice TPeekWindow::Close() {
    if (m_closed) return {};
    m_closeWanted = true;
    if (Busy()) return {};  // the running command carries it out when it ends
    m_closed = true;
    return m_connected ? Disconnect() : TPeekNotice{};
}

void TPeekWindow::Clear() {
    m_listed.clear();
    m_rows.clear();
    m_selectedRow = -1;
    m_messageText.clear();
}

void TPeekWindow::FillList() {
    m_listed.clear();
    {
        std::scoped_lock hold(m_session->Lock());
        for (int i = 0; i < m_session->Count(); ++i) {
            TZivadMessageItem* item = m_session->Item(i);
            const TMailMessage& message = item->Message();
            m_listed.push_back({i, message.Date, item->Size(), message.From.Text(), message.Subject});
        }
    }
    m_selectedRow = -1;
    SortList();
    ShowRows();
}

void TPeekWindow::SortByColumn(int column) {
    if (column < 0 || column >= kColumnCount) return;
    m_ascending = column == m_sortColumn ? !m_ascending : true;
    m_sortColumn = column;
    SortList();
    m_selectedRow = -1;
    ShowRows();
}

void TPeekWindow::SortList() {
    if (m_sortColumn < 0) return;
    const int column = m_sortColumn;
    auto less = [column](const TListed& a, const TListed& b) {
        switch (column) {
            case 1: return a.date < b.date;
            case 2: return a.size < b.size;
            case 3: return a.from < b.from;  // byte comparison
            case 4: return a.subject < b.subject;
            default: return a.message < b.message;
        }
    };
    if (m_ascending)
        std::stable_sort(m_listed.begin(), m_listed.end(), less);
    else
        std::stable_sort(m_listed.begin(), m_listed.end(), [&less](const TListed& a, const TListed& b) { return less(b, a); });
}

void TPeekWindow::ShowRows(unsigned part) {
    m_rows.clear();
    {
        std::scoped_lock hold(m_session->Lock());
        for (const TListed& listed : m_listed) {
            const TZivadMessageItem* item = m_session->Item(listed.message);
            const bool marked = item && item->Deleted;
            m_rows.push_back({(marked ? "*" : "") + std::to_string(listed.message + 1),
                              FormatDateTime(kMessageDateFormat, listed.date), std::to_string(listed.size), listed.from,
                              listed.subject});
        }
    }
    Changed(part);
}

int TPeekWindow::RowMessage(int row) const {
    return row >= 0 && row < static_cast<int>(m_listed.size()) ? m_listed[row].message : -1;
}

void TPeekWindow::SelectRow(int row) {
    const int message = RowMessage(row);
    m_selectedRow = message < 0 ? -1 : row;
    // While a command runs the session is the worker's; the text follows with the next choice.
    if (message < 0 || Busy()) return;
    m_messageText = m_session->MessageText(message);
    Changed(kMessageText);
}

void TPeekWindow::DeleteButtonClick(const std::vector<int>& rows) {
    if (Busy() || !m_connected) return;
    {
        std::scoped_lock hold(m_session->Lock());
        for (const int row : rows) {
            const int message = RowMessage(row);
            if (TZivadMessageItem* item = message < 0 ? nullptr : m_session->Item(message)) item->Deleted = !item->Deleted;
        }
    }
    ShowRows(kMarks);
}

TPeekNotice TPeekWindow::GetMessageBody() {
    const int message = RowMessage(m_selectedRow);
    if (Busy() || m_closed || !m_connected || message < 0) return {};
    if (const auto error = OnWorker([message](TZivadPeek& session) { session.FetchWhole(message); }))
        return Finish(ErrorNotice(error));
    m_messageText = m_session->MessageText(message);
    Changed(kMessageText);
    return Finish({});
}

void TPeekWindow::StripHtmlButtonClick() {
    if (m_messageText.empty()) return;
    m_messageText = StripHtmlTags(m_messageText);
    Changed(kMessageText);
}

TPeekWindow::TEnabled TPeekWindow::Idle(bool rowSelected) const {
    if (Busy() || m_closed) return {};
    const bool row = m_connected && rowSelected;
    return {!m_connected && m_selectedAccount >= 0, !m_connected, !m_connected, m_connected, row, row, row};
}

std::vector<TRuleEntry> TPeekWindow::RuleEntries() {
    std::vector<TRuleEntry> entries;
    for (int e = 0; e < kRuleEntryCount; ++e)
        if (static_cast<TRuleEntry>(e) != TRuleEntry::Attachment) entries.push_back(static_cast<TRuleEntry>(e));
    return entries;
}

TZivadFilters& TPeekWindow::RuleTarget() { return m_engine.Filters(); }

TRuleOffer TPeekWindow::OfferRule(TRuleEntry entry, TFilterAction action, const std::string& selection,
                                  TPeekNotice& notice) {
    notice = {};
    TRuleSource source;
    source.selection = selection;
    if (RowMessage(m_selectedRow) < 0 || Busy() || m_closed) return vorla::OfferRule(entry, action, source);
    if (NeedsWholeMessage(entry, selection)) {
        notice = GetMessageBody();
        if (notice || m_closed) return {};
    }
    const int message = RowMessage(m_selectedRow);
    std::scoped_lock hold(m_session->Lock());
    TZivadMessageItem* item = m_session->Item(message);
    if (!item) return vorla::OfferRule(entry, action, source);
    // Read from the message as the session holds it, which stays as it is.
    if (entry == TRuleEntry::Received) source.firstReceivedIp = item->ReceivedIPs(false);
    if (entry == TRuleEntry::AllReceivedIps) source.allReceivedIps = item->ReceivedIPs(true);
    source.message = &item->Message();
    return vorla::OfferRule(entry, action, source);
}

TRuleOutcome TPeekWindow::CreateRule(const TRuleOffer& offer, const std::string& text) {
    return vorla::CreateRule(RuleTarget(), offer, text);
}

std::string TPeekWindow::AddAllReceivedIps(TFilterAction action) {
    TPeekNotice unused;
    const TRuleOffer offer = OfferRule(TRuleEntry::AllReceivedIps, action, "", unused);
    return vorla::AddAllReceivedIps(RuleTarget(), action, offer.value);
}

}  // namespace vorla
