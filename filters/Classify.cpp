#include "filters/Classify.h"

#include <memory>
#include <mutex>

#include "filters/FilterMatch.h"
#include "filters/ReverseDns.h"
#include "filters/RuleIndex.h"
#include "filters/ZivadFilters.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Strings.h"
#include "text/Helpers.h"
#include "text/TextSearch.h"

namespace vorla {
namespace {

using TLines = std::vector<std::string>;

// Header lines whose domain the unwanted-TLD check reads (letter case ignored, no colon
// needed: "From " lines of a mailbox file count as well).
constexpr const char* kTldCheckedLines[] = {"return-path", "message-id", "from", "reply-to", "received: from"};

std::vector<std::string> SplitAddresses(const std::string& joined) {
    std::vector<std::string> out;
    std::size_t begin = 0;
    while (begin < joined.size()) {
        std::size_t end = joined.find(',', begin);
        if (end == std::string::npos) end = joined.size();
        if (end > begin) out.push_back(joined.substr(begin, end - begin));
        begin = end + 1;
    }
    return out;
}

// A rule of no list, for the own-address checks; its hit count goes with it.
TZivadFilterItem OwnAddressRule(const char* description, TFilterSection section, const std::string& address) {
    TZivadFilterItem rule;
    rule.SetDescription(description);
    rule.SetAction(TFilterAction::Reject);
    rule.SetSection(section);
    rule.SetSearchText(address);
    rule.SetActive(true);
    return rule;
}

// The rules of one list that the passes try on one message: those its index names, worked
// out once for the message and kept for the list's second pass. Another thread may change the
// list between the passes (the lock is not held across them); a changed list has a new index
// or more rules, and then the candidates are worked out again.
struct TListCandidates {
    std::shared_ptr<const TRuleIndex> index;
    int count = -1;
    std::vector<int> rules;
};

// One pass of the rules: the active rules of list with the action (only Body rules when
// bodyRulesOnly), in list order; the first hit decides. Without candidates every rule is
// tried; with them only the rules the list's index names, which are all that can hit.
bool RunPass(TZivadFilters* list, TFilterAction action, bool bodyRulesOnly, const char* reasonPrefix,
             const std::string& accountName, const TMessageFacts& facts, TListCandidates* candidates, TZivadLog* log,
             bool lookAhead,
             TClassification& decision) {
    if (!list) return false;
    std::scoped_lock lock(list->Mutex());
    // A hit may append automatic rules to this very list; they are Reject / Received IP rules
    // and the hit ends the pass, so the count taken here is the pass's.
    const int count = list->RuleCount();
    auto tryRule = [&](int i) {
        TZivadFilterItem& rule = *list->RuleAt(i);
        if (!rule.Active() || rule.Action() != action) return false;
        if (bodyRulesOnly && rule.Section() != TFilterSection::Body) return false;
        if (lookAhead ? !RuleHitsLines(rule, accountName, facts.Lines())
                      : !MatchRuleLines(rule, accountName, facts.Lines(), log))
            return false;
        decision.result = action == TFilterAction::Accept ? kClassifyAccept : kClassifyReject;
        decision.reason = reasonPrefix + rule.Description();
        return true;
    };
    if (!candidates) {
        for (int i = 0; i < count; ++i)
            if (tryRule(i)) return true;
        return false;
    }
    std::shared_ptr<const TRuleIndex> index = list->Index();
    if (candidates->index != index || candidates->count != count) {
        index->Candidates(facts, bodyRulesOnly, count, candidates->rules);
        candidates->index = std::move(index);
        candidates->count = count;
    }
    for (int i : candidates->rules)
        if (tryRule(i)) return true;
    return false;
}

bool IsOldDate(std::string_view text) {
    TMailMessage message;
    message.LoadMode = TLoadMode::Raw;
    try {
        message.LoadFromText(std::string(text), true);
    } catch (const std::exception&) {
        // What was read before the failure counts; a Date not reached is the zero date.
    }
    return Now() - message.Date > kOldDateDays;
}

bool HasIllegalAddress(const TLines& lines) {
    for (const std::string& address : SplitAddresses(ExtractReceivedIPs(lines, true))) {
        // A failed parse keeps the octets set so far and 255 for the rest, which is illegal.
        for (std::int32_t octet : ParseIPPattern(address).octets)
            if (octet < 1 || octet > 254) return true;
    }
    return false;
}

bool IsUnwantedTld(const std::string& unwantedTlds, const std::string& tld) {
    return ContainsNoCase(" " + unwantedTlds + " ", " " + tld + " ");
}

void LogAddFilter(TZivadLog* log, const std::string& accountName, const std::string& address) {
    if (!log) return;
    // The rule is already in the list; a log that cannot be written must not fail the message.
    try {
        log->AppendLine(AddFilterEventText(accountName, address));
    } catch (const TFileError&) {
    }
}

}  // namespace

TClassification ClassifyMessage(const TClassifyAccount& account, const TClassifyEngine& engine,
                                std::string_view text, std::int64_t size, bool bodyRulesOnly) {
    TClassification decision;
    if (account.stopRequested && account.stopRequested()) return decision;
    if (!account.enablefilters) {
        decision.result = kClassifyAccept;
        return decision;
    }

    const std::string subject = AsciiLower(HeaderValue(text, "Subject:"));
    if (!subject.empty()) {
        for (const std::string& mailbot : account.mailbotSubjects) {
            if (AsciiLower(mailbot) == subject) {
                decision.result = kClassifyAccept;
                decision.reason = kReasonMailbotPrefix + mailbot;
                return decision;
            }
        }
    }

    const TLines lines = SplitLines(text);
    // An empty own address would be a search for nothing, which every message with a From or
    // To line would fail with an error; without an address there is nothing to check.
    if (!account.email.empty()) {
        if (account.rejectownemail) {
            TZivadFilterItem rule = OwnAddressRule(kReasonInvalidSender, TFilterSection::From, account.email);
            if (MatchRuleLines(rule, account.name, lines, engine.log)) {
                decision.result = kClassifyReject;
                decision.reason = kReasonInvalidSender;
            }
        }
        if (decision.result != kClassifyReject && account.rejectinvalidrecipient) {
            TZivadFilterItem rule = OwnAddressRule(kReasonInvalidRecipient, TFilterSection::To, account.email);
            bool named = MatchRuleLines(rule, account.name, lines, engine.log);
            if (!named) {
                rule.SetSection(TFilterSection::CC);
                named = MatchRuleLines(rule, account.name, lines, engine.log);
            }
            if (!named) {
                decision.result = kClassifyReject;
                decision.reason = kReasonInvalidRecipient;
            }
        }
        if (decision.result == kClassifyReject) return decision;
    }

    // In 64 bits, so that no limit a user can enter wraps around.
    if (account.rejectkb > 0 && size > account.rejectkb * 1024) {
        decision.result = kClassifyReject;
        decision.reason = kReasonTooBig;
        return decision;
    }

    const TMessageFacts facts(lines);
    TListCandidates local, global;
    TListCandidates* localCandidates = engine.ruleByRule ? nullptr : &local;
    TListCandidates* globalCandidates = engine.ruleByRule ? nullptr : &global;
    if (RunPass(account.rules, TFilterAction::Accept, bodyRulesOnly, kReasonLocalPrefix, account.name, facts,
                localCandidates, engine.log, engine.lookAhead, decision) ||
        RunPass(engine.globalRules, TFilterAction::Accept, bodyRulesOnly, kReasonGlobalPrefix, account.name, facts,
                globalCandidates, engine.log, engine.lookAhead, decision) ||
        RunPass(account.rules, TFilterAction::Reject, bodyRulesOnly, kReasonLocalPrefix, account.name, facts,
                localCandidates, engine.log, engine.lookAhead, decision) ||
        RunPass(engine.globalRules, TFilterAction::Reject, bodyRulesOnly, kReasonGlobalPrefix, account.name, facts,
                globalCandidates, engine.log, engine.lookAhead, decision))
        return decision;
    if (bodyRulesOnly) return decision;

    if (account.rejectolddates && IsOldDate(text)) {
        decision.result = kClassifyReject;
        decision.reason = kReasonOldDate;
        return decision;
    }

    if (account.rejectillegalips && HasIllegalAddress(lines)) {
        decision.result = kClassifyReject;
        decision.reason = kReasonIllegalIp;
        return decision;
    }

    const TFilterSettings settings = engine.globalRules ? engine.globalRules->Settings() : TFilterSettings{};
    if (settings.unwantedTlds.empty()) return decision;

    if (settings.tldCheck) {
        for (const std::string& line : lines) {
            bool checked = false;
            for (const char* prefix : kTldCheckedLines)
                if (BeginsWithNoCase(line, prefix)) checked = true;
            if (!checked) continue;
            const std::string tld = LastDomainLabel(line);
            if (!tld.empty() && IsUnwantedTld(settings.unwantedTlds, tld)) {
                decision.result = kClassifyReject;
                decision.reason = kReasonTldPrefix + tld;
            }
        }
        if (decision.result == kClassifyReject) return decision;
    }

    if (settings.reverseDns && engine.reverseDns && !engine.lookAhead) {
        const std::vector<std::string> addresses = SplitAddresses(ExtractReceivedIPs(lines, true));
        if (addresses.empty()) return decision;
        const std::string& first = addresses.back();  // the lowest Received line: the first hop
        engine.reverseDns->SetServer(settings.dnsHost, settings.dnsTimeout);
        const std::string tld = engine.reverseDns->ReverseLookupTLD(first);
        if (tld.empty() || !IsUnwantedTld(settings.unwantedTlds, tld)) return decision;
        decision.result = kClassifyReject;
        decision.reason = kReasonTldPrefix + tld;
        if (account.rules) {
            std::scoped_lock lock(account.rules->Mutex());
            TZivadFilterItem& rule = account.rules->AddRule();
            rule.SetDescription(first);
            rule.SetAction(TFilterAction::Reject);
            rule.SetSection(TFilterSection::ReceivedIP);
            rule.SetSearchText(first);
            rule.SetActive(true);
        }
        LogAddFilter(engine.log, account.name, first);
    }
    return decision;
}

}  // namespace vorla
