#include <gtest/gtest.h>

#include <string>

#include "platform/Crc32.h"

using namespace vorla;

TEST(Crc32, KnownCheckValues) {
    struct Row {
        std::string data;
        std::uint32_t crc;
    };
    const Row rows[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(1, '\0'), 0xD202EF8Du},
        {std::string("\xFF\xFF\xFF\xFF", 4), 0xFFFFFFFFu},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("data \"" + row.data + "\"");
        EXPECT_EQ(Crc32(row.data), row.crc);
    }
}

TEST(Crc32, ContinuesOverPiecesAtEverySplit) {
    const std::string text = "Received: from mail.example.org\r\nSubject: \x80\xFE high bytes\r\n";
    const std::uint32_t whole = Crc32(text);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        SCOPED_TRACE("split at byte " + std::to_string(cut));
        EXPECT_EQ(Crc32(text.substr(cut), Crc32(text.substr(0, cut))), whole);
    }
}
