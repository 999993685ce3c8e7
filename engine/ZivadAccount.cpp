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
constexpr char kKeyPopAuth[] = "popauth";
constexpr char kKeySmtpAuth[] = "smtpauth";
constexpr char kKeyPasswordCommand[] = "passwordcommand";
constexpr char kKeySmtpPasswordCommand[] = "smtppasswordcommand";

constexpr char kAwayFile[] = "away.txt";
constexpr char kRejectFile[] = "reject.txt";
constexpr char kRedirectFile[] = "redirect.txt";
constexpr char kMailbotFile[] = "mailbot.ini";
constexpr char kSeenFile[] = "msgcrc";
constexpr char kKeptFile[] = "msgkept";
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
    m_settings = std::make_shared<const TAccountSettings>();
    m_filters = std::make_unique<TZivadFilters>(m_accountFolder + kFiltersFile, TFilterScope::Account);
}

TZivadAccount::~TZivadAccount() {
    if (!m_deleted) return;
    // The folders' objects hold nothing open; the files can go first.
    try {
        DeleteFolder();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorla: cannot delete the folder of a deleted account %s: %s\n",
                     m_accountFolder.c_str(), e.what());
    }
}

std::shared_ptr<const TAccountSettings> TZivadAccount::Settings() const {
    std::scoped_lock lock(m_settingsMutex);
    return m_settings;
}

void TZivadAccount::SetSettings(TAccountSettings settings) {
    auto next = std::make_shared<const TAccountSettings>(std::move(settings));
    std::scoped_lock lock(m_settingsMutex);
    m_settings.swap(next);
    // The old snapshot goes when its last reader lets go, outside this lock when that is
    // not us (next is released after the lock).
}

void TZivadAccount::Edit(const std::function<void(TAccountSettings&)>& change) {
    std::scoped_lock edit(m_editMutex);
    TAccountSettings copy = *Settings();
    change(copy);
    SetSettings(std::move(copy));
}

std::string TZivadAccount::Name() const { return Settings()->name; }

void TZivadAccount::MarkDeleted() {
    RequestStop();
    WriteFileAtomic(m_accountFolder + kDeletedMarker, "", kPrivateFileMode);
    m_deleted = true;
}

void TZivadAccount::CreateFolders() {
    ForceDirectories(m_accountFolder);
    ForceDirectories(QueueTempFolder());
    // Made once: the folders' objects live as long as the account, so a fetch, a mail
    // client's session or a queue pass that holds one is never left with a freed folder.
    for (auto [folder, name] : {std::pair{&m_vorla, "vorla/"}, std::pair{&m_quarantine, "quarantine/"},
                                std::pair{&m_trash, "trash/"}, std::pair{&m_queue, "queue/"}}) {
        if (*folder)
            ForceDirectories((*folder)->Folder());
        else
            *folder = std::make_unique<TZivadMessageCollection>(m_accountFolder + name);
    }
}

int TZivadAccount::Index() const { return m_owner ? m_owner->IndexOf(this) : -1; }

void TZivadAccount::Load() {
    if (!DirectoryExists(m_accountFolder)) return;
    m_loadWarnings.clear();
    // Everything read into one new snapshot, put in place at once: a run that reads the
    // settings meanwhile sees the old ones or the new ones, never a mixture.
    TAccountSettings s = *Settings();
    LoadOptions(s);

    if (FileExists(m_accountFolder + kAwayFile))
        s.awayText = FileText(SplitLines(ReadFileBytes(m_accountFolder + kAwayFile)));
    if (FileExists(m_accountFolder + kRejectFile))
        s.rejectText = FileText(SplitLines(ReadFileBytes(m_accountFolder + kRejectFile)));
    if (FileExists(m_accountFolder + kRedirectFile))
        s.redirectAddresses = SplitLines(ReadFileBytes(m_accountFolder + kRedirectFile));
    LoadMailbots(s);
    SetSettings(std::move(s));

    CreateFolders();
    LoadSeen();
}

