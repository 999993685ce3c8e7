#pragma once
#include <QApplication>
#include <QStyle>
#include <QToolButton>

// Small pieces every window uses.
namespace vorla {

// Shows the busy cursor for its lifetime.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// A flat toolbar button with its caption under a standard icon; the caller places it.
inline QToolButton* NewToolButton(QWidget* parent, const char* name, const char* caption, const char* hint,
                                  int icon) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setToolTip(hint);
    button->setIcon(parent->style()->standardIcon(static_cast<QStyle::StandardPixmap>(icon)));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    return button;
}

}  // namespace vorla
