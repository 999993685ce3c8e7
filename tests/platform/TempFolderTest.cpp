#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <set>
#include <string>

#include "platform/Files.h"
#include "platform/TempFolder.h"
#include "EnvGuard.h"
#include "support/TempDir.h"

using namespace vorla;
using vorla::test::TEnvGuard;
using vorla::test::TTempDir;
using vorla::test::WriteFile;

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFFu;
}

// Points the private folder at a fresh folder for one test, and back to the default after it.
class TempFolder : public ::testing::Test {
protected:
    void SetUp() override { SetPrivateTempFolder(m_dir / "private"); }
    void TearDown() override { SetPrivateTempFolder(""); }
    TTempDir m_dir;
};

}  // namespace

TEST_F(TempFolder, CreateTempFileMakesNewEmptyPrivateFiles) {
    const std::string folder = PrivateTempFolder();
    EXPECT_EQ(folder, m_dir / "private/");
    const std::regex form("Ind[A-Za-z0-9]{6}\\.tmp");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string path = CreateTempFile();
        SCOPED_TRACE(path);
        EXPECT_EQ(ExtractFilePath(path), folder);
        EXPECT_TRUE(std::regex_match(ExtractFileName(path), form));
        EXPECT_EQ(FileSize(path), 0u);
        EXPECT_EQ(ModeOf(path), 0600u);
        EXPECT_TRUE(seen.insert(path).second);
    }
    const std::string other = CreateTempFile("att", ".bin");
    EXPECT_TRUE(std::regex_match(ExtractFileName(other), std::regex("att[A-Za-z0-9]{6}\\.bin")));
}

TEST_F(TempFolder, SweepDeletesOnlyMatchingFilesOfThePrivateFolder) {
    const std::string folder = PrivateTempFolder();
    const std::string a = CreateTempFile();
    const std::string b = CreateTempFile();
    for (const char* name : {"Ind.txt", "xInd1.tmp", "ind2.tmp", "Ind3.tmpx", "notes.tmp"}) WriteFile(folder + name, "keep");
    ForceDirectories(folder + "Ind4.tmp");
    WriteFile(folder + "Ind4.tmp/inner", "keep");
    // The shared temporary folder's files look the same and must survive.
    WriteFile(m_dir / "Ind5.tmp", "someone else's");

    EXPECT_EQ(SweepTempFiles(), 2);
    EXPECT_FALSE(FileExists(a));
    EXPECT_FALSE(FileExists(b));
    EXPECT_EQ(FindFiles(folder, "*"),
              (std::vector<std::string>{"Ind.txt", "Ind3.tmpx", "ind2.tmp", "notes.tmp", "xInd1.tmp"}));
    EXPECT_TRUE(FileExists(folder + "Ind4.tmp/inner"));
    EXPECT_TRUE(FileExists(m_dir / "Ind5.tmp"));
    EXPECT_EQ(SweepTempFiles(), 0);
    EXPECT_EQ(SweepTempFiles("*.txt"), 1);
}

TEST_F(TempFolder, DefaultIsVorlaInTheRuntimeFolder) {
    TTempDir runtime;
    TEnvGuard xdg("XDG_RUNTIME_DIR", runtime.Path().c_str());
    SetPrivateTempFolder("");
    EXPECT_EQ(PrivateTempFolder(), runtime / "vorla/");
    EXPECT_EQ(ModeOf(runtime / "vorla"), 0700u);

    // An existing folder of ours is tightened to 0700.
    ::chmod((runtime / "vorla").c_str(), 0755);
    SetPrivateTempFolder("");
    EXPECT_EQ(PrivateTempFolder(), runtime / "vorla/");
    EXPECT_EQ(ModeOf(runtime / "vorla"), 0700u);
}

TEST_F(TempFolder, FallsBackToAPrivateFolderUnderTmpdir) {
    TTempDir tmp;
    TTempDir runtime;
    TTempDir elsewhere;
    TEnvGuard tmpdir("TMPDIR", tmp.Path().c_str());
    struct Row {
        const char* why;
        std::optional<std::string> xdg;
    };
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), (runtime / "vorla").c_str()), 0);
    const Row rows[] = {
        {"no runtime folder set", std::nullopt},
        {"runtime folder missing", tmp / "missing"},
        {"runtime vorla folder is a link", runtime.Path()},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        TEnvGuard xdg("XDG_RUNTIME_DIR", r.xdg ? r.xdg->c_str() : nullptr);
        SetPrivateTempFolder("");
        const std::string folder = PrivateTempFolder();
        EXPECT_EQ(ExtractFilePath(folder.substr(0, folder.size() - 1)), tmp.Path());
        EXPECT_EQ(ExtractFileName(folder.substr(0, folder.size() - 1)).rfind("vorla-", 0), 0u);
        EXPECT_EQ(ModeOf(folder), 0700u);
        EXPECT_EQ(PrivateTempFolder(), folder);  // once per process
    }
    EXPECT_TRUE(FindFiles(elsewhere.Path(), "*").empty());
}
