#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "engine/InfoFile.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::ReadFile;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFFu;
}

}  // namespace

TEST(InfoFile, ReadStringFindsEntriesAsTheyStand) {
    TTempDir dir;
    WriteFile(dir / "options.ini",
              "[OPTIONS]\r\n"
              "Name=Home account\r\n"
              "popserver= pop.example.org \r\n"
              "empty=\r\n"
              "eq=a=b\r\n"
              "\r\n"
              "after blank=still here\n"   // empty lines do not end a section when reading
              " spaced=1\r\n"
              "[other]\r\n"
              "popuser=not this one\r\n"
              " [options]\r\n"              // a header with a leading space is none
              "poppass=not this either\r\n"
              "[options]\r\n"
              "name=second copy\r\n"
              "popuser=ann\r\n"
              "cr=x\ry");
    const TInfoFile info(dir / "options.ini");
    struct Row {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Row rows[] = {
        {"options", "name", "Home account"},          // header and key in other letter case
        {"options", "popserver", " pop.example.org "},  // nothing is trimmed
        {"options", "empty", ""},
        {"options", "eq", "a=b"},
        {"options", "after blank", "still here"},
        {"options", "spaced", "<def>"},
        {"options", " spaced", "1"},
        {"options", "popuser", "ann"},  // found under the later header of the same section
        {"options", "poppass", "<def>"},
        {"options", "cr", "x\ry"},       // a lone CR is no line end
        {"other", "popuser", "not this one"},
        {"other", "name", "<def>"},
        {"nosection", "name", "<def>"},
        {"options", "nam", "<def>"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.section) + "/" + r.key);
        EXPECT_EQ(info.ReadString(r.section, r.key, "<def>"), r.expected);
    }
}

TEST(InfoFile, ReadStringCreatesAMissingFile) {
    TTempDir dir;
    const TInfoFile info(dir / "options.ini");
    EXPECT_EQ(info.ReadString("options", "name", "def"), "def");
    EXPECT_TRUE(FileExists(dir / "options.ini"));
    EXPECT_EQ(FileSize(dir / "options.ini"), 0u);
    EXPECT_EQ(ModeOf(dir / "options.ini"), 0600u);
    EXPECT_THROW(TInfoFile(dir / "missing/options.ini").ReadString("options", "name", ""), TFileError);
}

