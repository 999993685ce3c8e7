#include <gtest/gtest.h>

#include "platform/Errors.h"

using namespace vorla;

TEST(Errors, OneLineJoinsOnlyCrLfPairs) {
    EXPECT_EQ(OneLine("a\r\nb\r\n"), "a b ");
    EXPECT_EQ(OneLine("lone\nlf and lone\rcr"), "lone\nlf and lone\rcr");
    EXPECT_EQ(OneLine("\r\r\n\n"), "\r \n");
}
