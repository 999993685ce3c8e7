#pragma once
#include <string>

namespace vorla {
// The program version compiled into the build ("0.1.0"); what the status history and the
// local POP3 server's greeting show.
std::string GetAppVersion();
}  // namespace vorla