TEST(InfoFile, ReadBoolLooksAtTheFirstCharacterOnly) {
    TTempDir dir;
    WriteFile(dir / "options.ini",
              "[options]\r\none=1\r\nzero=0\r\nnine=9\r\nten=10\r\nzeroone=01\r\nword=yes\r\nspace= 1\r\n"
              "empty=\r\nminus=-1\r\n");
    const TInfoFile info(dir / "options.ini");
    struct Row {
        const char* key;
        bool withFalse;  // read with default false
        bool withTrue;   // read with default true
    };
    const Row rows[] = {
        {"one", true, true},      {"zero", false, false},  {"nine", true, true},      {"ten", true, true},
        {"zeroone", false, false}, {"word", false, true},  {"space", false, true},    {"empty", false, true},
        {"minus", false, true},   {"missing", false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(info.ReadBool("options", r.key, false), r.withFalse);
        EXPECT_EQ(info.ReadBool("options", r.key, true), r.withTrue);
    }
}

TEST(InfoFile, ReadBoolOnAMissingFileIsAnError) {
    TTempDir dir;
    const TInfoFile info(dir / "options.ini");
    EXPECT_THROW(info.ReadBool("options", "enablefetch", true), TFileError);
    EXPECT_FALSE(FileExists(dir / "options.ini"));
}

TEST(InfoFile, WriteStringCopiesTheFileAndSetsTheEntry) {
    struct Row {
        const char* why;
        std::string before;  // "<none>": no file
        std::string section, key, value;
        std::string after;
    };
    const Row rows[] = {
        {"new key after the last entry", "[options]\r\na=1\r\n", "options", "b", "2",
         "[options]\r\na=1\r\nb=2\r\n"},
        {"key on the last line, no line end", "[options]\r\na=1\r\nb=1", "options", "b", "2",
         "[options]\r\na=1\r\nb=2\r\n"},
        {"key on the last line", "[options]\r\nb=1\r\n", "options", "b", "2", "[options]\r\nb=2\r\n"},
        {"no such section: empty line first", "[log]\r\nx=1\r\n", "options", "b", "2",
         "[log]\r\nx=1\r\n\r\n[options]\r\nb=2\r\n"},
        {"no such section, file ends in an empty line", "[log]\r\nx=1\r\n\r\n", "options", "b", "2",
         "[log]\r\nx=1\r\n\r\n[options]\r\nb=2\r\n"},
        {"empty file", "", "options", "b", "2", "[options]\r\nb=2\r\n"},
        {"missing file", "<none>", "Options", "Name", "x", "[Options]\r\nName=x\r\n"},
        {"upper-case header, caller's case written", "[OPTIONS]\r\nNAME=old\r\n", "options", "name", "new",
         "[OPTIONS]\r\nname=new\r\n"},
        {"header with a leading space is another section", " [options]\r\nb=1\r\n", "options", "b", "2",
         " [options]\r\nb=1\r\n\r\n[options]\r\nb=2\r\n"},
        {"an empty line ends the section when writing", "[options]\r\na=1\r\n\r\nb=1\r\n", "options", "b", "2",
         "[options]\r\na=1\r\nb=2\r\n\r\nb=1\r\n"},
        {"the next header ends the section", "[options]\r\na=1\r\n[log]\r\nb=1\r\n", "options", "b", "2",
         "[options]\r\na=1\r\nb=2\r\n[log]\r\nb=1\r\n"},
        {"only the first entry is replaced", "[options]\r\nb=1\r\nb=3\r\n", "options", "b", "2",
         "[options]\r\nb=2\r\nb=3\r\n"},
        {"every copy of the section gets the entry", "[options]\r\na=1\r\n[x]\r\n[options]\r\nb=1\r\n", "options",
         "b", "2", "[options]\r\na=1\r\nb=2\r\n[x]\r\n[options]\r\nb=2\r\n"},
        {"a header right after the header", "[options]\r\n[options]\r\n", "options", "b", "2",
         "[options]\r\nb=2\r\n[options]\r\nb=2\r\n"},
        {"lone LF lines come out CR LF", "[options]\na=1\nz=9\n", "options", "a", "2",
         "[options]\r\na=2\r\nz=9\r\n"},
        {"a longer key is another key", "[options]\r\nab=1\r\n", "options", "a", "2",
         "[options]\r\nab=1\r\na=2\r\n"},
        {"value keeps its spaces", "[options]\r\n", "options", "name", " two  words ",
         "[options]\r\nname= two  words \r\n"},
        {"lines before any section", "; note\r\n", "options", "b", "2", "; note\r\n\r\n[options]\r\nb=2\r\n"},
    };
    TTempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        const std::string path = dir / "options.ini";
        DeleteFile(path);
        if (r.before != "<none>") WriteFile(path, r.before);
        TInfoFile info(path);
        info.WriteString(r.section, r.key, r.value);
        EXPECT_EQ(ReadFile(path), r.after);
        EXPECT_EQ(info.ReadString(r.section, r.key, "<def>"), r.value);
        EXPECT_FALSE(FileExists(path + ".tmp"));
    }
}

TEST(InfoFile, AFullSaveKeepsUnknownLinesAndReadsBack) {
    TTempDir dir;
    const std::string path = dir / "options.ini";
    WriteFile(path, "; written by hand\r\n[options]\r\nfuturekey=keep me\r\n\r\n[extra]\r\nz=1\r\n");
    TInfoFile info(path);
    const std::string keys[] = {"name", "popserver", "popport", "popuser", "poppass", "enablefetch"};
    for (int round = 0; round < 3; ++round)
        for (const std::string& key : keys) info.WriteString("options", key, key + std::to_string(round));
    info.WriteBool("options", "enablefetch", true);
    info.WriteBool("options", "rejectolddates", false);
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        if (key != "enablefetch") {
            EXPECT_EQ(info.ReadString("options", key, ""), key + "2");
        }
    }
    EXPECT_TRUE(info.ReadBool("options", "enablefetch", false));
    EXPECT_FALSE(info.ReadBool("options", "rejectolddates", true));
    EXPECT_EQ(info.ReadString("options", "futurekey", ""), "keep me");
    EXPECT_EQ(info.ReadString("extra", "z", ""), "1");
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("; written by hand\r\n[options]\r\nfuturekey=keep me\r\nname=name2\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n\r\n[extra]\r\nz=1\r\n"), std::string::npos) << text;
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        const std::size_t first = text.find("\n" + key + "=");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(text.find("\n" + key + "=", first + 1), std::string::npos);  // no second copy
    }
}

