#include "cli/json_text.h"

#include "io/shown.h"

namespace {

bool IsUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

void MakeUtf8(nlohmann::ordered_json* value) {
  if (value->is_string()) {
    const std::string& text = value->get_ref<const std::string&>();
    if (!IsUtf8(text)) {
      *value = Shown(text);
    }
    return;
  }
  if (value->is_structured()) {
    for (auto& element : *value) {
      MakeUtf8(&element);
    }
  }
}

}  // namespace

std::string JsonLine(const nlohmann::ordered_json& document) {
  nlohmann::ordered_json utf8 = document;
  MakeUtf8(&utf8);
  const std::string dumped = utf8.dump();
  // The library escapes C0 controls only; in valid UTF-8, C2 80 to C2 9F are C1 controls,
  // and D8 9C and E2 80 8E to E2 81 A9 hold the bidirectional marks.
  std::string line;
  for (std::size_t at = 0; at < dumped.size(); ++at) {
    const auto unit = [&dumped, at](std::size_t i) {
      return at + i < dumped.size() ? static_cast<unsigned char>(dumped[at + i]) : 0u;
    };
    const std::uint32_t two = ((unit(0) & 0x1Fu) << 6) | (unit(1) & 0x3Fu);
    const std::uint32_t three =
        ((unit(0) & 0x0Fu) << 12) | ((unit(1) & 0x3Fu) << 6) | (unit(2) & 0x3Fu);
    if (unit(0) == 0xC2 && unit(1) >= 0x80 && unit(1) <= 0x9F) {
      line += Printable(unit(1));
      ++at;
    } else if (unit(0) == 0xD8 && IsBidiControl(two)) {
      line += Printable(two);
      ++at;
    } else if (unit(0) == 0xE2 && IsBidiControl(three)) {
      line += Printable(three);
      at += 2;
    } else {
      line += dumped[at];
    }
  }
  return line;
}
