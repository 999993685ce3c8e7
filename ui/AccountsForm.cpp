#include "ui/AccountsForm.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <stdexcept>
#include <utility>

#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "mail/MessageStore.h"
#include "net/SaslAuth.h"
#include "net/TlsOptions.h"
#include "platform/Strings.h"

namespace vorla {
namespace {

const char* YesNo(bool value) { return value ? "Yes" : "No"; }

// The check boxes that map one to one onto a setting, in the order they are stored.
struct TCheckField {
    bool TAccountValues::*value;
    bool TAccountSettings::*setting;
};
constexpr TCheckField kFetchChecks[] = {
    {&TAccountValues::enableFetch, &TAccountSettings::enablefetch},
    {&TAccountValues::noDownload, &TAccountSettings::nodownload},
    {&TAccountValues::noDelete, &TAccountSettings::nodelete},
};
constexpr TCheckField kFilterChecks[] = {
    {&TAccountValues::rejectOwn, &TAccountSettings::rejectownemail},
    {&TAccountValues::rejectInvalidRecipient, &TAccountSettings::rejectinvalidrecipient},
    {&TAccountValues::rejectOldDates, &TAccountSettings::rejectolddates},
    {&TAccountValues::rejectIllegalIps, &TAccountSettings::rejectillegalips},
};
constexpr TCheckField kRedirectChecks[] = {
    {&TAccountValues::enableRedirect, &TAccountSettings::enableredirect},
    {&TAccountValues::nameRedirect, &TAccountSettings::nameredirect},
    {&TAccountValues::redirectQuarantined, &TAccountSettings::redirectquarantined},
    {&TAccountValues::redirectDelete, &TAccountSettings::redirectdelete},
};

TTlsMode TlsMode(int value) {
    return value == 1 ? TTlsMode::StartTls : value == 2 ? TTlsMode::Implicit : TTlsMode::None;
}
// The login choices by their numbers; any other number is the default.
TPopAuth PopAuth(int value) {
    return value >= 0 && value <= static_cast<int>(TPopAuth::OAuthBearer) ? static_cast<TPopAuth>(value)
                                                                          : TPopAuth::User;
}
TSmtpAuth SmtpAuth(int value) {
    return value >= 0 && value <= static_cast<int>(TSmtpAuth::OAuthBearer) ? static_cast<TSmtpAuth>(value)
                                                                           : TSmtpAuth::Auto;
}

// A password command is one line for /bin/sh: a line break would start a second command, so
// it and every other control character become a blank. True when something was replaced.
bool MakeOneLine(std::string& command) {
    bool replaced = false;
    for (char& c : command) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
            replaced = true;
        }
    }
    return replaced;
}

// A storing pass ends at the first value the account cannot take.
struct TStoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace

std::optional<long long> TAccountsEditor::ParseNumber(const std::string& text) {
    const std::string t = Trim(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) negative = t[pos++] == '-';
    if (pos == t.size()) return std::nullopt;
    long long value = 0;
    for (; pos < t.size(); ++pos) {
        if (t[pos] < '0' || t[pos] > '9') return std::nullopt;
        value = value * 10 + (t[pos] - '0');
        if (value > INT_MAX) return std::nullopt;  // a 32-bit number, as the edit holds
    }
    return negative ? -value : value;
}

TAccountsEditor::TAccountsEditor(TZivadAccounts& accounts, TAccountsUser& user) : m_accounts(accounts), m_user(user) {
    m_values = TAccountValues{};
    FillRows();
    if (!m_order.empty()) {
        m_selected = m_order.front();
        LoadControls();
    }
}

int TAccountsEditor::Selected() const {
    const auto it = std::find(m_order.begin(), m_order.end(), m_selected);
    return m_selected && it != m_order.end() ? static_cast<int>(it - m_order.begin()) : -1;
}

void TAccountsEditor::Changed(unsigned parts) {
    if (OnChanged) OnChanged(parts);
}

