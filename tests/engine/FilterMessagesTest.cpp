#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/FetchCycle.h"
#include "engine/FetchCycleFixture.h"
#include "platform/Errors.h"

// The filtering run over stored messages and the re-check of one stored message.
namespace vorla {
namespace {

using test::Mail;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FilterMessagesTest : public test::FetchFixture {
protected:
    // An account whose folders hold the given messages (not stamped).
    TZivadAccount& Stored(const std::vector<std::string>& vorla, const std::vector<std::string>& quarantine,
                          const std::string& name = "Bea") {
        TZivadAccount& account = NewAccount(name, "bea", "beapw", 110);
        auto fill = [](TZivadMessageCollection& folder, const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
                TMailMessage message;
                message.LoadFromMailText(text);
                folder.AddMessage(message, "");
            }
        };
        fill(account.VorlaFolder(), vorla);
        fill(account.QuarantineFolder(), quarantine);
        return account;
    }
};

TEST_F(FilterMessagesTest, StoredMessagesMoveByTheirClassificationAndAreCounted) {
    TZivadAccount& bea = Stored({Mail("keep me"), Mail("unsure 1"), Mail("spam 1")},
                                {Mail("unsure 2"), Mail("good news"), Mail("spam 2")});
    AddRule(bea.Filters(), "keep", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(Engine().Filters(), "good", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(bea.Filters(), "spam", TFilterAction::Reject, TFilterSection::Subject);
    std::vector<std::string> events;
    Engine().OnFilterStart.Set([&](const std::string& folder) {
        TZivadAccount& a = *Engine().Accounts().FindByFolder(folder); events.push_back("start busy=" + std::to_string(a.Busy())); });
    Engine().OnFilterEnd.Set([&](const std::string& folder) {
        TZivadAccount& a = *Engine().Accounts().FindByFolder(folder);
        events.push_back("end busy=" + std::to_string(a.Busy()) + " lines=" + std::to_string(Status("FILTER").size()));
    });
    FilterMessages(bea);

    EXPECT_THAT(events, ElementsAre("start busy=1", "end busy=1 lines=1"));
    EXPECT_FALSE(bea.Busy());
    EXPECT_EQ(Subjects(bea.VorlaFolder()), (std::vector<std::string>{"keep me", "good news"}));
    // "unsure 1" came over from the vorla folder and was examined again there.
    EXPECT_EQ(Subjects(bea.QuarantineFolder()), (std::vector<std::string>{"unsure 2", "unsure 1"}));
    EXPECT_EQ(Subjects(bea.TrashFolder()), (std::vector<std::string>{"spam 1", "spam 2"}));
    EXPECT_THAT(Status("FILTER"), ElementsAre("\tFILTER\tBea\tAccepted=1 Trashed=2 Quarantined=1"));
    EXPECT_THAT(LogEvents(), ElementsAre(Event("Bea", "Quarantined", std::nullopt, Mail("unsure 1")),
                                         Event("Bea", "Trashed", "local:spam", Mail("spam 1")),
                                         Event("Bea", "Accepted", "global:good", Mail("good news")),
                                         Event("Bea", "Trashed", "local:spam", Mail("spam 2"))));
    // Moved copies are stamped, the originals are gone from their folders.
    EXPECT_THAT(test::ReadFile(bea.TrashFolder().Item(0)->FileName()), HasSubstr("Received: trashed by Vorla; "));
    EXPECT_THAT(test::ReadFile(bea.VorlaFolder().Item(1)->FileName()), HasSubstr("Received: accepted by Vorla; "));
    EXPECT_EQ(FindFiles(bea.VorlaFolder().Folder(), "*.msg").size(), 2u);
}

TEST_F(FilterMessagesTest, GuardsKeepARunFromStarting) {
    TZivadAccount& bea = Stored({Mail("unsure")}, {});
    struct TCase {
        const char* what;
        void (*set)(TZivadAccount&);
        void (*undo)(TZivadAccount&);
    };
    const TCase cases[] = {
        {"busy", [](TZivadAccount& a) { a.SetBusy(true); }, [](TZivadAccount& a) { a.SetBusy(false); }},
        {"filters off", [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.enablefilters = false; }); }, [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.enablefilters = true; }); }},
        {"stopped", [](TZivadAccount& a) { a.RequestStop(); }, [](TZivadAccount& a) { a.ClearStopRequest(); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        c.set(bea);
        FilterMessages(bea);
        EXPECT_TRUE(Status("FILTER").empty());
        EXPECT_EQ(bea.VorlaFolder().Count(), 1);
        c.undo(bea);
    }
    FilterMessages(bea);
    EXPECT_EQ(bea.QuarantineFolder().Count(), 1);
}

TEST_F(FilterMessagesTest, OnTheUiThreadPendingEventsRunDuringTheRun) {
    TZivadAccount& bea = Stored({Mail("a"), Mail("b"), Mail("c")}, {});
    AddRule(bea.Filters(), "a", TFilterAction::Accept, TFilterSection::None);  // every message
    int ran = 0;
    m_queue.Post([&] {
        ++ran;
        // A stop pressed during the run: the remaining messages are not examined, and the
        // quarantine pass does not start.
        bea.RequestStop();
    });
    Engine();  // made on this thread: this is its UI thread
    FilterMessages(bea);
    EXPECT_EQ(ran, 1);
    EXPECT_THAT(Status("FILTER"), ElementsAre("\tFILTER\tBea\tAccepted=0 Trashed=0 Quarantined=0"));
}

TEST_F(FilterMessagesTest, AnErrorEndsTheRunAfterItsClosingStepKeepingTheMovesMade) {
    TZivadAccount& bea = Stored({Mail("spam"), Mail("other")}, {});
    AddRule(bea.Filters(), "spam", TFilterAction::Reject, TFilterSection::Subject);
    // An active rule with nothing to look for cannot be matched: the second message fails.
    TZivadFilterItem& broken = bea.Filters().AddRule();
    broken.SetAction(TFilterAction::Reject);
    broken.SetSection(TFilterSection::Body);
    broken.SetActive(true);
    EXPECT_THROW(FilterMessages(bea), TVorlaError);
    EXPECT_FALSE(bea.Busy());
    EXPECT_THAT(Status("FILTER"), ElementsAre("\tFILTER\tBea\tAccepted=0 Trashed=1 Quarantined=0"));
    EXPECT_EQ(Subjects(bea.TrashFolder()), std::vector<std::string>{"spam"});
    EXPECT_EQ(Subjects(bea.VorlaFolder()), std::vector<std::string>{"other"});  // not there twice
}

TEST_F(FilterMessagesTest, RecheckReturnsTheLastResultAndMovesNothingItCannotRead) {
    TZivadAccount& bea = Stored({Mail("fine")}, {Mail("bad")});
    AddRule(bea.Filters(), "fine", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(bea.Filters(), "bad", TFilterAction::Reject, TFilterSection::Subject);
    EXPECT_EQ(RecheckMessage(bea, -1, -1, false), 0);
    EXPECT_EQ(RecheckMessage(bea, -1, 0, false), 1);
    EXPECT_EQ(RecheckMessage(bea, 0, 0, false), -1);  // the quarantine message comes last
    EXPECT_EQ(RecheckMessage(bea, 5, 7, false), 0);   // out of range: none
    EXPECT_TRUE(bea.QuarantineFolder().Item(0)->Deleted);
    EXPECT_FALSE(bea.VorlaFolder().Item(0)->Deleted);
    EXPECT_EQ(bea.QuarantineFolder().Count(), 1);  // still there until the caller purges
    EXPECT_EQ(Subjects(bea.TrashFolder()), std::vector<std::string>{"bad"});
    // With the body rules only, a Subject rule does not count.
    EXPECT_EQ(RecheckMessage(bea, -1, 0, true), 0);
    EXPECT_EQ(Subjects(bea.QuarantineFolder()).size(), 2u);

    // A file that has gone: the move fails before anything is filed or marked.
    TZivadAccount& other = Stored({Mail("lost")}, {}, "Other");
    DeleteFile(other.VorlaFolder().Item(0)->FileName());
    EXPECT_THROW(RecheckMessage(other, -1, 0, false), TFileError);
    EXPECT_EQ(other.QuarantineFolder().Count(), 0);
    EXPECT_FALSE(other.VorlaFolder().Item(0)->Deleted);
}

}  // namespace
}  // namespace vorla
