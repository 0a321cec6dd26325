// extract: the files a built launcher carries, written into a folder once the image
// verifies, its signature included, all of them or none.
#include <memory>
#include <string>
#include <vector>

#include "cli/messages.h"
#include "cli/progress.h"
#include "io/output_folder.h"
#include "io/system_io.h"
#include "payload/manifest.h"
#include "pe/authenticode.h"
#include "store/store_verify.h"
#include "verbs/loaded_inputs.h"
#include "verbs/verbs.h"

namespace {

// Every name is claimed before a byte is written: a file in the way stops it at once, with
// every other one in the way named.
bool ClaimEveryName(OutputSet* set, std::vector<std::size_t>* outputs, Report* report) {
  bool claimed = true;
  for (std::size_t r = 0; r < Manifest().size(); ++r) {
    claimed = claimed ? set->AddNewFile(Manifest()[r].fileName, &(*outputs)[r], report)
                      : (set->SayIfTaken(Manifest()[r].fileName, report), false);
  }
  return claimed;
}

}  // namespace

int Extract(const Arguments& arguments) {
  const std::string& imagePath = arguments.image;
  LoadedImage loaded;
  Report report;
  FileIdentity imageIdentity;
  if (!LoadImage(imagePath, &loaded, &report)) {
    return Fail(report);
  }
  if (!IdentityOf(loaded.file.fd, &imageIdentity)) {
    return Fail({{imagePath, SystemError("cannot read")}});
  }
  // Names come from the manifest, never from the image; the files are written as the
  // image is verified, and named only if it verifies.
  const std::string& folder = arguments.folder;
  Inputs inputs;
  inputs.files.push_back(imageIdentity);
  bool begun = false;
  OutputSet set;
  std::vector<std::size_t> outputs(Manifest().size(), 0);
  // Cleared before any problem is said.
  auto progress = std::make_unique<Progress>("extract", ItemBytes(loaded.store));
  const ItemTaker write = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
    if (!report.empty()) {
      return true;  // the image fails already: nothing is written, the rest is still checked
    }
    if (!begun) {
      if (!set.BeginNewFiles(folder, inputs, &report)) {
        return false;
      }
      begun = true;
      if (!ClaimEveryName(&set, &outputs, &report)) {
        return false;
      }
    }
    progress->Add(size);
    return set.Write(outputs[row], data, size, &report);
  };
  // The signature is verify's to judge: one it refuses names no file either.
  Report tableProblems;  // the loader's checks name them
  AuthenticodeCheck signature(loaded.file, loaded.image,
                              ReadSignature(loaded.file, loaded.image, &tableProblems));
  std::vector<Span> signedSpans;
  signature.AddSpans(&signedSpans);
  const bool verified =
      VerifyImage(loaded.file, loaded.image, loaded.store, write, &report, signedSpans);
  progress.reset();
  const SignatureVerdict verdict = signature.Finish();
  if (verified && verdict.table == Signature::kSigned && !verdict.valid) {
    for (const std::string& line : verdict.Problems()) {
      Refuse(&report, imagePath, line);
    }
  }
  if (!verified || !report.empty() || !begun || !set.Place(&report)) {
    return Fail(report);
  }
  return 0;
}
