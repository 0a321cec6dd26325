#include "pe_records.h"

bool Get(const Bytes& bytes, std::size_t record, Field field, std::uint32_t* value) {
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

std::string Hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value != 0);
  return "0x" + text;
}

std::string Printable(std::uint32_t unit) {
  if (unit >= 0x20 && unit < 0x7F && unit != '\\') {
    return std::string(1, static_cast<char>(unit));
  }
  const std::string digits = Hex(0x10000 | (unit & 0xFFFF));
  return "\\u" + digits.substr(digits.size() - 4);
}

std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto unit = static_cast<unsigned char>(c);
    shown += unit < 0x20 || unit == 0x7F ? Printable(unit) : std::string(1, c);
  }
  return shown;
}
