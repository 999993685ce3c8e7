#include "log/ZivadLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

// A clock the tests set; starts at 07 Dec 2026 12:22:26.
struct TTestClock {
    std::atomic<double> now{EncodeDateTime(2026, 12, 7, 12, 22, 26)};
    TZivadLog::TClock Clock() {
        return [this] { return now.load(); };
    }
};

TLogSettings OnlyRejected() {
    TLogSettings s;
    s.accepted = s.trashed = s.quarantined = s.queued = s.redirected = false;
    s.errors = s.autoReplies = s.mailbot = s.addedFilters = false;
    s.rejected = true;
    return s;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class ZivadLogTest : public ::testing::Test {
protected:
    TTempDir dir;
    TTestClock clock;
    std::string fileName = dir / "vorla.log";
    TZivadLog log{fileName, clock.Clock()};
};

TEST_F(ZivadLogTest, CategoryWordMustOccurAfterTheFirstCharacter) {
    struct TCase {
        const char* name;
        bool onlyRejected;
        std::string text;
        bool written;
    };
    const TCase cases[] = {
        {"accepted line, only rejected on", true, "box\tAccepted - (ok) Date: x From: a Subject: hi", false},
        {"subject holds the word rejected", true, "box\tAccepted - (x) Date: x From: a Subject: was rejected", true},
        {"category word at position 1 only", true, "Rejected - nothing else", false},
        {"category word at position 1 and later", true, "Rejected - and Rejected again", true},
        {"category word from the second character", true, "xRejected", true},
        {"letter case ignored", true, "box\tREJECTED", true},
        {"all on: Ok inside another word", false, "box\tBooked", true},
        {"all on: no category word", false, "box\tnothing here", false},
        {"all on: AddFilter", false, "box\taddfilter - (1.2.3.4) ", true},
        {"all on: Quarantined at the start only", false, "Quarantined", false},
        {"empty text", false, "", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.SetSettings(c.onlyRejected ? OnlyRejected() : TLogSettings{});
        const std::string before = FileExists(fileName) ? ReadFile(fileName) : "";
        EXPECT_EQ(log.AppendLine(c.text), c.written);
        const std::string after = FileExists(fileName) ? ReadFile(fileName) : "";
        EXPECT_EQ(after, c.written ? before + "07 Dec 2026 12:22:26\t" + c.text + "\r\n" : before);
    }
}

TEST_F(ZivadLogTest, EachSwitchEnablesItsOwnWords) {
    struct TCase {
        bool TLogSettings::*flag;
        std::vector<std::string> words;
    };
    const TCase cases[] = {
        {&TLogSettings::accepted, {"Accepted", "Ok"}},  {&TLogSettings::trashed, {"Trashed"}},
        {&TLogSettings::quarantined, {"Quarantined"}},  {&TLogSettings::queued, {"Queued"}},
        {&TLogSettings::rejected, {"Rejected"}},        {&TLogSettings::redirected, {"Redirected"}},
        {&TLogSettings::errors, {"Error"}},             {&TLogSettings::autoReplies, {"AutoReply"}},
        {&TLogSettings::mailbot, {"Mailbot"}},          {&TLogSettings::addedFilters, {"AddFilter"}},
    };
    for (const TCase& c : cases) {
        TLogSettings s = OnlyRejected();
        s.rejected = false;
        s.*(c.flag) = true;
        log.SetSettings(s);
        for (const char* word : kCategoryWords) {
            SCOPED_TRACE(c.words.front() + " on, text with " + std::string(word));
            const bool expected = std::find(c.words.begin(), c.words.end(), word) != c.words.end();
            EXPECT_EQ(log.Qualifies(std::string("a\t") + word), expected);
        }
    }
}

TEST_F(ZivadLogTest, FileIsUtf8WithCrLfLineEnds) {
    EXPECT_TRUE(log.AppendLine("box\tAccepted - Subject: Gr\xC3\xBC\xC3\x9F" "e"));                 // UTF-8 kept
    EXPECT_TRUE(log.AppendLine("box\tAccepted - Subject: Gr\xFC\xDF" "e \x80"));                    // 8-bit: encoded
    EXPECT_TRUE(log.AppendLine("box\tError - box - first line\r\nsecond\nthird\rfourth\x01."));      // breaks
    EXPECT_TRUE(log.AppendLine("box\tAccepted - Subject: cut \xE2\x82"));                          // cut sequence
    EXPECT_EQ(ReadFile(fileName),
              "07 Dec 2026 12:22:26\tbox\tAccepted - Subject: Gr\xC3\xBC\xC3\x9F" "e\r\n"
              "07 Dec 2026 12:22:26\tbox\tAccepted - Subject: Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\r\n"
              "07 Dec 2026 12:22:26\tbox\tError - box - first line second third fourth .\r\n"
              "07 Dec 2026 12:22:26\tbox\tAccepted - Subject: cut \xC3\xA2\xE2\x80\x9A\r\n");
}

TEST_F(ZivadLogTest, AppendAfterALineCutShortStartsANewLine) {
    WriteFile(fileName, "06 Dec 2026 10:00:00\tbox\tAccepted - Date: x\r\n06 Dec 2026 10:00:01\tbox\tAcc");
    clock.now = EncodeDateTime(2026, 12, 6, 11, 0, 0);
    ASSERT_TRUE(log.AppendLine("box\tTrashed - (rule) Date: y"));
    EXPECT_EQ(ReadFile(fileName),
              "06 Dec 2026 10:00:00\tbox\tAccepted - Date: x\r\n06 Dec 2026 10:00:01\tbox\tAcc\r\n"
              "06 Dec 2026 11:00:00\tbox\tTrashed - (rule) Date: y\r\n");
    EXPECT_EQ(log.DailySummary(), "06 Dec 2026\tTrashed\t1\r\n06 Dec 2026\t\t1\r\n06 Dec 2026\tAccepted\t1");
}

TEST_F(ZivadLogTest, ReadersOfAMissingFileGiveEmptyTextAndCreateNothing) {
    EXPECT_EQ(log.LogText(), "");
    EXPECT_EQ(log.AccountLogText("box"), "");
    EXPECT_EQ(log.DailySummary(), "");
    EXPECT_EQ(log.AccountSummary(), "");
    log.TrimLog();
    EXPECT_FALSE(FileExists(fileName));
}

TEST_F(ZivadLogTest, LogTextIsNewestFirstAndAccountLogTextMatchesTheWholeName) {
    WriteFile(fileName,
              "07 Dec 2026 10:00:00\tMy Box\tAccepted - a\r\n"
              "07 Dec 2026 10:00:01\tMy\tRejected - b\r\n"
              "07 Dec 2026 10:00:02\tmy box\tTrashed - c\n"  // a hand-edited LF line end
              "07 Dec 2026 10:00:03\tMy Box\tQuarantined - d\r\n");
    EXPECT_EQ(log.LogText(),
              "07 Dec 2026 10:00:03\tMy Box\tQuarantined - d\r\n"
              "07 Dec 2026 10:00:02\tmy box\tTrashed - c\r\n"
              "07 Dec 2026 10:00:01\tMy\tRejected - b\r\n"
              "07 Dec 2026 10:00:00\tMy Box\tAccepted - a\r\n");
    EXPECT_EQ(log.AccountLogText("My Box"),
              "07 Dec 2026 10:00:03\tMy Box\tQuarantined - d\r\n"
              "07 Dec 2026 10:00:00\tMy Box\tAccepted - a\r\n");
    EXPECT_EQ(log.AccountLogText("My"), "07 Dec 2026 10:00:01\tMy\tRejected - b\r\n");
    EXPECT_EQ(log.AccountLogText("Nobody"), "");
}

TEST_F(ZivadLogTest, DailySummaryCountsPerDayAndCategoryNewestFirst) {
    WriteFile(fileName,
              "06 Dec 2026 09:00:00\tbox\tRejected - (x) Date: d\r\n"
              "07 Dec 2026 10:00:00\tbox\tAccepted - (x) Date: d\r\n"
              "garbage typed by hand\r\n"
              "\r\n"
              "07 Dec 2026 11:00:00\tother\tTrashed - (x) Date: d\r\n"
              "07 Dec 2026 12:00:00\tbox\tAccepted - (x) Date: d\r\n");
    EXPECT_EQ(log.DailySummary(),
              "07 Dec 2026\tAccepted\t2\r\n"
              "07 Dec 2026\tTrashed\t1\r\n"
              "06 Dec 2026\tRejected\t1");
    // The newest line of a day decides the order: here Trashed is newer than both Accepted.
    WriteFile(fileName,
              "07 Dec 2026 10:00:00\tbox\tAccepted - a\r\n"
              "07 Dec 2026 11:00:00\tbox\tAccepted - b\r\n"
              "07 Dec 2026 12:00:00\tbox\tTrashed - c\r\n");
    EXPECT_EQ(log.DailySummary(), "07 Dec 2026\tTrashed\t1\r\n07 Dec 2026\tAccepted\t2");
}

TEST_F(ZivadLogTest, AccountSummaryGivesSortedCountsAndTotals) {
    WriteFile(fileName,
              "07 Dec 2026 10:00:00\tbox\tAccepted - a\r\n"
              "07 Dec 2026 10:00:01\tbox\tRejected - b\r\n"
              "07 Dec 2026 10:00:02\tbox\tAccepted - c\r\n"
              "07 Dec 2026 10:00:03\tbox\tAccepted - d\r\n");
    EXPECT_EQ(log.AccountSummary(),
              "box\tAccepted\t3\r\n"
              "box\tRejected\t1\r\n"
              "\r\n"
              "Totals\tAccepted\t3 (75.0%)\r\n"
              "\tRejected\t1 (25.0%)");

    WriteFile(fileName,
              "07 Dec 2026 10:00:00\tbeta\tTrashed - a\r\n"
              "07 Dec 2026 10:00:01\talpha\tAccepted - b\r\n"
              "07 Dec 2026 10:00:02\tAlpha\tTrashed - c\r\n"
              "07 Dec 2026 10:00:03\tMy Box\tAccepted - d\r\n"
              "cut sho\r\n"
              "07 Dec 2026 10:00:04\tbeta\tTrashed - e\r\n");
    // Byte order puts capitals first; totals follow the order of that list.
    EXPECT_EQ(log.AccountSummary(),
              "Alpha\tTrashed\t1\r\n"
              "My Box\tAccepted\t1\r\n"
              "alpha\tAccepted\t1\r\n"
              "beta\tTrashed\t2\r\n"
              "\r\n"
              "Totals\tTrashed\t3 (60.0%)\r\n"
              "\tAccepted\t2 (40.0%)");

    WriteFile(fileName, "");
    EXPECT_EQ(log.AccountSummary(), "\r\nTotals");
}

TEST_F(ZivadLogTest, TrimRemovesLinesOlderThanTrimDaysFromTheTop) {
    struct TCase {
        const char* name;
        std::vector<std::string> lines;
        std::size_t removed;
    };
    // now = 07 Dec 2026; 30 days before is 07 Nov 2026.
    const TCase cases[] = {
        {"31 days goes, 30 days stays",
         {"06 Nov 2026 23:59:59\ta\tAccepted", "07 Nov 2026 00:00:00\ta\tAccepted", "07 Dec 2026 01:00:00\ta\tOk"},
         1},
        {"stops at the first young line",
         {"01 Oct 2026 10:00:00\ta\tAccepted", "07 Nov 2026 10:00:00\ta\tAccepted", "01 Oct 2026 10:00:00\ta\tAccepted"},
         1},
        {"no calendar date goes",
         {"31 Feb 2026 10:00:00\ta\tAccepted", "30 Nov 2026 10:00:00\ta\tAccepted"}, 1},
        {"month name in other case",
         {"01 OCT 2026 10:00:00\ta\tAccepted", "30 Nov 2026 10:00:00\ta\tAccepted"}, 1},
        {"damaged line goes with an old line after it",
         {"01 Oct 20", "garbage", "02 Oct 2026 10:00:00\ta\tAccepted", "30 Nov 2026 10:00:00\ta\tAccepted"}, 3},
        {"damaged line before a young line stays",
         {"01 Oct 2026 10:00:00\ta\tAccepted", "garbage", "30 Nov 2026 10:00:00\ta\tAccepted"}, 1},
        {"every line old", {"01 Oct 2026 10:00:00\ta\tAccepted", "02 Oct 2026 10:00:00\ta\tAccepted"}, 2},
        {"future date stays", {"01 Jan 2027 10:00:00\ta\tAccepted"}, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string data, expected;
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            data += c.lines[i] + "\r\n";
            if (i >= c.removed) expected += c.lines[i] + "\r\n";
        }
        WriteFile(fileName, data);
        log.TrimLog();
        EXPECT_EQ(ReadFile(fileName), expected);
    }
}

TEST_F(ZivadLogTest, TrimFollowsTrimDaysAndRewritesWithCrLf) {
    const std::string data = "01 Oct 2026 10:00:00\ta\tAccepted\n07 Dec 2026 10:00:00\ta\tAccepted\n";
    TLogSettings s;
    s.trimDays = 0;  // never trims
    log.SetSettings(s);
    WriteFile(fileName, data);
    log.TrimLog();
    EXPECT_EQ(ReadFile(fileName), data);

    s.trimDays = 67;  // 01 Oct is 67 days before 07 Dec
    log.SetSettings(s);
    log.TrimLog();
    EXPECT_EQ(ReadFile(fileName), data);
    clock.now = clock.now + 1;
    log.TrimLog();
    EXPECT_EQ(ReadFile(fileName), "07 Dec 2026 10:00:00\ta\tAccepted\r\n");
}

TEST_F(ZivadLogTest, OnLogChangedIsRaisedOutsideTheLock) {
    int raised = 0;
    std::string seen;
    log.OnLogChanged.Set([&](TZivadLog& l) {
        ++raised;
        seen = l.LogText();  // would dead-lock if raised while the log is held
    });
    EXPECT_FALSE(log.AppendLine("box\tnothing to log"));
    EXPECT_EQ(raised, 0);
    EXPECT_TRUE(log.AppendLine("box\tAccepted - a"));
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(seen, "07 Dec 2026 12:22:26\tbox\tAccepted - a\r\n");
    log.TrimLog();
    EXPECT_EQ(raised, 2);

    // A failed append still notifies, and the caller gets the error.
    TZivadLog broken(dir / "missing-folder/vorla.log", clock.Clock());
    int brokenRaised = 0;
    broken.OnLogChanged.Set([&](TZivadLog&) { ++brokenRaised; });
    EXPECT_THROW(broken.AppendLine("box\tAccepted - a"), TFileError);
    EXPECT_EQ(brokenRaised, 1);
    EXPECT_FALSE(broken.Busy());
}

TEST_F(ZivadLogTest, ReadersDoNotWaitWhileTheLogIsBusy) {
    const std::string data = "01 Oct 2026 10:00:00\ta\tAccepted\r\n07 Dec 2026 10:00:00\ta\tAccepted\r\n";
    WriteFile(fileName, data);
    // The trim reads the clock while it holds the log; a reader started from there must
    // return at once. The future lives outside, so a reader that does wait is only joined
    // after the trim has let go of the log.
    std::future<std::string> reader;
    TZivadLog* busyLog = nullptr;
    bool busySeen = false, returnedAtOnce = false;
    std::string readDuringTrim = "not read";
    TZivadLog trimming(fileName, [&]() -> TDateTime {
        if (busyLog) {
            busySeen = busyLog->Busy();
            reader = std::async(std::launch::async, [&] { return busyLog->DailySummary(); });
            returnedAtOnce = reader.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
            if (returnedAtOnce) readDuringTrim = reader.get();
        }
        return clock.now.load();
    });
    busyLog = &trimming;
    trimming.TrimLog();
    EXPECT_TRUE(busySeen);
    EXPECT_TRUE(returnedAtOnce);
    EXPECT_EQ(readDuringTrim, "");
    EXPECT_FALSE(trimming.Busy());
    EXPECT_EQ(trimming.DailySummary(), "07 Dec 2026\tAccepted\t1");
}

TEST_F(ZivadLogTest, ConcurrentAppendsKeepEveryLineWhole) {
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 250;
    std::atomic<int> raised{0};
    std::atomic<bool> writing{true};
    log.OnLogChanged.Set([&](TZivadLog&) { ++raised; });
    std::vector<std::string> partialViews;
    std::thread readerThread([&] {
        // Bounded: at most 2000 reads, ending early when the writers are done.
        for (int i = 0; i < 2000 && writing; ++i) {
            const std::string text = log.LogText();
            if (!text.empty() && text.compare(text.size() - 2, 2, "\r\n") != 0) partialViews.push_back(text);
            (void)log.AccountSummary();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int n = 0; n < kLinesEach; ++n)
                log.AppendLine("w" + std::to_string(t) + "\tAccepted - line " + std::to_string(n));
        });
    for (auto& w : writers) w.join();
    writing = false;
    readerThread.join();

    EXPECT_TRUE(partialViews.empty());
    EXPECT_EQ(raised.load(), kThreads * kLinesEach);
    const std::string data = ReadFile(fileName);
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(data.substr(data.size() - 2), "\r\n");
    std::set<std::string> lines;
    for (const std::string& line : SplitCrLf(data)) {
        ASSERT_EQ(line.find('\n'), std::string::npos);
        ASSERT_EQ(line.rfind("07 Dec 2026 12:22:26\tw", 0), 0u) << line;
        lines.insert(line.substr(21));
    }
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesEach));
    for (int t = 0; t < kThreads; ++t)
        for (int n = 0; n < kLinesEach; ++n)
            EXPECT_TRUE(lines.count("w" + std::to_string(t) + "\tAccepted - line " + std::to_string(n)));
    EXPECT_EQ(log.AccountSummary().substr(0, 16), "w0\tAccepted\t250\r");
}

