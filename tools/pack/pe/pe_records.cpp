#include "pe/pe_records.h"

[[nodiscard]] bool Get(const Bytes& bytes, std::size_t record, Field field, std::uint32_t* value) {
  if (record > bytes.size() || bytes.size() - record < std::size_t{field.offset} + field.width) {
    return false;
  }
  const std::size_t at = record + field.offset;
  std::uint32_t result = 0;
  for (std::uint32_t i = 0; i < field.width; ++i) {
    result |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  }
  *value = result;
  return true;
}

void Put(Bytes* bytes, std::size_t record, Field field, std::uint32_t value) {
  const std::size_t at = record + field.offset;
  for (std::uint32_t i = 0; i < field.width; ++i) {
    (*bytes)[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
