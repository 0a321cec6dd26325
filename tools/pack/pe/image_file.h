// An image read from disk in bounded pieces, never whole: its first bytes (the headers)
// held in memory, anything else read where it lies, and one pass over the whole file in
// file order that takes the checksum and hands each span of interest to its taker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "io/report.h"
#include "pe/pe_records.h"

// Any header of ours lies well within this; bytes further on are read from the file.
constexpr std::size_t kHeadSize = 1u << 20;

struct ImageFile {
  std::string path;  // the subject of every problem found in it
  int fd = -1;
  std::uint64_t size = 0;
  Bytes head;  // the file's first min(size, kHeadSize) bytes
};

// Opens a regular file of at most `limit` bytes and reads its head; refuses anything else
// before reading it. A FIFO is never waited on.
[[nodiscard]] bool OpenImageFile(const std::string& path, std::uint64_t limit, ImageFile* image,
                                 Report* report);
// The same for a file already open (its descriptor is the image's from then on).
[[nodiscard]] bool ImageFromDescriptor(const std::string& path, int fd, ImageFile* image,
                                       Report* report);
// An image held in memory whole (a stub): its head is all of it.
ImageFile ImageInMemory(const std::string& path, Bytes bytes);
void CloseImageFile(ImageFile* image);

// Exactly `size` bytes at `at`, or false when they are not all in the file.
[[nodiscard]] bool ReadAt(const ImageFile& image, std::uint64_t at, std::size_t size,
                          std::uint8_t* out);
[[nodiscard]] bool ReadField(const ImageFile& image, std::uint64_t record, Field field,
                             std::uint32_t* value);

// A run of the file that one pass hands, in order and in pieces, to `take`; a false
// from `take` means it has added its problem and wants no more.
struct Span {
  std::uint64_t at;
  std::uint64_t size;
  std::function<bool(const std::uint8_t* data, std::size_t size)> take;
};
// Reads the whole file once in file order: `*checkSum` is the checksum of what was read
// with the four bytes at `checkSumAt` counted as zero. False when the file could not be
// read to its end (added to `report`), or when a span's taker said stop.
[[nodiscard]] bool ScanImage(const ImageFile& image, std::uint64_t checkSumAt,
                             const std::vector<Span>& spans, std::uint32_t* checkSum,
                             Report* report);

// Reads a regular file whole, for inputs that are small by nature (a stub, an old header).
[[nodiscard]] bool ReadSmallFile(const std::string& path, std::uint64_t limit, Bytes* bytes,
                                 Report* report);

// The chunk in which files are read and written: memory stays flat at any payload size.
constexpr std::size_t kChunkSize = 1u << 20;
