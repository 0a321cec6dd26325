// pack: the payload folder's store attached to the launcher's stub, its sizes written into
// the stub's table, checked as verify checks it before it takes the output's name.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "cli/messages.h"
#include "cli/progress.h"
#include "io/output_folder.h"
#include "io/system_io.h"
#include "payload/ceiling.h"
#include "pe/pe_image.h"
#include "store/pack_image.h"
#include "store/store_verify.h"
#include "verbs/loaded_inputs.h"
#include "verbs/one_output.h"
#include "verbs/verbs.h"

namespace {

bool IdentityOfPath(const std::string& path, FileIdentity* identity, Report* report) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  const bool known = fd.get() >= 0 && IdentityOf(fd.get(), identity);
  return known || Refuse(report, path, SystemError("cannot open"));
}

// The image an output holds now, read back from its file.
bool ReadBack(const OutputSet& output, ImageFile* file, Report* report) {
  const int fd = ::dup(output.Descriptor(0));
  if (fd < 0) {
    return Refuse(report, output.Path(0), SystemError("cannot read"));
  }
  return ImageFromDescriptor(output.Path(0), fd, file, report);
}

// Runs verify's checks on what pack wrote, read back from the file but for the items, whose
// bytes (and the checksum of them all) passed the writer: pack never puts in place an image
// verify refuses.
bool VerifyOutput(const OutputSet& output, std::uint32_t writtenCheckSum, Report* report) {
  LoadedImage loaded;
  return ReadBack(output, &loaded.file, report) &&
         ParsePeImage(loaded.file, &loaded.image, report) &&
         ReadStore(loaded.file, loaded.image, &loaded.store, report) &&
         VerifyWrittenImage(loaded.file, loaded.image, loaded.store, writtenCheckSum, report);
}

// A launcher given as the stub is said as such, whatever its size: it is the mistake to
// expect when dist/ holds both. Anything else is left to the stub's own checks.
bool NotPackedAlready(const std::string& path, Report* report) {
  ImageFile file;
  Report unread;
  if (!OpenImageFile(path, kLargestImage, &file, &unread)) {
    return true;
  }
  PeImage image;
  const bool packed = ParsePeImage(file, &image, &unread) &&
                      std::any_of(image.sections.begin(), image.sections.end(),
                                  [](const Section& s) { return s.name == kStoreSectionName; });
  CloseImageFile(&file);
  return !packed || Refuse(report, path, PackedLauncherProblem(image.is64));
}

}  // namespace

int Pack(const Arguments& arguments) {
  Report report;
  LoadedPayload payload;
  const std::string& stubPath = arguments.stub;
  Bytes stubBytes;
  FileIdentity stubIdentity;
  if (!LoadPayload(arguments.payload, false, &payload, &report) ||
      !IdentityOfPath(stubPath, &stubIdentity, &report) || !NotPackedAlready(stubPath, &report) ||
      !ReadSmallFile(stubPath, kLargestStub, &stubBytes, &report)) {
    return Fail(report);
  }
  payload.open.inputs.files.push_back(stubIdentity);
  const ImageFile stub = ImageInMemory(stubPath, std::move(stubBytes));
  OutputSet output;
  if (!BeginOneOutput(arguments.output, payload.open.inputs, &output, &report)) {
    return Fail(report);
  }
  std::uint32_t checkSum = 0;
  bool packed = false;
  {
    Progress progress("pack", payload.bytes);
    packed = PackImage(stub, payload.files, payload.open, &output, &checkSum, &report,
                       [&progress](std::size_t size) { progress.Add(size); });
  }
  if (packed && !VerifyOutput(output, checkSum, &report)) {
    Say(stubPath, "pack made an image that verify refuses, and kept nothing");
    packed = false;
  }
  if (!packed || !output.Place(&report)) {
    return Fail(report);
  }
  return 0;
}
