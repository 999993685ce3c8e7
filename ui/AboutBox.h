#pragma once
#include <string>

// The about box's behaviour, without the toolkit: its texts, the link label's colours and
// what a click on the link does. The widgets (TAboutBox, TUrlLabel) apply it.
namespace vorla {

struct TRgb {
    int red, green, blue;
    bool operator==(const TRgb&) const = default;
};

// The running program's own file, whose version block the about box shows.
inline constexpr const char* kRunningProgram = "/proc/self/exe";

// What the about box shows for the program file exeName: its version block's FileVersion,
// read with language "0C09" (empty when the file has no block, or none in that language).
struct TAboutText {
    std::string caption;       // "About"
    std::string productName;   // "Vorla"
    std::string versionLabel;  // "Version " + fileVersion
    std::string copyright;
    std::string webAddress;    // shown and opened by the link label
};
TAboutText AboutText(const std::string& exeName = kRunningProgram);

// The link label's state: colour and pointer follow the mouse; a left-button press runs the
// click handler when one is set, opens the web address otherwise (none: nothing).
class TUrlLink {
public:
    static constexpr TRgb kNormalColor{0, 0, 128};  // navy
    static constexpr TRgb kHoverColor{0, 0, 255};   // blue
    enum class TClick { Nothing, RunHandler, OpenAddress };

    explicit TUrlLink(std::string webAddress = {}) : m_webAddress(std::move(webAddress)) {}
    void SetHandler(bool set) { m_hasHandler = set; }
    void MouseEnter() { m_hovered = true; }
    void MouseLeave() { m_hovered = false; }
    TRgb Color() const { return m_hovered ? kHoverColor : kNormalColor; }
    bool HandCursor() const { return m_hovered; }
    TClick LeftButtonPress() const;
    const std::string& WebAddress() const { return m_webAddress; }

private:
    std::string m_webAddress;
    bool m_hasHandler = false;
    bool m_hovered = false;
};

}  // namespace vorla
