// The image checksum taken in pieces as the bytes pass agrees with the loader's word-by-word
// sum, however the file is cut into pieces and whatever its bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pe/image_checksum.h"
#include "table_test.h"

namespace {

// The loader's definition, one 16-bit word at a time with the carry folded in each step.
std::uint32_t WordByWord(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint32_t word = bytes[i];
    if (i + 1 < bytes.size()) {
      word |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + bytes.size());
}

struct Shape {
  const char* name;
  std::size_t size;
  int fill;              // a byte for every position, or -1 for random bytes
  std::size_t maxPiece;  // pieces of 1 to maxPiece bytes
};

const Shape kShapes[] = {
    {"Empty", 0, -1, 1},
    {"OneByte", 1, -1, 1},
    {"OddLength", 4099, -1, 7},
    {"AllZero", 65536, 0, 4096},
    {"AllOnes", 65537, 0xFF, 3},
    {"RandomInOddPieces", 1 << 20, -1, 1023},
    {"RandomWhole", 1 << 20, -1, 1 << 20},
};

class ImageCheckSum : public ::testing::TestWithParam<Shape> {};

TEST_P(ImageCheckSum, InPiecesAgreesWithTheLoadersWordByWordSum) {
  std::mt19937 random(12345);
  std::vector<std::uint8_t> bytes(GetParam().size);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>(GetParam().fill >= 0 ? GetParam().fill : random());
  }
  CheckSum sum;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t piece = std::min(bytes.size() - at, 1 + random() % GetParam().maxPiece);
    AddToCheckSum(&sum, bytes.data() + at, piece);
    at += piece;
  }
  EXPECT_EQ(FinishCheckSum(sum), WordByWord(bytes));
}

TABLE_TEST_ROWS(Shapes, ImageCheckSum, kShapes);

}  // namespace
