#pragma once
#include <QString>
#include <string>

namespace vorla {

// The behaviour classes hold UTF-8 text; the widgets show it as QString.
inline QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace vorla

#include <QCoreApplication>
#include <QThread>
#include <QtGlobal>

namespace vorla {

// Widgets are touched from the GUI thread only: what a worker raises reaches them through the
// dispatcher. A call from anywhere else is a fault that would corrupt the window; stop there.
inline void RequireGuiThread(const char* where) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) qFatal("%s ran off the GUI thread", where);
}

}  // namespace vorla
