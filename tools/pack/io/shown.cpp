#include "io/shown.h"

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

namespace {

// The length of the well-formed UTF-8 sequence starting at `at`, or 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a code point past U+10FFFF).
std::size_t Utf8Length(const std::string& text, std::size_t at, std::uint32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0                 ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 0;
  if (length == 0 || lead > 0xF4 || text.size() - at < length) {
    return 0;
  }
  std::uint32_t value = lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  *codePoint = value;
  return length;
}

}  // namespace

bool IsBidiControl(std::uint32_t codePoint) {
  return codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
         (codePoint >= 0x202A && codePoint <= 0x202E) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

std::string Shown(const std::string& text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    const auto unit = static_cast<unsigned char>(text[at]);
    if (unit < 0x80) {
      shown += unit < 0x20 || unit == 0x7F ? Printable(unit) : std::string(1, text[at]);
      ++at;
      continue;
    }
    std::uint32_t codePoint = 0;
    const std::size_t length = Utf8Length(text, at, &codePoint);
    if (length == 0) {
      // A byte that is no part of UTF-8 is shown apart from any code point it might mean.
      const std::string digits = Hex(0x100 | unit);
      shown += "\\x" + digits.substr(digits.size() - 2);
      ++at;
    } else {
      // C1 controls too: a terminal may act on U+009B as on ESC [. A bidirectional mark
      // would show the text around it in another order than it is.
      shown += codePoint <= 0x9F || IsBidiControl(codePoint) ? Printable(codePoint)
                                                             : text.substr(at, length);
      at += length;
    }
  }
  return shown;
}
