// The carried files as the packer sees them, from the one list in payload_files.def.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ManifestFile {
  const char* itemKey;   // lower case, as the launcher asks for it
  const char* fileName;  // as written into the current folder
};
// The carried files in manifest order.
const std::vector<ManifestFile>& Manifest();
std::string UpperCase(std::string text);
// The length of the longest key, the bound on any key a store of ours may hold.
std::size_t LongestKey();
// The manifest row of a stored key (compared without regard to case), or -1.
int RowOfKey(const std::string& key);
