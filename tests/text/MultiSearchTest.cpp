#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "text/MultiSearch.h"
#include "text/TextSearch.h"

using namespace vorla;

namespace {

// The multi-pattern search against a plain search of each pattern.
TEST(MultiSearchTest, FindsEveryOccurrenceOfEveryPatternWithLetterCaseIgnored) {
    const std::vector<std::string> patterns = {"he", "She", "his", "HERS", "s", "", "x\xc3\xa9", "\t", "hers"};
    const TMultiSearch search(patterns);
    for (const std::string text : {"ushers", "USHERS and his shells", "", "\tx\xc3\xa9X\xc3\xa9", "sssS", "h\xc3\xa9"}) {
        SCOPED_TRACE(text);
        std::vector<std::pair<std::uint32_t, std::size_t>> found, want;
        search.Scan(text, [&](std::uint32_t p, std::size_t end) { found.emplace_back(p, end); });
        for (std::uint32_t p = 0; p < patterns.size(); ++p)
            for (std::size_t start = 1; !patterns[p].empty() && start <= text.size();) {
                const std::size_t at = FindNoCase(patterns[p], text, start);
                if (!at) break;
                want.emplace_back(p, at - 1 + patterns[p].size());
                start = at + 1;
            }
        std::sort(found.begin(), found.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(found, want);
    }
}

}  // namespace
