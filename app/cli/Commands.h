#pragma once
#include "app/cli/Cli.h"

// One function per command word; each returns the exit status.
namespace vorla {
int MessageCommand(TCliContext& ctx);   // vorla message [--display] FILE
int ImportCommand(TCliContext& ctx);    // vorla import DIR FILE.eml...
int SendCommand(TCliContext& ctx);      // vorla send: every queue, then exit
int HeadlessCommand(TCliContext& ctx);  // vorla --headless: the engine as a service
int AccountsCommand(TCliContext& ctx);  // vorla accounts
int AccountCommand(TCliContext& ctx);   // vorla account add|set|delete NAME [KEY=VALUE...]
int LogCommand(TCliContext& ctx);       // vorla log [--daily | --accounts | --account NAME]
int ClassifyCommand(TCliContext& ctx);  // vorla classify ACCOUNT FILE...
int RulesCommand(TCliContext& ctx);     // vorla rules [ACCOUNT] [--export accept|reject|none|all | --import FILE]
int FetchCommand(TCliContext& ctx);     // vorla fetch [ACCOUNT]
int FilterCommand(TCliContext& ctx);    // vorla filter
int PeekCommand(TCliContext& ctx);      // vorla peek ACCOUNT [--delete N...]
}  // namespace vorla
