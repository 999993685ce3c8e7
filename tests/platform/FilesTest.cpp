#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
    if (::lstat(path.c_str(), &st) != 0) return 0xFFFFFFFFu;
    return st.st_mode & 07777;
}

bool IsLink(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Runs fn where the permission bits are enforced: as is for a normal user, in a child process
// switched to the "nobody" user when the tests run as root. Returns fn's result.
int RunWithoutPrivileges(const std::function<int()>& fn) {
    if (::geteuid() != 0) return fn();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        ::_exit(fn());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 101;
    return WEXITSTATUS(status);
}

// Lets files grow to at most limit bytes while it lives, so writes past it fail as on a full disk.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t limit) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit lower = m_old;
        lower.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int);
};

}  // namespace

TEST(Files, FindFilesMatchesMasksInByteOrder) {
    TTempDir dir;
    for (const char* name : {"b.msg", "a.msg", "A.msg", "ab.msg", "c.txt", "Ind7.tmp", "Ind.tmp", "xIndy.tmp",
                             "\xC3\xA9.msg", "a.msg.bak", "aXbYbc"})
        WriteFile(dir / name, "x");
    ForceDirectories(dir / "d.msg");  // folders never count as files
    ASSERT_EQ(::symlink((dir / "b.msg").c_str(), (dir / "link.msg").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling.msg").c_str()), 0);

    struct Row {
        std::string mask;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {"*.msg", {"A.msg", "a.msg", "ab.msg", "b.msg", "link.msg", "\xC3\xA9.msg"}},
        {"?.msg", {"A.msg", "a.msg", "b.msg"}},
        {"*.MSG", {}},
        {"Ind*.tmp", {"Ind.tmp", "Ind7.tmp"}},
        {"a*b*c", {"aXbYbc"}},
        {"*.msg*", {"A.msg", "a.msg", "a.msg.bak", "ab.msg", "b.msg", "link.msg", "\xC3\xA9.msg"}},
        {"c.txt", {"c.txt"}},
        {"c.tx", {}},
        {"", {}},
        {"*", {"A.msg", "Ind.tmp", "Ind7.tmp", "a.msg", "a.msg.bak", "aXbYbc", "ab.msg", "b.msg", "c.txt",
               "link.msg", "xIndy.tmp", "\xC3\xA9.msg"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("mask \"" + r.mask + "\"");
        EXPECT_EQ(FindFiles(dir.Path(), r.mask), r.names);
    }
    // The folder may be given without its trailing slash.
    const std::string noSlash = dir.Path().substr(0, dir.Path().size() - 1);
    EXPECT_EQ(FindFiles(noSlash, "?.msg"), (std::vector<std::string>{"A.msg", "a.msg", "b.msg"}));
    EXPECT_TRUE(FindFiles(dir / "missing/", "*").empty());
    EXPECT_TRUE(FindFiles(dir / "c.txt", "*").empty());
}

TEST(Files, FindFoldersListsOnlyFolders) {
    TTempDir dir;
    ForceDirectories(dir / "queue/temp");
    ForceDirectories(dir / "Vorla");
    ForceDirectories(dir / "trash");
    WriteFile(dir / "options.ini", "");
    EXPECT_EQ(FindFolders(dir.Path()), (std::vector<std::string>{"Vorla", "queue", "trash"}));
    EXPECT_TRUE(FindFolders(dir / "none").empty());
}

TEST(Files, ForceDirectoriesMakesEveryMissingParent) {
    TTempDir dir;
    const std::string deep = dir / "accounts/{A}/queue/temp/";
    ForceDirectories(deep);
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_EQ(ModeOf(dir / "accounts"), 0700u);
    EXPECT_EQ(ModeOf(deep), 0700u);
    ForceDirectories(deep);  // existing folders are fine
    ForceDirectories(dir / "accounts//{B}");
    EXPECT_TRUE(DirectoryExists(dir / "accounts/{B}"));

    WriteFile(dir / "file", "x");
    EXPECT_THROW(ForceDirectories(dir / "file/sub"), TFileError);
    EXPECT_THROW(ForceDirectories(dir / "file"), TFileError);
}

TEST(Files, DeleteTreeRemovesEverythingButWhatLinksPointTo) {
    TTempDir dir;
    ForceDirectories(dir / "keep");
    WriteFile(dir / "keep/precious", "1");
    ForceDirectories(dir / "acct/vorla");
    WriteFile(dir / "acct/vorla/1.msg", "m");
    WriteFile(dir / "acct/options.ini", "o");
    ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "acct/link").c_str()), 0);

    DeleteTree(dir / "acct/");
    EXPECT_FALSE(DirectoryExists(dir / "acct"));
    EXPECT_EQ(ReadFile(dir / "keep/precious"), "1");
    EXPECT_NO_THROW(DeleteTree(dir / "acct/"));
}

TEST(Files, RenameCopyMoveAndDeleteReplaceTargets) {
    TTempDir dir;
    WriteFile(dir / "a", std::string("one\0two", 7));
    WriteFile(dir / "b", "old");
    ::chmod((dir / "a").c_str(), 0640);
    ::chmod((dir / "b").c_str(), 0604);

    CopyFile(dir / "a", dir / "b");
    EXPECT_EQ(ReadFile(dir / "b"), std::string("one\0two", 7));
    EXPECT_EQ(ModeOf(dir / "b"), 0604u);  // an existing target keeps its mode
    CopyFile(dir / "a", dir / "c");
    EXPECT_EQ(ModeOf(dir / "c"), 0640u);  // a new one takes the source's
    EXPECT_FALSE(FileExists(dir / "b.tmp"));

    WriteFile(dir / "d", "dee");
    RenameFile(dir / "d", dir / "c");
    EXPECT_EQ(ReadFile(dir / "c"), "dee");
    EXPECT_FALSE(FileExists(dir / "d"));

    ForceDirectories(dir / "sub");
    MoveFile(dir / "c", dir / "sub/c");
    EXPECT_EQ(ReadFile(dir / "sub/c"), "dee");
    EXPECT_FALSE(FileExists(dir / "c"));

    EXPECT_TRUE(DeleteFile(dir / "sub/c"));
    EXPECT_FALSE(DeleteFile(dir / "sub/c"));
    EXPECT_THROW(DeleteFile(dir / "sub"), TFileError);

    EXPECT_THROW(RenameFile(dir / "missing", dir / "x"), TFileError);
    EXPECT_THROW(MoveFile(dir / "missing", dir / "x"), TFileError);
    try {
        CopyFile(dir / "missing", dir / "x");
        ADD_FAILURE() << "copying a missing file succeeded";
    } catch (const TFileError& e) {
        EXPECT_NE(std::string(e.what()).find(dir / "missing"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(FileExists(dir / "x"));
    EXPECT_FALSE(FileExists(dir / "x.tmp"));
}

TEST(Files, ExistenceSizeAndAge) {
    TTempDir dir;
    WriteFile(dir / "f", "12345");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(DirectoryExists(dir / "f"));
    EXPECT_EQ(FileSize(dir / "f"), 5u);
    EXPECT_EQ(FileSize(dir / "none"), std::nullopt);
    EXPECT_EQ(FileSize(dir / "f/x"), std::nullopt);
    EXPECT_EQ(FileAge(dir / "none"), std::nullopt);
    const timespec times[2] = {{0, UTIME_OMIT}, {86400 * 3, 0}};  // 4 Jan 1970 00:00 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0), 0);
    const auto age = FileAge(dir / "f");
    ASSERT_TRUE(age.has_value());
    EXPECT_NEAR(*age, 25569 + 3, 1.0);  // within the local zone's offset
}

TEST(Files, ReadFileBytesKeepsEveryByte) {
    TTempDir dir;
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    all += std::string(200000, 'z');  // past one read buffer
    WriteFile(dir / "bin", all);
    EXPECT_EQ(ReadFileBytes(dir / "bin"), all);
    EXPECT_EQ(ReadFileBytes(dir / "bin").size(), all.size());
    EXPECT_THROW(ReadFileBytes(dir / "none"), TFileError);
}

TEST(Files, WriteFileAtomicReplacesAndKeepsModeAndLinks) {
    TTempDir dir;
    const mode_t oldMask = ::umask(022);
    WriteFileAtomic(dir / "new", "first");
    EXPECT_EQ(ModeOf(dir / "new"), 0644u);
    WriteFileAtomic(dir / "secret", "pw", 0600);
    EXPECT_EQ(ModeOf(dir / "secret"), 0600u);
    ::chmod((dir / "new").c_str(), 0640);
    WriteFileAtomic(dir / "new", "second", 0666);
    EXPECT_EQ(ReadFile(dir / "new"), "second");
    EXPECT_EQ(ModeOf(dir / "new"), 0640u);

    // A stale temporary file from an interrupted write, even a link somewhere else, is not written through.
    WriteFile(dir / "elsewhere", "untouched");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "new.tmp").c_str()), 0);
    WriteFileAtomic(dir / "new", "third");
    EXPECT_EQ(ReadFile(dir / "new"), "third");
    EXPECT_EQ(ReadFile(dir / "elsewhere"), "untouched");
    EXPECT_FALSE(IsLink(dir / "new.tmp") || FileExists(dir / "new.tmp"));

    // A settings file that is a link stays one; the file it points to gets the content.
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "linked").c_str()), 0);
    WriteFileAtomic(dir / "linked", "through");
    EXPECT_TRUE(IsLink(dir / "linked"));
    EXPECT_EQ(ReadFile(dir / "elsewhere"), "through");
    EXPECT_FALSE(FileExists(dir / "elsewhere.tmp"));
    EXPECT_FALSE(FileExists(dir / "linked.tmp"));
    ::umask(oldMask);

    EXPECT_THROW(WriteFileAtomic(dir / "no/such/folder/f", "x"), TFileError);
}

