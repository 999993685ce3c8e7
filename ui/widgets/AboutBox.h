#pragma once
#include <QDialog>
#include <QLabel>

#include <functional>

#include "ui/AboutBox.h"

// The about box and its link label.
namespace vorla {

// A label that shows a web address, turns blue under the pointer with a pointing hand, and
// opens the address (or runs OnClick when set) on a left-button press.
class TUrlLabel : public QLabel {
public:
    TUrlLabel(const QString& webAddress, QWidget* parent);
    std::function<void()> OnClick;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void ApplyColor();
    TUrlLink m_link;
};

// The modal "About" box: the product name, the version, the copyright and the link.
class TAboutBox : public QDialog {
public:
    // exeName: the program file whose version block is shown (kRunningProgram in the program);
    // background: the engine's colour. Centred on parent.
    TAboutBox(const std::string& exeName, const QColor& background, QWidget* parent);
    TUrlLabel* UrlLabel() const { return m_urlLabel; }

protected:
    // Enter and Escape close it like OK.
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override { accept(); }

private:
    TUrlLabel* m_urlLabel = nullptr;
};

}  // namespace vorla