void TZivadAccount::LoadOptions(TAccountSettings& s) {
    const std::string fileName = OptionsFileName();
    const TInfoFile file(fileName);  // creates a missing file, mode 0600
    const auto text = [&](const char* key) { return file.ReadString(kOptionsSection, key, ""); };
    const auto flag = [&](const char* key, bool def) { return file.ReadBool(kOptionsSection, key, def); };

    s.name = text(kKeyName);
    s.email = text(kKeyEmail);
    s.popserver = text(kKeyPopServer);
    const std::string portText = file.ReadString(kOptionsSection, kKeyPopPort, std::to_string(kDefaultPopPort));
    const auto port = ParseDecimal(portText);
    s.popport = kDefaultPopPort;
    if (port && *port >= 0 && *port <= std::numeric_limits<std::uint16_t>::max())
        s.popport = static_cast<std::uint16_t>(*port);
    else if (port)
        m_loadWarnings.push_back("Invalid popport value \"" + SingleLine(portText) + "\" (not 0 to 65535), using " +
                                 std::to_string(kDefaultPopPort));
    s.loginname = text(kKeyLoginName);
    s.password = UnscramblePassword(text(kKeyPassword));
    s.enablesend = flag(kKeyEnableSend, false);
    s.senddirect = flag(kKeySendDirect, false);
    s.smtpserver = text(kKeySmtpServer);
    s.smtpport = ReadInt32(file, kKeySmtpPort, kDefaultSmtpPort);
    s.smtploginname = text(kKeySmtpLoginName);
    s.smtppassword = UnscramblePassword(text(kKeySmtpPassword));
    s.enablemailbot = flag(kKeyEnableMailbot, false);
    s.enablefetch = flag(kKeyEnableFetch, false);
    s.nodownload = flag(kKeyNoDownload, false);
    s.nodelete = flag(kKeyNoDelete, false);
    s.enablefilters = flag(kKeyEnableFilters, false);
    s.rejectkb = ReadInt32(file, kKeyRejectKb, 0);
    s.rejectownemail = flag(kKeyRejectOwnEmail, false);
    s.rejectinvalidrecipient = flag(kKeyRejectInvalidRecipient, false);
    s.rejectolddates = flag(kKeyRejectOldDates, true);
    s.rejectillegalips = flag(kKeyRejectIllegalIps, true);
    s.enableredirect = flag(kKeyEnableRedirect, false);
    s.nameredirect = flag(kKeyNameRedirect, false);
    s.redirectquarantined = flag(kKeyRedirectQuarantined, false);
    s.redirectdelete = flag(kKeyRedirectDelete, false);
    s.away = flag(kKeyAway, false);
    s.rejectresponse = flag(kKeyRejectResponse, false);
    const auto security = [&](const char* key) {
        const std::string value = text(key);
        if (value.empty()) return TTlsMode::None;
        if (const auto mode = ParseTlsMode(value)) return *mode;
        m_loadWarnings.push_back(std::string("Invalid ") + key + " value \"" + SingleLine(value) +
                                 "\" (0 plain, 1 STARTTLS, 2 TLS), using 2 (TLS)");
        return TTlsMode::Implicit;
    };
    s.popsecurity = security(kKeyPopSecurity);
    s.smtpsecurity = security(kKeySmtpSecurity);
    s.verifycert = flag(kKeyVerifyCert, true);
    // An unknown login method falls back to the classic one (the first word of the list) with
    // a warning: the account still fetches where its server takes a password, and the user
    // is told.
    const auto loginWay = [&](const char* key, auto parse, auto classic, const char* words) {
        const std::string value = text(key);
        if (const auto way = parse(value)) return *way;
        if (!value.empty())
            m_loadWarnings.push_back(std::string("Invalid ") + key + " value \"" + SingleLine(value) + "\" (" + words +
                                     "), using " + std::string(words).substr(0, std::string(words).find(',')));
        return classic;
    };
    s.popauth = loginWay(kKeyPopAuth, ParsePopAuth, TPopAuth::User, "user, plain, xoauth2, oauthbearer");
    s.smtpauth = loginWay(kKeySmtpAuth, ParseSmtpAuth, TSmtpAuth::Auto, "auto, xoauth2, oauthbearer");
    s.passwordcommand = text(kKeyPasswordCommand);
    s.smtppasswordcommand = text(kKeySmtpPasswordCommand);
}