TEST(Files, WriteFileAtomicIfChangedLeavesAFileThatHoldsTheData) {
    struct Row {
        const char* why;
        std::string before;  // "<none>": no file
        std::string data;
        bool writes;
    };
    const Row rows[] = {
        {"missing file", "<none>", "a\r\n", true},
        {"missing file, no data", "<none>", "", true},
        {"same bytes", "a\r\nb\r\n", "a\r\nb\r\n", false},
        {"empty file, no data", "", "", false},
        {"same size, other bytes", "a\r\nb\r\n", "a\r\nc\r\n", true},
        {"line ends differ", "a\nb\n", "a\r\nb\r\n", true},
        {"longer", "a", "ab", true},
        {"shorter", "ab", "a", true},
    };
    TTempDir dir;
    const std::string path = dir / "f";
    const auto inode = [&] {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        DeleteFile(path);
        if (r.before != "<none>") WriteFile(path, r.before);
        const auto before = inode();
        EXPECT_EQ(WriteFileAtomicIfChanged(path, r.data, 0600), r.writes);
        EXPECT_EQ(ReadFile(path), r.data);
        EXPECT_EQ(inode() != before, r.writes);  // a write replaces the file
    }
    ForceDirectories(dir / "folder");
    EXPECT_THROW(WriteFileAtomicIfChanged(dir / "folder", "", 0600), TFileError);
}

