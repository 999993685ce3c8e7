#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log/LogLines.h"
#include "log/Summary.h"
#include "platform/DateTime.h"
#include "platform/Slot.h"

namespace vorla {

class TIniFile;

// Which categories the log writes, and after how many days old lines are trimmed.
struct TLogSettings {
    std::int32_t trimDays = 30;  // "trimdays"; 0 or less never trims
    bool accepted = true;        // "accepted": "Accepted" and "Ok"
    bool trashed = true;         // "trashed"
    bool quarantined = true;     // "quarantined"
    bool queued = true;          // "queued"
    bool rejected = true;        // "rejected"
    bool redirected = true;      // "redirected"
    bool errors = true;          // "error"
    bool autoReplies = true;     // "autoreply": "AutoReply"
    bool mailbot = true;         // "mailbot": "Mailbot"
    bool addedFilters = true;    // "autoadd": "AddFilter"
};

// The activity log: one UTF-8 text file, one line per event, oldest first, every line ending
// CR LF. Lines are appended (the file is never rewritten for an append); trimming rewrites it
// atomically. All members may be called from any thread: appends, reads and the trim are
// serialised by one lock, and while an append or a trim is under way the readers return an
// empty text at once instead of waiting.
class TZivadLog {
public:
    using TClock = std::function<TDateTime()>;  // the local time now

    // Settings keys of section "log", in the order in which SaveSettings writes them.
    static constexpr const char* kSection = "log";
    static constexpr const char* kKeyTrimDays = "trimdays";
    static constexpr const char* kKeyAccepted = "accepted";
    static constexpr const char* kKeyTrashed = "trashed";
    static constexpr const char* kKeyQueued = "queued";
    static constexpr const char* kKeyQuarantined = "quarantined";
    static constexpr const char* kKeyRejected = "rejected";
    static constexpr const char* kKeyRedirected = "redirected";
    static constexpr const char* kKeyError = "error";
    static constexpr const char* kKeyAutoReply = "autoreply";
    static constexpr const char* kKeyMailbot = "mailbot";
    static constexpr const char* kKeyAutoAdd = "autoadd";

    // fileName: the log file (see FileNameFor). now: the clock for time stamps and trimming,
    // vorla::Now when empty. The file is not touched until it is first needed.
    explicit TZivadLog(std::string fileName, TClock now = {});
    TZivadLog(const TZivadLog&) = delete;
    TZivadLog& operator=(const TZivadLog&) = delete;

    // The log file for a program file: same folder, the file name with every ".exe" removed
    // (letter case ignored) and ".log" appended: "<home>/vorla.exe" -> "<home>/vorla.log".
    static std::string FileNameFor(const std::string& programFile);
    const std::string& FileName() const { return m_fileName; }

    // Raised (outside the lock, on the calling thread) after every append attempt, also a
    // failed one, and after every trim that ran. The subscriber may read the log back.
    TSlot<TZivadLog&> OnLogChanged;

    // Appends time stamp + TAB + eventText (made safe as FormatLogLine says) when an enabled
    // category word occurs in the text at a position after its first character (letter case
    // ignored, plain substring search); otherwise drops it silently and returns false.
    // Throws TFileError when the line could not be written (it is then lost).
    bool AppendLine(const std::string& eventText);
    // True when AppendLine would write the text with the current settings.
    bool Qualifies(const std::string& eventText) const;

    // The readers. Each returns "" when the file does not exist or while the log is busy.
    // A file that cannot be read throws TFileError.
    std::string LogText() const;  // all lines, newest first, each followed by CR LF
    // The lines whose account name (see ParseLogFields) equals accountName exactly, newest
    // first, each followed by CR LF.
    std::string AccountLogText(const std::string& accountName) const;
    std::string DailySummary() const;    // DailySummaryText of the file's lines
    std::string AccountSummary() const;  // AccountSummaryText of the file's lines

    // When the file exists, trim days > 0 and the log is not busy: removes the old lines at
    // the top (LinesToTrim against today's date) by rewriting the file atomically, then raises
    // OnLogChanged. Throws TFileError when the file cannot be read or rewritten (it is then
    // unchanged).
    void TrimLog();

    // True while a line is being appended or the file trimmed.
    bool Busy() const { return m_busy; }

    TLogSettings Settings() const;
    void SetSettings(const TLogSettings& settings);
    // Reads section "log", each key with the current value as default; a trimdays value out
    // of the 32-bit range is ignored.
    void LoadSettings(const TIniFile& ini);
    // Writes section "log": trimdays, accepted, trashed, queued, quarantined, rejected,
    // redirected, error, autoreply, mailbot, autoadd (booleans "0"/"1").
    void SaveSettings(TIniFile& ini) const;

private:
    std::vector<std::string> ReadLinesLocked() const;  // m_mutex held; file must exist

    const std::string m_fileName;
    const TClock m_now;

    mutable std::mutex m_settingsMutex;  // guards m_settings
    TLogSettings m_settings;

    mutable std::mutex m_mutex;  // guards the log file: held for a whole append, read or trim
    std::atomic<bool> m_busy{false};
};

}  // namespace vorla