TEST_F(ZivadLogTest, SettingsAreLoadedWithDefaultsAndSavedInOrder) {
    TIniFile ini(dir / "vorla.ini");
    log.LoadSettings(ini);  // missing file: defaults stay
    const TLogSettings defaults;
    EXPECT_EQ(log.Settings().trimDays, defaults.trimDays);
    EXPECT_TRUE(log.Settings().autoReplies);

    log.SaveSettings(ini);
    const std::vector<std::string> saved = {"trimdays=30", "accepted=1",   "trashed=1",  "queued=1",
                                            "quarantined=1", "rejected=1", "redirected=1", "error=1",
                                            "autoreply=1",   "mailbot=1",  "autoadd=1"};
    EXPECT_EQ(ini.ReadSectionValues("log"), saved);

    WriteFile(ini.FileName(), "[LOG]\r\nTrimDays=7\r\nqueued=0\r\nautoadd=0\r\nerror=x\r\n");
    log.LoadSettings(ini);
    TLogSettings s = log.Settings();
    EXPECT_EQ(s.trimDays, 7);
    EXPECT_FALSE(s.queued);
    EXPECT_FALSE(s.addedFilters);
    EXPECT_TRUE(s.errors);  // not a number: the value stays
    EXPECT_FALSE(log.Qualifies("box\tQueued - box - To: a@b"));

    WriteFile(ini.FileName(), "[log]\r\ntrimdays=99999999999\r\n");
    log.LoadSettings(ini);
    EXPECT_EQ(log.Settings().trimDays, 7);  // out of range: ignored
}

TEST(ZivadLogFileName, ExeIsRemovedFromTheFileNameOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/u/vorla.exe", "/home/u/vorla.log"},
        {"/home/u/Vorla.EXE", "/home/u/Vorla.log"},
        {"/x.exe/vorla.exe", "/x.exe/vorla.log"},
        {"/h/a.exe.b.exe", "/h/a.b.log"},
        {"/h/vorla", "/h/vorla.log"},
    };
    for (const auto& [program, logFile] : cases) {
        SCOPED_TRACE(program);
        EXPECT_EQ(TZivadLog::FileNameFor(program), logFile);
    }
}

}  // namespace
}  // namespace vorla
