#include "ui/QuickRules.h"

#include "filters/ZivadFilters.h"
#include "mail/MailMessage.h"
#include "text/Helpers.h"

namespace vorla {
namespace {

struct TEntryInfo {
    const char* caption;
    const char* prompt;
    TFilterSection section;  // on both menus; the reject menu's "Received" decides per value
};
constexpr TEntryInfo kEntries[kRuleEntryCount] = {
    {"From Address", "From Address", TFilterSection::From},
    {"From Domain", "From Domain", TFilterSection::From},
    {"To Address", "To Address", TFilterSection::To},
    {"To Domain", "To Domain", TFilterSection::To},
    {"Subject", "Subject", TFilterSection::Subject},
    {"Received", "Received From", TFilterSection::Received},
    {"All Received IPs", "", TFilterSection::Received},
    {"Reply To", "Reply To", TFilterSection::ReplyTo},
    {"Header Present", "Header Present", TFilterSection::HeaderPresent},
    {"Body", "Body", TFilterSection::Body},
    {"Attachment", "Attachment (wildcards ok)", TFilterSection::Attachment},
    {"In Any Header", "Present In Any Header", TFilterSection::PresentInAnyHeader},
};

// From the first "@" on, the "@" included; the whole text when it has none.
std::string FromAt(const std::string& text) {
    const std::size_t at = text.find('@');
    return at == std::string::npos ? text : text.substr(at);
}

// The unparsed value of the message's "To" header line.
std::string ToHeaderValue(const TMailMessage& message) {
    std::string headers;
    for (const std::string& line : message.Headers) headers += line + "\n";
    return HeaderValue(headers, "To:");
}

}  // namespace

const char* RuleEntryCaption(TRuleEntry entry) { return kEntries[static_cast<int>(entry)].caption; }

TRuleOffer OfferRule(TRuleEntry entry, TFilterAction action, const TRuleSource& source) {
    const TEntryInfo& info = kEntries[static_cast<int>(entry)];
    TRuleOffer offer;
    offer.title = action == TFilterAction::Reject ? "Create Reject Filter" : "Create Accept Filter";
    offer.prompt = info.prompt;
    offer.action = action;
    offer.section = info.section;
    const TMailMessage* message = source.message;
    switch (entry) {
    case TRuleEntry::FromAddress:
        if (message) offer.value = message->From.Address;
        break;
    case TRuleEntry::FromDomain:
        if (message) offer.value = FromAt(message->From.Address);
        break;
    case TRuleEntry::ToAddress:
        if (message) offer.value = ToHeaderValue(*message);
        break;
    case TRuleEntry::ToDomain:
        if (message) {
            const std::string to = ToHeaderValue(*message);
            const std::size_t at = to.find('@');
            offer.value = at == std::string::npos ? to : to.substr(at);
        }
        break;
    case TRuleEntry::Subject:
        offer.value = !source.selection.empty() ? source.selection : message ? message->Subject : "";
        break;
    case TRuleEntry::Received:
        offer.value = !source.selection.empty() ? source.selection : source.firstReceivedIp;
        if (action == TFilterAction::Reject) {
            offer.addressDecidesSection = true;
            if (const TIPAddressTest ip = IsIPAddress(offer.value); ip.isAddress) {
                offer.value = ip.leadingPart;
                offer.section = TFilterSection::ReceivedIP;
            }
        }
        break;
    case TRuleEntry::AllReceivedIps:
        offer.value = source.allReceivedIps;
        if (action == TFilterAction::Reject) offer.section = TFilterSection::ReceivedIP;
        break;
    case TRuleEntry::ReplyTo:
        if (message) offer.value = message->ReplyTo.Text();
        break;
    case TRuleEntry::Attachment:
        offer.value = source.attachmentName;
        break;
    case TRuleEntry::HeaderPresent:
    case TRuleEntry::Body:
    case TRuleEntry::InAnyHeader:
        offer.value = source.selection;
        break;
    }
    return offer;
}

TRuleOutcome CreateRule(TZivadFilters& rules, const TRuleOffer& offer, const std::string& text) {
    if (text.empty()) return TRuleOutcome::Nothing;
    std::string ruleText = text;
    TFilterSection section = offer.section;
    // What the user left in the prompt decides between an address and a host name.
    if (offer.addressDecidesSection) {
        const TIPAddressTest ip = IsIPAddress(text);
        section = ip.isAddress ? TFilterSection::ReceivedIP : TFilterSection::Received;
        if (ip.isAddress) ruleText = ip.leadingPart;
    }
    return rules.AddRuleIfAbsent(ruleText, offer.action, section) ? TRuleOutcome::Created : TRuleOutcome::Exists;
}

std::string AddAllReceivedIps(TZivadFilters& rules, TFilterAction action, const std::string& allReceivedIps) {
    const TFilterSection section = action == TFilterAction::Reject ? TFilterSection::ReceivedIP : TFilterSection::Received;
    std::string box = "Added the following IP addresses:\r\n\r\n";
    std::size_t pos = 0;
    while (pos < allReceivedIps.size()) {
        std::size_t end = allReceivedIps.find(',', pos);
        if (end == std::string::npos) end = allReceivedIps.size();
        const std::string address = allReceivedIps.substr(pos, end - pos);
        if (!address.empty()) {
            rules.AddRuleIfAbsent(address, action, section);
            box += address + "\r\n";
        }
        pos = end + 1;
    }
    return box;
}

std::string StripHtmlTags(std::string text) {
    // Everything before the first "<" holds neither "<" nor ">" once a span is cut, so the
    // search goes on from where the cut was: one pass gives what cutting and searching again
    // from the start would.
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t open = text.find('<', pos);
        const std::size_t close = text.find('>', pos);
        if (open == std::string::npos || close == std::string::npos || close < open) break;
        out.append(text, pos, open - pos);
        pos = close + 1;
    }
    if (pos == 0) return text;
    out.append(text, pos, std::string::npos);
    return out;
}

}  // namespace vorla
