#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filters/ZivadFilterItem.h"

// An ordered list of filter rules bound to one filter file, with the engine-wide filter
// settings (used on the global list only) and the table of top-level domains.
namespace vorla {

class TIniFile;
class TRuleIndex;

// Which list this is. The global list belongs to the engine ("<home>/vorla.fil"), an account
// list to its account ("<home>/accounts/<folder>/filters"). The scope decides which log
// entries RecountFromLog gives to the list's rules; nothing else depends on it.
enum class TFilterScope { Global, Account };

// The engine-wide filter settings, vorla.ini section "filters". Only the global list takes
// them; an account list keeps these defaults.
struct TFilterSettings {
    bool enabled = true;           // "enabled": shown and saved; no filtering decision reads it
    bool autoAddReceived = false;  // "autoaddreceived": a Body hit adds Received IP reject rules
    bool tldCheck = true;          // "tld": reject on unwanted top-level domains in the header
    bool reverseDns = false;       // "reversedns": reverse lookup of the first hop
    std::string dnsHost = "a.root-servers.net";  // "dnshost": where reverse lookups start
    std::int32_t dnsTimeout = 10;  // "dnstimeout": seconds per DNS query
    std::string unwantedTlds;      // "unwantedtld": codes without dots, separated by single spaces
};
inline constexpr const char* kFilterSettingsSection = "filters";
inline constexpr const char* kDefaultDnsHost = "a.root-servers.net";

// One entry of "tld.txt": a code ("de") and its description ("Germany"), each at most
// kMaxTldText bytes (longer text is cut).
struct TTldEntry {
    std::string code;
    std::string description;
};
inline constexpr std::size_t kMaxTldText = 255;

// RulesText's filter for every rule, whatever its action.
inline constexpr int kAllFilterActions = 3;

class TZivadFilters {
public:
    // Sets the defaults, loads "<home>/tld.txt" (a missing or unreadable file gives an empty
    // table) and then LoadRules from fileName. Account lists pass TFilterScope::Account.
    // Throws TFileError when the rule file exists but cannot be read.
    explicit TZivadFilters(const std::string& fileName, TFilterScope scope = TFilterScope::Global);
    ~TZivadFilters();
    TZivadFilters(const TZivadFilters&) = delete;
    TZivadFilters& operator=(const TZivadFilters&) = delete;

    const std::string& FileName() const { return m_fileName; }
    TFilterScope Scope() const { return m_scope; }

    // ---- Locking ---------------------------------------------------------------------------
    // Rules are reached from the fetch thread (classification counts hits and appends
    // automatic rules) and from the main thread (editor, rule-from-message commands). Every
    // operation below takes this lock itself. Whoever keeps rule pointers or an index across
    // several calls (walking RuleAt/RuleCount, matching a pass of rules, editing a rule's
    // fields) holds it for that stretch:  std::scoped_lock lock(list.Mutex());
    // Rules are held one by one, so appending never moves a rule; only PurgeMarked and
    // RestoreSnapshot destroy rules. Hold the lock for short stretches only: never across a
    // network wait or a modal dialog.
    std::recursive_mutex& Mutex() const { return m_mutex; }

    // ---- Rule file -------------------------------------------------------------------------
    // Appends one rule per line of the file (lines end in CR LF or a lone LF; a lone CR is
    // part of the line). No duplicate test. A missing file adds nothing. A line whose fifth
    // field is not a decimal integer is still loaded, as an inactive rule, so a damaged line
    // neither stops the load nor loses its text on the next save; only lines made of nothing
    // but bytes up to the space (empty lines, blanks, NUL and other control bytes) are skipped,
    // as they carry no rule. Throws TFileError when the file exists but cannot be read.
    void LoadRules();
    // Rewrites the file atomically with every rule's line and CR LF, in list order. Texts the
    // format cannot hold are first made storable in memory too (StorableFieldText), so the
    // list equals what a later LoadRules reads back. Throws TFileError.
    void SaveRules();

    // ---- Rules -----------------------------------------------------------------------------
    // Appends a new rule (defaults of TZivadFilterItem, owner this list) and returns it.
    TZivadFilterItem& AddRule();
    // The rule at index, or nullptr outside 0..RuleCount()-1.
    TZivadFilterItem* RuleAt(int index) const;
    int RuleCount() const;
    // Position of this very rule object in the list, or -1 (also for nullptr and copies).
    int IndexOfRule(const TZivadFilterItem* rule) const;
    // Sets Marked on the rule at index; an invalid index does nothing.
    void MarkRule(int index);
    void ClearMarks();
    // Removes every marked rule, the others keeping their order; true if any was removed.
    bool PurgeMarked();
    // True when a rule has this action and section and its SearchText equals text, with
    // letter case ignored (a-z / A-Z only).
    bool FindRule(const std::string& text, TFilterAction action, TFilterSection section) const;
    // False when FindRule(text, action, section). Otherwise appends an active rule whose
    // description and search text are text, SaveRules, true. When the save throws, the rule
    // stays in the list (it is written by the next save) and the TFileError reaches the caller.
    bool AddRuleIfAbsent(const std::string& text, TFilterAction action, TFilterSection section);

