#include "engine/ZivadAccount.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>

#include "engine/InfoFile.h"
#include "engine/ZivadAccounts.h"
#include "filters/ZivadFilters.h"
#include "mail/MessageStore.h"
#include "platform/Crc32.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/Strings.h"
#include "platform/Uuid.h"
#include "text/TextSearch.h"

namespace vorla {

namespace {

constexpr char kScrambleKey[] = "tUkIr";
constexpr std::size_t kScrambleKeyLength = sizeof(kScrambleKey) - 1;

// The account's files hold passwords and private mail: only the user may read them.
constexpr unsigned kPrivateFileMode = 0600;

constexpr char kCrLf[] = "\r\n";
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// "options.ini" keys, named once.
constexpr char kKeyName[] = "name";
constexpr char kKeyEmail[] = "email";
constexpr char kKeyPopServer[] = "popserver";
constexpr char kKeyPopPort[] = "popport";
constexpr char kKeyLoginName[] = "loginname";
constexpr char kKeyPassword[] = "password";
constexpr char kKeyEnableFetch[] = "enablefetch";
constexpr char kKeyAway[] = "away";
constexpr char kKeyRejectResponse[] = "rejectresponse";
constexpr char kKeyEnableFilters[] = "enablefilters";
constexpr char kKeyEnableSend[] = "enablesend";
constexpr char kKeySendDirect[] = "senddirect";
constexpr char kKeySmtpServer[] = "smtpserver";
constexpr char kKeySmtpPort[] = "smtpport";
constexpr char kKeySmtpLoginName[] = "smtploginname";
constexpr char kKeySmtpPassword[] = "smtppassword";
constexpr char kKeyEnableRedirect[] = "enableredirect";
constexpr char kKeyRedirectQuarantined[] = "redirectquarantined";
constexpr char kKeyRedirectDelete[] = "redirectdelete";
constexpr char kKeyNameRedirect[] = "nameredirect";
constexpr char kKeyNoDownload[] = "nodownload";
constexpr char kKeyEnableMailbot[] = "enablemailbot";
constexpr char kKeyNoDelete[] = "nodelete";
constexpr char kKeyRejectKb[] = "rejectkb";
constexpr char kKeyRejectOwnEmail[] = "rejectownemail";
constexpr char kKeyRejectInvalidRecipient[] = "rejectinvalidrecipient";
constexpr char kKeyRejectOldDates[] = "rejectolddates";
constexpr char kKeyRejectIllegalIps[] = "rejectillegalips";
constexpr char kKeyPopSecurity[] = "popsecurity";
constexpr char kKeySmtpSecurity[] = "smtpsecurity";
constexpr char kKeyVerifyCert[] = "verifycert";

constexpr char kAwayFile[] = "away.txt";
constexpr char kRejectFile[] = "reject.txt";
constexpr char kRedirectFile[] = "redirect.txt";
constexpr char kMailbotFile[] = "mailbot.ini";
constexpr char kSeenFile[] = "msgcrc";
constexpr char kFiltersFile[] = "filters";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A decimal number as the settings files hold it: leading blanks and a sign allowed, nothing
// after the digits. nullopt when the text is no such number or does not fit.
std::optional<long long> ParseDecimal(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
    text.remove_prefix(start);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size()) return std::nullopt;
    // A number too large for any field stays a number (out of every range), not "no number".
    if (ec == std::errc::result_out_of_range)
        return text.front() == '-' ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
    if (ec != std::errc()) return std::nullopt;
    return value;
}

int ReadInt32(const TInfoFile& file, const char* key, int def) {
    const auto value = ParseDecimal(file.ReadString(TZivadAccount::kOptionsSection, key, std::to_string(def)));
    if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) return def;
    return static_cast<int>(*value);
}

