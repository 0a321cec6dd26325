#include "verbs/loaded_inputs.h"

#include "cli/messages.h"
#include "payload/ceiling.h"

bool LoadImage(const std::string& path, LoadedImage* loaded, Report* report) {
  return OpenImageFile(path, kLargestImage, &loaded->file, report) &&
         ParsePeImage(loaded->file, &loaded->image, report) &&
         ReadStore(loaded->file, loaded->image, &loaded->store, report);
}

bool LoadPayload(const std::string& folder, bool checkOnly, LoadedPayload* payload,
                 Report* report) {
  if (!CheckPayload(folder, &payload->files, report)) {
    return false;
  }
  for (const PayloadFile& file : payload->files) {
    payload->bytes += file.size;
  }
  // Shown at once, before the long work it warns of.
  Report warnings;
  WarnOfPayloadTotal(payload->bytes, folder, &warnings);
  Print(warnings);
  return checkOnly || OpenPayloadFiles(folder, payload->files, &payload->open, report);
}

std::uint64_t ItemBytes(const StoreView& store) {
  std::uint64_t total = 0;
  for (const StoredItem& item : store.items) {
    total += item.size;
  }
  return total;
}
