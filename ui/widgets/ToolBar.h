#pragma once
#include <QWidget>

#include <functional>
#include <vector>

// The main window's toolbar: buttons of one size laid out left to right in rows of 38 pixels,
// wrapping to the next row when the window is too narrow for them. After each layout it tells
// OnLaidOut where a chosen button ended up, so the window can fit its height to the rows.
namespace vorla {

class TWrappingToolBar : public QWidget {
public:
    static constexpr int kRowHeight = 38;
    static constexpr int kButtonWidth = 67;
    static constexpr int kButtonHeight = 36;

    explicit TWrappingToolBar(QWidget* parent = nullptr);

    // Adds a widget at the end of the row; buttons are kButtonWidth wide or as wide as their
    // caption needs, kButtonHeight high.
    void AddWidget(QWidget* widget);
    void AddSeparator();
    // The widget whose top OnLaidOut reports.
    void SetWatched(QWidget* widget) { m_watched = widget; }
    std::function<void(int watchedTop)> OnLaidOut;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void LayOut();

    std::vector<QWidget*> m_items;
    QWidget* m_watched = nullptr;
};

}  // namespace vorla
