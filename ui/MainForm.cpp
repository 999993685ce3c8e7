#include "ui/MainForm.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <mutex>

#include "engine/Dispatcher.h"
#include "engine/FetchCycle.h"
#include "engine/SimpleThread.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "net/PopServer.h"
#include "platform/DateTime.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "ui/LogViews.h"
#include "ui/PrefsForm.h"
#include "ui/PeekForm.h"

namespace vorla {
namespace {

constexpr const char* kDisplaySection = "display";
constexpr const char* kTopKey = "top";
constexpr const char* kLeftKey = "left";
constexpr const char* kHeightKey = "height";
constexpr const char* kWidthKey = "width";

// A fixed name in the home folder, whatever the program file is called.
std::string DisplayFileName() { return HomeFolder() + "vorla.ini"; }

int ReadPixels(const TIniFile& ini, const char* key, int current) {
    const long long value = ini.ReadInteger(kDisplaySection, key, current);
    return value < -100000 || value > 100000 ? current : static_cast<int>(value);
}

constexpr std::array<const char*, kFolderKindCount> kCountedCaptions{"Vorla (", "Quarantine (", "Trash (", "Queue ("};

std::string ErrorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

TMainForm::TMainForm(TZivad& engine)
    : m_engine(engine), m_logViews(std::make_unique<TLogViews>(engine)), m_alive(std::make_shared<TMainForm*>(this)) {
    // The slots are raised on whatever thread does the work, and a Raise under way may still
    // call a subscriber that has just unsubscribed: the subscribers touch nothing of the form
    // (only the dispatcher, which outlives it, and a weak link) and just post.
    auto accountSlot = [this](TSlot<const std::string&>& slot, std::function<void(TMainForm&, const std::string&)> react) {
        const auto id = slot.Subscribe(
            [poster = Poster(), react = std::move(react)](const std::string& text) {
                poster([react, text](TMainForm& form) { react(form, text); });
            });
        m_unsubscribe.push_back([&slot, id] { slot.Unsubscribe(id); });
    };
    accountSlot(engine.OnStatusText, [](TMainForm& form, const std::string& text) { form.SetStatus(text); });
    accountSlot(engine.OnFetchStart, [](TMainForm& form, const std::string& f) { form.AccountStatus(f, "Fetching mail"); });
    accountSlot(engine.OnFilterStart,
                [](TMainForm& form, const std::string& f) { form.AccountStatus(f, "Filtering messages"); });
    accountSlot(engine.OnFetchEnd, [](TMainForm& form, const std::string&) { form.SetStatus(""); });
    accountSlot(engine.OnFilterEnd, [](TMainForm& form, const std::string&) { form.SetStatus(""); });
    const auto runEnd = engine.OnRunEnd.Subscribe(
        [poster = Poster()](TZivad&) { poster([](TMainForm& form) { form.SetStatus(""); }); });
    m_unsubscribe.push_back([this, runEnd] { m_engine.OnRunEnd.Unsubscribe(runEnd); });
    FillAccountList();
}

TMainForm::~TMainForm() {
    for (auto& unsubscribe : m_unsubscribe) unsubscribe();
    UnwatchFolders();
}

std::function<void(std::function<void(TMainForm&)>)> TMainForm::Poster() const {
    TDispatcher* dispatcher = &m_engine.Dispatcher();
    std::weak_ptr<TMainForm*> alive = m_alive;
    return [dispatcher, alive](std::function<void(TMainForm&)> call) {
        dispatcher->Post([alive, call = std::move(call)] {
            // The form and the calls posted to it live on the UI thread: once this lock
            // succeeds, the form stays for the whole call.
            if (const auto form = alive.lock()) call(**form);
        });
    };
}

TZivadMessageCollection& TMainForm::Folder(TZivadAccount& account, TFolderKind kind) {
    switch (kind) {
        case TFolderKind::Vorla: return account.VorlaFolder();
        case TFolderKind::Quarantine: return account.QuarantineFolder();
        case TFolderKind::Trash: return account.TrashFolder();
        case TFolderKind::Queue: return account.QueueFolder();
    }
    return account.VorlaFolder();
}

void TMainForm::WatchFolders(const std::vector<TAccountPtr>& accounts) {
    for (const TAccountPtr& account : accounts) {
        TWatched watched{account, {}};
        const std::string folderName = account->FolderName();
        for (int k = 0; k < kFolderKindCount; ++k) {
            const auto kind = static_cast<TFolderKind>(k);
            watched.subscriptions[k] = Folder(*account, kind).OnChange.Subscribe(
                [poster = Poster(), folderName, kind](TZivadMessageCollection&) {
                    poster([folderName, kind](TMainForm& form) { form.FolderChanged(folderName, kind); });
                });
        }
        m_watched.push_back(std::move(watched));
    }
}

void TMainForm::UnwatchFolders() {
    for (TWatched& watched : m_watched)
        for (int k = 0; k < kFolderKindCount; ++k)
            Folder(*watched.account, static_cast<TFolderKind>(k)).OnChange.Unsubscribe(watched.subscriptions[k]);
    m_watched.clear();
}

int TMainForm::SelectedAccount() const {
    for (std::size_t i = 0; i < m_accounts.size(); ++i)
        if (m_accounts[i] == m_selected) return static_cast<int>(i);
    return -1;
}

void TMainForm::FillAccountList() {
    m_accounts = m_engine.Accounts().Snapshot();
    // Watch exactly the accounts that exist now; holding a discarded one would keep its
    // folders (and a deleted account's files) alive.
    UnwatchFolders();
    WatchFolders(m_accounts);
    m_accountRows.clear();
    for (const TAccountPtr& account : m_accounts) {
        const auto settings = account->Settings();
        m_accountRows.push_back({settings->name, settings->enablefetch});
    }
    unsigned parts = kAccountList;
    if (m_selected && SelectedAccount() < 0) {
        m_selected.reset();
        m_currentAccount.reset();
        m_messageRows.clear();
        m_messageText.clear();
        m_accountLabel = "Account";
        parts |= kMessageList | kMessageText;
    }
    Changed(parts);
}

void TMainForm::SelectAccount(int row) {
    if (row < 0 || row >= static_cast<int>(m_accounts.size())) return;
    m_selected = m_accounts[row];
    Changed(kAccountList);
    AccountSelectionChanged();
}

void TMainForm::AccountSelectionChanged() {
    if (!m_selected) return;
    m_currentAccount = m_selected;
    m_currentKind = m_downFolder;
    RebuildMessageList();
    RecountFolders();
}

void TMainForm::RecountFolders() {
    if (!m_selected) return;
    for (int k = 0; k < kFolderKindCount; ++k)
        m_folderCaptions[k] = kCountedCaptions[k] +
                              std::to_string(Folder(*m_selected, static_cast<TFolderKind>(k)).Count()) + ")";
    Changed(kFolderButtons);
}

void TMainForm::FolderButtonClick(TFolderKind kind) {
    m_downFolder = kind;
    m_currentAccount.reset();
    if (m_selected) {
        m_currentAccount = m_selected;
        m_currentKind = kind;
    }
    Changed(kFolderButtons);
    if (m_currentAccount) RebuildMessageList();
}

void TMainForm::RebuildMessageList() {
    if (m_listRefreshing || m_terminating || !m_currentAccount) return;
    m_listRefreshing = true;
    SetStatus("Refreshing message collection");
    m_accountLabel = m_selected ? m_selected->Name() : m_currentAccount->Name();
    m_messageText.clear();
    m_messageRows.clear();
    m_selectedMessage = -1;
    TZivadMessageCollection& folder = Folder(*m_currentAccount, m_currentKind);
    {
        // Reading marks nothing changed, so the unlock raises no OnChange.
        std::scoped_lock lock(folder.Lock());
        for (int i = 0; i < folder.Count(); ++i) {
            TZivadMessageItem* item = folder.Item(i);
            item->Load(true);
            const TMailMessage& message = item->Message();
            m_messageRows.push_back({std::to_string(item->Index() + 1),
                                     FormatDateTime(kMessageDateFormat, message.Date), std::to_string(item->Size()),
                                     message.From.Text(), message.Subject});
            item->Release();
        }
    }
    m_listRefreshing = false;
    Changed(kMessageList | kMessageText);
}

void TMainForm::SelectMessage(int row) {
    m_selectedMessage = m_currentAccount ? row : -1;
    if (!m_currentAccount || row < 0) return;
    TZivadMessageCollection& folder = Folder(*m_currentAccount, m_currentKind);
    {
        std::scoped_lock lock(folder.Lock());
        // The folder may have changed since the list was drawn; its change is on the way.
        TZivadMessageItem* item = folder.Item(row);
        if (!item) return;
        m_messageText = item->DisplayText();
    }
    Changed(kMessageText);
}

void TMainForm::FolderChanged(const std::string& folderName, TFolderKind kind) {
    if (!m_currentAccount || m_currentAccount->FolderName() != folderName || m_currentKind != kind) return;
    AccountSelectionChanged();
}

void TMainForm::AccountStatus(const std::string& folderName, const std::string& what) {
    // The account may have been deleted or reloaded since the worker raised this.
    const TAccountPtr account = m_engine.Accounts().FindByFolder(folderName);
    if (!account) return;
    SetStatus("[" + account->Name() + "] " + what);
}

void TMainForm::SetStatus(const std::string& text) {
    m_statusText = text;
    Changed(kStatusLine);
}

void TMainForm::Changed(unsigned parts) {
    if (OnChanged) OnChanged(parts);
}

TMainForm::TIdleState TMainForm::Idle(bool messageRowSelected) {
    TIdleState state{};
    state.allowRejectEnabled = m_downFolder != TFolderKind::Queue;
    state.moveEnabled = messageRowSelected;
    state.fetchService = m_engine.TimerEnabled();
    state.filtersService = m_engine.Filters().Settings().enabled;
    state.pop3Service = m_engine.PopServer().Active();
    // While a command runs, its progress texts stay on the status line.
    if (!Running() && !m_terminating && (m_currentAccount || LogPageShown())) {
        const int entries =
            LogPageShown() ? m_logViews->LineCount() : Folder(*m_currentAccount, m_currentKind).Count();
        const std::string count = " " + std::to_string(entries) + " entries";
        if (count != m_statusText) SetStatus(count);
    }
    return state;
}

void TMainForm::RunCommand(const std::function<void()>& command) {
    ++m_commandDepth;
    try {
        command();
    } catch (const std::exception& e) {
        SetStatus(e.what());
    }
    --m_commandDepth;
}

void TMainForm::GetMailButtonClick() {
    RunCommand([this] { m_engine.RunAll(); });
}

std::vector<TMainForm::TMenuItem> TMainForm::GetMailMenu() const {
    std::vector<TMenuItem> items;
    for (const TAccountPtr& account : m_engine.Accounts().Snapshot()) {
        const auto settings = account->Settings();
        if (settings->enablefetch) items.push_back({settings->name, account->FolderName()});
    }
    return items;
}

void TMainForm::GetMailMenuClick(const std::string& folderName) {
    const TAccountPtr account = m_engine.Accounts().FindByFolder(folderName);
    if (!account) return;
    RunCommand([&] {
        // On a worker while the window keeps running its events; the timer and the log are
        // left as they are, as for any single account's fetch.
        const auto error = RunAndWait(
            m_engine.Dispatcher(), m_engine.Log(),
            [](TZivadAccount& context, TZivadLog& log) { FetchMail(context, log); }, *account);
        if (error) SetStatus("[" + account->Name() + "] " + ErrorText(error));
    });
}

void TMainForm::SendMailButtonClick() {
    RunCommand([this] { m_engine.SendAll(); });
}

void TMainForm::RunFiltersButtonClick() {
    RunCommand([this] { m_engine.FilterAll(); });
}

void TMainForm::StopButtonClick() { m_engine.Stop(); }

void TMainForm::AccountsButtonClick() {
    m_busyBeforeAccounts.clear();
    for (const TAccountPtr& account : m_engine.Accounts().Snapshot())
        if (!account->TryBeginBusy()) m_busyBeforeAccounts.push_back(account);
}

std::vector<std::string> TMainForm::AccountsEditorClosed(bool ok) {
    std::vector<std::string> messages;
    TZivadAccounts& accounts = m_engine.Accounts();
    try {
        if (ok)
            messages = accounts.SaveAll();
        else
            accounts.ReloadAll();
    } catch (const std::exception& e) {
        messages.push_back(e.what());
    }
    try {
        FillAccountList();
        // After the first start (or the deletion of the selected account) the mail view shows
        // the first account, as the switch to the mail view does.
        if (!m_selected && !m_accounts.empty() && !LogPageShown()) SelectAccount(0);
    } catch (const std::exception& e) {
        messages.push_back(e.what());
    }
    for (const TAccountPtr& account : accounts.Snapshot())
        if (std::find(m_busyBeforeAccounts.begin(), m_busyBeforeAccounts.end(), account) == m_busyBeforeAccounts.end())
            account->SetBusy(false);
    m_busyBeforeAccounts.clear();
    return messages;
}

bool TMainForm::FirstStart() const { return m_engine.Accounts().Count() == 0; }
void TMainForm::FilterButtonClick() { m_engine.Filters().TakeSnapshot(); }
TZivadFilters& TMainForm::GlobalRules() { return m_engine.Filters(); }
void TMainForm::FilterEditorClosed(bool ok) {
    if (ok)
        RunCommand([this] { m_engine.Filters().SaveRules(); });
    else
        m_engine.Filters().RestoreSnapshot();
}
void TMainForm::PeekButtonClick(const std::function<void(TPeekWindow&)>& show) {
    RunCommand([&] {
        TPeekWindow window(m_engine);
        show(window);
    });
}
std::unique_ptr<TPrefsEditor> TMainForm::PrefsButtonClick() { return std::make_unique<TPrefsEditor>(m_engine); }
void TMainForm::PrefsServiceClick(TService service) {
    switch (service) {
    case TService::Fetch:
        m_engine.SetTimerEnabled(!m_engine.TimerEnabled());
        break;
    case TService::Filters: {
        TFilterSettings settings = m_engine.Filters().Settings();
        settings.enabled = !settings.enabled;
        m_engine.Filters().SetSettings(settings);
        break;
    }
    case TService::Pop3:
        m_engine.PopServer().SetActive(!m_engine.PopServer().Active());
        break;
    }
}

int TMainForm::ToolbarHeight(int aboutButtonTop, int currentHeight) {
    if (aboutButtonTop == 0) return 39;
    if (aboutButtonTop == 38) return 77;
    return currentHeight;
}

void TMainForm::LogMailButtonClick(bool down) {
    m_logViews->SetPageShown(down);
    if (!down && !m_selected && !m_accounts.empty()) SelectAccount(0);
}

bool TMainForm::LogPageShown() const { return m_logViews->PageShown(); }
TZivadFilters* TMainForm::RuleTarget() { return m_selected ? &m_selected->Filters() : nullptr; }

TRuleOffer TMainForm::OfferRule(TRuleEntry entry, TFilterAction action, const std::string& selection) {
    TRuleSource source;
    source.selection = selection;
    if (!m_currentAccount || m_selectedMessage < 0) return vorla::OfferRule(entry, action, source);
    TZivadMessageCollection& folder = Folder(*m_currentAccount, m_currentKind);
    std::scoped_lock lock(folder.Lock());
    TZivadMessageItem* item = folder.Item(m_selectedMessage);
    if (!item) return vorla::OfferRule(entry, action, source);
    if (entry == TRuleEntry::Received) source.firstReceivedIp = item->ReceivedIPs(false);
    if (entry == TRuleEntry::AllReceivedIps) source.allReceivedIps = item->ReceivedIPs(true);
    if (entry == TRuleEntry::Attachment) source.attachmentName = item->AttachmentName();
    item->Load(true);
    source.message = &item->Message();
    TRuleOffer offer = vorla::OfferRule(entry, action, source);
    item->Release();
    return offer;
}

TRuleOutcome TMainForm::CreateRule(const TRuleOffer& offer, const std::string& text) {
    TZivadFilters* rules = RuleTarget();
    return rules ? vorla::CreateRule(*rules, offer, text) : TRuleOutcome::Nothing;
}

std::optional<std::string> TMainForm::AddAllReceivedIps(TFilterAction action) {
    TZivadFilters* rules = RuleTarget();
    if (!rules) return std::nullopt;
    const TRuleOffer offer = OfferRule(TRuleEntry::AllReceivedIps, action, "");
    return vorla::AddAllReceivedIps(*rules, action, offer.value);
}

TMainForm::TMoveMenu TMainForm::MoveMenu() const {
    const TFolderKind down = m_downFolder;
    TMoveMenu menu{};
    menu.vorla = down == TFolderKind::Quarantine || down == TFolderKind::Trash;
    menu.quarantine = down == TFolderKind::Vorla || down == TFolderKind::Trash;
    menu.trash = down == TFolderKind::Vorla || down == TFolderKind::Quarantine;
    menu.del = down == TFolderKind::Trash || down == TFolderKind::Queue;
    for (const TAccountPtr& account : m_engine.Accounts().Snapshot())
        menu.accounts.push_back({account->Name(), account->FolderName()});
    return menu;
}

void TMainForm::MoveMessages(const std::vector<int>& rows, const std::optional<TMoveTarget>& target) {
    if (!m_currentAccount || rows.empty()) return;
    TAccountPtr targetAccount;
    if (target) {
        targetAccount = target->folderName.empty() ? m_selected : m_engine.Accounts().FindByFolder(target->folderName);
        if (!targetAccount) return;
    }
    // Held by the form: a deletion of either account meanwhile leaves their folders in place.
    const TAccountPtr source = m_currentAccount;
    TZivadMessageCollection& folder = Folder(*source, m_currentKind);
    TZivadMessageCollection* to = targetAccount ? &Folder(*targetAccount, target->kind) : nullptr;
    {
        std::scoped_lock lock(folder.Lock());
        // Items first, positions after: a copy into this very folder appends to it.
        std::vector<TZivadMessageItem*> items;
        for (const int row : rows)
            if (TZivadMessageItem* item = folder.Item(row)) items.push_back(item);
        for (TZivadMessageItem* item : items) {
            if (to) {
                item->Load();
                to->AddMessage(item->Message(), "");
                item->Release();
            }
            item->Deleted = true;
        }
        folder.Purge();
    }
}

void TMainForm::StripHtmlButtonClick() {
    if (m_selectedMessage < 0 || m_messageText.empty()) return;
    m_messageText = StripHtmlTags(m_messageText);
    Changed(kMessageText);
}

std::string TMainForm::FindHelpFile(const std::string& programDir, const std::string& file) {
    const std::filesystem::path dir(programDir);
    for (const std::filesystem::path& candidate :
         {dir / ".." / "share" / "vorla" / "help" / file, dir / ".." / "docs" / "manual" / file,
          dir / ".." / ".." / "docs" / "manual" / file}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate.lexically_normal().string();
    }
    return {};
}

std::string TMainForm::HelpButtonClick(const std::string& programDir, const std::string& file) {
    std::string path = FindHelpFile(programDir, file);
    if (path.empty()) SetStatus("The help file " + file + " was not found");
    return path;
}

void TMainForm::Close() {
    m_terminating = true;
    m_logViews->SetTerminating();
    SetStatus("Terminating...");
    try {
        m_engine.Stop();
    } catch (...) {
        // Closing goes on whatever failed.
    }
}

std::optional<TWindowBounds> TMainForm::StoredBounds(const TWindowBounds& current) {
    const TIniFile ini(DisplayFileName());
    if (!ini.SectionExists(kDisplaySection)) return std::nullopt;
    return TWindowBounds{ReadPixels(ini, kTopKey, current.top), ReadPixels(ini, kLeftKey, current.left),
                         ReadPixels(ini, kHeightKey, current.height), ReadPixels(ini, kWidthKey, current.width)};
}

void TMainForm::SaveBounds(const TWindowBounds& bounds) {
    TIniFile ini(DisplayFileName());
    ini.BeginUpdate();
    ini.WriteInteger(kDisplaySection, kTopKey, bounds.top);
    ini.WriteInteger(kDisplaySection, kLeftKey, bounds.left);
    ini.WriteInteger(kDisplaySection, kHeightKey, bounds.height);
    ini.WriteInteger(kDisplaySection, kWidthKey, bounds.width);
    ini.UpdateFile();
}

}  // namespace vorla
