#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;
using vorla::test::WriteFile;
namespace fs = std::filesystem;

namespace {

std::string Fixture(const std::string& name) { return ReadFile(std::string(TEST_DATA_DIR) + "/" + name); }

// A small message file whose subject tells the messages apart.
std::string MessageFileText(const std::string& subject, const std::string& extraHeaders = "",
                            const std::string& body = "Hello.\r\n") {
    return "From: sender@example.org\r\nTo: user@example.net\r\n" + extraHeaders + "Subject: " + subject +
           "\r\n\r\n" + body + ".\r\n";
}

TMailMessage& LoadRaw(TMailMessage& message, const std::string& text) {
    message.LoadMode = TLoadMode::Raw;
    message.LoadFromText(text);
    return message;
}

// Names of the "*.msg" regular files in folder, sorted; read without the platform layer.
std::vector<std::string> MessageFilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() > 4 && name.ends_with(".msg")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Numbered(int position) {
    std::string digits = std::to_string(position);
    return std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits + ".msg";
}

// The store's invariant, and that file n holds the message with subject subjects[n-1]: the
// items are at 1..Count, each item's file lies at its position-derived name, the folder holds
// exactly those files, and contents moved with their items.
void ExpectFolderHolds(TZivadMessageCollection& c, const std::vector<std::string>& subjects) {
    ASSERT_EQ(c.Count(), static_cast<int>(subjects.size()));
    std::vector<std::string> expectedNames;
    for (int i = 0; i < c.Count(); ++i) {
        SCOPED_TRACE("position " + std::to_string(i + 1));
        TZivadMessageItem* item = c.Item(i);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Index(), i);
        EXPECT_EQ(item->DerivedFileName(), c.Folder() + Numbered(i + 1));
        EXPECT_EQ(item->FileName(), item->DerivedFileName());
        const std::string text = ReadFile(item->DerivedFileName());
        EXPECT_NE(text.find("Subject: " + subjects[static_cast<std::size_t>(i)] + "\r\n"), std::string::npos)
            << text;
        expectedNames.push_back(Numbered(i + 1));
    }
    EXPECT_EQ(MessageFilesIn(c.Folder()), expectedNames);
}

// Counts OnChange and checks that the lock is free when it is raised: another thread must be
// able to take it.
struct TChangeCounter {
    std::atomic<int> count{0};
    std::atomic<int> raisedUnderLock{0};
    void Attach(TZivadMessageCollection& c) {
        c.OnChange.Set([this](TZivadMessageCollection& changed) {
            bool free = false;
            std::thread probe([&] {
                if (changed.Lock().try_lock()) {
                    free = true;
                    changed.Lock().unlock();
                }
            });
            probe.join();
            if (!free) ++raisedUnderLock;
            ++count;
        });
    }
};