TEST(InfoFile, WriteKeepsTheModeOfAnExistingFileAndMakesNewOnesPrivate) {
    TTempDir dir;
    TInfoFile fresh(dir / "new.ini");
    fresh.WriteString("options", "poppass", "secret");
    EXPECT_EQ(ModeOf(dir / "new.ini"), 0600u);

    WriteFile(dir / "shared.ini", "[options]\r\n");
    ::chmod((dir / "shared.ini").c_str(), 0640);
    TInfoFile shared(dir / "shared.ini");
    shared.WriteString("options", "a", "1");
    EXPECT_EQ(ModeOf(dir / "shared.ini"), 0640u);
}

TEST(InfoFile, RefusesLineBreaksThatWouldForgeEntries) {
    TTempDir dir;
    WriteFile(dir / "options.ini", "[options]\r\npoppass=old\r\n");
    TInfoFile info(dir / "options.ini");
    EXPECT_THROW(info.WriteString("options", "poppass", "x\r\n[options]\r\nenablefetch=0"), TVorlaError);
    EXPECT_THROW(info.WriteString("options", "pop\npass", "x"), TVorlaError);
    EXPECT_THROW(info.WriteString("opt\rions", "poppass", "x"), TVorlaError);
    EXPECT_EQ(ReadFile(dir / "options.ini"), "[options]\r\npoppass=old\r\n");
}