// A connection security value: its number, or a word for it (letter case ignored).
std::optional<TTlsMode> ParseTlsMode(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    std::string word(text);
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (word == "0" || word == "none" || word == "plain") return TTlsMode::None;
    if (word == "1" || word == "stls" || word == "starttls") return TTlsMode::StartTls;
    if (word == "2" || word == "tls" || word == "ssl") return TTlsMode::Implicit;
    return std::nullopt;
}

// Every line followed by CR LF.
std::string FileText(const std::vector<std::string>& lines) {
    return lines.empty() ? std::string() : JoinLines(lines) + kCrLf;
}

// A value that must stay on one line of a sectioned file: a line break would end the entry
// and let the rest pass for other keys or sections.
std::string SingleLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

// The name part of a key=value line (blanks around it ignored) equals name, letter case ignored.
bool NameIs(const std::string& line, std::string_view name) {
    const std::size_t eq = line.find('=');
    return eq != std::string::npos &&
           SameTextAscii(TrimmedView(std::string_view(line).substr(0, eq), TTrimSet::Blanks), name);
}

// A folder name must name one folder inside the accounts folder.
void CheckFolderName(const std::string& folderName) {
    if (folderName.empty() || folderName == "." || folderName == ".." ||
        folderName.find('/') != std::string::npos || folderName.find('\0') != std::string::npos)
        throw TVorlaError("Invalid account folder name \"" + folderName + "\"");
}

}  // namespace

std::string ScramblePassword(std::string_view password) {
    std::string result;
    result.reserve(password.size() * 4);
    // Groups are built front to back and then reversed as groups: the stored text starts with
    // the group of the last character.
    std::vector<std::string> groups;
    groups.reserve(password.size());
    for (std::size_t p = 0; p < password.size(); ++p) {
        const unsigned x = static_cast<unsigned char>(password[p]) ^
                           static_cast<unsigned char>(kScrambleKey[p % kScrambleKeyLength]);
        char group[8];
        std::snprintf(group, sizeof group, "%04X", x);
        groups.emplace_back(group);
    }
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) result += *it;
    return result;
}

