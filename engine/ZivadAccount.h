#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "net/SaslAuth.h"
#include "net/TlsOptions.h"

// One mail account: how to reach its uplink POP3 server, how to send mail for it, which checks
// and automatic responses apply, and its folder "<accounts root><folder>/" with the options,
// response texts, mailbots, own filters, seen checksums and the four message folders.
namespace vorla {

class TZivadAccounts;
class TZivadFilters;
class TZivadMessageCollection;

// One mailbot: a message whose Subject equals subject is answered with text and the files.
struct TMailbotRecord {
    std::string subject;
    std::string text;                // line breaks kept as CR LF (see "mailbot.ini" below)
    std::vector<std::string> files;  // attachment paths, in order
};

// The reversible scrambling of the two stored passwords with the key "tUkIr": every character
// XOR the next key character (cyclic), written as four upper-case hex digits, each new group put
// in front, so the groups stand in reverse order of the characters. "" stays "".
std::string ScramblePassword(std::string_view password);
// Undoes ScramblePassword, reading four-digit groups from the end (either letter case). A group
// that is not four hex digits or does not hold a byte value, or fewer than four characters left,
// ends decoding: the characters decoded so far are the result.
std::string UnscramblePassword(std::string_view stored);

// The checksum by which a fetch recognises a header block it has handled before (CRC-32, zlib).
std::uint32_t HeaderChecksum(std::string_view headerText);

// One account's settings, named by their "options.ini" keys; the initialisers are the
// construction defaults. A value type: an account holds its settings as a snapshot that an
// edit replaces whole, so that every thread reads one consistent set.
struct TAccountSettings {
    static constexpr std::uint16_t kDefaultPopPort = 110;
    static constexpr int kDefaultSmtpPort = 25;
    static constexpr const char* kDefaultAwayText =
        "I'm away from the office right now and won't be able to respond to your email right away. "
        "However I'll reply as soon as I get back.";
    static constexpr const char* kDefaultRejectText = "Your email was rejected by the spam filter.";

    std::string name;
    std::string email;
    std::string popserver;
    std::uint16_t popport = kDefaultPopPort;
    std::string loginname;
    std::string password;  // plain in memory, scrambled in the file
    bool enablesend = true;
    bool senddirect = true;
    std::string smtpserver;
    int smtpport = kDefaultSmtpPort;
    std::string smtploginname;
    std::string smtppassword;  // plain in memory, scrambled in the file
    bool enablemailbot = false;
    bool enablefetch = true;
    bool nodownload = false;
    bool nodelete = false;
    bool enablefilters = true;
    int rejectkb = 0;  // size limit in KB; below 1 = none
    bool rejectownemail = false;
    bool rejectinvalidrecipient = false;
    bool rejectolddates = false;
    bool rejectillegalips = false;
    bool enableredirect = false;
    bool nameredirect = false;
    bool redirectquarantined = false;
    bool redirectdelete = false;
    bool away = false;
    std::string awayText = kDefaultAwayText;
    bool rejectresponse = false;
    std::string rejectText = kDefaultRejectText;
    // How the uplink connection is secured (STLS is the upgrade of the plain port 110,
    // implicit TLS usually port 995), how the SMTP connection is (STARTTLS, or implicit TLS
    // usually on port 465), and whether both check the server's certificate and name.
    TTlsMode popsecurity = TTlsMode::None;
    TTlsMode smtpsecurity = TTlsMode::None;
    bool verifycert = true;
    // How the uplink and the SMTP relay are logged in to, and the commands that give their
    // password or access token at each login instead of the stored passwords (empty: none).
    TPopAuth popauth = TPopAuth::User;
    TSmtpAuth smtpauth = TSmtpAuth::Auto;
    std::string passwordcommand;
    std::string smtppasswordcommand;
    std::vector<std::string> redirectAddresses;  // "redirect.txt", in order
    std::vector<TMailbotRecord> mailbots;        // "mailbot.ini", in order
};

// Made by its list with std::make_shared (see TZivadAccounts): an operation that hands the
// account on to a thread of its own keeps it alive through weak_from_this().
class TZivadAccount : public std::enable_shared_from_this<TZivadAccount> {
public:
    static constexpr const char* kOptionsSection = "options";
    static constexpr std::uint16_t kDefaultPopPort = TAccountSettings::kDefaultPopPort;
    static constexpr int kDefaultSmtpPort = TAccountSettings::kDefaultSmtpPort;

