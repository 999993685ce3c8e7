#pragma once
#include <string>

// Shared by the platform folder's own sources only.
namespace vorla::detail {

// Throws TFileError "<action> <path>: <system reason for err>".
[[noreturn]] void ThrowFileError(const std::string& action, const std::string& path, int err);

// Wildcard match: "*" any run of bytes (also none), "?" exactly one byte; letter case counts.
bool MatchesMask(const std::string& name, const std::string& mask);

}  // namespace vorla::detail
