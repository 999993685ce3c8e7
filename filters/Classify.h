#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The decision on one message of one account: accept, reject or undecided, with the reason
// that the log shows.
namespace vorla {

class TReverseDns;
class TZivadFilters;
class TZivadLog;

// Classification results.
inline constexpr int kClassifyReject = -1;
inline constexpr int kClassifyUndecided = 0;  // the fetch puts such a message into the quarantine
inline constexpr int kClassifyAccept = 1;

// The built-in reason texts; rule decisions read "local:" / "global:" + the rule's
// description, mailbots "mailbot:" + the subject, unwanted domains "TLD:" + the domain.
inline constexpr char kReasonInvalidSender[] = "Invalid_Sender";
inline constexpr char kReasonInvalidRecipient[] = "Invalid_Recipient";
inline constexpr char kReasonTooBig[] = "Msg_Too_Big";
inline constexpr char kReasonOldDate[] = "Old_date";
inline constexpr char kReasonIllegalIp[] = "Illegal_IP";
inline constexpr char kReasonMailbotPrefix[] = "mailbot:";
inline constexpr char kReasonLocalPrefix[] = "local:";
inline constexpr char kReasonGlobalPrefix[] = "global:";
inline constexpr char kReasonTldPrefix[] = "TLD:";

// A message dated more than this many days before now is old (five years of 365.25 days).
inline constexpr double kOldDateDays = 1826.25;

// What the classification reads from the account; the fields are named by the account's
// option keys. Whoever runs a classification fills it from the account; rules must stay
// alive for the call.
struct TClassifyAccount {
    std::string name;   // for the "AddFilter" log entries
    std::string email;  // the account's own address
    bool enablefilters = true;
    bool rejectownemail = false;
    bool rejectinvalidrecipient = false;
    std::int64_t rejectkb = 0;  // kilobytes; 0 or less = no limit
    bool rejectolddates = false;
    bool rejectillegalips = false;
    std::vector<std::string> mailbotSubjects;  // the subjects of the account's mailbots, in order
    TZivadFilters* rules = nullptr;            // the account's own rule list; nullptr: none
    std::function<bool()> stopRequested;       // the account's stop request; empty: never
};

// What the classification takes from the engine. Every member may be nullptr.
struct TClassifyEngine {
    // The global rule list, with the settings "tld", "reversedns" and "unwantedtld" (and the
    // DNS host and time-out for the reverse lookup); nullptr: no global rules, default settings.
    TZivadFilters* globalRules = nullptr;
    TZivadLog* log = nullptr;  // "AddFilter" entries go here; nullptr: not written
    // Reverse lookups of the first hop; nullptr: none. Its server and time-out are set from
    // the global list's settings before each lookup.
    TReverseDns* reverseDns = nullptr;
    // Try every active rule of a pass in turn instead of only those the lists' rule indexes
    // (TZivadFilters::Index) name. The decisions, rule statistics and automatic rules are the
    // same either way; the index only spares the rules that cannot hit.
    bool ruleByRule = false;
    // A look ahead at the result: no hit is counted, no rule added, nothing logged, and no
    // reverse lookup is made (that step decides nothing then). The real classification of
    // the same text in the same state gives the same result, unless a reverse lookup rejects.
    bool lookAhead = false;
};

struct TClassification {
    int result = kClassifyUndecided;
    std::string reason;
};

// Classifies the message text (header block, empty line, body as transmitted; for the
// uplink's header pass the header only). size is the message size in bytes for the size
// limit (0: not tested). With bodyRulesOnly only Body rules take part and nothing after the
// rules runs. The first check that decides ends it, in this order:
//   1. the stop request: undecided, empty reason;
//   2. "enablefilters" off: accepted, empty reason;
//   3. a Subject equal to a mailbot's subject (ASCII letter case ignored): accepted,
//      "mailbot:" + the subject as configured;
//   4./5. "rejectownemail": the own address in an unfolded From header rejects
//      ("Invalid_Sender"); else "rejectinvalidrecipient": the own address in no unfolded To or
//      CC header rejects ("Invalid_Recipient"). Both are skipped when the account has no own
//      address (there is nothing to look for);
//   7. "rejectkb" > 0 and size > rejectkb * 1024: rejected, "Msg_Too_Big";
//   8. the active rules of four passes, each in list order: the account's Accept rules, the
//      global Accept rules, the account's Reject rules, the global Reject rules; the first hit
//      decides, "local:" / "global:" + its description. Every hit is counted on the rule and
//      may add automatic rules (MatchRule);
//   9. bodyRulesOnly: undecided;
//  10. "rejectolddates": a Date more than five years before now (a missing or unreadable Date
//      counts as the zero date): rejected, "Old_date";
//  11. "rejectillegalips": an address of the "Received: from " lines with an octet outside
//      1..254 (a missing or empty part counts as 255): rejected, "Illegal_IP";
//  12. with the global "tld" check on and unwanted TLDs set: each line beginning with
//      "return-path", "message-id", "from", "reply-to" or "received: from" whose last domain
//      label is unwanted rejects, "TLD:" + the label (the last such line names it);
//  13. with the global "reversedns" on and unwanted TLDs set: the top-level domain of the
//      lowest "Received: from " address's host name, when unwanted, rejects with "TLD:" + the
//      domain, appends an active Reject / Received IP rule for the address to the account's
//      list (not saved) and writes the log entry name TAB "AddFilter - (" address ") ";
//  14. otherwise undecided, empty reason.
// Each rule list's Mutex() is held while its pass runs; no lock is held during the reverse
// lookup. Throws what the rule matching throws (TVorlaError "BufferLen is 0" for an active
// rule with an empty search text): the caller decides what that means for the message.
TClassification ClassifyMessage(const TClassifyAccount& account, const TClassifyEngine& engine,
                                std::string_view text, std::int64_t size, bool bodyRulesOnly);

}  // namespace vorla