    // ---- Texts -----------------------------------------------------------------------------
    // The lines (as in the file, each with CR LF) of the rules whose action equals the filter
    // (0 None, 1 Accept, 2 Reject), or of every rule for kAllFilterActions; list order.
    std::string RulesText(int actionFilter) const;
    // Reads the text's lines (split at CR LF, lone LF or lone CR) as rules and appends those
    // that are new: a rule is a duplicate when one already in the list, including one added
    // earlier by this import, has the same action, the same section and exactly the same
    // search text (letter case counts). Lines whose fifth field is not a decimal integer are
    // not rule lines (a blank line, stray text in an imported file) and are skipped. Then
    // SaveRules, also when nothing was added. Returns how many rules were added. On a
    // TFileError from the save the added rules stay in the list.
    int ImportRules(const std::string& text);

    // ---- Editing sessions ------------------------------------------------------------------
    // Replaces the snapshot by copies of all rules (marks and statistics included).
    void TakeSnapshot();
    // Replaces all rules by copies of the snapshot; the snapshot stays, so a second restore
    // gives the same list again. Every pointer to a former rule becomes invalid.
    void RestoreSnapshot();

    // ---- Rule index -----------------------------------------------------------------------
    // The index of the rules for the classification (TRuleIndex), made when first asked for
    // and made again when rules were changed, replaced or removed since, or when many were
    // appended (it leaves the few appended since to be tried one by one). The caller holds
    // Mutex() while it uses the index.
    std::shared_ptr<const TRuleIndex> Index() const;
    // What an indexed rule calls when a field the index reads changes.
    void NoteRuleChange() { ++m_ruleChanges; }

    // ---- Statistics ------------------------------------------------------------------------
    // Recomputes HitCount and LastUsed of every rule from the activity log
    // ("<home>/vorla.log"; a missing file leaves every count at 0 and LastUsed empty).
    //
    // Each log line is cut into eight fields at spaces and tabs outside parentheses, a
    // parenthesised text being one field (see RecountLogFields). Only "Accepted", "Ok",
    // "Trashed" and "Rejected" entries name a rule: when field 5 is one of these words the
    // entry's name is field 7 and its account field 4; else when field 4 is one of them the
    // name is field 6 and the line has no account field; other lines name no rule. So a
    // description holding "(" or ")", or an account name holding a blank, is not recounted.
    //
    // The name is the reason the classification wrote: "global:" or "local:" followed by the
    // deciding rule's description, or a built-in reason ("Invalid_Sender", "TLD:ru", ...).
    // A global list counts the names that begin with "global:", an account list those that
    // begin with "local:" (both prefixes exact, in lower case); when an account name is set
    // (SetAccountName) an account list counts only entries whose account field equals it
    // exactly, or that have no account field. The rest of the name, after the prefix, is
    // compared exactly with each rule's Description, as it stands and in the one-line form
    // the log writes texts in (SafeLogText); the first rule in list order that has it gets
    // one hit, and LastUsed = fields 0, 1 and 2 joined by spaces ("07 Dec 2026"); later
    // lines overwrite, so the newest entry wins. Built-in reasons, names without a prefix
    // and empty names designate no rule.
    // Throws TFileError when the log exists but cannot be read.
    void RecountFromLog();
    // The account whose entries an account list counts; empty (the default) counts the
    // entries of every account. The account sets it and keeps it up to date on renames.
    void SetAccountName(std::string name);

    // ---- Settings (global list) ------------------------------------------------------------
    TFilterSettings Settings() const;
    void SetSettings(const TFilterSettings& settings);
    // Reads section "filters", each key with the current value as default. A "dnstimeout"
    // beyond the signed 32-bit range is clamped to it.
    void LoadSettings(const TIniFile& ini);
    // Writes section "filters" in this order: enabled, autoaddreceived, tld, reversedns,
    // dnshost, dnstimeout, unwantedtld. Throws TFileError.
    void SaveSettings(TIniFile& ini) const;

    // ---- Top-level domains -----------------------------------------------------------------
    // The table read from "tld.txt" at creation, in file order: one entry per line that holds a
    // space, the code before the first space and the description after it.
    const std::vector<TTldEntry>& TldTable() const { return m_tldTable; }
    // One line per entry, the code, " (", the description and ")", joined by CR LF.
    std::string TldListText() const;

private:
    void AppendRule(std::unique_ptr<TZivadFilterItem> rule);

    mutable std::recursive_mutex m_mutex;  // guards every member below except the constants
    const std::string m_fileName;
    const TFilterScope m_scope;
    std::vector<std::unique_ptr<TZivadFilterItem>> m_rules;     // file order = trial order
    std::vector<std::unique_ptr<TZivadFilterItem>> m_snapshot;  // copies, see TakeSnapshot
    TFilterSettings m_settings;
    std::string m_accountName;
    std::vector<TTldEntry> m_tldTable;  // read once, at creation; not changed afterwards
    std::atomic<std::uint64_t> m_ruleChanges{0};  // changes the index must see
    mutable std::shared_ptr<const TRuleIndex> m_index;
    mutable std::uint64_t m_indexChanges = 0;  // m_ruleChanges when m_index was made
};

// The eight fields (0..7) of one activity-log line as RecountFromLog cuts it: walking the
// characters, "(" remembers its position; ")" ends the current field with the text after the
// remembered "(" (from the start of the line when none is open) and forgets it; a space or tab
// while no "(" is open ends the current field at the current start position. Consecutive
// separators give empty fields; after eight fields the rest of the line is ignored; at the
// end of the line the current field runs from the start position to the end.
std::array<std::string, 8> RecountLogFields(std::string_view line);

}  // namespace vorla