TAccountsEditor::TRow TAccountsEditor::MakeRow(TZivadAccount& account) const {
    const auto s = account.Settings();
    return {s->name,
            s->enablefetch,
            YesNo(s->enablefilters),
            YesNo(s->enableredirect),
            YesNo(s->enablesend),
            YesNo(s->enablemailbot),
            YesNo(s->away),
            YesNo(s->rejectresponse),
            account.VorlaFolder().Count(),
            account.QuarantineFolder().Count(),
            account.TrashFolder().Count(),
            account.QueueFolder().Count()};
}

void TAccountsEditor::FillRows() {
    // Rows stand in ascending order of their names, letter case ignored; equal names keep
    // the list's order.
    std::vector<std::pair<TRow, TAccountPtr>> rows;
    for (const TAccountPtr& account : m_accounts.Snapshot()) rows.emplace_back(MakeRow(*account), account);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return AsciiUpper(a.first.name) < AsciiUpper(b.first.name); });
    m_rows.clear();
    m_order.clear();
    for (auto& [row, account] : rows) {
        m_rows.push_back(std::move(row));
        m_order.push_back(std::move(account));
    }
    if (Selected() < 0) m_selected.reset();
}

void TAccountsEditor::RedrawRow() {
    FillRows();
    Changed(kRows);
}

TAccountsEnabling TAccountsEditor::Enabling() const {
    const TAccountValues& v = m_values;
    const bool selected = m_selected != nullptr;
    const bool mailbot = selected && v.enableMailbot;
    return {
        selected,
        selected && !v.noDownload,
        selected && !v.sendDirect,
        selected && v.enableFilters,
        selected && v.enableRedirect,
        selected && v.away,
        selected && v.rejectResponse,
        mailbot,
        mailbot && v.attachment >= 0 && v.attachment < static_cast<int>(v.attachments.size()),
        selected && m_selected->Settings()->enablefilters,
    };
}

void TAccountsEditor::SetControlsEnabled() {
    unsigned parts = kEnabling;
    bool store = false;
    if (m_values.noDownload && m_values.noDelete) {
        // No download keeps everything on the server anyway.
        m_values.noDelete = false;
        parts |= kValues;
        store = m_selected != nullptr;
    }
    if (m_values.mailbot < 0 &&
        (!m_values.mailbotSubject.empty() || !m_values.mailbotText.empty() || !m_values.attachments.empty())) {
        m_values.mailbotSubject.clear();
        m_values.mailbotText.clear();
        m_values.attachments.clear();
        m_values.attachment = -1;
        parts |= kValues;
    }
    Changed(parts);
    if (store) AccountChange(m_values);
}

void TAccountsEditor::SelectRow(int row) {
    const TAccountPtr account = row >= 0 && row < static_cast<int>(m_order.size()) ? m_order[static_cast<std::size_t>(row)] : nullptr;
    if (account == m_selected) return;
    m_selected = account;
    if (m_selected) {
        LoadControls();
    } else {
        // The other controls keep their content; the enabling disables them.
        m_values.name.clear();
        m_values.redirectAddresses.clear();
        m_values.mailbots.clear();
        m_values.mailbot = -1;
        m_values.mailbotSubject.clear();
        m_values.mailbotText.clear();
        m_values.attachments.clear();
        m_values.attachment = -1;
    }
    Changed(kRows | kValues | kEnabling);
}

void TAccountsEditor::LoadControls() {
    const auto s = m_selected->Settings();
    TAccountValues& v = m_values;
    v.name = s->name;
    v.email = s->email;
    v.enableFetch = s->enablefetch;
    v.noDownload = s->nodownload;
    v.noDelete = s->nodelete;
    v.popServer = s->popserver;
    v.popPort = std::to_string(s->popport);
    v.loginName = s->loginname;
    v.password.clear();  // never shown; an empty field keeps the stored one
    v.popSecurity = static_cast<int>(s->popsecurity);
    v.verifyCert = s->verifycert;
    v.popAuth = static_cast<int>(s->popauth);
    v.passwordCommand = s->passwordcommand;
    v.enableFilters = s->enablefilters;
    v.rejectKb = s->rejectkb;
    for (const auto& check : kFilterChecks) v.*check.value = *s.*check.setting;
    for (const auto& check : kRedirectChecks) v.*check.value = *s.*check.setting;
    v.redirectAddresses = s->redirectAddresses;
    v.enableSend = s->enablesend;
    v.sendDirect = s->senddirect;
    v.smtpServer = s->smtpserver;
    v.smtpPort = std::to_string(s->smtpport);
    v.smtpLogin = s->smtploginname;
    v.smtpPassword.clear();
    v.smtpSecurity = static_cast<int>(s->smtpsecurity);
    v.smtpAuth = static_cast<int>(s->smtpauth);
    v.smtpPasswordCommand = s->smtppasswordcommand;
    v.away = s->away;
    v.awayText = s->awayText;
    v.rejectResponse = s->rejectresponse;
    v.rejectText = s->rejectText;
    v.enableMailbot = s->enablemailbot;
    v.mailbots.clear();
    for (const TMailbotRecord& bot : s->mailbots) v.mailbots.push_back(bot.subject);
    v.mailbot = v.mailbots.empty() ? -1 : 0;
    LoadMailbot();
}

