#pragma once
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
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

// A dialog's closing buttons, right-aligned in a row for the caller to place: OK (named okName,
// the default button; the caller connects it) and Cancel ("CancelButton", which rejects, as
// Escape does).
struct TOkCancelRow {
    QHBoxLayout* row;
    QPushButton* ok;
    QPushButton* cancel;
};
inline TOkCancelRow NewOkCancelRow(QDialog* dialog, const char* okName, const char* okCaption = "OK",
                                   const char* cancelCaption = "Cancel") {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    auto* ok = new QPushButton(okCaption, dialog);
    ok->setObjectName(okName);
    ok->setDefault(true);
    auto* cancel = new QPushButton(cancelCaption, dialog);
    cancel->setObjectName("CancelButton");
    row->addWidget(ok);
    row->addWidget(cancel);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return {row, ok, cancel};
}

}  // namespace vorla
