#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filters/ZivadFilters.h"
#include "mail/MailMessage.h"
#include "platform/Files.h"
#include "support/TempDir.h"
#include "ui/QuickRules.h"

namespace vorla::test {
namespace {

using A = TFilterAction;
using S = TFilterSection;
using E = TRuleEntry;

TEST(QuickRules, EachEntryOffersItsValueSectionAndPrompt) {
    TMailMessage message;
    message.LoadFromMailText(
        "From: Bob Builder <bob@example.org>\n"
        "To: Ann <ann@example.net>, c@d.example\n"
        "Reply-To: Support <help@x.example>, y@z.example\n"
        "Subject: Invoice 42\n\nHello.\n");
    TMailMessage noAt;
    noAt.LoadFromMailText("From: postmaster\nSubject: x\n\n.\n");
    TRuleSource source;
    source.message = &message;
    source.firstReceivedIp = "192.0.2.7";
    source.attachmentName = "bill.pdf";
    TRuleSource selected = source;
    selected.selection = "192.0.2.9]";
    TRuleSource host = source;
    host.selection = "mx.example.org";
    TRuleSource nothing;  // no message selected
    TRuleSource bare = source;
    bare.message = &noAt;
    struct {
        E entry;
        A action;
        const TRuleSource& source;
        std::string value;
        S section;
        std::string prompt;
    } const cases[] = {
        {E::FromAddress, A::Reject, source, "bob@example.org", S::From, "From Address"},
        {E::FromDomain, A::Accept, source, "@example.org", S::From, "From Domain"},
        {E::FromDomain, A::Accept, bare, "postmaster", S::From, "From Domain"},
        {E::ToAddress, A::Accept, source, "Ann <ann@example.net>, c@d.example", S::To, "To Address"},
        {E::ToDomain, A::Reject, source, "@example.net>, c@d.example", S::To, "To Domain"},
        {E::Subject, A::Accept, source, "Invoice 42", S::Subject, "Subject"},
        {E::Subject, A::Accept, host, "mx.example.org", S::Subject, "Subject"},
        {E::Received, A::Accept, source, "192.0.2.7", S::Received, "Received From"},
        {E::Received, A::Reject, source, "192.0.2.7", S::ReceivedIP, "Received From"},
        {E::Received, A::Reject, selected, "192.0.2.9", S::ReceivedIP, "Received From"},
        {E::Received, A::Accept, selected, "192.0.2.9]", S::Received, "Received From"},
        {E::Received, A::Reject, host, "mx.example.org", S::Received, "Received From"},
        {E::ReplyTo, A::Accept, source, "Support <help@x.example>, y@z.example", S::ReplyTo, "Reply To"},
        {E::HeaderPresent, A::Reject, source, "", S::HeaderPresent, "Header Present"},
        {E::HeaderPresent, A::Reject, host, "mx.example.org", S::HeaderPresent, "Header Present"},
        {E::Body, A::Reject, host, "mx.example.org", S::Body, "Body"},
        {E::Attachment, A::Reject, source, "bill.pdf", S::Attachment, "Attachment (wildcards ok)"},
        {E::InAnyHeader, A::Accept, host, "mx.example.org", S::PresentInAnyHeader, "Present In Any Header"},
        {E::FromAddress, A::Accept, nothing, "", S::From, "From Address"},
        {E::Subject, A::Reject, nothing, "", S::Subject, "Subject"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(RuleEntryCaption(c.entry)) + (c.action == A::Accept ? " accept" : " reject"));
        const TRuleOffer offer = OfferRule(c.entry, c.action, c.source);
        EXPECT_EQ(offer.value, c.value);
        EXPECT_EQ(offer.section, c.section);
        EXPECT_EQ(offer.prompt, c.prompt);
        EXPECT_EQ(offer.action, c.action);
        EXPECT_EQ(offer.title, c.action == A::Accept ? "Create Accept Filter" : "Create Reject Filter");
    }
}

class QuickRulesList : public ::testing::Test {
protected:
    TTempDir m_dir;
    TZivadFilters m_rules{m_dir / "filters"};
    std::vector<std::string> Rules() const {
        std::vector<std::string> out;
        for (int i = 0; i < m_rules.RuleCount(); ++i) {
            const TZivadFilterItem* rule = m_rules.RuleAt(i);
            out.push_back(std::string(FilterActionName(rule->Action())) + " " +
                          std::string(FilterSectionName(rule->Section())) + " " + rule->SearchText());
        }
        return out;
    }
};

TEST_F(QuickRulesList, TheTextTheUserLeavesMakesTheRuleOnceAndIsSaved) {
    TRuleSource source;
    const TRuleOffer received = OfferRule(E::Received, A::Reject, source);
    const TRuleOffer subject = OfferRule(E::Subject, A::Accept, source);
    EXPECT_EQ(CreateRule(m_rules, subject, ""), TRuleOutcome::Nothing);
    EXPECT_EQ(CreateRule(m_rules, subject, "Invoice"), TRuleOutcome::Created);
    EXPECT_EQ(CreateRule(m_rules, subject, "INVOICE"), TRuleOutcome::Exists);
    // Edited in the prompt: an address (cut at its bracket) or a host name decides the section.
    EXPECT_EQ(CreateRule(m_rules, received, "10.1.2.3)"), TRuleOutcome::Created);
    EXPECT_EQ(CreateRule(m_rules, received, "10.1.2.3"), TRuleOutcome::Exists);
    EXPECT_EQ(CreateRule(m_rules, received, "relay.example"), TRuleOutcome::Created);
    const std::vector<std::string> expected{"Accept Subject Invoice", "Reject Received IP 10.1.2.3",
                                            "Reject Received relay.example"};
    EXPECT_EQ(Rules(), expected);
    const TZivadFilters again(m_dir / "filters");  // saved at once: a fresh list reads all three
    EXPECT_EQ(again.RuleCount(), 3);
}

TEST_F(QuickRulesList, AllReceivedIpsAddsEachAddressOnceAndListsThemAll) {
    const std::string box = "Added the following IP addresses:\r\n\r\n192.0.2.1\r\n198.51.100.2\r\n";
    EXPECT_EQ(AddAllReceivedIps(m_rules, A::Reject, "192.0.2.1,198.51.100.2"), box);
    EXPECT_EQ(AddAllReceivedIps(m_rules, A::Reject, "192.0.2.1,198.51.100.2"), box);
    EXPECT_EQ(AddAllReceivedIps(m_rules, A::Accept, "192.0.2.1"),
              "Added the following IP addresses:\r\n\r\n192.0.2.1\r\n");
    EXPECT_EQ(AddAllReceivedIps(m_rules, A::Accept, ""), "Added the following IP addresses:\r\n\r\n");
    const std::vector<std::string> expected{"Reject Received IP 192.0.2.1", "Reject Received IP 198.51.100.2",
                                            "Accept Received 192.0.2.1"};
    EXPECT_EQ(Rules(), expected);
}

// The stripping as its rule says: find the first "<" and the first ">", cut, look again.
std::string StripByTheRule(std::string text) {
    for (;;) {
        const std::size_t a = text.find('<');
        const std::size_t b = text.find('>');
        if (a == std::string::npos || b == std::string::npos || b < a) return text;
        text.erase(a, b - a + 1);
    }
}

TEST(QuickRules, StripHtmlTagsCutsTagLikeSpansAsTheRuleSays) {
    const std::pair<std::string, std::string> cases[] = {
        {"<b>word</b>", "word"},
        {"a > b <c> d", "a > b <c> d"},  // a ">" before the first "<": unchanged
        {"x < y and z > w", "x  w"},     // a lone "<" through the next ">"
        {"<<a>b>", "b>"},
        {"no tags", "no tags"},
        {"", ""},
        {"<p>one</p>\r\n<p>two<br></p>", "one\r\ntwo"},
        {"tail <open", "tail <open"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(StripHtmlTags(in), out) << in;
    std::mt19937 random(7);
    for (int n = 0; n < 2000; ++n) {
        std::string text(random() % 24, ' ');
        for (char& ch : text) ch = "<>a "[random() % 4];
        ASSERT_EQ(StripHtmlTags(text), StripByTheRule(text)) << text;
    }
}

}  // namespace
}  // namespace vorla::test
