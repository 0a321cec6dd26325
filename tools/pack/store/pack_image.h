// Packing: the item store attached to the launcher's stub as its new last section, the
// image streamed into an output with the payload's bytes copied in bounded chunks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "io/output_folder.h"
#include "payload/payload_folder.h"
#include "pe/image_file.h"
#include "store/store_layout.h"

// The packed image's first bytes (the stub's with each row of its size table holding the
// size of its item, the new headers and the store's directory, the checksum left zero),
// planned for items of `sizes` and checked as verify checks headers; false, with the
// problem, for a stub that cannot take a store or holds no size table, or more than one.
struct PackedHead {
  Bytes head;
  std::vector<StoreRecord> records;
  std::uint64_t imageSize = 0;
  std::size_t checkSumAt = 0;
};
[[nodiscard]] bool ComposePackedHead(const ImageFile& stub, const std::vector<std::uint32_t>& sizes,
                                     PackedHead* packed, Report* report);

// What pack says of an image that carries a store already: a packed launcher, where the
// stub it was made from is wanted.
std::string PackedLauncherProblem(bool is64);

// Writes the packed image of `stub` (held whole) carrying the opened payload `files` into
// output 0 of `output`, with the files' sizes in the launcher's table. Refuses, before
// writing a byte, a stub that cannot take a store or whose image verify would refuse for
// its headers.
// `*checkSum` is the checksum of every byte written; `copied` (may be null) hears of each
// piece of the payload as it is copied.
using CopiedBytes = std::function<void(std::size_t size)>;
[[nodiscard]] bool PackImage(const ImageFile& stub, const std::vector<PayloadFile>& files,
                             const OpenPayload& payload, OutputSet* output, std::uint32_t* checkSum,
                             Report* report, const CopiedBytes& copied = {});
