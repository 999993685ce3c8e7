#pragma once
#include <functional>
#include <memory>
#include <string>

#include "filters/Classify.h"

// Classification of stored message files for a tool that runs beside the engine (the command
// line's "classify"): exactly as the filtering of stored mail classifies them, and without
// changing anything.
namespace vorla {

class TReverseDns;
class TZivadAccount;
class TZivadFilters;

class TStoredClassifier {
public:
    // Loads the global rules with the settings of "vorla.ini" from the home folder (which must
    // be set). statusLine receives the status lines of the reverse lookups (TAB tag TAB
    // account TAB text); it may be empty.
    explicit TStoredClassifier(std::function<void(const std::string&)> statusLine);
    ~TStoredClassifier();
    TStoredClassifier(const TStoredClassifier&) = delete;
    TStoredClassifier& operator=(const TStoredClassifier&) = delete;

    // Classifies a stored message file's text for the account as "Run Filters" does: its
    // display text (text parts and HTML attachments folded into the body), its length as the
    // size, every check and rule. Nothing is written: the rule files are never saved, so hit
    // counts and automatic rules live only in this object and the account's rule list; no
    // log line is written.
    TClassification Classify(TZivadAccount& account, const std::string& fileText);

private:
    std::unique_ptr<TZivadFilters> m_global;
    std::unique_ptr<TReverseDns> m_reverseDns;
};

}  // namespace vorla
