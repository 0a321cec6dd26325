// Cutting a formatted notice to the buffer it is shown from. Platform-neutral, so that the
// host tests run the very code the Windows launchers cut with.
#pragma once

#include <cstddef>

namespace platform {

// Copies the first `length` characters of `text` (a formatter's count; none when negative)
// into `buffer`, as many as fit before a terminating NUL within `capacity` characters.
// Returns the number kept; with a capacity of 0 nothing is written.
std::size_t KeepWithin(char* buffer, std::size_t capacity, const char* text, int length);

}  // namespace platform