TEST(Files, WriteFileAtomicKeepsOldContentWhenTheFolderIsUnwritable) {
    TTempDir dir;
    const std::string folder = dir / "ro/";
    ForceDirectories(folder);
    WriteFile(folder + "vorla.ini", "[options]\r\nold=1\r\n");
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(folder.c_str(), 0555);
    ::chmod((folder + "vorla.ini").c_str(), 0666);
    const int result = RunWithoutPrivileges([&] {
        try {
            WriteFileAtomic(folder + "vorla.ini", "[options]\r\nnew=1\r\n");
            return 1;
        } catch (const TFileError&) {
            return 0;
        } catch (...) {
            return 2;
        }
    });
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(result, 0) << "1: no error reported, 2: wrong exception, 100+: could not drop privileges";
    EXPECT_EQ(ReadFile(folder + "vorla.ini"), "[options]\r\nold=1\r\n");
    EXPECT_FALSE(FileExists(folder + "vorla.ini.tmp"));
}

TEST(Files, WriteFileAtomicKeepsOldContentWhenTheDiskIsFull) {
    TTempDir dir;
    WriteFile(dir / "options.ini", "old");
    {
        TFileSizeLimit limit(4096);
        EXPECT_THROW(WriteFileAtomic(dir / "options.ini", std::string(10000, 'n')), TFileError);
    }
    EXPECT_EQ(ReadFile(dir / "options.ini"), "old");
    EXPECT_FALSE(FileExists(dir / "options.ini.tmp"));
}

