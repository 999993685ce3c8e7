#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

using TStrings = std::vector<std::string>;

// A settings file as a user might leave it after editing it by hand: LF and CR LF mixed,
// comments, blank lines, spaces, other letter case, a repeated section and unknown keys.
const std::string kHandEdited =
    "; Vorla settings\n"
    "stray=before any section\r\n"
    "[Options]\r\n"
    "TimerInterval = 5\r\n"
    "  Enablefetch=1\n"
    "quoted=\"  two words  \"\r\n"
    "empty=\r\n"
    "\r\n"
    "; about the log\r\n"
    "[log]\r\n"
    "trimdays=30\r\n"
    "unknown=kept\r\n"
    "\r\n"
    "[future section]\r\n"
    "whatever=1\r\n"
    "[OPTIONS]\r\n"
    "later=7\r\n"
    "timerinterval=99\r\n";

}  // namespace

TEST(IniFile, MissingFileOrKeyGivesTheDefault) {
    TTempDir dir;
    const TIniFile ini(dir / "none.ini");
    EXPECT_EQ(ini.ReadString("options", "a", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("options", "a", 42), 42);
    EXPECT_TRUE(ini.ReadBool("options", "a", true));
    EXPECT_TRUE(ini.ReadSections().empty());
    EXPECT_FALSE(ini.SectionExists("options"));
    EXPECT_FALSE(FileExists(dir / "none.ini"));  // reading never creates the file

    TIniFile writable(dir / "none.ini");
    writable.EraseSection("options");
    writable.DeleteKey("options", "a");
    EXPECT_FALSE(FileExists(dir / "none.ini"));
}

TEST(IniFile, ReadsHandEditedFiles) {
    TTempDir dir;
    WriteFile(dir / "vorla.ini", kHandEdited);
    const TIniFile ini(dir / "vorla.ini");
    struct Row {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Row rows[] = {
        {"options", "timerinterval", "5"},   // spaces around key and value go
        {"OPTIONS", "ENABLEFETCH", "1"},     // leading spaces of the line too
        {"options", "quoted", "  two words  "},
        {"options", "empty", ""},            // present but empty is not the default
        {"options", "later", "7"},           // from the repeated section
        {"options", "stray", "<def>"},       // lines before the first section belong to none
        {"log", "trimdays", "30"},
        {"log", "timerinterval", "<def>"},
        {"future section", "whatever", "1"},
        {"options", "; Vorla settings", "<def>"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.section) + "/" + r.key);
        EXPECT_EQ(ini.ReadString(r.section, r.key, "<def>"), r.expected);
    }
    EXPECT_EQ(ini.ReadSections(), (TStrings{"Options", "log", "future section"}));
    EXPECT_EQ(ini.ReadSection("options"), (TStrings{"TimerInterval", "Enablefetch", "quoted", "empty", "later"}));
    EXPECT_EQ(ini.ReadSectionValues("options"),
              (TStrings{"TimerInterval=5", "Enablefetch=1", "quoted=\"  two words  \"", "empty=", "later=7",
                        "timerinterval=99"}));
    EXPECT_TRUE(ini.SectionExists("FUTURE SECTION"));
    EXPECT_FALSE(ini.SectionExists("future"));
}

TEST(IniFile, NumbersAndBooleans) {
    TTempDir dir;
    WriteFile(dir / "n.ini",
              "[n]\r\nplain=120000\r\nneg=-5\r\nplus=+7\r\nspaced=   12   \r\nword=abc\r\ntail=12abc\r\n"
              "hex=0x10\r\nhuge=99999999999999999999\r\nzero=0\r\ntwo=2\r\nempty=\r\nsign=-\r\nplusminus=+-1\r\n");
    const TIniFile ini(dir / "n.ini");
    struct Row {
        const char* key;
        long long number;  // read with the default -1
        int flag;          // read with the default true: 1 true, 0 false
    };
    const Row rows[] = {
        {"plain", 120000, 1}, {"neg", -5, 1},  {"plus", 7, 1},   {"spaced", 12, 1},   {"word", -1, 1},
        {"tail", -1, 1},      {"hex", -1, 1},  {"huge", -1, 1},  {"zero", 0, 0},      {"two", 2, 1},
        {"empty", -1, 1},     {"sign", -1, 1}, {"plusminus", -1, 1}, {"missing", -1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(ini.ReadInteger("n", r.key, -1), r.number);
        EXPECT_EQ(ini.ReadBool("n", r.key, true), r.flag == 1);
    }
    EXPECT_FALSE(ini.ReadBool("n", "word", false));
    EXPECT_TRUE(ini.ReadBool("n", "two", false));
}

TEST(IniFile, WritesKeepEveryOtherLineByteForByte) {
    TTempDir dir;
    WriteFile(dir / "vorla.ini", kHandEdited);
    TIniFile ini(dir / "vorla.ini");

    ini.WriteString("options", "timerinterval", "10");  // existing, other letter case
    std::string expected = kHandEdited;
    expected.replace(expected.find("TimerInterval = 5"), 17, "TimerInterval =10");
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), expected);
    EXPECT_EQ(ini.ReadString("options", "TIMERINTERVAL", ""), "10");

    ini.WriteInteger("log", "accepted", 1);  // new key: after the section's last entry
    expected.replace(expected.find("unknown=kept\r\n"), 14, "unknown=kept\r\naccepted=1\r\n");
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), expected);

    ini.WriteBool("options", "later", false);  // lives in the repeated section: changed there
    expected.replace(expected.find("later=7"), 7, "later=0");
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), expected);

    ini.WriteString("bind", "port", "1110");  // new section at the end, after a blank line
    expected += "\r\n[bind]\r\nport=1110\r\n";
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), expected);

    ini.WriteString("bind", "port", "1110");  // nothing changes
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), expected);
    EXPECT_FALSE(FileExists(dir / "vorla.ini.tmp"));
}

