// The image checksum as the loader computes it, taken as the bytes pass in file order: the
// 16-bit one's-complement sum of the file's little-endian words, with the checksum field
// counted as zero, plus the file's length.
#pragma once

#include <cstddef>
#include <cstdint>

struct CheckSum {
  std::uint64_t sum = 0;     // of 32-bit words: 2^16 is 1 in one's-complement arithmetic
  std::uint64_t length = 0;  // bytes taken so far
};

void AddToCheckSum(CheckSum* checkSum, const std::uint8_t* data, std::size_t size);
std::uint32_t FinishCheckSum(const CheckSum& checkSum);