void TAccountsEditor::LoadMailbot() {
    TAccountValues& v = m_values;
    v.mailbotSubject.clear();
    v.mailbotText.clear();
    v.attachments.clear();
    v.attachment = -1;
    if (!m_selected || v.mailbot < 0) return;
    const auto s = m_selected->Settings();
    if (v.mailbot >= static_cast<int>(s->mailbots.size())) return;
    const TMailbotRecord& bot = s->mailbots[static_cast<std::size_t>(v.mailbot)];
    v.mailbotSubject = bot.subject;
    v.mailbotText = bot.text;
    v.attachments = bot.files;
}

void TAccountsEditor::ButtonClick(int page) {
    if (page >= 0 && page < kPageCount) m_page = page;
    Changed(kPage);
}

void TAccountsEditor::AccountChange(const TAccountValues& values) {
    // The mailbot list, subject and text are the editor's own: the window's copy may be older.
    TAccountValues v = values;
    v.mailbots = m_values.mailbots;
    v.mailbot = m_values.mailbot;
    v.mailbotSubject = m_values.mailbotSubject;
    v.mailbotText = m_values.mailbotText;
    v.attachments = m_values.attachments;
    m_values = std::move(v);
    const bool replaced = MakeOneLine(m_values.passwordCommand);
    if (MakeOneLine(m_values.smtpPasswordCommand) || replaced) Changed(kValues);
    if (!m_selected) return;
    Store();
    RedrawRow();
}