    // Sets the construction defaults and creates the account folder (mode 0700, with missing
    // parents), its four message folders (vorla/, quarantine/, trash/, queue/ and queue/temp/)
    // and its own filters (file "filters"). An empty folderName gets a new GUID
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}". The folder lies under owner->AccountsRoot(), or
    // under HomeFolder() + "accounts/" when owner is nullptr. Throws TFileError when the
    // folders cannot be made. Nothing is read from "options.ini" until Load.
    TZivadAccount(TZivadAccounts* owner, const std::string& folderName);
    // Deletes the folder when the account was marked deleted (a failure goes to standard
    // error: nothing else is left to report it to). Never throws.
    ~TZivadAccount();
    TZivadAccount(const TZivadAccount&) = delete;
    TZivadAccount& operator=(const TZivadAccount&) = delete;

    TZivadAccounts* Owner() const { return m_owner; }
    const std::string& FolderName() const { return m_folderName; }
    const std::string& AccountFolder() const { return m_accountFolder; }  // ends in "/"
    std::string OptionsFileName() const { return m_accountFolder + "options.ini"; }
    int Index() const;  // position in the owner list, -1 without owner or when not in it

    // Reads "options.ini" (created empty, mode 0600, when missing) with the load defaults: every
    // field below is overwritten, keys that are absent give the "load" value. Then the away and
    // reject texts (when their files exist; each line followed by CR LF), the redirect list and
    // "mailbot.ini", and puts them in place as one new settings snapshot. Then it makes any
    // missing message folder again (the folder objects are made once, with the account, and
    // stay: references to them stay good) and adds the checksums of "msgcrc" to the seen
    // list (those already held stay: a fetch that runs while the list is reloaded keeps what
    // it has seen). A missing account folder leaves the account as it is. UI thread.
    //
    // "popport": a value that is not a decimal number gives 110; a number outside 0..65535 is
    // invalid: the port becomes 110 and LoadWarnings() names the value (the account list puts
    // it into the status history), so one bad file neither stops the loading of the others nor
    // silently points the account at another port.
    // "popsecurity" and "smtpsecurity" (written after every other key) hold a TTlsMode as its
    // number 0, 1 or 2; the words "none"/"plain", "stls"/"starttls" and "tls"/"ssl" are read
    // too. Absent, they give plain text, so an older "options.ini" loads as it always did. Any
    // other value is named in LoadWarnings() and gives implicit TLS: a connection the user
    // did not mean fails then, but never sends a password in clear that should have been
    // protected. "verifycert" is absent = on.
    // "popauth" (user, plain, xoauth2, oauthbearer), "smtpauth" (auto, xoauth2, oauthbearer),
    // "passwordcommand" and "smtppasswordcommand" come last; absent, they give USER/PASS, the
    // automatic SMTP login and no commands. An unknown login word is named in LoadWarnings()
    // and gives the default.
    // Throws TFileError when a file exists but cannot be read.
    void Load();
    // Problems found by the last Load (human-readable, one line each); empty when there were none.
    const std::vector<std::string>& LoadWarnings() const { return m_loadWarnings; }

    // Writes every "options.ini" key in its fixed order through the sectioned file (lines that
    // are not account keys survive), then "away.txt", "reject.txt", "redirect.txt" and
    // "mailbot.ini" (removed when there are no mailbots). Not "msgcrc", not the filters.
    // Each file is written once, and not at all when it already holds what would be written.
    // On the first failure it stops and throws TFileError whose message is
    // "Error saving account: " + the reason; what was written before stays. The caller shows
    // the message to the user (the account list's SaveAll collects them).
    //
    // "mailbot.ini" holds "[subject]", then one "text=" line per line of the text (the text is
    // split at CR LF, lone LF and lone CR; a text ending in a line break ends with an empty
    // "text=" line), then one "file=" line per attachment. Load joins the "text=" lines of a
    // section with CR LF, so a file with a single "text=" line reads as before. Values are
    // taken as they stand (blanks kept), and every section is one mailbot, also when two
    // subjects differ only in case. Line breaks in a subject or a file path cannot be stored
    // and are written as spaces.
    void Save();

    // Writes "msgcrc" (every seen checksum, 32-bit little-endian, in list order) and, when
    // there are any, the kept-only ones to "msgkept" in the same form, each atomically: a
    // failed write leaves the previous file. Throws TFileError.
    void SaveSeen() const;
    // Any thread. The list keeps its order (and the file format); a hash index beside it keeps
    // the lookup fast for any number of values.
    bool IsSeen(std::uint32_t crc) const;
    // Appends crc unless IsSeen(crc). keptOnly: the message was only logged, not filed (a
    // fetch with "nodownload"), so the account has no copy of it; such checksums are kept in
    // "msgkept" beside "msgcrc" and never let a fetch delete the server's copy.
    void AddSeen(std::uint32_t crc, bool keptOnly = false);
    bool IsKeptOnly(std::uint32_t crc) const;
    std::size_t SeenCount() const;
    std::vector<std::uint32_t> SeenList() const;  // a copy, in list order

