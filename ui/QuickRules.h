#pragma once
#include <string>

#include "filters/ZivadFilterItem.h"

// Rules made from a message on screen: the Accept and Reject menus of the main window and the
// peek window, and the tag stripping of the shown text. Without the toolkit: the window asks
// the user (the prompt, the boxes) and calls these.
namespace vorla {

class TMailMessage;
class TZivadFilters;

// The twelve entries of both menus, in menu order.
enum class TRuleEntry {
    FromAddress, FromDomain, ToAddress, ToDomain, Subject, Received, AllReceivedIps,
    ReplyTo, HeaderPresent, Body, Attachment, InAnyHeader,
};
inline constexpr int kRuleEntryCount = 12;
// "From Address", "From Domain", ... as the menus show them.
const char* RuleEntryCaption(TRuleEntry entry);

// What the entries read: the message (headers loaded; none when no message is selected), its
// Received addresses and first attachment name as the window read them, and the text
// selected in the message view.
struct TRuleSource {
    const TMailMessage* message = nullptr;
    std::string firstReceivedIp;  // the first "Received: from " line's address
    std::string allReceivedIps;   // one address per such line, joined by ","
    std::string attachmentName;
    std::string selection;
};

// What the prompt shows and the rule it makes: the dialog title, the prompt label and the
// value filled in, for the menu's action and the entry's section.
struct TRuleOffer {
    std::string title;   // "Create Accept Filter" / "Create Reject Filter"
    std::string prompt;  // "From Address", ... (empty for "All Received IPs", which asks nothing)
    std::string value;
    TFilterAction action = TFilterAction::Accept;
    TFilterSection section = TFilterSection::From;
    // The reject menu's "Received": the text the user leaves decides between "Received IP"
    // (an IPv4 address) and "Received" (anything else).
    bool addressDecidesSection = false;
};
TRuleOffer OfferRule(TRuleEntry entry, TFilterAction action, const TRuleSource& source);

enum class TRuleOutcome {
    Nothing,  // the text was empty
    Created,  // added to the list and saved
    Exists,   // a rule with this text, action and section was there: "Filter already exists"
};
inline constexpr const char* kFilterExistsText = "Filter already exists";
// Makes the offer's rule with text (the value as the user left it). Where the address decides
// the section, an IPv4 address (cut at its first character that is neither digit nor dot)
// makes a "Received IP" rule for the address alone, anything else a "Received" rule for the
// text as it is. Throws TFileError when the list cannot be saved
// (the rule stays in the list).
TRuleOutcome CreateRule(TZivadFilters& rules, const TRuleOffer& offer, const std::string& text);

// "All Received IPs": a rule for each address in turn (existing ones skipped), without asking;
// returns the text of the box that lists every address taken.
std::string AddAllReceivedIps(TZivadFilters& rules, TFilterAction action, const std::string& allReceivedIps);

// Cuts every span from a "<" through the next ">" while the first ">" stands after the first
// "<"; stops at the first time there is no "<" or the first ">" comes before it.
std::string StripHtmlTags(std::string text);

}  // namespace vorla