void TAccountsEditor::Store() {
    const TAccountValues& v = m_values;
    std::string error;
    // One edit: what was stored before an error stays, what follows keeps its value.
    m_selected->Edit([&](TAccountSettings& s) {
        try {
            s.name = v.name;
            s.email = v.email;
            s.popserver = v.popServer;
            const long long popPort = ParseNumber(v.popPort).value_or(TAccountSettings::kDefaultPopPort);
            if (popPort < 0 || popPort > 65535) throw TStoreError(kRangeCheckError);
            s.popport = static_cast<std::uint16_t>(popPort);
            s.popsecurity = TlsMode(v.popSecurity);
            s.verifycert = v.verifyCert;
            s.loginname = v.loginName;
            if (!v.password.empty()) s.password = v.password;
            s.popauth = PopAuth(v.popAuth);
            s.passwordcommand = v.passwordCommand;
            for (const auto& check : kFetchChecks) s.*check.setting = v.*check.value;
            s.away = v.away;
            s.awayText = v.awayText;
            s.rejectresponse = v.rejectResponse;
            s.rejectText = v.rejectText;
            s.enablefilters = v.enableFilters;
            s.rejectkb = static_cast<int>(std::clamp<long long>(v.rejectKb, INT_MIN, INT_MAX));
            for (const auto& check : kFilterChecks) s.*check.setting = v.*check.value;
            s.enablesend = v.enableSend;
            s.senddirect = v.sendDirect;
            s.smtpserver = v.smtpServer;
            s.smtpport = static_cast<int>(ParseNumber(v.smtpPort).value_or(TAccountSettings::kDefaultSmtpPort));
            s.smtpsecurity = TlsMode(v.smtpSecurity);
            s.smtploginname = v.smtpLogin;
            if (!v.smtpPassword.empty()) s.smtppassword = v.smtpPassword;
            s.smtpauth = SmtpAuth(v.smtpAuth);
            s.smtppasswordcommand = v.smtpPasswordCommand;
            for (const auto& check : kRedirectChecks) s.*check.setting = v.*check.value;
            s.redirectAddresses = v.redirectAddresses;
            s.enablemailbot = v.enableMailbot;
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    if (!error.empty()) m_user.ShowError(error);
}

void TAccountsEditor::FetchCheckClick(int row) {
    if (row < 0 || row >= static_cast<int>(m_order.size())) return;
    const TAccountPtr account = m_order[static_cast<std::size_t>(row)];
    account->Edit([](TAccountSettings& s) { s.enablefetch = !s.enablefetch; });
    // Deselected and selected again: the controls show the new value.
    SelectRow(-1);
    FillRows();
    SelectRow(static_cast<int>(std::find(m_order.begin(), m_order.end(), account) - m_order.begin()));
}

void TAccountsEditor::AccountAddButtonClick() {
    TAccountPtr account;
    try {
        TZivadAccount& added = m_accounts.Add();
        added.SetBusy(true);  // held by the editor like every other account
        account = m_accounts.Items(m_accounts.IndexOf(&added));
    } catch (const std::exception& e) {
        m_user.ShowError(e.what());
        return;
    }
    FillRows();
    m_selected = account;
    LoadControls();
    Changed(kRows | kValues | kEnabling | kFocusName);
}

void TAccountsEditor::StartFirstAccount() {
    AccountAddButtonClick();
    if (!m_selected) return;
    m_selected->Edit([](TAccountSettings& s) {
        s.popport = 995;
        s.popsecurity = TTlsMode::Implicit;
    });
    // Written at once, so that the preset survives a Cancel as the new account itself does.
    try {
        m_selected->Save();
    } catch (const std::exception& e) {
        m_user.ShowError(e.what());
    }
    LoadControls();
    m_hint = kFirstStartHint;
    m_page = 0;
    Changed(kValues | kEnabling | kPage | kFocusName);
}

void TAccountsEditor::AccountDeleteButtonClick() {
    const int row = Selected();
    if (row < 0) return;
    try {
        m_accounts.Delete(m_accounts.IndexOf(m_selected.get()));
    } catch (const std::exception& e) {
        m_user.ShowError(e.what());
        return;
    }
    SelectRow(-1);
    FillRows();
    if (!m_order.empty()) SelectRow(std::min(row, static_cast<int>(m_order.size()) - 1));
    Changed(kRows | kValues | kEnabling);
}

TZivadFilters* TAccountsEditor::FiltersButtonClick() {
    if (!Enabling().filtersButton) return nullptr;
    m_editedFilters = &m_selected->Filters();
    m_editedFilters->TakeSnapshot();
    return m_editedFilters;
}

void TAccountsEditor::FiltersEditorClosed(bool ok) {
    TZivadFilters* rules = std::exchange(m_editedFilters, nullptr);
    if (!rules) return;
    m_user.Busy(true);
    try {
        if (ok)
            rules->SaveRules();
        else
            rules->RestoreSnapshot();
    } catch (const std::exception& e) {
        m_user.Busy(false);
        m_user.ShowError(e.what());
        return;
    }
    m_user.Busy(false);
}

void TAccountsEditor::RedirectAddButtonClick() {
    if (!Enabling().redirect) return;
    const auto address = m_user.AskText("Redirect Mail", "Address");
    if (!address) return;
    m_values.redirectAddresses.push_back(*address);
    Changed(kValues);
    AccountChange(m_values);
}

void TAccountsEditor::RedirectDeleteButtonClick(int index) {
    if (!Enabling().redirect || index < 0 || index >= static_cast<int>(m_values.redirectAddresses.size())) return;
    m_values.redirectAddresses.erase(m_values.redirectAddresses.begin() + index);
    Changed(kValues);
    AccountChange(m_values);
}

void TAccountsEditor::MailbotChosen(int index) {
    m_values.mailbot = index >= 0 && index < static_cast<int>(m_values.mailbots.size()) ? index : -1;
    LoadMailbot();
    Changed(kValues | kEnabling);
}

bool TAccountsEditor::EditMailbot(const std::function<void(TMailbotRecord&)>& change) {
    const int index = m_values.mailbot;
    if (!m_selected || index < 0) return false;
    m_selected->Edit([&](TAccountSettings& s) {
        if (index < static_cast<int>(s.mailbots.size())) change(s.mailbots[static_cast<std::size_t>(index)]);
    });
    return true;
}

void TAccountsEditor::MailbotSubjectChanged(const std::string& subject) {
    if (!EditMailbot([&](TMailbotRecord& bot) { bot.subject = subject; })) return;
    m_values.mailbotSubject = subject;
    m_values.mailbots[static_cast<std::size_t>(m_values.mailbot)] = subject;
    Changed(kValues);
    AccountChange(m_values);
}

void TAccountsEditor::MailbotTextChanged(const std::string& text) {
    if (!EditMailbot([&](TMailbotRecord& bot) { bot.text = text; })) return;
    m_values.mailbotText = text;
    AccountChange(m_values);
}

void TAccountsEditor::MailbotAddButtonClick() {
    if (!Enabling().mailbot) return;
    const auto subject = m_user.AskText("New Mailbot", "Subject");
    if (!subject) return;
    const auto same = std::find_if(m_values.mailbots.begin(), m_values.mailbots.end(),
                                   [&](const std::string& s) { return SameTextAscii(s, *subject); });
    if (same != m_values.mailbots.end()) {
        MailbotChosen(static_cast<int>(same - m_values.mailbots.begin()));
        return;
    }
    m_selected->AddMailbot(*subject);
    m_values.mailbots.push_back(*subject);
    MailbotChosen(static_cast<int>(m_values.mailbots.size()) - 1);
    AccountChange(m_values);
}

void TAccountsEditor::MailbotDeleteButtonClick() {
    const int index = m_values.mailbot;
    if (!Enabling().mailbot || index < 0) return;
    m_selected->DeleteMailbot(index);
    m_values.mailbots.erase(m_values.mailbots.begin() + index);
    const int count = static_cast<int>(m_values.mailbots.size());
    MailbotChosen(count == 0 ? -1 : std::min(index, count - 1));
    AccountChange(m_values);
}

void TAccountsEditor::AttachmentSelected(int index) {
    m_values.attachment = index >= 0 && index < static_cast<int>(m_values.attachments.size()) ? index : -1;
    Changed(kEnabling);
}

void TAccountsEditor::AttachmentAddButtonClick() {
    if (!Enabling().mailbot || m_values.mailbot < 0) return;
    const auto file = m_user.ChooseOpenFile({});
    if (!file) return;
    EditMailbot([&](TMailbotRecord& bot) { bot.files.push_back(*file); });
    m_values.attachments.push_back(*file);
    Changed(kValues | kEnabling);
    AccountChange(m_values);
}

void TAccountsEditor::AttachmentDeleteButtonClick() {
    const int file = m_values.attachment;
    if (!Enabling().attachmentDelete || m_values.mailbot < 0) return;
    EditMailbot([&](TMailbotRecord& bot) {
        if (file < static_cast<int>(bot.files.size())) bot.files.erase(bot.files.begin() + file);
    });
    m_values.attachments.erase(m_values.attachments.begin() + file);
    m_values.attachment = -1;
    Changed(kValues | kEnabling);
    AccountChange(m_values);
}

void TAccountsEditor::AttachmentDoubleClick(int file) {
    if (!Enabling().mailbot || m_values.mailbot < 0 || file < 0 || file >= static_cast<int>(m_values.attachments.size()))
        return;
    const auto chosen = m_user.ChooseOpenFile(m_values.attachments[static_cast<std::size_t>(file)]);
    if (!chosen) return;
    EditMailbot([&](TMailbotRecord& bot) {
        if (file < static_cast<int>(bot.files.size())) bot.files[static_cast<std::size_t>(file)] = *chosen;
    });
    m_values.attachments[static_cast<std::size_t>(file)] = *chosen;
    Changed(kValues);
}

}  // namespace vorla
