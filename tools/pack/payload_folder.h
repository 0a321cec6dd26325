// The payload folder: the one checker of its completeness, used by the build, the
// sizes header and the packer, and the reading of its files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_records.h"

struct PayloadFile {
  std::string path;
  std::uint64_t size = 0;
};

// Every manifest file of `folder`, in manifest order, each a regular, non-empty file,
// all of them together within what a 32-bit Windows image can carry. Nothing is read.
// On failure `failedPath` names the file (or the folder) and `problem` says what is wrong.
bool CheckPayload(const std::string& folder, std::vector<PayloadFile>* files,
                  std::string* failedPath, std::string* problem);

// The bytes of checked files, in manifest order.
bool ReadPayload(const std::vector<PayloadFile>& files, std::vector<Bytes>* items,
                 std::string* failedPath, std::string* problem);

// payload_sizes.h: PAYLOAD_SIZE_<key> for each file.
std::string SizesHeader(const std::vector<PayloadFile>& files);
