#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "EnvGuard.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::TEnvGuard;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

// Runs the test from a given working folder and goes back afterwards.
class TCwdGuard {
public:
    explicit TCwdGuard(const std::string& folder) {
        char buf[4096];
        if (::getcwd(buf, sizeof buf)) m_old = buf;
        if (::chdir(folder.c_str()) != 0) ADD_FAILURE() << "cannot enter " << folder;
    }
    ~TCwdGuard() {
        if (!m_old.empty() && ::chdir(m_old.c_str()) != 0) ADD_FAILURE() << "cannot go back to " << m_old;
    }
    TCwdGuard(const TCwdGuard&) = delete;
    TCwdGuard& operator=(const TCwdGuard&) = delete;

private:
    std::string m_old;
};

}  // namespace

TEST(Home, ResolvesOptionThenVariableThenDataFolder) {
    TTempDir dir;
    TCwdGuard cwd(dir.Path());
    TEnvGuard home("HOME", "/home/ann");
    struct Row {
        const char* why;
        std::string option;
        const char* vorlaHome;
        const char* dataHome;
        std::string expected;
    };
    const Row rows[] = {
        {"option wins", "/srv/mail", "/env/v", "/data", "/srv/mail/"},
        {"relative option", "portable/v", "/env/v", nullptr, dir / "portable/v/"},
        {"option with dots", "/srv/./a/../mail/", nullptr, nullptr, "/srv/mail/"},
        {"option with tilde", "~/mail", nullptr, nullptr, "/home/ann/mail/"},
        {"variable", "", "/env/v", "/data", "/env/v/"},
        {"relative variable", "", "here", nullptr, dir / "here/"},
        {"empty variable is unset", "", "", "/data", "/data/vorla/"},
        {"data folder", "", nullptr, "/data/", "/data/vorla/"},
        {"relative data folder is ignored", "", nullptr, "rel", "/home/ann/.local/share/vorla/"},
        {"default", "", nullptr, nullptr, "/home/ann/.local/share/vorla/"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        TEnvGuard vorlaHome("VORLA_HOME", r.vorlaHome);
        TEnvGuard dataHome("XDG_DATA_HOME", r.dataHome);
        EXPECT_EQ(ResolveHomeFolder(r.option), r.expected);
    }
}

TEST(Home, PrepareCreatesAPrivateFolder) {
    TTempDir dir;
    TEnvGuard vorlaHome("VORLA_HOME", nullptr);
    TEnvGuard dataHome("XDG_DATA_HOME", (dir / "share").c_str());
    const std::string home = PrepareHomeFolder("");
    EXPECT_EQ(home, dir / "share/vorla/");
    struct stat st{};
    ASSERT_EQ(::stat(home.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(PrepareHomeFolder(""), home);  // a second start finds it

    WriteFile(dir / "file", "");
    EXPECT_THROW(PrepareHomeFolder(dir / "file"), TFileError);
}

TEST(Home, ProgramFileNamesDeriveFromTheHomeFolder) {
    SetHomeFolder("/home/ann/.local/share/vorla");
    EXPECT_EQ(HomeFolder(), "/home/ann/.local/share/vorla/");
    EXPECT_EQ(ProgramFilePath(), "/home/ann/.local/share/vorla/vorla.exe");
    EXPECT_EQ(ReplaceExtension(ProgramFilePath(), ".exe", ".ini"), "/home/ann/.local/share/vorla/vorla.ini");
    SetHomeFolder("");
}

TEST(Home, ReplaceExtensionChangesEveryOccurrenceInTheFileName) {
    struct Row {
        std::string path, ext, newExt, expected;
    };
    const Row rows[] = {
        {"vorla.exe", ".exe", ".ini", "vorla.ini"},
        {"/h/VORLA.EXE", ".exe", ".fil", "/h/VORLA.fil"},
        {"/h/a.exe.exe", ".EXE", "", "/h/a"},
        {"/h/a.exe.b.Exe", ".exe", ".x", "/h/a.x.b.x"},
        {"/h/tools.exe/vorla.exe", ".exe", ".ini", "/h/tools.exe/vorla.ini"},
        {"/h/vorla", ".exe", ".ini", "/h/vorla"},
        {"/h/vorla.exe", "", ".ini", "/h/vorla.exe"},
        {"/h/a.exe", ".exe", ".exe.exe", "/h/a.exe.exe"},  // the replacement is not scanned again
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.ext + " -> " + r.newExt);
        EXPECT_EQ(ReplaceExtension(r.path, r.ext, r.newExt), r.expected);
    }
}
