#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DateTime.h"

// One filter rule and its line in a filter file.
namespace vorla {

class TZivadFilters;

// Stored as one unsigned byte; the names are what filter files and the editor show.
enum class TFilterAction : std::uint8_t { None = 0, Accept = 1, Reject = 2 };

// Stored as one unsigned byte; how each section is matched belongs to the matcher.
enum class TFilterSection : std::uint8_t {
    None = 0,                // every message
    From = 1,                // "From:" header lines
    To = 2,                  // "To:" header lines
    Subject = 3,             // "Subject:" header lines
    Received = 4,            // "Received:" header lines
    ReplyTo = 5,             // "Reply-To:" header lines
    HeaderPresent = 6,       // start of any header line
    Body = 7,                // body lines
    Attachment = 8,          // attachment file names
    CC = 9,                  // "CC:" header lines
    PresentInAnyHeader = 10, // any header line
    ReceivedIP = 11,         // the address in "Received:" header lines
};

inline constexpr int kFilterActionCount = 3;
inline constexpr int kFilterSectionCount = 12;
// Indexed by the enum value: "None", "Accept", "Reject".
extern const std::array<const char*, kFilterActionCount> kFilterActionNames;
// Indexed by the enum value: "None", "From", "To", "Subject", "Received", "Reply To",
// "Header Present", "Body", "Attachment", "CC", "Present In Any Header", "Received IP".
extern const std::array<const char*, kFilterSectionCount> kFilterSectionNames;

// The name of a value; a value outside the table gives "None".
std::string_view FilterActionName(TFilterAction action);
std::string_view FilterSectionName(TFilterSection section);
// Exact, case-sensitive lookup; a name that is not in the table gives None.
TFilterAction FilterActionFromName(std::string_view name);
TFilterSection FilterSectionFromName(std::string_view name);

// One rule. A new rule has action None, section None, empty texts, is inactive, has no hits,
// no last use and no mark. Copying copies every field, the owner included. The owner is the
// list the rule belongs to; it is not owned. Not thread-safe by itself: the owning list's
// lock (TZivadFilters::Mutex) guards rules that are reachable from several threads.
class TZivadFilterItem {
public:
    explicit TZivadFilterItem(TZivadFilters* owner = nullptr) : m_owner(owner) {}
    // A copy is not in any index; assigning over an indexed rule tells its list.
    TZivadFilterItem(const TZivadFilterItem& other);
    TZivadFilterItem& operator=(const TZivadFilterItem& other);

    TZivadFilters* Owner() const { return m_owner; }
    void SetOwner(TZivadFilters* owner) {
        Changed();
        m_owner = owner;
    }

    // Shown in the editor and written to the log when the rule decides a message.
    const std::string& Description() const { return m_description; }
    void SetDescription(std::string text) { m_description = std::move(text); }
    TFilterAction Action() const { return m_action; }
    void SetAction(TFilterAction action) {
        m_action = action;
        Changed();
    }
    TFilterSection Section() const { return m_section; }
    void SetSection(TFilterSection section) {
        m_section = section;
        Changed();
    }
    // The text or pattern looked for.
    const std::string& SearchText() const { return m_searchText; }
    void SetSearchText(std::string text) {
        m_searchText = std::move(text);
        Changed();
    }
    // Only active rules take part in classification.
    bool Active() const { return m_active; }
    void SetActive(bool active) {
        m_active = active;
        Changed();
    }

    // Statistics, kept in memory only.
    std::int32_t HitCount() const { return m_hitCount; }
    void SetHitCount(std::int32_t count) { m_hitCount = count; }
    // The day of the last hit as "dd mmm yyyy" ("07 Dec 2026"), or empty.
    const std::string& LastUsed() const { return m_lastUsed; }
    void SetLastUsed(std::string text) { m_lastUsed = std::move(text); }
    // LastUsed on the day-count scale (time 0); nullopt when empty or not a date.
    std::optional<TDateTime> LastUsedDate() const;
    // One more hit on the given day (a value on the day-count scale; the time of day is
    // ignored): HitCount grows by one (it stops at its maximum instead of overflowing) and
    // LastUsed becomes that day as "dd mmm yyyy". This is what the matcher calls on a hit.
    void CountHit(TDateTime day);

    // The rule is to be removed by the owner's next PurgeMarked; in memory only.
    bool Marked() const { return m_marked; }
    void SetMarked(bool marked) { m_marked = marked; }

    // Whether the owning list's rule index holds this rule; then every change of what the
    // index reads (action, section, search text, active flag, owner) tells the list, so that
    // the index is made again before it is used next. Set by the index.
    bool Indexed() const { return m_indexed; }
    void SetIndexed(bool indexed) { m_indexed = indexed; }

private:
    void Changed();

    TZivadFilters* m_owner = nullptr;
    std::string m_description;
    TFilterAction m_action = TFilterAction::None;
    TFilterSection m_section = TFilterSection::None;
    std::string m_searchText;
    bool m_active = false;
    std::int32_t m_hitCount = 0;
    std::string m_lastUsed;
    bool m_marked = false;
    bool m_indexed = false;
};

// ---- The filter file line ----------------------------------------------------------------
// One rule per line, five fields each in double quotes, joined by commas, nothing else:
//   "Description","Action name","Section name","SearchText","1"
// The last field is 1 for an active rule, 0 otherwise. There is no escaping, so a field can
// hold neither the pair `",` (quote, comma) nor a line break, and must not begin with a comma
// (the opening quote would pair with it). RuleLine writes such a text storably instead of
// letting it spill into the following fields: each line break (CR, LF) becomes a space,
// each `",` becomes `',` and a leading comma gets a space before it.

// The text as RuleLine writes it into a field (unchanged when it is already storable).
std::string StorableFieldText(std::string_view text);
// The rule's line without line end.
std::string RuleLine(const TZivadFilterItem& rule);

// Field n (1..5) of a line, read the way every earlier installation read it: skip n-1 times
// past the first `",`; the field runs to and including the quote of the next `",`, or to the
// end of the line; then its first and last characters (the quotes) are dropped. Any bytes,
// NUL included, are allowed; a missing field is empty.
std::string RuleLineField(std::string_view line, int n);

// Fills rule's description, action, section, search text and active flag from a line.
// Returns false, leaving the active flag false, when the fifth field is not a decimal
// integer (optional leading blanks and sign, digits only, within the signed 32-bit range);
// every other field is filled in either case. Unknown action or section names give None.
// A valid fifth field's low byte is the active flag (so "256" reads as inactive).
bool ReadRuleLine(std::string_view line, TZivadFilterItem& rule);

}  // namespace vorla
