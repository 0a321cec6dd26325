// Files the packer reads and writes. Every input may be hostile: only regular files of a
// bounded size are read. Outputs are created exclusively beside their final name, never
// through a link, renamed into place once all are complete, and removed on any failure
// or interruption.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_records.h"

// The whole of a regular file of at most `limit` bytes; refuses anything else before
// reading it.
bool ReadRegularFile(const std::string& path, std::uint64_t limit, Bytes* bytes,
                     std::string* problem);

struct Output {
  std::string path;
  const Bytes* bytes;
};
// All of `outputs` or none of them. On failure `failedPath` and `problem` say which file
// and why.
bool WriteOutputs(const std::vector<Output>& outputs, std::string* failedPath,
                  std::string* problem);

// Creates `path` and its parents as folders; false with the reason otherwise.
bool MakeFolder(const std::string& path, std::string* problem);
