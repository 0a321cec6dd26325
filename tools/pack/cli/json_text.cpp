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
  // The library escapes C0 controls only; in valid UTF-8, C2 80 to C2 9F are C1 controls.
  std::string line;
  for (std::size_t at = 0; at < dumped.size(); ++at) {
    const auto byte = static_cast<unsigned char>(dumped[at]);
    const auto next = at + 1 < dumped.size() ? static_cast<unsigned char>(dumped[at + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      line += Printable(next);
      ++at;
    } else {
      line += dumped[at];
    }
  }
  return line;
}
