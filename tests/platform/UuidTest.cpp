#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "platform/Uuid.h"

using namespace vorla;

TEST(Uuid, RegistryFormVersionFourAndUnique) {
    // Upper-case hex, version digit 4, variant digit 8, 9, A or B.
    const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::string> seen;
    int bitsSet[128] = {};
    const int count = 2000;
    for (int i = 0; i < count; ++i) {
        const std::string guid = NewGuidString();
        ASSERT_TRUE(std::regex_match(guid, form)) << guid;
        EXPECT_TRUE(seen.insert(guid).second) << "repeated " << guid;
        std::string hex;
        for (char c : guid)
            if (c != '{' && c != '}' && c != '-') hex += c;
        for (int d = 0; d < 32; ++d) {
            const int v = std::stoi(hex.substr(static_cast<std::size_t>(d), 1), nullptr, 16);
            for (int bit = 0; bit < 4; ++bit) bitsSet[d * 4 + bit] += (v >> bit) & 1;
        }
    }
    // Every bit that is not fixed by the version and variant must vary: a source that hands out
    // zeros or repeats a pattern shows up here.
    for (int bit = 0; bit < 128; ++bit) {
        const bool fixed = (bit >= 48 && bit < 52) || bit == 66 || bit == 67;
        if (fixed) continue;
        SCOPED_TRACE("bit " + std::to_string(bit));
        EXPECT_GT(bitsSet[bit], count / 4);
        EXPECT_LT(bitsSet[bit], count * 3 / 4);
    }
}
