#include "ui/widgets/ToolBar.h"

#include <QFrame>

#include <algorithm>

namespace vorla {

TWrappingToolBar::TWrappingToolBar(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TWrappingToolBar::AddWidget(QWidget* widget) {
    widget->setParent(this);
    widget->resize(std::max(kButtonWidth, widget->sizeHint().width()), kButtonHeight);
    m_items.push_back(widget);
    LayOut();
}

void TWrappingToolBar::AddSeparator() {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->resize(8, kButtonHeight);
    m_items.push_back(line);
    LayOut();
}

void TWrappingToolBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
}

void TWrappingToolBar::LayOut() {
    int x = 0;
    int top = 0;
    for (QWidget* item : m_items) {
        const int w = item->width();
        if (x > 0 && x + w > width()) {
            x = 0;
            top += kRowHeight;
        }
        item->move(x, top + (kRowHeight - item->height()) / 2 - 1);
        x += w;
    }
    if (OnLaidOut && m_watched) OnLaidOut(m_watched->y() - (kRowHeight - m_watched->height()) / 2 + 1);
}

}  // namespace vorla