std::string UnscramblePassword(std::string_view stored) {
    std::string password;
    std::size_t end = stored.size();
    std::size_t k = 0;
    while (end >= 4) {
        unsigned value = 0;
        bool valid = true;
        for (std::size_t i = end - 4; i < end; ++i) {
            const int digit = HexDigit(stored[i]);
            if (digit < 0) {
                valid = false;
                break;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        // Groups are always written from one byte; a larger value is damage like a bad digit.
        if (!valid || value > 0xFF) break;
        password.push_back(static_cast<char>(value ^ static_cast<unsigned char>(kScrambleKey[k])));
        k = (k + 1) % kScrambleKeyLength;
        end -= 4;
    }
    return password;
}

std::uint32_t HeaderChecksum(std::string_view headerText) { return Crc32(headerText); }

TZivadAccount::TZivadAccount(TZivadAccounts* owner, const std::string& folderName)
    : m_owner(owner), m_folderName(folderName.empty() ? NewGuidString() : folderName) {
    CheckFolderName(m_folderName);
    const std::string root =
        owner ? owner->AccountsRoot() : IncludeTrailingSlash(HomeFolder()) + "accounts/";
    m_accountFolder = IncludeTrailingSlash(root) + m_folderName + "/";
    CreateFolders();
    m_filters = std::make_unique<TZivadFilters>(m_accountFolder + kFiltersFile, TFilterScope::Account);
}

TZivadAccount::~TZivadAccount() = default;

void TZivadAccount::CreateFolders() {
    ForceDirectories(m_accountFolder);
    m_vorla = std::make_unique<TZivadMessageCollection>(m_accountFolder + "vorla/");
    m_quarantine = std::make_unique<TZivadMessageCollection>(m_accountFolder + "quarantine/");
    m_trash = std::make_unique<TZivadMessageCollection>(m_accountFolder + "trash/");
    m_queue = std::make_unique<TZivadMessageCollection>(m_accountFolder + "queue/");
    ForceDirectories(QueueTempFolder());
}

int TZivadAccount::Index() const { return m_owner ? m_owner->IndexOf(this) : -1; }

void TZivadAccount::Load() {
    if (!DirectoryExists(m_accountFolder)) return;
    m_loadWarnings.clear();
    LoadOptions();

    if (FileExists(m_accountFolder + kAwayFile))
        awayText = FileText(SplitLines(ReadFileBytes(m_accountFolder + kAwayFile)));
    if (FileExists(m_accountFolder + kRejectFile))
        rejectText = FileText(SplitLines(ReadFileBytes(m_accountFolder + kRejectFile)));
    if (FileExists(m_accountFolder + kRedirectFile))
        redirectAddresses = SplitLines(ReadFileBytes(m_accountFolder + kRedirectFile));

    m_vorla.reset();
    m_quarantine.reset();
    m_trash.reset();
    m_queue.reset();
    CreateFolders();

    LoadMailbots();
    LoadSeen();
}

void TZivadAccount::LoadOptions() {
    const std::string fileName = OptionsFileName();
    const TInfoFile file(fileName);  // creates a missing file, mode 0600
    const auto text = [&](const char* key) { return file.ReadString(kOptionsSection, key, ""); };
    const auto flag = [&](const char* key, bool def) { return file.ReadBool(kOptionsSection, key, def); };

    name = text(kKeyName);
    email = text(kKeyEmail);
    popserver = text(kKeyPopServer);
    const std::string portText = file.ReadString(kOptionsSection, kKeyPopPort, std::to_string(kDefaultPopPort));
    const auto port = ParseDecimal(portText);
    popport = kDefaultPopPort;
    if (port && *port >= 0 && *port <= std::numeric_limits<std::uint16_t>::max())
        popport = static_cast<std::uint16_t>(*port);
    else if (port)
        m_loadWarnings.push_back("Invalid popport value \"" + SingleLine(portText) + "\" (not 0 to 65535), using " +
                                 std::to_string(kDefaultPopPort));
    loginname = text(kKeyLoginName);
    password = UnscramblePassword(text(kKeyPassword));
    enablesend = flag(kKeyEnableSend, false);
    senddirect = flag(kKeySendDirect, false);
    smtpserver = text(kKeySmtpServer);
    smtpport = ReadInt32(file, kKeySmtpPort, kDefaultSmtpPort);
    smtploginname = text(kKeySmtpLoginName);
    smtppassword = UnscramblePassword(text(kKeySmtpPassword));
    enablemailbot = flag(kKeyEnableMailbot, false);
    enablefetch = flag(kKeyEnableFetch, false);
    nodownload = flag(kKeyNoDownload, false);
    nodelete = flag(kKeyNoDelete, false);
    enablefilters = flag(kKeyEnableFilters, false);
    rejectkb = ReadInt32(file, kKeyRejectKb, 0);
    rejectownemail = flag(kKeyRejectOwnEmail, false);
    rejectinvalidrecipient = flag(kKeyRejectInvalidRecipient, false);
    rejectolddates = flag(kKeyRejectOldDates, true);
    rejectillegalips = flag(kKeyRejectIllegalIps, true);
    enableredirect = flag(kKeyEnableRedirect, false);
    nameredirect = flag(kKeyNameRedirect, false);
    redirectquarantined = flag(kKeyRedirectQuarantined, false);
    redirectdelete = flag(kKeyRedirectDelete, false);
    away = flag(kKeyAway, false);
    rejectresponse = flag(kKeyRejectResponse, false);
    const auto security = [&](const char* key) {
        const std::string value = text(key);
        if (value.empty()) return TTlsMode::None;
        if (const auto mode = ParseTlsMode(value)) return *mode;
        m_loadWarnings.push_back(std::string("Invalid ") + key + " value \"" + SingleLine(value) +
                                 "\" (0 plain, 1 STARTTLS, 2 TLS), using 2 (TLS)");
        return TTlsMode::Implicit;
    };
    popsecurity = security(kKeyPopSecurity);
    smtpsecurity = security(kKeySmtpSecurity);
    verifycert = flag(kKeyVerifyCert, true);
}

void TZivadAccount::LoadMailbots() {
    const std::string fileName = m_accountFolder + kMailbotFile;
    if (!FileExists(fileName)) return;
    // Read here rather than through the general settings reader, which trims values and
    // merges sections whose names differ in case: a mailbot text keeps its blanks (a
    // signature line "-- ") and every section is a mailbot of its own.
    const std::string data = ReadFileBytes(fileName);
    std::vector<TMailbotRecord> records;
    bool haveText = false;
    const std::size_t bom = data.rfind(kUtf8Bom, 0) == 0 ? sizeof(kUtf8Bom) - 1 : 0;
    for (const std::string& line : SplitLines(std::string_view(data).substr(bom), TLineBreak::LfAndFinalCr)) {
        if (!line.empty() && line.front() == '[') {
            const std::size_t close = line.rfind(']');
            records.push_back(TMailbotRecord{line.substr(1, close == 0 ? std::string::npos : close - 1), {}, {}});
            haveText = false;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (records.empty() || eq == std::string::npos) continue;
        const std::string value = line.substr(eq + 1);
        if (NameIs(line, "text")) {
            // Each line of the text has a "text=" line of its own.
            if (haveText) records.back().text += kCrLf;
            records.back().text += value;
            haveText = true;
        } else if (NameIs(line, "file")) {
            records.back().files.push_back(value);
        }
    }
    mailbots = std::move(records);
}

void TZivadAccount::LoadSeen() {
    std::vector<std::uint32_t> seen;
    const std::string fileName = m_accountFolder + kSeenFile;
    if (FileExists(fileName)) {
        const std::string bytes = ReadFileBytes(fileName);
        const std::size_t count = bytes.size() / 4;  // a trailing partial value is ignored
        seen.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + i * 4);
            seen.push_back(static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
        }
    }
    std::unordered_set<std::uint32_t> index(seen.begin(), seen.end());
    std::scoped_lock lock(m_seenMutex);
    m_seen = std::move(seen);
    m_seenIndex = std::move(index);
}

void TZivadAccount::Save() {
    try {
        SaveOptions();
        WriteFileAtomic(m_accountFolder + kAwayFile, FileText(SplitLines(awayText)), kPrivateFileMode);
        WriteFileAtomic(m_accountFolder + kRejectFile, FileText(SplitLines(rejectText)), kPrivateFileMode);
        WriteFileAtomic(m_accountFolder + kRedirectFile, FileText(redirectAddresses), kPrivateFileMode);
        SaveMailbots();
    } catch (const std::exception& e) {
        throw TFileError(std::string("Error saving account: ") + e.what());
    }
}

void TZivadAccount::SaveOptions() {
    const std::string fileName = OptionsFileName();
    TInfoFile file(fileName);
    const auto text = [&](const char* key, const std::string& value) {
        file.WriteString(kOptionsSection, key, SingleLine(value));
    };
    const auto flag = [&](const char* key, bool value) { file.WriteBool(kOptionsSection, key, value); };

    text(kKeyName, name);
    text(kKeyEmail, email);
    text(kKeyPopServer, popserver);
    text(kKeyPopPort, std::to_string(popport));
    text(kKeyLoginName, loginname);
    text(kKeyPassword, ScramblePassword(password));
    flag(kKeyEnableFetch, enablefetch);
    flag(kKeyAway, away);
    flag(kKeyRejectResponse, rejectresponse);
    flag(kKeyEnableFilters, enablefilters);
    flag(kKeyEnableSend, enablesend);
    flag(kKeySendDirect, senddirect);
    text(kKeySmtpServer, smtpserver);
    text(kKeySmtpPort, std::to_string(smtpport));
    text(kKeySmtpLoginName, smtploginname);
    text(kKeySmtpPassword, ScramblePassword(smtppassword));
    flag(kKeyEnableRedirect, enableredirect);
    flag(kKeyRedirectQuarantined, redirectquarantined);
    flag(kKeyRedirectDelete, redirectdelete);
    flag(kKeyNameRedirect, nameredirect);
    flag(kKeyNoDownload, nodownload);
    flag(kKeyEnableMailbot, enablemailbot);
    flag(kKeyNoDelete, nodelete);
    text(kKeyRejectKb, std::to_string(rejectkb));
    flag(kKeyRejectOwnEmail, rejectownemail);
    flag(kKeyRejectInvalidRecipient, rejectinvalidrecipient);
    flag(kKeyRejectOldDates, rejectolddates);
    flag(kKeyRejectIllegalIps, rejectillegalips);
    text(kKeyPopSecurity, std::to_string(static_cast<int>(popsecurity)));
    text(kKeySmtpSecurity, std::to_string(static_cast<int>(smtpsecurity)));
    flag(kKeyVerifyCert, verifycert);
}

void TZivadAccount::SaveMailbots() {
    const std::string fileName = m_accountFolder + kMailbotFile;
    if (mailbots.empty()) {
        DeleteFile(fileName);
        return;
    }
    std::string content;
    for (const auto& record : mailbots) {
        content += "[" + SingleLine(record.subject) + "]" + kCrLf;
        const auto lines = SplitLines(record.text);
        if (lines.empty()) content += std::string("text=") + kCrLf;
        for (const auto& line : lines) content += "text=" + line + kCrLf;
        // A text ending in a line break keeps it as a last, empty line.
        if (!record.text.empty() && (record.text.back() == '\n' || record.text.back() == '\r'))
            content += std::string("text=") + kCrLf;
        for (const auto& file : record.files) content += "file=" + SingleLine(file) + kCrLf;
    }
    WriteFileAtomic(fileName, content, kPrivateFileMode);
}

void TZivadAccount::SaveSeen() const {
    std::string bytes;
    {
        std::scoped_lock lock(m_seenMutex);
        bytes.reserve(m_seen.size() * 4);
        for (const std::uint32_t crc : m_seen) {
            bytes.push_back(static_cast<char>(crc & 0xFF));
            bytes.push_back(static_cast<char>(crc >> 8 & 0xFF));
            bytes.push_back(static_cast<char>(crc >> 16 & 0xFF));
            bytes.push_back(static_cast<char>(crc >> 24 & 0xFF));
        }
    }
    WriteFileAtomic(m_accountFolder + kSeenFile, bytes, kPrivateFileMode);
}

bool TZivadAccount::IsSeen(std::uint32_t crc) const {
    std::scoped_lock lock(m_seenMutex);
    return m_seenIndex.count(crc) != 0;
}

void TZivadAccount::AddSeen(std::uint32_t crc) {
    std::scoped_lock lock(m_seenMutex);
    if (m_seenIndex.insert(crc).second) m_seen.push_back(crc);
}

std::size_t TZivadAccount::SeenCount() const {
    std::scoped_lock lock(m_seenMutex);
    return m_seen.size();
}

std::vector<std::uint32_t> TZivadAccount::SeenList() const {
    std::scoped_lock lock(m_seenMutex);
    return m_seen;
}

bool TZivadAccount::TryBeginBusy() {
    bool expected = false;
    return m_busy.compare_exchange_strong(expected, true);
}

void TZivadAccount::DeleteFolder() { DeleteTree(m_accountFolder); }

TMailbotRecord& TZivadAccount::AddMailbot(const std::string& subject) {
    mailbots.push_back(TMailbotRecord{subject, {}, {}});
    return mailbots.back();
}

void TZivadAccount::DeleteMailbot(int index) {
    if (index < 0 || index >= static_cast<int>(mailbots.size())) return;
    mailbots.erase(mailbots.begin() + index);
}

}  // namespace vorla
