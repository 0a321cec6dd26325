// Packing: the item store attached to a linked launcher as its new last section, the
// image streamed into an output with the payload's bytes copied in bounded chunks.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "io/output_folder.h"
#include "payload/payload_folder.h"
#include "pe/image_file.h"
#include "store/store_layout.h"

// The packed image's first bytes (the stub's, the new headers and the store's directory,
// the checksum left zero), planned for items of `sizes` and checked as verify checks
// headers; false, with the problem, for a stub that cannot take a store.
struct PackedHead {
  Bytes head;
  std::vector<StoreRecord> records;
  std::uint64_t imageSize = 0;
  std::size_t checkSumAt = 0;
};
[[nodiscard]] bool ComposePackedHead(const ImageFile& stub, const std::vector<std::uint32_t>& sizes,
                                     PackedHead* packed, Report* report);

// Refuses, one line per file, payload files whose sizes differ from those the stub was
// compiled with (its launcher would write them with the compiled size), and a stub without
// such sizes.
[[nodiscard]] bool CheckCompiledSizes(const ImageFile& stub, const std::vector<PayloadFile>& files,
                                      Report* report);

// Writes the packed image of `stub` (held whole) carrying the opened payload `files` into
// output 0 of `output`. Refuses, before writing a byte, a stub that cannot take
// a store or whose image verify would refuse for its headers.
// `*checkSum` is the checksum of every byte written; `copied` (may be null) hears of each
// piece of the payload as it is copied.
using CopiedBytes = std::function<void(std::size_t size)>;
[[nodiscard]] bool PackImage(const ImageFile& stub, const std::vector<PayloadFile>& files,
                             const OpenPayload& payload, OutputSet* output, std::uint32_t* checkSum,
                             Report* report, const CopiedBytes& copied = {});
