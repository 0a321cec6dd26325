#include "payload/manifest.h"

#include <algorithm>
#include <cctype>
#include <cstring>

const std::vector<ManifestFile>& Manifest() {
  static const std::vector<ManifestFile> manifest = {
#define PAYLOAD_FILE(key, name) {#key, name},
#include "payload_files.def"
#undef PAYLOAD_FILE
  };
  return manifest;
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::size_t LongestKey() {
  std::size_t longest = 0;
  for (const ManifestFile& file : Manifest()) {
    longest = std::max(longest, std::strlen(file.itemKey));
  }
  return longest;
}

int RowOfKey(const std::string& key) {
  const std::vector<ManifestFile>& manifest = Manifest();
  for (std::size_t row = 0; row < manifest.size(); ++row) {
    if (UpperCase(key) == UpperCase(manifest[row].itemKey)) {
      return static_cast<int>(row);
    }
  }
  return -1;
}
