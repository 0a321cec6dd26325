// verify --payload: each item compared with its payload file as the image's bytes pass; a
// row that differs is said once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "io/report.h"
#include "payload/payload_folder.h"
#include "store/store_reader.h"

class PayloadComparison {
 public:
  // `files` and `open` stay the caller's and must outlive the comparison.
  PayloadComparison(const std::string& imagePath, const std::vector<PayloadFile>& files,
                    const OpenPayload& open, Report* report);

  // Items of another size than their files differ before a byte is read.
  void CompareSizes(const StoreView& store);
  // The next `size` bytes of the item of `row`; false only when its file cannot be read.
  [[nodiscard]] bool Take(std::size_t row, const std::uint8_t* data, std::size_t size);

 private:
  void Differs(std::size_t row);

  const std::string& imagePath_;
  const std::vector<PayloadFile>& files_;
  const OpenPayload& open_;
  Report* report_;
  std::vector<std::uint64_t> compared_;  // per row
  std::vector<bool> differs_;            // per row
  Bytes chunk_;
};
