#include "platform/text_bound.h"

namespace platform {

std::size_t KeepWithin(char* buffer, std::size_t capacity, const char* text, int length) {
  if (capacity == 0) {
    return 0;
  }
  std::size_t kept = length < 0 ? 0 : static_cast<std::size_t>(length);
  if (kept > capacity - 1) {
    kept = capacity - 1;
  }
  for (std::size_t i = 0; i < kept; ++i) {
    buffer[i] = text[i];
  }
  buffer[kept] = '\0';
  return kept;
}

}  // namespace platform
