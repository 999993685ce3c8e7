#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "engine/FetchCycleFixture.h"
#include "ui/MainForm.h"

namespace vorla::test {
namespace {

// The message actions of the main window: the Move menu, moving and deleting stored messages,
// rules made from the selected message, and the tag stripping of the shown text.
class MessageActionsTest : public FetchFixture {
protected:
    TZivadAccount& Account(const std::string& name) {
        TZivadAccount& account = Engine().Accounts().Add(name);
        account.Edit([&](TAccountSettings& s) { s.name = name; });
        account.Save();
        return account;
    }
    static void Store(TZivadMessageCollection& folder, const std::string& subject, const std::string& body = "Hello.") {
        TMailMessage message;
        message.LoadFromMailText(Mail(subject, body, "Bob Builder <bob@example.org>"));
        folder.AddMessage(message, "");
    }
    static std::vector<std::string> Subjects(TZivadMessageCollection& folder) {
        std::vector<std::string> out;
        for (int i = 0; i < folder.Count(); ++i) {
            folder.Item(i)->Load(true);
            out.push_back(folder.Item(i)->Message().Subject);
            folder.Item(i)->Release();
        }
        return out;
    }
    TMainForm& Form() {
        if (!m_form) m_form = std::make_unique<TMainForm>(Engine());
        return *m_form;
    }
    void RunPosted() { m_queue.ProcessEvents(); }