TEST(InfoFile, AFailedWriteLeavesTheOldFile) {
    TTempDir dir;
    const std::string path = dir / "options.ini";
    const std::string old = "[options]\r\nname=old\r\n";
    WriteFile(path, old);
    TInfoFile info(path);
    {
        // Files may not grow past 100 bytes: the rewrite runs into a full disk.
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower = saved;
        lower.rlim_cur = 100;
        ::setrlimit(RLIMIT_FSIZE, &lower);
        EXPECT_THROW(info.WriteString("options", "signature", std::string(500, 's')), TFileError);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_FALSE(FileExists(path + ".tmp"));

    TInfoFile nowhere(dir / "gone/options.ini");
    EXPECT_THROW(nowhere.WriteString("options", "a", "1"), TFileError);
}

namespace {

struct TWrite {
    std::string section, key, value;
};

// Writes an account save would make, and the cases around them: a section the file does not
// have yet, a key written twice, keys that differ only in letter case.
const std::vector<TWrite> kWrites = {
    {"options", "name", "Home"},      {"options", "popserver", "pop.example.org"},
    {"options", "POPPORT", "110"},    {"Options", "enablefetch", "1"},
    {"options", "name", "Home, new"}, {"extra", "z", "2"},
    {"options", "poppass", ""},       {"OPTIONS", "Name", " spaced "},
    {"log", "x", "3"},
};

}  // namespace

TEST(InfoFile, AnUpdateWritesWhatSingleWritesWould) {
    struct Row {
        const char* why;
        std::string before;  // "<none>": no file
    };
    const Row rows[] = {
        {"missing file", "<none>"},
        {"empty file", ""},
        {"foreign sections and lines", "; by hand\r\nstray\r\n[other]\r\nq=1\r\n\r\n[options]\r\nfuture=keep\r\n[x]\r\n"},
        {"keys and header in other case", "[OPTIONS]\r\nNAME=old\r\nPopServer=old\r\n"},
        {"duplicate keys and sections", "[options]\r\nname=1\r\nname=2\r\n[log]\r\nx=0\r\n[options]\r\nname=3\r\n"},
        {"an empty line inside the section", "[options]\r\nname=1\r\n\r\npopserver=2\r\n"},
        {"no line end at the end", "[options]\r\nname=old"},
        {"lone LF and a stray CR", "[options]\nname=a\rb\npopport=25\n[extra]\nz=1"},
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
        TInfoFile one(single);
        for (const TWrite& w : kWrites) one.WriteString(w.section, w.key, w.value);

        TInfoFile many(batched);
        many.BeginUpdate();
        for (const TWrite& w : kWrites) many.WriteString(w.section, w.key, w.value);
        if (r.before == "<none>") {
            EXPECT_FALSE(FileExists(batched));
        } else {
            EXPECT_EQ(ReadFile(batched), r.before);  // nothing on disk before UpdateFile
        }
        many.UpdateFile();
        EXPECT_EQ(ReadFile(batched), ReadFile(single));
        EXPECT_FALSE(FileExists(batched + ".tmp"));
    }
}

TEST(InfoFile, ReadsDuringAnUpdateSeeItsWrites) {
    TTempDir dir;
    const std::string path = dir / "options.ini";
    WriteFile(path, "[options]\r\nenablefetch=0\r\nname=old\r\n");
    TInfoFile info(path);
    info.BeginUpdate();
    info.WriteString("options", "name", "new");
    info.WriteBool("options", "enablefetch", true);
    EXPECT_EQ(info.ReadString("options", "name", ""), "new");
    EXPECT_TRUE(info.ReadBool("options", "enablefetch", false));
    EXPECT_EQ(info.ReadString("options", "missing", "def"), "def");
    EXPECT_EQ(TInfoFile(path).ReadString("options", "name", ""), "old");
    info.UpdateFile();
    EXPECT_EQ(TInfoFile(path).ReadString("options", "name", ""), "new");

    // After the update, writes go to the disk one at a time again.
    info.WriteString("options", "name", "third");
    EXPECT_EQ(TInfoFile(path).ReadString("options", "name", ""), "third");
}

TEST(InfoFile, AnUpdateLeavesTheFileAloneUntilItsWritesAreWritten) {
    TTempDir dir;
    const std::string path = dir / "options.ini";
    {
        TInfoFile nothing(path);
        nothing.BeginUpdate();
        EXPECT_EQ(nothing.ReadString("options", "name", "def"), "def");
        nothing.UpdateFile();  // no writes: no file
    }
    EXPECT_FALSE(FileExists(path));
    {
        TInfoFile dropped(path);
        dropped.BeginUpdate();
        dropped.WriteString("options", "name", "lost");
    }  // an update never written is dropped, as when a save stops on an error
    EXPECT_FALSE(FileExists(path));

    TInfoFile fresh(path);
    fresh.BeginUpdate();
    fresh.WriteString("options", "poppass", "secret");
    fresh.UpdateFile();
    EXPECT_EQ(ModeOf(path), 0600u);
    ::chmod(path.c_str(), 0640);
    TInfoFile shared(path);
    shared.BeginUpdate();
    shared.WriteString("options", "a", "1");
    shared.UpdateFile();
    EXPECT_EQ(ModeOf(path), 0640u);

    // Writes that leave the file as it was do not replace it.
    const auto inode = [&] {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    const auto before = inode();
    const std::string text = ReadFile(path);
    shared.BeginUpdate();
    shared.WriteString("options", "a", "2");
    shared.WriteString("options", "a", "1");
    shared.UpdateFile();
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(ReadFile(path), text);
}

TEST(InfoFile, AFailedUpdateLeavesTheOldFile) {
    TTempDir dir;
    const std::string path = dir / "options.ini";
    const std::string old = "[options]\r\nname=old\r\n";
    WriteFile(path, old);
    TInfoFile info(path);
    info.BeginUpdate();
    info.WriteString("options", "name", "new");
    info.WriteString("options", "signature", std::string(500, 's'));
    {
        // Files may not grow past 100 bytes: the one write runs into a full disk.
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower = saved;
        lower.rlim_cur = 100;
        ::setrlimit(RLIMIT_FSIZE, &lower);
        EXPECT_THROW(info.UpdateFile(), TFileError);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_FALSE(FileExists(path + ".tmp"));
    EXPECT_EQ(info.ReadString("options", "name", ""), "old");  // the update has ended

    // A line break is refused during an update too, and leaves the copy as it was.
    info.BeginUpdate();
    info.WriteString("options", "name", "kept");
    EXPECT_THROW(info.WriteString("options", "name", "x\r\n[options]\r\npoppass=y"), TVorlaError);
    info.UpdateFile();
    EXPECT_EQ(ReadFile(path), "[options]\r\nname=kept\r\n");

    WriteFile(dir / "unreadable.ini", old);
    ::chmod((dir / "unreadable.ini").c_str(), 0);
    if (::geteuid() != 0) {
        TInfoFile unreadable(dir / "unreadable.ini");
        EXPECT_THROW(unreadable.BeginUpdate(), TFileError);
    }
}
