#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/Cli.h"
#include "log/ZivadLog.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

std::string Unix(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

TEST(LogCommand, PrintsEachViewOfTheActivityLog) {
    test::TTempDir dir;
    const std::string home = dir.Path();
    TZivadLog log(home + "vorla.log");
    ASSERT_TRUE(log.AppendLine("Work\tAccepted - (global:friends) Date: x From: a@example.org Subject: one"));
    ASSERT_TRUE(log.AppendLine("Home\tRejected - (TLD:ru) Date: x From: b@example.ru Subject: two"));

    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", home});
        std::ostringstream out, err;
        std::istringstream in;
        EXPECT_EQ(RunCli(args, out, err, in), 0) << err.str();
        return out.str();
    };
    const std::string raw = run({"log"});
    EXPECT_EQ(raw, Unix(log.LogText()));
    EXPECT_LT(raw.find("Subject: two"), raw.find("Subject: one"));  // newest first
    EXPECT_EQ(raw.find('\r'), std::string::npos);

    const std::string work = run({"log", "--account", "Work"});
    EXPECT_THAT(work, ::testing::HasSubstr("Subject: one"));
    EXPECT_THAT(work, ::testing::Not(::testing::HasSubstr("Subject: two")));

    EXPECT_EQ(run({"log", "--daily"}), Unix(log.DailySummary()) + (log.DailySummary().ends_with("\n") ? "" : "\n"));
    EXPECT_EQ(run({"log", "--accounts"}),
              Unix(log.AccountSummary()) + (log.AccountSummary().ends_with("\n") ? "" : "\n"));
    EXPECT_THAT(run({"log", "--accounts"}), ::testing::HasSubstr("Work"));
}

TEST(LogCommand, EmptyHomeHasAnEmptyLog) {
    test::TTempDir dir;
    std::ostringstream out, err;
    std::istringstream in;
    EXPECT_EQ(RunCli({"log", "--home", dir / "never-used"}, out, err, in), 0) << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(DirectoryExists(dir / "never-used"));
}

}  // namespace
}  // namespace vorla
