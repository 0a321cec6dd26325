// Files the packer reads and writes. Every input may be hostile: only regular files of a
// bounded size are read. Outputs are created exclusively beside their final name, never
// through a link, renamed into place once all are complete, and removed on any failure
// or interruption.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_records.h"

// A file that grew or shrank between finding its size and reading it.
constexpr const char* kChangedWhileRead = "changed while it was being read";

// The whole of a regular file of at most `limit` bytes; refuses anything else before
// reading it.
bool ReadRegularFile(const std::string& path, std::uint64_t limit, Bytes* bytes,
                     std::string* problem);

struct Output {
  std::string path;
  const Bytes* bytes;
};
// Whether an output may take the place of a file already at its name.
enum class Existing { kReplace, kKeep };
// All of `outputs` or none of them. With Existing::kKeep, a file already at any of their
// names is never touched: the outputs are refused before anything is written, or, when
// such a file appears meanwhile, the ones already placed are removed again. On failure
// `failedPath` and `problem` say which file and why.
bool WriteOutputs(const std::vector<Output>& outputs, Existing existing, std::string* failedPath,
                  std::string* problem);

// Creates `path` and its parents as folders; false with the reason otherwise.
// `outermostCreated` is the outermost folder it created, "" when `path` was there.
bool MakeFolder(const std::string& path, std::string* outermostCreated, std::string* problem);
// Removes `path` and its parents up to `outermost`, as long as each is empty.
void RemoveEmptyFolders(const std::string& path, const std::string& outermost);
