#include "app/CoreVersion.h"

#include "app/Version.h"

namespace vorla {
std::string GetAppVersion() { return VORLA_VERSION; }
}  // namespace vorla
