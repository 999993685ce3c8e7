#include "ui/widgets/AboutBox.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QUrl>

#include "ui/widgets/QtText.h"

namespace vorla {
namespace {

QColor ToColor(const TRgb& rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

constexpr int kClientWidth = 298;
constexpr int kClientHeight = 213;

// The program's mark: a letter on an envelope.
QPixmap ProgramIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF envelope(2, size * 0.2, size - 4, size * 0.6);
    painter.setPen(QPen(QColor(0, 0, 128), 2));
    painter.setBrush(QColor(255, 250, 225));
    painter.drawRoundedRect(envelope, 3, 3);
    painter.drawLine(envelope.topLeft(), QPointF(envelope.center().x(), envelope.center().y()));
    painter.drawLine(envelope.topRight(), QPointF(envelope.center().x(), envelope.center().y()));
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(size / 2);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 255));
    painter.drawText(QRectF(0, size * 0.35, size, size * 0.6), Qt::AlignCenter, "V");
    return pixmap;
}

}  // namespace

TUrlLabel::TUrlLabel(const QString& webAddress, QWidget* parent)
    : QLabel(webAddress, parent), m_link(webAddress.toStdString()) {
    setObjectName("UrlLabel");
    QFont font = parent ? parent->font() : this->font();
    font.setBold(true);
    font.setUnderline(true);
    font.setPointSize(10);
    setFont(font);
    ApplyColor();
}

void TUrlLabel::ApplyColor() {
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, ToColor(m_link.Color()));
    setPalette(palette);
    if (m_link.HandCursor())
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
}

void TUrlLabel::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    m_link.MouseEnter();
    ApplyColor();
}

void TUrlLabel::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    m_link.MouseLeave();
    ApplyColor();
}

void TUrlLabel::mousePressEvent(QMouseEvent* event) {
    QLabel::mousePressEvent(event);
    if (event->button() != Qt::LeftButton) return;
    m_link.SetHandler(static_cast<bool>(OnClick));
    switch (m_link.LeftButtonPress()) {
        case TUrlLink::TClick::RunHandler: OnClick(); break;
        case TUrlLink::TClick::OpenAddress: QDesktopServices::openUrl(QUrl(QString::fromStdString(m_link.WebAddress()))); break;
        case TUrlLink::TClick::Nothing: break;
    }
}

TAboutBox::TAboutBox(const std::string& exeName, const QColor& background, QWidget* parent) : QDialog(parent) {
    const TAboutText text = AboutText(exeName);
    setObjectName("AboutBox");
    setWindowTitle(Q(text.caption));
    setWindowFlags(Qt::Dialog | Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, background);
    setPalette(palette);
    setAutoFillBackground(true);

    auto* panel = new QFrame(this);
    panel->setObjectName("Panel1");
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(2);
    panel->setGeometry(8, 8, kClientWidth - 16, 160);

    auto* icon = new QLabel(panel);
    icon->setObjectName("ProgramIcon");
    icon->setGeometry(8, 8, 50, 50);
    icon->setPixmap(ProgramIcon(50));

    auto* product = new QLabel(Q(text.productName), panel);
    product->setObjectName("ProductName");
    QFont decorative("Comic Sans MS");
    decorative.setStyleHint(QFont::Decorative);
    decorative.setPointSize(26);
    decorative.setBold(true);
    decorative.setItalic(true);
    product->setFont(decorative);
    QPalette blue = product->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    product->setPalette(blue);
    product->setGeometry(70, 6, panel->width() - 78, 54);

    auto* versionLabel = new QLabel(Q(text.versionLabel), panel);
    versionLabel->setObjectName("VersionLabel");
    versionLabel->setAlignment(Qt::AlignCenter);
    versionLabel->setGeometry(8, 74, 265, 17);

    auto* copyright = new QLabel(Q(text.copyright), panel);
    copyright->setObjectName("CopyrightLabel");
    copyright->setAlignment(Qt::AlignCenter);
    copyright->setGeometry(8, 98, 265, 17);

    m_urlLabel = new TUrlLabel(Q(text.webAddress), panel);
    m_urlLabel->setAlignment(Qt::AlignCenter);
    m_urlLabel->setGeometry(8, 130, 265, 17);

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("OKButton");
    ok->setFlat(true);
    ok->setDefault(true);
    ok->setGeometry((kClientWidth - 97) / 2, 174, 97, 33);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    if (parent) move(parent->geometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
}

void TAboutBox::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape: accept(); return;
        default: QDialog::keyPressEvent(event);
    }
}

}  // namespace vorla
