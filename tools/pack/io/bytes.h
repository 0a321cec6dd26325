// A run of bytes held in memory: a header, a store directory, a stub.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
