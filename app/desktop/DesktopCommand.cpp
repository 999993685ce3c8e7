#include "app/desktop/DesktopCommand.h"

#include <QApplication>

#include <cstdlib>
#include <ostream>

#include "app/CoreVersion.h"
#include "app/cli/StopSignals.h"
#include "ui/widgets/Form1.h"
#include "ui/widgets/QtDispatcher.h"

namespace vorla {
namespace {

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int DesktopCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"the window takes no arguments"};
    // Qt would abort on a missing display with a long message of its own.
    if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
        ctx.err << "vorla: no display to open the window on; run 'vorla --headless' for the service without a window\n";
        return 2;
    }
    int argc = 1;
    char name[] = "vorla";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vorla");

    TQtDispatcher dispatcher;
    TForm1* window = nullptr;  // GUI thread only
    bool stopWanted = false;   // a signal came while the window was being made
    // Installed before the engine exists, so that a signal during start-up cannot kill the
    // process half-way. The close goes through the window's own close path, which waits for a
    // running command.
    TStopSignals stopSignals([&](int) {
        dispatcher.Post([&] {
            stopWanted = true;
            if (window) window->close();
        });
    });
    TForm1 form(dispatcher, GetAppVersion());
    window = &form;
    form.SetFirstStartEditor(true);
    // The desktop session is ending: save now, since the end may come without a close. The
    // session then quits the application (the close path below) or sends SIGTERM or SIGHUP.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form, [&form] { form.SaveState(); });
    form.show();
    QCoreApplication::processEvents();
    if (stopWanted) form.close();
    const int status = stopWanted && !form.isVisible() ? 0 : QApplication::exec();
    form.Shutdown();
    window = nullptr;
    return status;
}

}  // namespace vorla