TEST(IniFile, WritesIntoFilesOfEveryShape) {
    TTempDir dir;
    struct Row {
        const char* why;
        std::string before;
        std::string after;  // after writing [options] b=2
    };
    const Row rows[] = {
        {"missing file", "<none>", "[options]\r\nb=2\r\n"},
        {"empty file", "", "[options]\r\nb=2\r\n"},
        {"last line without line end", "[options]\r\na=1", "[options]\r\na=1\r\nb=2\r\n"},
        {"lone LF lines", "[options]\na=1\n", "[options]\na=1\nb=2\r\n"},
        {"header only", "[options]", "[options]\r\nb=2\r\n"},
        {"key on the last line", "[options]\r\nb=1", "[options]\r\nb=2"},
        {"other section, no line end", "[log]\r\nx=1", "[log]\r\nx=1\r\n\r\n[options]\r\nb=2\r\n"},
        {"other section ending blank", "[log]\r\nx=1\r\n\r\n", "[log]\r\nx=1\r\n\r\n[options]\r\nb=2\r\n"},
        {"blank line and comment before the next section",
         "[options]\r\na=1\r\n\r\n; log\r\n[log]\r\n",
         "[options]\r\na=1\r\nb=2\r\n\r\n; log\r\n[log]\r\n"},
        {"byte order mark", "\xEF\xBB\xBF[options]\r\nb=1\r\n", "\xEF\xBB\xBF[options]\r\nb=2\r\n"},
        {"header with spaces and brackets", "[ options ]\r\n", "[ options ]\r\nb=2\r\n"},
        {"key with spaces keeps them", "[options]\r\n  B  =  1  \r\n", "[options]\r\n  B  =2\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        const std::string path = dir / "f.ini";
        DeleteFile(path);
        if (r.before != "<none>") WriteFile(path, r.before);
        TIniFile ini(path);
        ini.WriteString("options", "b", "2");
        EXPECT_EQ(ReadFile(path), r.after);
        EXPECT_EQ(ini.ReadString("options", "b", ""), "2");
    }
}

TEST(IniFile, SectionNamesMayHoldBrackets) {
    TTempDir dir;
    TIniFile ini(dir / "mailbot.ini");
    ini.WriteString("Re: [list] help", "text", "see the FAQ");
    ini.WriteString("info", "text", "hello");
    EXPECT_EQ(ini.ReadSections(), (TStrings{"Re: [list] help", "info"}));
    EXPECT_EQ(ini.ReadString("re: [LIST] help", "text", ""), "see the FAQ");
}

TEST(IniFile, EraseSectionAndDeleteKeyRemoveEveryCopy) {
    TTempDir dir;
    WriteFile(dir / "vorla.ini", kHandEdited);
    TIniFile ini(dir / "vorla.ini");
    ini.DeleteKey("OPTIONS", "timerinterval");
    EXPECT_EQ(ini.ReadString("options", "timerinterval", "gone"), "gone");  // both copies went
    EXPECT_EQ(ini.ReadString("options", "later", ""), "7");

    ini.EraseSection("options");
    EXPECT_EQ(ReadFile(dir / "vorla.ini"),
              "; Vorla settings\n"
              "stray=before any section\r\n"
              "[log]\r\n"
              "trimdays=30\r\n"
              "unknown=kept\r\n"
              "\r\n"
              "[future section]\r\n"
              "whatever=1\r\n");
    EXPECT_EQ(ini.ReadSections(), (TStrings{"log", "future section"}));
    ini.EraseSection("nothing");
    ini.DeleteKey("log", "nothing");
    EXPECT_EQ(ini.ReadSections(), (TStrings{"log", "future section"}));
}

TEST(IniFile, RefusesTextsThatWouldBreakTheFile) {
    TTempDir dir;
    WriteFile(dir / "vorla.ini", "[options]\r\na=1\r\n");
    TIniFile ini(dir / "vorla.ini");
    EXPECT_THROW(ini.WriteString("options", "a", "1\r\n[evil]\r\nx=1"), TVorlaError);
    EXPECT_THROW(ini.WriteString("options", "a", "1\nb=2"), TVorlaError);
    EXPECT_THROW(ini.WriteString("opt\nions", "a", "1"), TVorlaError);
    EXPECT_THROW(ini.WriteString("options", "a=b", "1"), TVorlaError);
    EXPECT_THROW(ini.WriteString("options", "", "1"), TVorlaError);
    EXPECT_THROW(ini.WriteString("options", "[x]", "1"), TVorlaError);
    EXPECT_THROW(ini.WriteString("", "a", "1"), TVorlaError);
    EXPECT_EQ(ReadFile(dir / "vorla.ini"), "[options]\r\na=1\r\n");
}

TEST(IniFile, NewFilesArePrivateAndWriteErrorsThrow) {
    TTempDir dir;
    TIniFile ini(dir / "vorla.ini");
    ini.WriteString("options", "password", "secret");
    struct stat st{};
    ASSERT_EQ(::stat((dir / "vorla.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    TIniFile nowhere(dir / "missing/vorla.ini");
    EXPECT_THROW(nowhere.WriteString("options", "a", "1"), TFileError);
    ForceDirectories(dir / "folder.ini");
    TIniFile folder(dir / "folder.ini");
    EXPECT_EQ(folder.ReadString("options", "a", "def"), "def");
    EXPECT_THROW(folder.WriteString("options", "a", "1"), TFileError);
}

namespace {

// One change to a settings file, made through the call of its kind.
struct TChange {
    enum { Write, DeleteKey, EraseSection } kind;
    std::string section, key, value;
};

void Apply(TIniFile& ini, const TChange& c) {
    switch (c.kind) {
        case TChange::Write: ini.WriteString(c.section, c.key, c.value); break;
        case TChange::DeleteKey: ini.DeleteKey(c.section, c.key); break;
        case TChange::EraseSection: ini.EraseSection(c.section); break;
    }
}

// What a settings save does, and the cases around it: keys in other letter case, a key written
// twice, the same value again, a section erased and written anew, a new section.
const std::vector<TChange> kChanges = {
    {TChange::Write, "options", "timerinterval", "10"},
    {TChange::Write, "OPTIONS", "Later", "8"},
    {TChange::Write, "log", "accepted", "1"},
    {TChange::Write, "bind", "port", "1110"},
    {TChange::Write, "options", "timerinterval", "11"},
    {TChange::Write, "bind", "port", "1110"},
    {TChange::DeleteKey, "log", "unknown", ""},
    {TChange::EraseSection, "future section", "", ""},
    {TChange::Write, "future section", "again", "1"},
    {TChange::Write, "status", "size", "100"},
    {TChange::EraseSection, "first", "", ""},
};

}  // namespace

TEST(IniFile, AnUpdateWritesWhatSingleWritesWould) {
    struct Row {
        const char* why;
        std::string before;  // "<none>": no file
    };
    const Row rows[] = {
        {"missing file", "<none>"},
        {"empty file", ""},
        {"hand-edited, foreign sections and lines", kHandEdited},
        {"keys and headers in other case", "[OPTIONS]\r\nTIMERINTERVAL=5\r\n[LOG]\r\nACCEPTED=0\r\n"},
        {"duplicate keys and sections", "[options]\r\nlater=1\r\nlater=2\r\n[log]\r\n[options]\r\nlater=3\r\n"},
        {"no line end at the end", "[bind]\r\nport=110"},
        {"lone LF lines", "[options]\nlater=1\n\n[log]\nunknown=x\n"},
        {"byte order mark on a section that goes",
         "\xEF\xBB\xBF[first]\r\na=1\r\n\xEF\xBB\xBF[bind]\r\nport=1\r\n[options]\r\n"},
    };
    TTempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        const std::string single = dir / "single.ini";
        const std::string batched = dir / "batched.ini";
        DeleteFile(single);
        DeleteFile(batched);
        if (r.before != "<none>") {
            WriteFile(single, r.before);
            WriteFile(batched, r.before);
        }
        TIniFile one(single);
        for (const TChange& c : kChanges) Apply(one, c);

        TIniFile many(batched);
        many.BeginUpdate();
        for (const TChange& c : kChanges) Apply(many, c);
        if (r.before == "<none>") {
            EXPECT_FALSE(FileExists(batched));
        } else {
            EXPECT_EQ(ReadFile(batched), r.before);  // nothing on disk before UpdateFile
        }
        EXPECT_EQ(many.ReadSections(), one.ReadSections());
        many.UpdateFile();
        EXPECT_EQ(ReadFile(batched), ReadFile(single));
        EXPECT_FALSE(FileExists(batched + ".tmp"));
    }
}

TEST(IniFile, ReadsDuringAnUpdateSeeItsChanges) {
    TTempDir dir;
    const std::string path = dir / "vorla.ini";
    WriteFile(path, kHandEdited);
    TIniFile ini(path);
    ini.BeginUpdate();
    ini.WriteInteger("options", "timerinterval", 10);
    ini.WriteBool("status", "fetch", true);
    ini.EraseSection("log");
    EXPECT_EQ(ini.ReadInteger("options", "timerinterval", 0), 10);
    EXPECT_TRUE(ini.ReadBool("status", "fetch", false));
    EXPECT_FALSE(ini.SectionExists("log"));
    EXPECT_EQ(ini.ReadSections(), (TStrings{"Options", "future section", "status"}));
    EXPECT_EQ(ini.ReadSection("status"), (TStrings{"fetch"}));
    EXPECT_EQ(ini.ReadSectionValues("status"), (TStrings{"fetch=1"}));
    EXPECT_EQ(TIniFile(path).ReadInteger("options", "timerinterval", 0), 5);
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(path).ReadInteger("options", "timerinterval", 0), 10);

    // After the update, writes go to the disk one at a time again.
    ini.WriteInteger("options", "timerinterval", 20);
    EXPECT_EQ(TIniFile(path).ReadInteger("options", "timerinterval", 0), 20);
}

TEST(IniFile, AnUpdateWritesOnlyAChangedFile) {
    TTempDir dir;
    const std::string path = dir / "vorla.ini";
    const auto inode = [&] {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    {
        TIniFile dropped(path);
        dropped.BeginUpdate();
        dropped.WriteString("options", "a", "lost");
    }  // an update never written is dropped
    EXPECT_FALSE(FileExists(path));

    WriteFile(path, "[options]\r\na=1\r\n");
    ::chmod(path.c_str(), 0640);
    const auto before = inode();
    TIniFile ini(path);
    ini.BeginUpdate();
    ini.WriteString("options", "a", "2");
    ini.WriteString("options", "a", "1");  // back to what the file holds
    ini.UpdateFile();
    EXPECT_EQ(inode(), before);  // not replaced

    ini.BeginUpdate();
    ini.WriteString("options", "a", "2");
    ini.UpdateFile();
    EXPECT_NE(inode(), before);
    EXPECT_EQ(ReadFile(path), "[options]\r\na=2\r\n");
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(IniFile, AFailedUpdateLeavesTheOldFile) {
    TTempDir dir;
    ForceDirectories(dir / "folder.ini");
    TIniFile folder(dir / "folder.ini");
    EXPECT_THROW(folder.BeginUpdate(), TFileError);  // it could not write what it cannot read

    TIniFile nowhere(dir / "missing/vorla.ini");
    nowhere.BeginUpdate();
    nowhere.WriteString("options", "a", "1");
    EXPECT_THROW(nowhere.UpdateFile(), TFileError);
    EXPECT_EQ(nowhere.ReadString("options", "a", "def"), "def");  // the update has ended

    const std::string path = dir / "vorla.ini";
    WriteFile(path, "[options]\r\na=1\r\n");
    TIniFile ini(path);
    ini.BeginUpdate();
    ini.WriteString("options", "a", "2");
    EXPECT_THROW(ini.WriteString("options", "b", "1\r\n[evil]"), TVorlaError);
    EXPECT_EQ(ReadFile(path), "[options]\r\na=1\r\n");
    ini.UpdateFile();
    EXPECT_EQ(ReadFile(path), "[options]\r\na=2\r\n");
}
