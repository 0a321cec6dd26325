// The payload folder: the one checker of its completeness, used by the build, the sizes
// header and the packer, and the opening of its files for reading in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/output_naming.h"
#include "io/report.h"
#include "io/system_io.h"

struct PayloadFile {
  std::string path;
  std::uint64_t size = 0;
};

// Every manifest file of `folder`, in manifest order, each a regular, non-empty file,
// all of them together within what a launcher carries and still starts. Nothing is read.
[[nodiscard]] bool CheckPayload(const std::string& folder, std::vector<PayloadFile>* files,
                                Report* report);

// The checked files opened for reading (each still the regular file of the size found),
// with their identities and the folder's, which no output may take the place of.
// What tells that a file was written: its size and its modification and change times.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;
};
struct OpenPayload {
  std::vector<int> fds;
  std::vector<FileStamp> stamps;  // as each file was opened
  Inputs inputs;
};
[[nodiscard]] bool OpenPayloadFiles(const std::string& folder,
                                    const std::vector<PayloadFile>& files, OpenPayload* payload,
                                    Report* report);
void ClosePayloadFiles(OpenPayload* payload);
// Exactly `size` bytes of an open payload file from `at`; a short read is a changed file.
[[nodiscard]] bool ReadPayload(const PayloadFile& file, int fd, std::uint64_t at, std::size_t size,
                               std::uint8_t* out, Report* report);

// Whether an open payload file is still as it was when opened: a file written while it was
// read (grown, or rewritten at the same size) gave a torn mix of its bytes.
[[nodiscard]] bool PayloadUnchanged(const PayloadFile& file, const OpenPayload& payload,
                                    std::size_t row, Report* report);
