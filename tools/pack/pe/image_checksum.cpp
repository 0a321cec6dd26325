#include "pe/image_checksum.h"

#include <algorithm>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read as the image holds them");

namespace {

void AddBytes(CheckSum* checkSum, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    checkSum->sum += std::uint64_t{data[i]} << (8 * (checkSum->length & 1));
    ++checkSum->length;
  }
}

}  // namespace

void AddToCheckSum(CheckSum* checkSum, const std::uint8_t* data, std::size_t size) {
  const std::size_t lead = std::min<std::size_t>(size, (4 - checkSum->length % 4) % 4);
  AddBytes(checkSum, data, lead);
  data += lead;
  size -= lead;
  const std::size_t words = size / 4;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint32_t word = 0;
    std::memcpy(&word, data + 4 * i, 4);
    sum += word;
  }
  checkSum->sum += sum;
  checkSum->length += 4 * words;
  AddBytes(checkSum, data + 4 * words, size - 4 * words);
}

std::uint32_t FinishCheckSum(const CheckSum& checkSum) {
  std::uint64_t sum = checkSum.sum;
  while ((sum >> 16) != 0) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint32_t>(sum + checkSum.length);
}
