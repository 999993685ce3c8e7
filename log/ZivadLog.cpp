#include "log/ZivadLog.h"

#include <exception>
#include <fstream>
#include <limits>

#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "text/TextSearch.h"

namespace vorla {

namespace {

// False when the file's last byte is something other than LF, which happens when a write was
// cut short (a crash, a full disk) or the file was edited by hand.
bool EndsWithLineBreak(const std::string& path) {
    const auto size = FileSize(path);
    if (!size || *size == 0) return true;
    std::ifstream in(path, std::ios::binary);
    in.seekg(-1, std::ios::end);
    char last = 0;
    if (!in.get(last)) return true;  // unreadable here: the append itself will report it
    return last == '\n';
}

std::string JoinNewestFirst(const std::vector<std::string>& lines) {
    std::string out;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        out += *it;
        out += "\r\n";
    }
    return out;
}

// Holds the busy flag for the lifetime of the object.
class TBusy {
public:
    explicit TBusy(std::atomic<bool>& flag) : m_flag(flag) { m_flag = true; }
    ~TBusy() { m_flag = false; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

private:
    std::atomic<bool>& m_flag;
};

}  // namespace

TZivadLog::TZivadLog(std::string fileName, TClock now)
    : m_fileName(std::move(fileName)), m_now(now ? std::move(now) : TClock([] { return Now(); })) {}

std::string TZivadLog::FileNameFor(const std::string& programFile) {
    // Only the file name loses its ".exe": a folder named "x.exe" stays as it is.
    return ExtractFilePath(programFile) + ReplaceExtension(ExtractFileName(programFile), ".exe", "") + ".log";
}

bool TZivadLog::Qualifies(const std::string& eventText) const {
    const TLogSettings s = Settings();
    const std::pair<bool, const char*> switches[] = {
        {s.accepted, kCategoryAccepted},       {s.accepted, kCategoryOk},
        {s.trashed, kCategoryTrashed},         {s.quarantined, kCategoryQuarantined},
        {s.queued, kCategoryQueued},           {s.rejected, kCategoryRejected},
        {s.redirected, kCategoryRedirected},   {s.errors, kCategoryError},
        {s.autoReplies, kCategoryAutoReply},   {s.mailbot, kCategoryMailbot},
        {s.addedFilters, kCategoryAddFilter}};
    // A category word counts from the text's second byte on (position 2), letter case ignored.
    for (const auto& [enabled, word] : switches)
        if (enabled && FindNoCase(word, eventText, 2) > 0) return true;
    return false;
}

bool TZivadLog::AppendLine(const std::string& eventText) {
    if (!Qualifies(eventText)) return false;
    std::string data = FormatLogLine(m_now(), eventText) + "\r\n";
    std::exception_ptr failure;
    {
        std::scoped_lock lock(m_mutex);
        TBusy busy(m_busy);
        try {
            // A line cut short at the end of the file gets its line end first, so the new line
            // starts on a line of its own and keeps its time stamp at the front.
            if (!EndsWithLineBreak(m_fileName)) data = "\r\n" + data;
            AppendFileBytes(m_fileName, data);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    OnLogChanged.Raise(*this);
    if (failure) std::rethrow_exception(failure);
    return true;
}

std::vector<std::string> TZivadLog::ReadLinesLocked() const {
    const std::string data = ReadFileBytes(m_fileName);
    return SplitLines(data, TLineBreak::LfAndFinalCr);
}

std::string TZivadLog::LogText() const {
    if (m_busy) return "";
    std::vector<std::string> lines;
    {
        std::scoped_lock lock(m_mutex);
        if (!FileExists(m_fileName)) return "";
        lines = ReadLinesLocked();
    }
    return JoinNewestFirst(lines);
}

std::string TZivadLog::AccountLogText(const std::string& accountName) const {
    if (m_busy) return "";
    std::vector<std::string> lines;
    {
        std::scoped_lock lock(m_mutex);
        if (!FileExists(m_fileName)) return "";
        lines = ReadLinesLocked();
    }
    std::erase_if(lines, [&](const std::string& line) { return ParseLogFields(line).account != accountName; });
    return JoinNewestFirst(lines);
}

std::string TZivadLog::DailySummary() const {
    if (m_busy) return "";
    std::vector<std::string> lines;
    {
        std::scoped_lock lock(m_mutex);
        if (!FileExists(m_fileName)) return "";
        lines = ReadLinesLocked();
    }
    return DailySummaryText(lines);
}

std::string TZivadLog::AccountSummary() const {
    if (m_busy) return "";
    std::vector<std::string> lines;
    {
        std::scoped_lock lock(m_mutex);
        if (!FileExists(m_fileName)) return "";
        lines = ReadLinesLocked();
    }
    return AccountSummaryText(lines);
}

void TZivadLog::TrimLog() {
    const std::int32_t trimDays = Settings().trimDays;
    if (trimDays <= 0 || m_busy) return;
    std::exception_ptr failure;
    {
        std::scoped_lock lock(m_mutex);
        if (!FileExists(m_fileName)) return;
        TBusy busy(m_busy);
        try {
            const std::vector<std::string> lines = ReadLinesLocked();
            const std::size_t remove = LinesToTrim(lines, trimDays, m_now());
            if (remove > 0) {
                std::string data;
                for (std::size_t i = remove; i < lines.size(); ++i) data += lines[i] + "\r\n";
                WriteFileAtomic(m_fileName, data, 0600);
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    OnLogChanged.Raise(*this);
    if (failure) std::rethrow_exception(failure);
}

TLogSettings TZivadLog::Settings() const {
    std::scoped_lock lock(m_settingsMutex);
    return m_settings;
}

void TZivadLog::SetSettings(const TLogSettings& settings) {
    std::scoped_lock lock(m_settingsMutex);
    m_settings = settings;
}

void TZivadLog::LoadSettings(const TIniFile& ini) {
    TLogSettings s = Settings();
    const long long trimDays = ini.ReadInteger(kSection, kKeyTrimDays, s.trimDays);
    if (trimDays >= std::numeric_limits<std::int32_t>::min() && trimDays <= std::numeric_limits<std::int32_t>::max())
        s.trimDays = static_cast<std::int32_t>(trimDays);
    s.accepted = ini.ReadBool(kSection, kKeyAccepted, s.accepted);
    s.trashed = ini.ReadBool(kSection, kKeyTrashed, s.trashed);
    s.queued = ini.ReadBool(kSection, kKeyQueued, s.queued);
    s.quarantined = ini.ReadBool(kSection, kKeyQuarantined, s.quarantined);
    s.rejected = ini.ReadBool(kSection, kKeyRejected, s.rejected);
    s.redirected = ini.ReadBool(kSection, kKeyRedirected, s.redirected);
    s.errors = ini.ReadBool(kSection, kKeyError, s.errors);
    s.autoReplies = ini.ReadBool(kSection, kKeyAutoReply, s.autoReplies);
    s.mailbot = ini.ReadBool(kSection, kKeyMailbot, s.mailbot);
    s.addedFilters = ini.ReadBool(kSection, kKeyAutoAdd, s.addedFilters);
    SetSettings(s);
}

void TZivadLog::SaveSettings(TIniFile& ini) const {
    const TLogSettings s = Settings();
    ini.WriteInteger(kSection, kKeyTrimDays, s.trimDays);
    ini.WriteBool(kSection, kKeyAccepted, s.accepted);
    ini.WriteBool(kSection, kKeyTrashed, s.trashed);
    ini.WriteBool(kSection, kKeyQueued, s.queued);
    ini.WriteBool(kSection, kKeyQuarantined, s.quarantined);
    ini.WriteBool(kSection, kKeyRejected, s.rejected);
    ini.WriteBool(kSection, kKeyRedirected, s.redirected);
    ini.WriteBool(kSection, kKeyError, s.errors);
    ini.WriteBool(kSection, kKeyAutoReply, s.autoReplies);
    ini.WriteBool(kSection, kKeyMailbot, s.mailbot);
    ini.WriteBool(kSection, kKeyAutoAdd, s.addedFilters);
}

}  // namespace vorla