    // Deletes the account folder with everything in it, dot entries included (a leftover
    // entry would keep the folder, and the next load of the list would bring the account
    // back). Throws TFileError.
    void DeleteFolder();
    // For the account list's Delete: asks every running operation of the account to stop and
    // leaves the marker file kDeletedMarker in the folder (so that no load of the list takes
    // the account up again); the folder itself is deleted by the destructor, when the last
    // user (a fetch, a mail client's session, a queue pass) has let the account go. Throws
    // TFileError when the marker cannot be written.
    void MarkDeleted();
    static constexpr const char* kDeletedMarker = ".deleted";

    // --- Settings ---
    // The settings as they are now. The snapshot never changes (an edit replaces it whole), so
    // an operation that took it at its start reads one consistent set however long it runs,
    // while the editor changes the account. Any thread.
    std::shared_ptr<const TAccountSettings> Settings() const;
    // Puts settings in place of the current ones. Any thread.
    void SetSettings(TAccountSettings settings);
    // Copies the current settings, lets change edit the copy and puts it in place; edits from
    // several threads are applied one after another, none lost. change must not call back
    // into this account's settings.
    void Edit(const std::function<void(TAccountSettings&)>& change);
    // The display name (Settings()->name); every log line names the account by it.
    std::string Name() const;

    // Appends a mailbot with the subject, the text and the files; removes the mailbot at
    // index, keeping the order of the others (out of range does nothing). Both edit the
    // settings.
    void AddMailbot(const std::string& subject, const std::string& text = {},
                    const std::vector<std::string>& files = {});
    void DeleteMailbot(int index);

    // Set once the account was deleted from its list: its folder goes with the last user of
    // the object. Any thread.
    bool Deleted() const { return m_deleted.load(); }

    // The four message folders, made with the account and kept as long as it lives.
    TZivadMessageCollection& VorlaFolder() { return *m_vorla; }
    TZivadMessageCollection& QuarantineFolder() { return *m_quarantine; }
    TZivadMessageCollection& TrashFolder() { return *m_trash; }
    TZivadMessageCollection& QueueFolder() { return *m_queue; }
    std::string QueueTempFolder() const { return m_accountFolder + "queue/temp/"; }
    TZivadFilters& Filters() { return *m_filters; }

    // Busy: a fetch or filtering run is active, or the accounts editor holds the account.
    // Stop request: set by Stop, polled by running operations. Both any thread.
    bool Busy() const { return m_busy.load(); }
    void SetBusy(bool busy) { m_busy.store(busy); }
    // Sets the busy flag when it was clear, as one atomic step; false when it was already set.
    bool TryBeginBusy();
    bool StopRequested() const { return m_stopRequest.load(); }
    void RequestStop() { m_stopRequest.store(true); }
    void ClearStopRequest() { m_stopRequest.store(false); }

private:
    void CreateFolders();
    void LoadOptions(TAccountSettings& s);
    void LoadMailbots(TAccountSettings& s);
    void LoadSeen();
    void SaveOptions(const TAccountSettings& s);
    void SaveMailbots(const TAccountSettings& s);

    TZivadAccounts* m_owner;  // not owned; may be nullptr
    std::string m_folderName;
    std::string m_accountFolder;
    std::atomic<bool> m_stopRequest{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_deleted{false};

    mutable std::mutex m_settingsMutex;  // guards m_settings (the pointer, not what it points to)
    std::shared_ptr<const TAccountSettings> m_settings;
    std::mutex m_editMutex;  // makes each Edit's read-change-write one step

    // Checksums in the order they were added (the file's order), with a hash index beside
    // them that keeps the lookup fast for any number of values.
    struct TChecksums {
        std::vector<std::uint32_t> list;
        std::unordered_set<std::uint32_t> index;
        void Add(std::uint32_t crc) {
            if (index.insert(crc).second) list.push_back(crc);
        }
        bool Contains(std::uint32_t crc) const { return index.count(crc) != 0; }
    };
    mutable std::mutex m_seenMutex;  // guards m_seen and m_keptOnly
    TChecksums m_seen;
    TChecksums m_keptOnly;

    std::vector<std::string> m_loadWarnings;

    std::unique_ptr<TZivadMessageCollection> m_vorla;
    std::unique_ptr<TZivadMessageCollection> m_quarantine;
    std::unique_ptr<TZivadMessageCollection> m_trash;
    std::unique_ptr<TZivadMessageCollection> m_queue;
    std::unique_ptr<TZivadFilters> m_filters;
};

}  // namespace vorla
