#pragma once
#include <string>

namespace vorla {
// The program version ("0.1.0"): the "FileVersion" value of the running program's own version
// block, read from its file; empty when the file cannot be read. What the status history, the
// about box and the local POP3 server's greeting show.
std::string GetAppVersion();
}  // namespace vorla
