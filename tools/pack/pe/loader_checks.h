// What a loader would be misled by in an image's headers and section table, and its
// certificate table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/report.h"
#include "pe/image_file.h"
#include "pe/pe_image.h"

// Every way the headers and the section table would mislead a loader: sizes, alignments,
// flags, the entry point, the data directories (none in `storeSection`, the store's, but
// the resource directory), data after the last section. The checksum needs the whole file
// and is checked as it passes (CheckCheckSum).
void LoaderProblems(const ImageFile& file, const PeImage& image, std::size_t storeSection,
                    Report* report);
void CheckCheckSum(const ImageFile& file, const PeImage& image, std::uint32_t computed,
                   Report* report);

// Whether the image carries a certificate table, and whether that table is well formed.
enum class Signature { kNone, kSigned, kMalformed };
// A malformed table adds its problem to `report`.
Signature ReadSignature(const ImageFile& file, const PeImage& image, Report* report);
