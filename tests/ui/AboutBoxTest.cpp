#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/AboutBox.h"

namespace vorla::test {
namespace {

// The version label shows the program file's own version block; a file without one (or any
// file that is not a program) shows "Version " alone, and the rest of the box is unchanged.
TEST(AboutText, TheVersionComesFromTheProgramFile) {
    const struct {
        const char* program;
        std::string label;
    } cases[] = {
        {VORLA_BINARY, "Version " VORLA_PROJECT_VERSION},
        {"/bin/sh", "Version "},
        {"/nonexistent/vorla", "Version "},
        {TEST_DATA_DIR "/two-received-lines.msg", "Version "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const TAboutText text = AboutText(c.program);
        EXPECT_EQ(text.versionLabel, c.label);
        EXPECT_EQ(text.caption, "About");
        EXPECT_EQ(text.productName, "Vorla");
        EXPECT_FALSE(text.webAddress.empty());
    }
}

TEST(UrlLink, ColourAndPointerFollowTheMouseAndAClickPrefersTheHandler) {
    struct TCase {
        const char* name;
        std::string address;
        bool handler;
        std::vector<bool> moves;  // true: the pointer enters, false: it leaves
        bool hovered;
        TUrlLink::TClick click;
    };
    const TCase cases[] = {
        {"untouched", "https://a.example/", false, {}, false, TUrlLink::TClick::OpenAddress},
        {"entered", "https://a.example/", false, {true}, true, TUrlLink::TClick::OpenAddress},
        {"entered and left", "https://a.example/", false, {true, false}, false, TUrlLink::TClick::OpenAddress},
        {"handler set", "https://a.example/", true, {true}, true, TUrlLink::TClick::RunHandler},
        {"handler, no address", "", true, {}, false, TUrlLink::TClick::RunHandler},
        {"no address", "", false, {true, false, true}, true, TUrlLink::TClick::Nothing},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TUrlLink link(c.address);
        link.SetHandler(c.handler);
        for (const bool enter : c.moves) enter ? link.MouseEnter() : link.MouseLeave();
        EXPECT_EQ(link.Color(), c.hovered ? (TRgb{0, 0, 255}) : (TRgb{0, 0, 128}));
        EXPECT_EQ(link.HandCursor(), c.hovered);
        EXPECT_EQ(link.LeftButtonPress(), c.click);
    }
}

}  // namespace
}  // namespace vorla::test