TEST(Files, AppendFileBytesCreatesPrivateFileAndNeverLeavesHalfARecord) {
    TTempDir dir;
    AppendFileBytes(dir / "vorla.log", "line 1\r\n");
    AppendFileBytes(dir / "vorla.log", "line 2\r\n");
    EXPECT_EQ(ReadFile(dir / "vorla.log"), "line 1\r\nline 2\r\n");
    EXPECT_EQ(ModeOf(dir / "vorla.log"), 0600u);
    {
        TFileSizeLimit limit(100);
        EXPECT_THROW(AppendFileBytes(dir / "vorla.log", std::string(500, 'x')), TFileError);
    }
    EXPECT_EQ(ReadFile(dir / "vorla.log"), "line 1\r\nline 2\r\n");
    EXPECT_THROW(AppendFileBytes(dir / "none/vorla.log", "x"), TFileError);
}

TEST(Files, PathHelpers) {
    struct Row {
        std::string path, folder, name;
    };
    const Row rows[] = {
        {"/home/u/vorla.exe", "/home/u/", "vorla.exe"},
        {"/home/u/", "/home/u/", ""},
        {"vorla.ini", "", "vorla.ini"},
        {"/", "/", ""},
        {"", "", ""},
        {"a/b/c.msg", "a/b/", "c.msg"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("\"" + r.path + "\"");
        EXPECT_EQ(ExtractFilePath(r.path), r.folder);
        EXPECT_EQ(ExtractFileName(r.path), r.name);
        EXPECT_EQ(ExtractFilePath(r.path) + ExtractFileName(r.path), r.path);
    }
    EXPECT_EQ(IncludeTrailingSlash("/a/b"), "/a/b/");
    EXPECT_EQ(IncludeTrailingSlash("/a/b/"), "/a/b/");
    EXPECT_EQ(IncludeTrailingSlash(""), "");
}

namespace vorla {
namespace {

// A batch of atomic writes: each file is whole and in place at once; the folders written into
// are flushed by Sync (one that is gone by then is an error), only for the thread and the
// innermost scope that wrote them.
TEST(Files, DeferredSyncKeepsWritesWholeAndFlushesTheFoldersOfItsOwnThread) {
    test::TTempDir dir;
    ForceDirectories(dir / "a/");
    ForceDirectories(dir / "b/");
    ForceDirectories(dir / "c/");
    {
        TDeferredSync outer;
        WriteFileAtomic(dir / "a/one", "1");
        {
            TDeferredSync inner;
            WriteFileAtomic(dir / "b/two", "2");
            std::thread other([&] { WriteFileAtomic(dir / "c/three", "3"); });
            other.join();
            EXPECT_EQ(ReadFileBytes(dir / "b/two"), "2");
            EXPECT_FALSE(FileExists(dir / "b/two.tmp"));
            EXPECT_NO_THROW(inner.Sync());
        }
        // Written by the inner scope or another thread: not this scope's to flush.
        ASSERT_TRUE(DeleteFile(dir / "b/two"));
        ASSERT_EQ(::rmdir((dir / "b").c_str()), 0);
        ASSERT_TRUE(DeleteFile(dir / "c/three"));
        ASSERT_EQ(::rmdir((dir / "c").c_str()), 0);
        EXPECT_EQ(ReadFileBytes(dir / "a/one"), "1");
        EXPECT_NO_THROW(outer.Sync());
        // Nothing left to flush after a Sync; a new write is noted again.
        ASSERT_TRUE(DeleteFile(dir / "a/one"));
        ASSERT_EQ(::rmdir((dir / "a").c_str()), 0);
        EXPECT_NO_THROW(outer.Sync());
        ForceDirectories(dir / "a/");
        WriteFileAtomic(dir / "a/again", "x");
        ASSERT_TRUE(DeleteFile(dir / "a/again"));
        ASSERT_EQ(::rmdir((dir / "a").c_str()), 0);
        EXPECT_THROW(outer.Sync(), TFileError);
    }
    // Without a scope each write flushes on its own, as before.
    WriteFileAtomic(dir / "alone", "y");
    EXPECT_EQ(ReadFileBytes(dir / "alone"), "y");
}

}  // namespace
}  // namespace vorla
