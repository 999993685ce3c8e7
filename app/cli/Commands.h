#pragma once
#include "app/cli/Cli.h"

// One function per command word; each returns the exit status.
namespace vorla {
int MessageCommand(TCliContext& ctx);  // vorla message [--display] FILE
int ImportCommand(TCliContext& ctx);   // vorla import DIR FILE.eml...
}  // namespace vorla
