#pragma once
#include <string>

// Helpers shared by the TLS units of this folder.
namespace vorla {

// The reason OpenSSL gives for the earliest failure queued on this thread, one line, or
// fallback when the queue is empty; empties the queue.
std::string TakeTlsError(const std::string& fallback = "unknown TLS error");

}  // namespace vorla
