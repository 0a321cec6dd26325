// What the verbs read, opened and checked: an image with its headers and store, a payload
// folder with its files; each closes its files when it goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/report.h"
#include "payload/payload_folder.h"
#include "pe/image_file.h"
#include "pe/pe_image.h"
#include "store/store_reader.h"

struct LoadedImage {
  ImageFile file;
  PeImage image;
  StoreView store;
  LoadedImage() = default;
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;
  ~LoadedImage() { CloseImageFile(&file); }
};

[[nodiscard]] bool LoadImage(const std::string& path, LoadedImage* loaded, Report* report);

struct LoadedPayload {
  std::vector<PayloadFile> files;
  std::uint64_t bytes = 0;  // of all the files, summed once
  OpenPayload open;
  LoadedPayload() = default;
  LoadedPayload(const LoadedPayload&) = delete;
  LoadedPayload& operator=(const LoadedPayload&) = delete;
  ~LoadedPayload() { ClosePayloadFiles(&open); }
};

// The folder checked, with a warning for a payload that only starts where 32-bit programs
// get 4 GB, and its files opened unless `checkOnly`.
[[nodiscard]] bool LoadPayload(const std::string& folder, bool checkOnly, LoadedPayload* payload,
                               Report* report);

// The bytes of all the items a store holds.
std::uint64_t ItemBytes(const StoreView& store);