void TZivadAccount::LoadMailbots(TAccountSettings& s) {
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
    s.mailbots = std::move(records);
}

namespace {

// A checksum file: 32-bit little-endian values; a trailing partial value is ignored.
std::vector<std::uint32_t> ReadChecksums(const std::string& fileName) {
    std::vector<std::uint32_t> values;
    if (!FileExists(fileName)) return values;
    const std::string bytes = ReadFileBytes(fileName);
    const std::size_t count = bytes.size() / 4;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + i * 4);
        values.push_back(static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
    }
    return values;
}

std::string ChecksumBytes(const std::vector<std::uint32_t>& values) {
    std::string bytes;
    bytes.reserve(values.size() * 4);
    for (const std::uint32_t crc : values) {
        bytes.push_back(static_cast<char>(crc & 0xFF));
        bytes.push_back(static_cast<char>(crc >> 8 & 0xFF));
        bytes.push_back(static_cast<char>(crc >> 16 & 0xFF));
        bytes.push_back(static_cast<char>(crc >> 24 & 0xFF));
    }
    return bytes;
}

}  // namespace

void TZivadAccount::LoadSeen() {
    const std::vector<std::uint32_t> seen = ReadChecksums(m_accountFolder + kSeenFile);
    const std::vector<std::uint32_t> kept = ReadChecksums(m_accountFolder + kKeptFile);
    std::scoped_lock lock(m_seenMutex);
    for (const std::uint32_t crc : seen) m_seen.Add(crc);
    for (const std::uint32_t crc : kept) m_keptOnly.Add(crc);
}

void TZivadAccount::Save() {
    const std::shared_ptr<const TAccountSettings> s = Settings();
    try {
        SaveOptions(*s);
        WriteFileAtomicIfChanged(m_accountFolder + kAwayFile, FileText(SplitLines(s->awayText)), kPrivateFileMode);
        WriteFileAtomicIfChanged(m_accountFolder + kRejectFile, FileText(SplitLines(s->rejectText)), kPrivateFileMode);
        WriteFileAtomicIfChanged(m_accountFolder + kRedirectFile, FileText(s->redirectAddresses), kPrivateFileMode);
        SaveMailbots(*s);
    } catch (const std::exception& e) {
        throw TFileError(std::string("Error saving account: ") + e.what());
    }
}

void TZivadAccount::SaveOptions(const TAccountSettings& s) {
    const std::string fileName = OptionsFileName();
    TInfoFile file(fileName);
    file.BeginUpdate();  // one write of the file for all keys; a failure leaves the old one
    const auto text = [&](const char* key, const std::string& value) {
        file.WriteString(kOptionsSection, key, SingleLine(value));
    };
    const auto flag = [&](const char* key, bool value) { file.WriteBool(kOptionsSection, key, value); };

    text(kKeyName, s.name);
    text(kKeyEmail, s.email);
    text(kKeyPopServer, s.popserver);
    text(kKeyPopPort, std::to_string(s.popport));
    text(kKeyLoginName, s.loginname);
    text(kKeyPassword, ScramblePassword(s.password));
    flag(kKeyEnableFetch, s.enablefetch);
    flag(kKeyAway, s.away);
    flag(kKeyRejectResponse, s.rejectresponse);
    flag(kKeyEnableFilters, s.enablefilters);
    flag(kKeyEnableSend, s.enablesend);
    flag(kKeySendDirect, s.senddirect);
    text(kKeySmtpServer, s.smtpserver);
    text(kKeySmtpPort, std::to_string(s.smtpport));
    text(kKeySmtpLoginName, s.smtploginname);
    text(kKeySmtpPassword, ScramblePassword(s.smtppassword));
    flag(kKeyEnableRedirect, s.enableredirect);
    flag(kKeyRedirectQuarantined, s.redirectquarantined);
    flag(kKeyRedirectDelete, s.redirectdelete);
    flag(kKeyNameRedirect, s.nameredirect);
    flag(kKeyNoDownload, s.nodownload);
    flag(kKeyEnableMailbot, s.enablemailbot);
    flag(kKeyNoDelete, s.nodelete);
    text(kKeyRejectKb, std::to_string(s.rejectkb));
    flag(kKeyRejectOwnEmail, s.rejectownemail);
    flag(kKeyRejectInvalidRecipient, s.rejectinvalidrecipient);
    flag(kKeyRejectOldDates, s.rejectolddates);
    flag(kKeyRejectIllegalIps, s.rejectillegalips);
    text(kKeyPopSecurity, std::to_string(static_cast<int>(s.popsecurity)));
    text(kKeySmtpSecurity, std::to_string(static_cast<int>(s.smtpsecurity)));
    flag(kKeyVerifyCert, s.verifycert);
    text(kKeyPopAuth, PopAuthWord(s.popauth));
    text(kKeySmtpAuth, SmtpAuthWord(s.smtpauth));
    text(kKeyPasswordCommand, s.passwordcommand);
    text(kKeySmtpPasswordCommand, s.smtppasswordcommand);
    file.UpdateFile();
}

