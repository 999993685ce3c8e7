#include "engine/FetchCyclePrivate.h"

#include "engine/Dispatcher.h"
#include "engine/FetchCycle.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "platform/Errors.h"

namespace vorla {

TMoveLock::TMoveLock(TZivadAccount& account)
    : m_lock(account.VorlaFolder().Lock(), account.QuarantineFolder().Lock(), account.TrashFolder().Lock()) {}

TClassifyAccount ClassifyInputsOf(TZivadAccount& account, const TAccountSettings& settings) {
    TClassifyAccount inputs;
    inputs.name = settings.name;
    inputs.email = settings.email;
    inputs.enablefilters = settings.enablefilters;
    inputs.rejectownemail = settings.rejectownemail;
    inputs.rejectinvalidrecipient = settings.rejectinvalidrecipient;
    inputs.rejectkb = settings.rejectkb;
    inputs.rejectolddates = settings.rejectolddates;
    inputs.rejectillegalips = settings.rejectillegalips;
    for (const TMailbotRecord& mailbot : settings.mailbots) inputs.mailbotSubjects.push_back(mailbot.subject);
    inputs.rules = &account.Filters();
    inputs.stopRequested = [&account] { return account.StopRequested(); };
    return inputs;
}

TRunContext::TRunContext(TZivadAccount& account, TZivadLog* log)
    : m_account(account),
      m_settings(account.Settings()),
      m_engine(account.Owner() ? account.Owner()->Owner() : nullptr),
      m_log(log),
      m_name(m_settings->name),
      m_inputs(ClassifyInputsOf(account, *m_settings)) {}

void TRunContext::Progress(const std::string& text) const {
    if (m_engine) m_engine->OnStatusText.Raise("[" + m_name + "] " + text);
}

void TRunContext::Status(const char* tag, const std::string& description) const {
    if (TZivadAccounts* list = m_account.Owner()) list->AddStatus(StatusEventText(tag, m_name, description));
}

void TRunContext::LogEvent(const std::string& eventText) const {
    if (m_log) m_log->AppendLine(eventText);
}

void TRunContext::LogMessageEvent(const char* category, const std::optional<std::string>& reason,
                                  const TMailMessage& message) const {
    LogEvent(MessageEventText(m_name, category, reason, message.Date, message.From.Text(), message.Subject));
}

void TRunContext::LogMessageError(const std::string& error, const TMailMessage& message) const {
    LogError(OneLine(error) + " Date: " + FormatDateTime(kMessageDateFormat, message.Date) +
             " From: " + message.From.Text() + " Subject: " + message.Subject);
}

void TRunContext::LogError(const std::string& text) const { LogEvent(ErrorEventText(m_name, text)); }

bool TRunContext::StatusFetch() const { return !m_engine || m_engine->StatusFetch(); }

bool TRunContext::StatusFilter() const { return !m_engine || m_engine->StatusFilter(); }

int TRunContext::PurgeDays() const { return m_engine ? m_engine->PurgeDays() : 0; }

TClassification TRunContext::Classify(std::string_view text, std::int64_t size, bool bodyRulesOnly) const {
    TClassifyEngine engine;
    if (m_engine) {
        engine.globalRules = &m_engine->Filters();
        engine.reverseDns = &m_engine->ReverseDns();
    }
    engine.log = m_log;
    return ClassifyMessage(m_inputs, engine, text, size, bodyRulesOnly);
}

int TRunContext::LookAhead(std::string_view text, std::int64_t size) const {
    TClassifyEngine engine;
    if (m_engine) engine.globalRules = &m_engine->Filters();
    engine.lookAhead = true;
    return ClassifyMessage(m_inputs, engine, text, size, false).result;
}

void TRunContext::PumpUiEvents() const {
    if (m_engine && m_engine->OnUiThread()) m_engine->Dispatcher().ProcessEvents();
}

std::string FetchSummary(const TLogSettings& switches, int accepted, int trashed, int quarantined, int rejected,
                         int purged, int errors, bool noDownload) {
    std::string text;
    auto part = [&text](bool shown, const char* name, int n) {
        if (shown && n >= 0) text += std::string(name) + "=" + std::to_string(n) + " ";
    };
    part(switches.accepted, noDownload ? "Ok" : "Accepted", accepted);
    part(switches.trashed, "Trashed", trashed);
    part(switches.quarantined, noDownload ? "Unknown" : "Quarantined", quarantined);
    part(switches.rejected, "Rejected", rejected);
    part(true, "Purged", purged);
    part(switches.errors, "Errors", errors);
    if (!text.empty()) text.pop_back();
    return text;
}

}  // namespace vorla
