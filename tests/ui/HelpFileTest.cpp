#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "ui/MainForm.h"

namespace vorla::test {
namespace {

namespace fs = std::filesystem;

struct THelpCase {
    const char* name;
    std::vector<std::string> files;  // relative to the temporary folder
    std::string expected;            // relative to it; empty: not found
};

void PrintTo(const THelpCase& c, std::ostream* out) { *out << c.name; }

class HelpFileTest : public ::testing::TestWithParam<THelpCase> {
protected:
    void SetUp() override {
        m_top = fs::temp_directory_path() / ("vorla-help-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                             "-" + GetParam().name);
        fs::remove_all(m_top);
        fs::create_directories(m_top / "src" / "build" / "bin");
    }
    void TearDown() override { fs::remove_all(m_top); }
    fs::path m_top;
};

TEST_P(HelpFileTest, TheFirstExistingPlaceWins) {
    for (const std::string& file : GetParam().files) {
        fs::create_directories((m_top / file).parent_path());
        std::ofstream(m_top / file) << "help\n";
    }
    const std::string programDir = (m_top / "src" / "build" / "bin").string();
    const std::string expected =
        GetParam().expected.empty() ? std::string() : (m_top / GetParam().expected).lexically_normal().string();
    EXPECT_EQ(TMainForm::FindHelpFile(programDir, TMainForm::kManualFile), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Places, HelpFileTest,
    ::testing::Values(
        THelpCase{"installed", {"src/build/share/vorla/help/001.htm"}, "src/build/share/vorla/help/001.htm"},
        THelpCase{"oneUp", {"src/build/docs/manual/001.htm"}, "src/build/docs/manual/001.htm"},
        THelpCase{"twoUp", {"src/docs/manual/001.htm"}, "src/docs/manual/001.htm"},
        THelpCase{"installedFirst",
                  {"src/docs/manual/001.htm", "src/build/docs/manual/001.htm", "src/build/share/vorla/help/001.htm"},
                  "src/build/share/vorla/help/001.htm"},
        THelpCase{"oneUpBeforeTwoUp", {"src/docs/manual/001.htm", "src/build/docs/manual/001.htm"},
                  "src/build/docs/manual/001.htm"},
        THelpCase{"otherFileOnly", {"src/docs/manual/readme.txt"}, ""},
        THelpCase{"folderNotFile", {"src/docs/manual/001.htm/x"}, ""},
        THelpCase{"nothing", {}, ""}),
    [](const ::testing::TestParamInfo<THelpCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace vorla::test
