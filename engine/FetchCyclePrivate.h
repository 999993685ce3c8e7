#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "filters/Classify.h"
#include "mail/MessageStore.h"
#include "platform/DateTime.h"

// What the fetch cycle's operations share inside engine/: the way from an account to its
// engine and what they take from it.
namespace vorla {

class TMailMessage;
class TZivad;
class TZivadAccount;
struct TAccountSettings;
class TZivadLog;

// The vorla folder, the quarantine and the trash of an account, locked together for an
// operation that moves messages between them. They are taken as one step, never waiting for
// one while holding another, so that this cannot deadlock with a thread that takes two of
// them in the other order (a user's move, a mail client's session).
class TMoveLock {
public:
    explicit TMoveLock(TZivadAccount& account);

private:
    using TLock = TZivadMessageCollection::TFolderLock;
    std::scoped_lock<TLock, TLock, TLock> m_lock;
};

// What the classification reads of an account: its checks and rules as its settings give them.
TClassifyAccount ClassifyInputsOf(TZivadAccount& account, const TAccountSettings& settings);

// One operation's view of its account and engine. Made at the start of the operation on the
// thread that runs it; the account (and the engine, when there is one) must outlive it. The
// settings are the snapshot taken then: an edit made while the operation runs applies from
// the next operation on.
class TRunContext {
public:
    // log may be nullptr: log lines are then dropped.
    TRunContext(TZivadAccount& account, TZivadLog* log);

    TZivadAccount& Account() const { return m_account; }
    const TAccountSettings& Settings() const { return *m_settings; }
    TZivad* Engine() const { return m_engine; }
    TZivadLog* Log() const { return m_log; }
    const std::string& Name() const { return m_name; }

    // OnStatusText of the engine with "[" name "] " + text.
    void Progress(const std::string& text) const;
    // A status-history line TAB tag TAB name TAB description, through the account list.
    void Status(const char* tag, const std::string& description) const;
    // Appends an event text to the log (when there is one). Throws TFileError.
    void LogEvent(const std::string& eventText) const;
    // The log line about one message: name TAB category " - (" reason ") " (or " - " without a
    // reason) and its Date, From (display form) and Subject.
    void LogMessageEvent(const char* category, const std::optional<std::string>& reason,
                         const TMailMessage& message) const;
    // The error line about one message: name TAB "Error - " name " - " error " Date: " date
    // " From: " from " Subject: " subject.
    void LogMessageError(const std::string& error, const TMailMessage& message) const;
    // name TAB "Error - " name " - " + text.
    void LogError(const std::string& text) const;

    // The status switches of the engine; on without one.
    bool StatusFetch() const;
    bool StatusFilter() const;
    int PurgeDays() const;  // 0 without an engine

    // ClassifyMessage with this account's options and rules, the engine's global rules and
    // reverse lookups, and this log for the automatic rules it adds.
    TClassification Classify(std::string_view text, std::int64_t size, bool bodyRulesOnly) const;
    // What Classify of the header text will most likely give, without any of its effects
    // (see TClassifyEngine::lookAhead).
    int LookAhead(std::string_view text, std::int64_t size) const;

    // Runs the pending UI events when the calling thread is the engine's UI thread; elsewhere
    // (a worker, no engine) it does nothing.
    void PumpUiEvents() const;

private:
    TZivadAccount& m_account;
    std::shared_ptr<const TAccountSettings> m_settings;
    TZivad* m_engine;
    TZivadLog* m_log;
    std::string m_name;
    TClassifyAccount m_inputs;
};

}  // namespace vorla
