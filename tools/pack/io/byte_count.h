// A count of bytes as a sentence says it: "1 byte", "2805 bytes".
#pragma once

#include <cstdint>
#include <string>

inline std::string ByteCount(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}
