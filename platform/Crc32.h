#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorla {
// CRC-32 as in zlib (reflected polynomial 0xEDB88320, initial value all ones, final
// complement). Pass the previous result as crc to continue over more data.
std::uint32_t Crc32(std::string_view data, std::uint32_t crc = 0);
}  // namespace vorla
