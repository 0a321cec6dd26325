#include "store/payload_comparison.h"

#include <algorithm>

#include "payload/manifest.h"
#include "pe/image_file.h"

PayloadComparison::PayloadComparison(const std::string& imagePath,
                                     const std::vector<PayloadFile>& files, const OpenPayload& open,
                                     Report* report)
    : imagePath_(imagePath),
      files_(files),
      open_(open),
      report_(report),
      compared_(files.size(), 0),
      differs_(files.size(), false),
      chunk_(kChunkSize) {}

void PayloadComparison::CompareSizes(const StoreView& store) {
  for (const StoredItem& item : store.items) {
    const int row = RowOfKey(item.key);
    if (row >= 0 && item.size != files_[static_cast<std::size_t>(row)].size) {
      Differs(static_cast<std::size_t>(row));
    }
  }
}

bool PayloadComparison::Take(std::size_t row, const std::uint8_t* data, std::size_t size) {
  if (differs_[row]) {
    return true;
  }
  if (!ReadPayload(files_[row], open_.fds[row], compared_[row], size, chunk_.data(), report_)) {
    return false;
  }
  compared_[row] += size;
  if (!std::equal(data, data + size, chunk_.data())) {
    Differs(row);
  }
  return true;
}

void PayloadComparison::Differs(std::size_t row) {
  if (!differs_[row]) {
    differs_[row] = true;
    Refuse(report_, imagePath_,
           "item " + UpperCase(Manifest()[row].itemKey) + " differs from the payload file " +
               Manifest()[row].fileName);
  }
}
