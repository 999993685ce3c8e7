#pragma once
#include "app/cli/Cli.h"

namespace vorla {
// vorla with no command word: the main window on the home folder (set and locked by the
// caller) until it is closed, or SIGINT or SIGTERM closes it. Without a display it says so in
// one line pointing to --headless and returns 2.
int DesktopCommand(TCliContext& ctx);
}  // namespace vorla