    std::unique_ptr<TMainForm> m_form;
};

TEST_F(MessageActionsTest, TheMoveMenuEnablesTheFoldersThatAreNotDownAndListsEveryAccount) {
    Account("Home");
    Account("Work");
    TMainForm& form = Form();
    struct {
        TFolderKind down;
        std::array<bool, 4> enabled;  // Vorla, Quarantine, Trash, Delete
    } const cases[] = {
        {TFolderKind::Vorla, {false, true, true, false}},
        {TFolderKind::Quarantine, {true, false, true, false}},
        {TFolderKind::Trash, {true, true, false, true}},
        {TFolderKind::Queue, {false, false, false, true}},
    };
    for (const auto& c : cases) {
        form.FolderButtonClick(c.down);
        const TMainForm::TMoveMenu menu = form.MoveMenu();
        EXPECT_EQ((std::array<bool, 4>{menu.vorla, menu.quarantine, menu.trash, menu.del}), c.enabled)
            << static_cast<int>(c.down);
        ASSERT_EQ(menu.accounts.size(), 2u);
        EXPECT_EQ(menu.accounts[1].caption, "Work");
    }
}

TEST_F(MessageActionsTest, MovingTwoOfFiveRenumbersTheListAndRecountsBothFolders) {
    TZivadAccount& home = Account("Home");
    for (const char* subject : {"one", "two", "three", "four", "five"}) Store(home.VorlaFolder(), subject);
    Store(home.QuarantineFolder(), "held");
    TMainForm& form = Form();
    form.SelectAccount(0);
    form.MoveMessages({1, 3}, TMainForm::TMoveTarget{"", TFolderKind::Quarantine});
    RunPosted();
    std::vector<std::string> nums;
    for (const auto& row : form.MessageRows()) nums.push_back(row.num + " " + row.subject);
    EXPECT_EQ(nums, (std::vector<std::string>{"1 one", "2 three", "3 five"}));
    EXPECT_EQ(Subjects(home.QuarantineFolder()), (std::vector<std::string>{"held", "two", "four"}));
    EXPECT_EQ(form.FolderCaptions()[0], "Vorla (3)");
    EXPECT_EQ(form.FolderCaptions()[1], "Quarantine (3)");
    // A copy is moved as it was: no Received line of ours is added.
    TZivadMessageItem* moved = home.QuarantineFolder().Item(1);
    const std::string text = ReadFile(moved->FileName());
    EXPECT_EQ(text.find("Received:"), text.rfind("Received:")) << text;
}

TEST_F(MessageActionsTest, DeleteRemovesAndAMoveIntoTheSameFolderAppends) {
    TZivadAccount& home = Account("Home");
    TZivadAccount& work = Account("Work");
    for (const char* subject : {"a", "b", "c"}) Store(home.TrashFolder(), subject);
    TMainForm& form = Form();
    form.SelectAccount(0);
    form.FolderButtonClick(TFolderKind::Trash);
    form.MoveMessages({0}, std::nullopt);
    RunPosted();
    EXPECT_EQ(Subjects(home.TrashFolder()), (std::vector<std::string>{"b", "c"}));
    // The submenu of this very folder: the message goes to the end.
    form.MoveMessages({0}, TMainForm::TMoveTarget{home.FolderName(), TFolderKind::Trash});
    RunPosted();
    EXPECT_EQ(Subjects(home.TrashFolder()), (std::vector<std::string>{"c", "b"}));
    // Another account's queue, from its submenu.
    form.MoveMessages({1}, TMainForm::TMoveTarget{work.FolderName(), TFolderKind::Queue});
    RunPosted();
    EXPECT_EQ(Subjects(home.TrashFolder()), (std::vector<std::string>{"c"}));
    EXPECT_EQ(Subjects(work.QueueFolder()), (std::vector<std::string>{"b"}));
    // Without rows nothing moves.
    form.MoveMessages({}, std::nullopt);
    EXPECT_EQ(home.TrashFolder().Count(), 1);
}

TEST_F(MessageActionsTest, RulesFromTheSelectedMessageGoToTheSelectedAccount) {
    TZivadAccount& home = Account("Home");
    Store(home.VorlaFolder(), "Invoice");
    TMainForm& form = Form();
    EXPECT_EQ(form.RuleTarget(), nullptr);
    EXPECT_EQ(form.CreateRule(form.OfferRule(TRuleEntry::FromAddress, TFilterAction::Reject, ""), "x@y.example"),
              TRuleOutcome::Nothing);
    EXPECT_FALSE(form.AddAllReceivedIps(TFilterAction::Reject));
    form.SelectAccount(0);
    // No message selected: only the selection is offered.
    EXPECT_EQ(form.OfferRule(TRuleEntry::FromAddress, TFilterAction::Reject, "").value, "");
    form.SelectMessage(0);
    const TRuleOffer offer = form.OfferRule(TRuleEntry::FromAddress, TFilterAction::Reject, "");
    EXPECT_EQ(offer.value, "bob@example.org");
    EXPECT_EQ(form.CreateRule(offer, offer.value), TRuleOutcome::Created);
    EXPECT_EQ(form.CreateRule(offer, offer.value), TRuleOutcome::Exists);
    EXPECT_EQ(form.OfferRule(TRuleEntry::Received, TFilterAction::Reject, "").value, "192.0.2.10");
    EXPECT_EQ(*form.AddAllReceivedIps(TFilterAction::Reject),
              "Added the following IP addresses:\r\n\r\n192.0.2.10\r\n");
    const std::string file = ReadFile(home.Filters().FileName());
    EXPECT_NE(file.find("bob@example.org"), std::string::npos) << file;
    EXPECT_NE(file.find("192.0.2.10"), std::string::npos) << file;
    EXPECT_EQ(Engine().Filters().RuleCount(), 0);  // the global rules are not touched
}

TEST_F(MessageActionsTest, StripHtmlTagsChangesOnlyTheShownTextOfASelectedMessage) {
    TZivadAccount& home = Account("Home");
    Store(home.VorlaFolder(), "Page", "<p>Hello <b>Ann</b></p>");
    TMainForm& form = Form();
    form.SelectAccount(0);
    form.StripHtmlButtonClick();  // no message selected: nothing
    EXPECT_EQ(form.MessageText(), "");
    form.SelectMessage(0);
    const std::string shown = form.MessageText();
    ASSERT_NE(shown.find("<b>Ann</b>"), std::string::npos);
    form.StripHtmlButtonClick();
    EXPECT_NE(form.MessageText().find("Hello Ann"), std::string::npos) << form.MessageText();
    EXPECT_EQ(form.MessageText().find('<'), std::string::npos);
    form.SelectMessage(0);
    EXPECT_EQ(form.MessageText(), shown);  // the stored message is untouched
}

}  // namespace
}  // namespace vorla::test
