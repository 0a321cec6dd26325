// sizes: payload_sizes.h, the sizes a launcher is compiled with, from a payload folder or
// from a built launcher; left alone when unchanged.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/messages.h"
#include "io/output_folder.h"
#include "io/system_io.h"
#include "payload/manifest.h"
#include "store/store_verify.h"
#include "verbs/loaded_inputs.h"
#include "verbs/one_output.h"
#include "verbs/verbs.h"

namespace {

// The sizes of the items a built launcher carries, once the image verifies.
bool ImageSizes(const std::string& imagePath, std::vector<std::uint64_t>* sizes, Inputs* inputs,
                Report* report) {
  LoadedImage loaded;
  FileIdentity identity;
  if (!LoadImage(imagePath, &loaded, report)) {
    return false;
  }
  if (!IdentityOf(loaded.file.fd, &identity)) {
    return Refuse(report, imagePath, SystemError("cannot read"));
  }
  inputs->files.push_back(identity);
  if (!VerifyImage(loaded.file, loaded.image, loaded.store, ItemTaker{}, report)) {
    return false;
  }
  sizes->assign(Manifest().size(), 0);
  for (const StoredItem& item : loaded.store.items) {
    (*sizes)[static_cast<std::size_t>(RowOfKey(item.key))] = item.size;
  }
  return true;
}

// The sizes of a payload folder, checked.
bool PayloadSizes(const std::string& folder, std::vector<std::uint64_t>* sizes, Inputs* inputs,
                  Report* report) {
  LoadedPayload payload;
  if (!LoadPayload(folder, false, &payload, report)) {
    return false;
  }
  *inputs = payload.open.inputs;
  for (const PayloadFile& file : payload.files) {
    sizes->push_back(file.size);
  }
  return true;
}

}  // namespace

int Sizes(const Arguments& arguments) {
  if (!arguments.image.empty() && !arguments.payload.empty()) {
    return UsageError("sizes takes --payload DIR or an IMAGE, not both", "sizes");
  }
  if (arguments.image.empty() && arguments.payload.empty()) {
    return UsageError("sizes needs --payload DIR or an IMAGE", "sizes");
  }
  Report report;
  std::vector<std::uint64_t> sizes;
  Inputs inputs;
  if (!(arguments.image.empty() ? PayloadSizes(arguments.payload, &sizes, &inputs, &report)
                                : ImageSizes(arguments.image, &sizes, &inputs, &report))) {
    return Fail(report);
  }
  const std::string text = SizesHeader(sizes);
  if (arguments.output == "-") {  // standard output, as for most tools; ./- names a file
    (void)std::fputs(text.c_str(), stdout);
    return 0;
  }
  const Bytes header(text.begin(), text.end());
  Bytes old;
  // Left as it is when unchanged, so that an unchanged payload rebuilds nothing. Whatever
  // keeps the old header from being read (it is missing, say) only means it is written anew.
  Report unreadable;
  if (ReadSmallFile(arguments.output, header.size(), &old, &unreadable) && old == header) {
    return 0;
  }
  OutputSet output;
  if (!BeginOneOutput(arguments.output, inputs, &output, &report) ||
      !output.Write(0, header.data(), header.size(), &report) || !output.Place(&report)) {
    return Fail(report);
  }
  return 0;
}
