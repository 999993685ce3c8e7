#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A rule list as the command line (and the filters editor) reaches it: the global rules of the
// home folder, or an account's own, with listing, export and import. The list of rules itself
// (TZivadFilters) stays behind this.
namespace vorla {

class TZivadAccount;
class TZivadFilters;

// Which rules an export writes: by action, or all of them.
enum class TRuleExport { None, Accept, Reject, All };
// "none", "accept", "reject", "all" (exactly); nullopt for any other word.
std::optional<TRuleExport> ParseRuleExport(const std::string& word);

// One rule as a listing shows it.
struct TRuleRow {
    std::string action;   // "None", "Accept", "Reject"
    std::string section;  // the section's name
    bool active = false;
    int hits = 0;
    std::string lastUsed;  // empty when never used
    std::string description;
    std::string searchText;
};

class TRuleBook {
public:
    // The global rules ("vorla.fil" of the home folder, which must be set) with the settings
    // of "vorla.ini", as the engine loads them. Throws TFileError when the file cannot be read.
    static std::unique_ptr<TRuleBook> Global();
    // The account's own rules; the account must outlive the book.
    explicit TRuleBook(TZivadAccount& account);
    ~TRuleBook();
    TRuleBook(const TRuleBook&) = delete;
    TRuleBook& operator=(const TRuleBook&) = delete;

    // Appends the rules of an exported filter file's text and saves the list; returns how many
    // were added. Throws TFileError when the list cannot be written.
    int Import(const std::string& text);
    // The filter-file lines (each with CR LF) of the rules that which selects, in list order.
    std::string Export(TRuleExport which) const;
    // Every rule in list order, with its hit count and last use counted from the activity log.
    std::vector<TRuleRow> Rows();

private:
    explicit TRuleBook(std::unique_ptr<TZivadFilters> owned);

    std::unique_ptr<TZivadFilters> m_owned;  // the global list; null for an account's
    TZivadFilters& m_list;
};

}  // namespace vorla
