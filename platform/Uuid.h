#pragma once
#include <string>

namespace vorla {
// A random (version 4) UUID in registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hex, from the system's random source.
std::string NewGuidString();
}  // namespace vorla