void TZivadAccount::SaveMailbots(const TAccountSettings& s) {
    const std::string fileName = m_accountFolder + kMailbotFile;
    if (s.mailbots.empty()) {
        DeleteFile(fileName);
        return;
    }
    std::string content;
    for (const auto& record : s.mailbots) {
        content += "[" + SingleLine(record.subject) + "]" + kCrLf;
        const auto lines = SplitLines(record.text);
        if (lines.empty()) content += std::string("text=") + kCrLf;
        for (const auto& line : lines) content += "text=" + line + kCrLf;
        // A text ending in a line break keeps it as a last, empty line.
        if (!record.text.empty() && (record.text.back() == '\n' || record.text.back() == '\r'))
            content += std::string("text=") + kCrLf;
        for (const auto& file : record.files) content += "file=" + SingleLine(file) + kCrLf;
    }
    WriteFileAtomicIfChanged(fileName, content, kPrivateFileMode);
}

void TZivadAccount::SaveSeen() const {
    std::string seen, kept;
    {
        std::scoped_lock lock(m_seenMutex);
        seen = ChecksumBytes(m_seen.list);
        kept = ChecksumBytes(m_keptOnly.list);
    }
    WriteFileAtomic(m_accountFolder + kSeenFile, seen, kPrivateFileMode);
    if (!kept.empty() || FileExists(m_accountFolder + kKeptFile))
        WriteFileAtomic(m_accountFolder + kKeptFile, kept, kPrivateFileMode);
}

bool TZivadAccount::IsSeen(std::uint32_t crc) const {
    std::scoped_lock lock(m_seenMutex);
    return m_seen.Contains(crc);
}

void TZivadAccount::AddSeen(std::uint32_t crc, bool keptOnly) {
    std::scoped_lock lock(m_seenMutex);
    m_seen.Add(crc);
    if (keptOnly) m_keptOnly.Add(crc);
}

bool TZivadAccount::IsKeptOnly(std::uint32_t crc) const {
    std::scoped_lock lock(m_seenMutex);
    return m_keptOnly.Contains(crc);
}

std::size_t TZivadAccount::SeenCount() const {
    std::scoped_lock lock(m_seenMutex);
    return m_seen.list.size();
}

std::vector<std::uint32_t> TZivadAccount::SeenList() const {
    std::scoped_lock lock(m_seenMutex);
    return m_seen.list;
}

bool TZivadAccount::TryBeginBusy() {
    bool expected = false;
    return m_busy.compare_exchange_strong(expected, true);
}

void TZivadAccount::DeleteFolder() { DeleteTree(m_accountFolder); }

void TZivadAccount::AddMailbot(const std::string& subject, const std::string& text,
                               const std::vector<std::string>& files) {
    Edit([&](TAccountSettings& s) { s.mailbots.push_back(TMailbotRecord{subject, text, files}); });
}

void TZivadAccount::DeleteMailbot(int index) {
    Edit([index](TAccountSettings& s) {
        if (index < 0 || index >= static_cast<int>(s.mailbots.size())) return;
        s.mailbots.erase(s.mailbots.begin() + index);
    });
}

}  // namespace vorla
