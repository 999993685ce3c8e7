#include "engine/Startup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

// Points XDG_CONFIG_HOME at a fresh folder for the test and puts the old value back after.
class StartupTest : public ::testing::Test {
protected:
    StartupTest() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_old = old;
        m_hadOld = std::getenv("XDG_CONFIG_HOME") != nullptr;
        ::setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1);
        SetHomeFolder(m_home.Path());
        SetPrivateTempFolder(m_home.Path());
    }
    ~StartupTest() override {
        if (m_hadOld)
            ::setenv("XDG_CONFIG_HOME", m_old.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        SetPrivateTempFolder("");
        SetHomeFolder("");
    }
    std::string Entry() const { return m_config / "autostart/vorla.desktop"; }

    TTempDir m_config;
    TTempDir m_home;
    std::string m_old;
    bool m_hadOld = false;
};

TEST_F(StartupTest, EntryIsMadeOnceAndRemovedWhenNotWanted) {
    EXPECT_EQ(StartupEntryPath(), Entry());
    SetStartupShortcut(true);
    ASSERT_TRUE(FileExists(Entry()));
    const std::string first = ReadFile(Entry());
    EXPECT_THAT(first, ::testing::StartsWith("[Desktop Entry]\n"));
    EXPECT_THAT(first, ::testing::HasSubstr("\nType=Application\n"));
    EXPECT_THAT(first, ::testing::HasSubstr("\nExec=" + DesktopExecValue(RunningProgramPath(), HomeFolder()) + "\n"));
    EXPECT_EQ(RunningProgramPath().front(), '/');

    SetStartupShortcut(true);  // the second time changes nothing
    EXPECT_EQ(ReadFile(Entry()), first);

    SetStartupShortcut(false);
    EXPECT_FALSE(FileExists(Entry()));
    SetStartupShortcut(false);  // nothing there: nothing happens
    EXPECT_FALSE(FileExists(Entry()));
}

TEST_F(StartupTest, ExistingOrOtherEntriesAreLeftAlone) {
    ForceDirectories(m_config / "autostart/");
    WriteFile(Entry(), "[Desktop Entry]\nExec=/elsewhere/mail\n");
    SetStartupShortcut(true);
    EXPECT_EQ(ReadFile(Entry()), "[Desktop Entry]\nExec=/elsewhere/mail\n");

    // An entry the user saved under another name is not ours to find.
    WriteFile(m_config / "autostart/my-vorla.desktop", "x");
    SetStartupShortcut(false);
    EXPECT_FALSE(FileExists(Entry()));
    EXPECT_TRUE(FileExists(m_config / "autostart/my-vorla.desktop"));

    // A dangling link of that name counts as an existing entry too.
    ASSERT_EQ(::symlink("/nonexistent/vorla.desktop", Entry().c_str()), 0);
    SetStartupShortcut(true);
    struct stat info {};
    ASSERT_EQ(::lstat(Entry().c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(StartupExec, WordsAreQuotedAndEscaped) {
    struct TCase {
        const char* program;
        const char* home;
        const char* exec;
    };
    const TCase cases[] = {
        {"/usr/bin/vorla", "", R"("/usr/bin/vorla")"},
        {"/opt/my apps/vorla", "/home/u/Mail box/", R"("/opt/my apps/vorla" --home "/home/u/Mail box/")"},
        // '$' and '"' get a backslash, which the string escapes then double; '%' doubles.
        {"/x/$HOME\"/100%/v", "", R"("/x/\\$HOME\\"/100%%/v")"},
        {"/a\\b/v", "", R"("/a\\\\b/v")"},
        {"/a`b/v", "", R"("/a\\`b/v")"},
        {"/new\nline/v", "", R"("/new\nline/v")"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(DesktopExecValue(c.program, c.home), c.exec);
    }
}

TEST_F(StartupTest, EngineSettingCreatesAndRemovesTheEntry) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    TZivad engine(queue);
    EXPECT_FALSE(engine.LoadOnStartup());
    engine.SetLoadOnStartup(true);
    EXPECT_TRUE(FileExists(Entry()));
    engine.SetLoadOnStartup(false);
    EXPECT_FALSE(FileExists(Entry()));

    // A folder that cannot be made is reported in the status history; the choice is kept.
    ::setenv("XDG_CONFIG_HOME", (m_config / "file").c_str(), 1);
    WriteFile(m_config / "file", "in the way");
    engine.SetLoadOnStartup(true);
    EXPECT_TRUE(engine.LoadOnStartup());
    EXPECT_THAT(engine.StatusText(), ::testing::HasSubstr("Unable to create the autostart entry"));
}

}  // namespace
}  // namespace vorla
