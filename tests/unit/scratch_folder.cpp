#include "scratch_folder.h"

#include "fake_platform.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {
fs::path scratch;
fs::path home;
}  // namespace

void EnterScratchFolder() {
  home = fs::current_path();
  std::string pattern = (fs::temp_directory_path() / "tq30-unit-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch folder");
  }
  scratch = pattern;
  fs::current_path(scratch);
}

void LeaveScratchFolder() {
  fs::current_path(home);
  fs::remove_all(scratch);
}

std::string ScratchPath() { return scratch.string(); }

bool FileExists(const std::string& name) { return fs::exists(fs::symlink_status(name)); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TestPayloadBytes(const PayloadEntry& row) {
  return ReadFile(std::string(TEST_PAYLOAD_DIR) + "/" + row.fileName);
}

std::string UpperKey(const PayloadEntry& row) {
  std::string key = row.itemKey;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return key;
}

int ManifestRows() {
  int rows = 0;
  while (payloadTable[rows].size != 0) {
    ++rows;
  }
  return rows;
}

std::vector<std::string> PresentManifestFiles() {
  std::vector<std::string> present;
  for (int row = 0; payloadTable[row].size != 0; ++row) {
    if (FileExists(payloadTable[row].fileName)) {
      present.emplace_back(payloadTable[row].fileName);
    }
  }
  return present;
}

void BeginRunInScratchFolder() {
  EnterScratchFolder();
  ResetFake();
  for (int row = 0; payloadTable[row].size != 0; ++row) {
    Fake().items[UpperKey(payloadTable[row])] = TestPayloadBytes(payloadTable[row]);
  }
}
