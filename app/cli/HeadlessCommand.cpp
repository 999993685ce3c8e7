#include <signal.h>

#include <mutex>
#include <ostream>

#include "app/CoreVersion.h"
#include "app/cli/Commands.h"
#include "app/cli/StopSignals.h"
#include "engine/EventQueue.h"
#include "engine/Zivad.h"

namespace vorla {

// The engine as a service: the main thread runs the event queue (the timer ticks there), every
// status line is echoed to standard output, and SIGINT, SIGTERM or SIGHUP stop all operations and shut
// the engine down in order (settings and seen checksums written). The home folder is set and
// locked by the caller.
int HeadlessCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"--headless takes no arguments"};
    std::mutex outMutex;  // status lines come from any thread; one line must stay whole
    auto echo = [&](const std::string& line) {
        std::scoped_lock lock(outMutex);
        ctx.out << line << '\n' << std::flush;
    };

    TEventQueue queue;
    TZivad* running = nullptr;  // the engine while it exists; read and written on this thread only
    // Installed before the engine exists and kept until it is gone, so a signal during start-up
    // or a second one during the shut-down cannot kill the process half-way.
    TStopSignals signals([&](int signo) {
        queue.Post([&running, &queue, signo] {
            if (running) {
                running->AddStatus("\tVORLA\t\tStopping on " + std::string(SignalName(signo)));
                running->Stop();
            }
            queue.Quit();
        });
    });
    {
        TZivad engine(queue);
        running = &engine;
        // What the parts found while loading, oldest first, then every new line as it comes.
        const std::vector<std::string> early = engine.StatusLines();
        for (auto it = early.rbegin(); it != early.rend(); ++it) echo(*it);
        engine.OnStatusLine.Set(echo);
        engine.SetVersion(GetAppVersion());
        queue.Run();
        engine.Stop();
        running = nullptr;
        // Lines of the shut-down itself (a failed save) still reach standard output.
    }
    std::scoped_lock lock(outMutex);
    ctx.out << std::flush;
    return 0;
}

}  // namespace vorla