class TScopedTimeZone {
public:
    explicit TScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TScopedTimeZone() {
        if (m_old) setenv("TZ", m_old->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

class TScopedWorkingDirectory {
public:
    explicit TScopedWorkingDirectory(const std::string& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~TScopedWorkingDirectory() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

}  // namespace

TEST(MessageStore, PositionNamesArePaddedToFiveDigitsAndLongerOnesUnpadded) {
    TZivadMessageCollection c("");  // no folder: many items cost no files
    for (int i = 0; i < 100000; ++i) c.NewItem();
    const std::pair<int, const char*> rows[] = {
        {1, "00001.msg"}, {123, "00123.msg"}, {99999, "99999.msg"}, {100000, "100000.msg"}};
    for (const auto& [position, name] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(c.Item(position - 1)->DerivedFileName(), name);
        EXPECT_EQ(c.Item(position - 1)->Index(), position - 1);
    }
    EXPECT_EQ(c.Item(100000), nullptr);
    EXPECT_EQ(c.Item(-1), nullptr);
    TZivadMessageItem outside(c);
    EXPECT_EQ(outside.Index(), -1);
    EXPECT_EQ(outside.DerivedFileName(), "00000.msg");
}

TEST(MessageStore, LoadingClosesGapsInOrderAndIgnoresOtherFiles) {
    TTempDir dir;
    const std::string folder = dir / "account/vorla/";
    fs::create_directories(folder);
    WriteFile(folder + "00001.msg", MessageFileText("one"));
    WriteFile(folder + "00003.msg", MessageFileText("three"));
    WriteFile(folder + "00007.msg", MessageFileText("seven"));
    // Leftover of a write that was cut off, and a stranger: neither is a message file.
    WriteFile(folder + "00002.msg.tmp", "half a mess");
    WriteFile(folder + "notes.txt", "x");
    TZivadMessageCollection c(folder);
    ExpectFolderHolds(c, {"one", "three", "seven"});
    EXPECT_TRUE(fs::exists(folder + "00002.msg.tmp"));
    EXPECT_EQ(c.Item(0)->Size(), static_cast<int>(MessageFileText("one").size()));
    EXPECT_TRUE(c.Item(1)->Message().Headers.empty()) << "messages are not read at load time";

    // The folder path is created with all missing levels; a missing final "/" is supplied.
    TZivadMessageCollection fresh(dir / "new/deeper/trash");
    EXPECT_EQ(fresh.Folder(), dir / "new/deeper/trash/");
    EXPECT_TRUE(fs::is_directory(dir / "new/deeper/trash"));
    EXPECT_EQ(fresh.Count(), 0);
}

TEST(MessageStore, NamesPastFiveDigitsLoadInNumberOrder) {
    TTempDir dir;
    // Byte order would put 100000 between 10000 and 10001.
    WriteFile(dir / "100000.msg", MessageFileText("third"));
    WriteFile(dir / "99999.msg", MessageFileText("second"));
    WriteFile(dir / "10000.msg", MessageFileText("first"));
    WriteFile(dir / "zzz.msg", MessageFileText("named"));
    TZivadMessageCollection c(dir.Path());
    ExpectFolderHolds(c, {"first", "second", "third", "named"});
}

TEST(MessageStore, AddMessageStampsAboveTheFirstReceivedLine) {
    TScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    TTempDir dir;
    TZivadMessageCollection c(dir.Path());
    TChangeCounter changes;
    changes.Attach(c);

    TMailMessage message;
    LoadRaw(message, Fixture("two-received-lines.msg"));
    const std::string before = FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", Now());
    TZivadMessageItem& item = c.AddMessage(message, "accepted");
    const std::string after = FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", Now());

    // The caller's message carries the stamp, directly above the first Received line.
    ASSERT_GE(message.Headers.size(), 3u);
    const std::string& stamp = message.Headers[1];
    EXPECT_TRUE(stamp == "Received: accepted by Vorla; " + before + " +0100" ||
                stamp == "Received: accepted by Vorla; " + after + " +0100")
        << stamp;
    EXPECT_EQ(message.Headers[2].rfind("Received: from relay.example.org", 0), 0u) << message.Headers[2];
    EXPECT_EQ(message.Headers[0].rfind("Return-Path:", 0), 0u);

    // The file holds the stamped message, byte for byte as the caller's SaveToText, and the
    // rest of the fixture unchanged.
    const std::string stored = ReadFile(dir / "00001.msg");
    EXPECT_EQ(stored, message.SaveToText());
    std::string unstamped = stored;
    unstamped.erase(unstamped.find(stamp), stamp.size() + 2);
    EXPECT_EQ(unstamped, Fixture("two-received-lines.msg"));
    EXPECT_EQ(item.FileName(), dir / "00001.msg");
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(changes.raisedUnderLock, 0);
}

TEST(MessageStore, StampZoneIsLocalStandardTime) {
    struct {
        const char* tz;
        const char* zoneText;
    } rows[] = {{"CET-1CEST,M3.5.0,M10.5.0/3", "+0100"},
                {"EST5EDT,M3.2.0,M11.1.0", "-0500"},
                {"UTC0", "+0000"},
                {"IST-5:30", "+0530"},
                {"NST3:30NDT,M3.2.0,M11.1.0", "-0330"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tz);
        TScopedTimeZone zone(row.tz);
        TMailMessage message;
        LoadRaw(message, MessageFileText("z", "Received: from a ([10.0.0.1]) by b\r\n"));
        StampReceived(message, "quarantined");
        ASSERT_FALSE(message.Headers.empty());
        const std::string& stamp = message.Headers[2];
        EXPECT_EQ(stamp.rfind("Received: quarantined by Vorla; ", 0), 0u) << stamp;
        EXPECT_TRUE(stamp.ends_with(std::string(" ") + row.zoneText)) << stamp;
    }
}

TEST(MessageStore, StampNeedsAReceivedLineInTheHeader) {
    struct {
        const char* name;
        std::string text;
        bool stamped;
    } rows[] = {
        {"no Received line", MessageFileText("plain"), false},
        {"Received only in the body", Fixture("received-line-only-in-body.msg"), false},
        {"field name in capitals", MessageFileText("caps", "RECEIVED: from x ([1.2.3.4])\r\n"), true},
        {"folded first Received field",
         MessageFileText("fold", "Received: from a\r\n\tby b; Mon, 1 Jan 2024 00:00:00 +0000\r\n"), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TTempDir dir;
        TZivadMessageCollection c(dir.Path());
        TMailMessage message;
        LoadRaw(message, row.text);
        c.AddMessage(message, "trashed");
        const std::string stored = ReadFile(dir / "00001.msg");
        if (row.stamped) {
            const std::size_t at = stored.find("Received: trashed by Vorla; ");
            ASSERT_NE(at, std::string::npos) << stored;
            EXPECT_LT(at, stored.find("\r\n\r\n"));
            EXPECT_EQ(stored.substr(0, at), row.text.substr(0, at)) << "stamp goes above the first Received line";
        } else {
            EXPECT_EQ(stored, row.text);
        }
    }
    // Without a stamp word nothing is stamped, whatever the message holds.
    TTempDir dir;
    TZivadMessageCollection c(dir.Path());
    TMailMessage message;
    const std::string text = Fixture("two-received-lines.msg");
    c.AddMessage(LoadRaw(message, text), "");
    EXPECT_EQ(ReadFile(dir / "00001.msg"), text);
    EXPECT_EQ(message.SaveToText(), text);
}

TEST(MessageStore, DeleteMovesTheFilesAboveDown) {
    struct {
        int index;
        std::vector<std::string> left;
    } rows[] = {{0, {"b", "c"}}, {1, {"a", "c"}}, {2, {"a", "b"}}, {3, {"a", "b", "c"}}, {-1, {"a", "b", "c"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE("delete index " + std::to_string(row.index));
        TTempDir dir;
        for (int n = 1; n <= 3; ++n) WriteFile(dir / Numbered(n), MessageFileText(std::string(1, char('a' + n - 1))));
        TZivadMessageCollection c(dir.Path());
        // Sizes known before the delete stay with their messages.
        std::vector<int> sizes;
        for (int i = 0; i < 3; ++i) sizes.push_back(c.Item(i)->Size());
        TChangeCounter changes;
        changes.Attach(c);
        struct stat third {};
        ASSERT_EQ(stat((dir / "00003.msg").c_str(), &third), 0);
        c.Delete(row.index);
        ExpectFolderHolds(c, row.left);
        // The files were renamed down, not written anew.
        if (row.index >= 0 && row.index < 3) {
            struct stat moved {};
            ASSERT_EQ(stat((dir / "00002.msg").c_str(), &moved), 0);
            EXPECT_EQ(moved.st_ino == third.st_ino, row.index < 2);
        }
        for (int i = 0; i < c.Count(); ++i) {
            EXPECT_EQ(c.Item(i)->Size(), static_cast<int>(ReadFile(c.Item(i)->FileName()).size()));
        }
        EXPECT_EQ(changes.count, 0) << "Delete raises no OnChange";
    }
}

TEST(MessageStore, PurgeRemovesMarkedMessagesAndRenumbersOnce) {
    TTempDir dir;
    for (int n = 1; n <= 5; ++n) WriteFile(dir / Numbered(n), MessageFileText("m" + std::to_string(n)));
    TZivadMessageCollection c(dir.Path());
    TChangeCounter changes;
    changes.Attach(c);

    EXPECT_FALSE(c.Purge()) << "nothing marked";
    EXPECT_EQ(changes.count, 0);
    ExpectFolderHolds(c, {"m1", "m2", "m3", "m4", "m5"});

    c.Item(1)->Deleted = true;
    c.Item(3)->Deleted = true;
    EXPECT_TRUE(c.Purge());
    ExpectFolderHolds(c, {"m1", "m3", "m5"});
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(changes.raisedUnderLock, 0);
    for (int i = 0; i < c.Count(); ++i) EXPECT_FALSE(c.Item(i)->Deleted);

    for (int i = 0; i < c.Count(); ++i) c.Item(i)->Deleted = true;
    EXPECT_TRUE(c.Purge());
    ExpectFolderHolds(c, {});
}

TEST(MessageStore, InvariantHoldsAfterEveryOperation) {
    TTempDir dir;
    auto c = std::make_unique<TZivadMessageCollection>(dir.Path());
    std::vector<std::string> model;  // subjects in folder order
    std::mt19937 random(20240601);
    int serial = 0;
    for (int step = 0; step < 300; ++step) {
        const int op = static_cast<int>(random() % 10);
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
        if (op < 5) {
            TMailMessage message;
            const std::string subject = "s" + std::to_string(++serial);
            c->AddMessage(LoadRaw(message, MessageFileText(subject, "Received: from h ([1.1.1.1])\r\n")),
                          op % 2 ? "accepted" : "");
            model.push_back(subject);
        } else if (op < 7 && !model.empty()) {
            const int i = static_cast<int>(random() % model.size());
            c->Delete(i);
            model.erase(model.begin() + i);
        } else if (op < 9) {
            std::vector<std::string> kept;
            for (int i = 0; i < c->Count(); ++i) {
                const bool mark = random() % 3 == 0;
                c->Item(i)->Deleted = mark;
                if (!mark) kept.push_back(model[static_cast<std::size_t>(i)]);
            }
            c->Purge();
            model = kept;
        } else if (random() % 2) {
            c->Reload();
        } else {
            c = std::make_unique<TZivadMessageCollection>(dir.Path());
        }
        ExpectFolderHolds(*c, model);
        if (HasFailure()) return;
    }
}

TEST(MessageStore, FailedRenameNeverLosesAMessage) {
    TTempDir dir;
    // A folder squatting on 00001.msg makes the first rename fail.
    fs::create_directory(dir / "00001.msg");
    WriteFile(dir / "00002.msg", MessageFileText("first"));
    WriteFile(dir / "00003.msg", MessageFileText("second"));
    TZivadMessageCollection c(dir.Path());
    ASSERT_EQ(c.Count(), 2);
    EXPECT_EQ(ReadFile(dir / "00002.msg"), MessageFileText("first"));
    EXPECT_EQ(ReadFile(dir / "00003.msg"), MessageFileText("second"));
    // Each item still reads its own message, not the file at its derived name.
    for (int i = 0; i < 2; ++i) {
        c.Item(i)->Load();
        EXPECT_EQ(c.Item(i)->Message().SaveToText(), MessageFileText(i == 0 ? "first" : "second"));
        c.Item(i)->Release();
    }
    // A new message goes under a free name instead of over the second message.
    TMailMessage message;
    c.AddMessage(LoadRaw(message, MessageFileText("third")), "");
    EXPECT_EQ(ReadFile(dir / "00002.msg"), MessageFileText("first"));
    EXPECT_EQ(ReadFile(dir / "00003.msg"), MessageFileText("second"));
    EXPECT_EQ(c.Item(2)->FileName(), dir / "00004.msg");
    EXPECT_EQ(c.Item(2)->Size(), static_cast<int>(MessageFileText("third").size()));

    // Once the obstacle is gone the next Renumber puts everything in place.
    fs::remove(dir / "00001.msg");
    c.Renumber();
    ExpectFolderHolds(c, {"first", "second", "third"});
}

TEST(MessageStore, SizesListingAndTotal) {
    TTempDir dir;
    const std::string a = MessageFileText("a"), b = MessageFileText("bb", "", "longer body\r\n..dot\r\n");
    WriteFile(dir / "00001.msg", a);
    WriteFile(dir / "00002.msg", b);
    TZivadMessageCollection c(dir.Path());
    EXPECT_EQ(c.ScanListing(), "1 " + std::to_string(a.size()) + "\r\n2 " + std::to_string(b.size()) + "\r\n");
    EXPECT_EQ(c.TotalSize(), static_cast<long long>(a.size() + b.size()));
    EXPECT_TRUE(c.Item(0)->Message().Headers.empty()) << "sizes are taken without reading messages";

    // A size asked before the file was written is measured again after Save.
    TZivadMessageItem& item = c.NewItem();
    const int empty = item.Size();
    EXPECT_EQ(empty, static_cast<int>(TMailMessage().SaveToText().size()));
    LoadRaw(item.Message(), b);
    item.Save();
    EXPECT_EQ(item.Size(), static_cast<int>(b.size()));
    EXPECT_EQ(c.ScanListing().substr(c.ScanListing().rfind("3 ")), "3 " + std::to_string(b.size()) + "\r\n");

    TZivadMessageCollection none("");
    EXPECT_EQ(none.ScanListing(), "");
    EXPECT_EQ(none.TotalSize(), 0);
}

TEST(MessageStore, ItemFileOperations) {
    TTempDir dir;
    const std::string text = MessageFileText("x", "Date: Mon, 01 Jan 2024 10:00:00 +0000\r\n", "body line\r\n");
    WriteFile(dir / "00001.msg", text);
    TZivadMessageCollection c(dir.Path());
    TZivadMessageItem& item = *c.Item(0);

    item.Load(true);
    EXPECT_FALSE(item.Message().Headers.empty());
    EXPECT_TRUE(item.Message().Body.empty());
    item.Load();
    EXPECT_EQ(item.Message().SaveToText(), text);
    item.Release();
    EXPECT_TRUE(item.Message().Headers.empty());
    EXPECT_TRUE(item.Message().Body.empty());
    EXPECT_EQ(ReadFile(dir / "00001.msg"), text) << "the file keeps the data";

    item.DeleteFile();
    EXPECT_FALSE(fs::exists(dir / "00001.msg"));
    EXPECT_NO_THROW(item.DeleteFile());
    LoadRaw(item.Message(), MessageFileText("kept"));
    item.Load();  // no file: the message stays
    EXPECT_EQ(item.Message().Subject, "kept");
    item.Save();
    EXPECT_EQ(ReadFile(dir / "00001.msg"), MessageFileText("kept"));
    EXPECT_TRUE(MessageFilesIn(dir.Path()) == std::vector<std::string>{"00001.msg"});
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path().filename(), "00001.msg") << "no temporary file left behind";
    }
}

TEST(MessageStore, AddMessageThatCannotBeWrittenLeavesNoItem) {
    TTempDir dir;
    const std::string folder = dir / "vorla/";
    TZivadMessageCollection c(folder);
    TChangeCounter changes;
    changes.Attach(c);
    TMailMessage first;
    c.AddMessage(LoadRaw(first, MessageFileText("kept")), "");
    // The folder is replaced by a file: nothing can be written into it any more.
    fs::remove_all(folder);
    WriteFile(dir / "vorla", "not a folder");
    TMailMessage message;
    EXPECT_THROW(c.AddMessage(LoadRaw(message, MessageFileText("lost")), ""), TFileError);
    EXPECT_EQ(c.Count(), 1);
    EXPECT_EQ(changes.count, 2) << "OnChange also when writing failed";
}

TEST(MessageStore, CollectionWithoutFolderNeverTouchesFiles) {
    TTempDir dir;
    TScopedWorkingDirectory cwd(dir.Path());  // relative names would land here
    TZivadMessageCollection c("");
    TChangeCounter changes;
    changes.Attach(c);
    for (int n = 0; n < 4; ++n) {
        TMailMessage message;
        c.AddMessage(LoadRaw(message, MessageFileText("p" + std::to_string(n), "Received: from h ([9.8.7.6])\r\n")),
                     "accepted");
    }
    EXPECT_EQ(changes.count, 4);
    TZivadMessageItem& item = c.NewItem();
    LoadRaw(item.Message(), MessageFileText("peek", "Received: from a ([1.2.3.4])\r\n"));
    item.Save();
    item.Load();
    EXPECT_EQ(item.Size(), static_cast<int>(MessageFileText("peek", "Received: from a ([1.2.3.4])\r\n").size()));
    // The message held here is the only copy: reading it must not release it.
    EXPECT_EQ(item.ReceivedIPs(true), "1.2.3.4");
    EXPECT_EQ(item.Message().Subject, "peek");
    c.Item(1)->Deleted = true;
    EXPECT_TRUE(c.Purge());
    c.Delete(0);
    c.Renumber();
    c.Item(0)->DeleteFile();
    EXPECT_EQ(c.Count(), 3);
    EXPECT_EQ(c.Item(0)->Message().Subject, "p2");
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(MessageStore, ReceivedIPsReadTheFileAndReleaseTheMessage) {
    TTempDir dir;
    WriteFile(dir / "00001.msg", Fixture("two-received-lines.msg"));
    WriteFile(dir / "00002.msg", MessageFileText("none"));
    TZivadMessageCollection c(dir.Path());
    EXPECT_EQ(c.Item(0)->ReceivedIPs(false), "192.0.2.17");
    EXPECT_EQ(c.Item(0)->ReceivedIPs(true), "192.0.2.17,198.51.100.4");
    EXPECT_TRUE(c.Item(0)->Message().Headers.empty());
    EXPECT_EQ(c.Item(1)->ReceivedIPs(true), "");
}

TEST(MessageStore, AttachmentName) {
    struct {
        const char* fixture;
        const char* name;
    } rows[] = {
        {"attachment-name-quoted-on-next-line.msg", "report 2024.pdf"},
        {"attachment-name-unquoted-on-next-line.msg", "report 2024.pdf"},
        {"attachment-name-on-disposition-line.msg", "invoice.pdf"},
        {"attachment-name-after-a-nameless-disposition.msg", "second.zip"},
        {"received-line-only-in-body.msg", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fixture);
        TTempDir dir;
        WriteFile(dir / "00001.msg", Fixture(row.fixture));
        TZivadMessageCollection c(dir.Path());
        EXPECT_EQ(c.Item(0)->AttachmentName(), row.name);
    }
    TTempDir dir;
    TZivadMessageCollection c(dir.Path());
    EXPECT_EQ(c.NewItem().AttachmentName(), "") << "no file";
}

TEST(MessageStore, DisplayTextJoinsTextPartsAndHtmlAttachments) {
    TTempDir dir;
    WriteFile(dir / "00001.msg", Fixture("multipart-text-and-html-attachment.msg"));
    TZivadMessageCollection c(dir.Path());
    const std::string shown = c.Item(0)->DisplayText();
    EXPECT_EQ(shown, MessageDisplayText(Fixture("multipart-text-and-html-attachment.msg")));

    TMailMessage back;
    LoadRaw(back, shown);
    const std::vector<std::string> wanted = {"Plain part, caf\xC3\xA9.", "<p>Hello from the HTML file</p>",
                                             "Second text part."};
    std::size_t next = 0;
    for (const std::string& line : back.Body) {
        if (next < wanted.size() && line == wanted[next]) ++next;
        EXPECT_EQ(line.find("--frontier"), std::string::npos) << "no MIME structure left: " << line;
        EXPECT_EQ(line.find("PHA+"), std::string::npos) << "HTML shown decoded: " << line;
    }
    EXPECT_EQ(next, wanted.size()) << shown;
    EXPECT_EQ(back.Subject, "Parts to show");
    // The zip attachment is neither text nor HTML: it stays an attachment of the message.
    EXPECT_NE(shown.find("archive.zip"), std::string::npos) << shown;
}

// The display text decodes attachments in memory: it is the same where no temporary file can
// be made, and a decoded load in memory writes what one with attachment files writes.
TEST(MessageStore, DisplayTextNeedsNoAttachmentFiles) {
    TTempDir temp;
    SetPrivateTempFolder(temp.Path());
    std::vector<std::string> texts = {Fixture("multipart-text-and-html-attachment.msg")};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(CORPUS_DIR) + "/enmime"))
        if (entry.path().extension() == ".raw") texts.push_back(ReadFile(entry.path().string()));
    int attachments = 0;
    std::vector<std::string> shown;
    for (const std::string& text : texts) {
        shown.push_back(MessageDisplayText(text));
        TMailMessage inFiles, inMemory;
        inFiles.LoadMode = inMemory.LoadMode = TLoadMode::Decoded;
        inMemory.AttachmentsInMemory = true;
        try {
            inFiles.LoadFromText(text);
        } catch (const std::exception&) {
            continue;  // a text the decoder cannot read says nothing here
        }
        inMemory.LoadFromText(text);
        for (const TMessagePart& part : inFiles.MessageParts) attachments += std::holds_alternative<TAttachmentPart>(part);
        EXPECT_EQ(inMemory.SaveToText(), inFiles.SaveToText());
    }
    EXPECT_GT(attachments, 10);
    // A temporary folder below a file cannot be made.
    WriteFile(temp / "file", "x");
    SetPrivateTempFolder(temp / "file/sub/");
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(MessageDisplayText(texts[i]), shown[i]) << i;
    SetPrivateTempFolder("");
}

TEST(MessageStore, OnChangeWaitsForTheOutermostUnlock) {
    TTempDir dir;
    TZivadMessageCollection c(dir.Path());
    TChangeCounter changes;
    changes.Attach(c);
    {
        std::scoped_lock hold(c.Lock());
        TMailMessage a, b;
        c.AddMessage(LoadRaw(a, MessageFileText("a")), "");
        c.AddMessage(LoadRaw(b, MessageFileText("b")), "");
        EXPECT_EQ(changes.count, 0) << "raised while the caller still holds the lock";
    }
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(changes.raisedUnderLock, 0);
    c.Reload();
    EXPECT_EQ(changes.count, 2);
    // A receiver may read the collection back, and may clear its own slot.
    int seen = -1;
    c.OnChange.Set([&](TZivadMessageCollection& changed) {
        seen = changed.Count();
        changed.OnChange.Clear();
    });
    c.Item(0)->Deleted = true;
    c.Purge();
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(c.OnChange.Empty());
}

TEST(MessageStore, ConcurrentAddsStayConsistent) {
    TTempDir dir;
    TZivadMessageCollection c(dir.Path());
    TChangeCounter changes;
    changes.Attach(c);
    constexpr int kPerThread = 40;
    std::atomic<bool> stopReader{false};
    auto adder = [&](const std::string& tag) {
        for (int n = 0; n < kPerThread; ++n) {
            TMailMessage message;
            c.AddMessage(LoadRaw(message, MessageFileText(tag + std::to_string(n), "Received: from h ([1.2.3.4])\r\n")),
                         "accepted");
        }
    };
    std::thread reader([&] {
        for (int n = 0; n < 10000 && !stopReader; ++n) {
            const std::string listing = c.ScanListing();
            EXPECT_EQ(listing.empty() || listing.ends_with("\r\n"), true);
            c.TotalSize();
        }
    });
    std::thread first(adder, "a"), second(adder, "b");
    first.join();
    second.join();
    stopReader = true;
    reader.join();

    ASSERT_EQ(c.Count(), 2 * kPerThread);
    EXPECT_EQ(changes.count, 2 * kPerThread);  // (the other adder may hold the lock meanwhile)
    // Each thread's messages are all there, once each, in the order that thread added them.
    std::vector<std::string> subjects;
    int nextA = 0, nextB = 0;
    for (int i = 0; i < c.Count(); ++i) {
        c.Item(i)->Load(true);
        const std::string subject = c.Item(i)->Message().Subject;
        c.Item(i)->Release();
        subjects.push_back(subject);
        if (subject == "a" + std::to_string(nextA)) ++nextA;
        else if (subject == "b" + std::to_string(nextB)) ++nextB;
        else ADD_FAILURE() << "out of order or duplicate: " << subject;
    }
    EXPECT_EQ(nextA, kPerThread);
    EXPECT_EQ(nextB, kPerThread);
    ExpectFolderHolds(c, subjects);
    TZivadMessageCollection again(dir.Path());
    ExpectFolderHolds(again, subjects);
}
