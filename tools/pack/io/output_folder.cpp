#include "io/output_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io/cleanup_registry.h"
#include "io/folder_walk.h"
#include "io/output_folder_testing.h"
#include "io/system_io.h"

namespace {

constexpr std::size_t kMaxOutputs = 64;
constexpr const char* kCannotCreate = "cannot create a file in its folder";
constexpr const char* kCannotFlush = "cannot flush to disk";
// How much of an output is written before it is set on its way to the disk: large enough
// that the disk gets long runs, small enough that it is kept busy while the rest is made.
constexpr std::uint64_t kWriteBackStep = 8u << 20;

bool setActive = false;
void (*namingHook)() = nullptr;
void (*placedHook)() = nullptr;

bool BareName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Sets what was written of `file` since the last time on its way to the disk.
bool WriteBack(OutputFile* file) {
  if (!StartWriteBack(file->fd, file->writeBackFrom, file->end - file->writeBackFrom)) {
    return false;
  }
  file->writeBackFrom = file->end;
  return true;
}

}  // namespace

void OnNaming(void (*hook)()) { namingHook = hook; }
void OnPlaced(void (*hook)()) { placedHook = hook; }

OutputSet::~OutputSet() { Discard(); }

bool OutputSet::BeginReplacing(const std::string& folder, const std::string& name,
                               const Inputs& inputs, Report* report) {
  if (!Begin(folder, false, inputs, report)) {
    return false;
  }
  kind_ = Kind::kReplacing;
  std::size_t output = 0;
  if (Add(name, true, &output, report)) {
    return true;
  }
  Discard();
  return false;
}

bool OutputSet::BeginNewFiles(const std::string& folder, const Inputs& inputs, Report* report) {
  return Begin(folder, true, inputs, report);
}

bool OutputSet::Begin(const std::string& folder, bool create, const Inputs& inputs,
                      Report* report) {
  if (setActive || kind_ != Kind::kNone) {
    return Refuse(report, folder, "another set of outputs is still being written");
  }
  {
    SignalsHeld held;
    setActive = true;
    kind_ = Kind::kNewFiles;  // so that Discard ends it, whatever it becomes
    shown_ = folder;
    inputs_ = inputs;
    BeginCleanUp();
  }
  folder_ = OpenFolder(folder, create, &madeIn_, report);
  bool inside = false;
  if (folder_ >= 0 && !LiesInside(folder_, inputs.folders, &inside)) {
    Refuse(report, folder, SystemError("cannot tell whether it lies inside the payload folder"));
  } else if (inside) {
    Refuse(report, folder,
           "is the payload folder or lies inside it, which is only read; nothing is written");
  } else if (folder_ >= 0) {
    appendOnly_ = !NamesCanGo(folder_);
    return true;
  }
  Discard();
  return false;
}

bool OutputSet::AddNewFile(const std::string& name, std::size_t* output, Report* report) {
  if (kind_ != Kind::kNewFiles) {
    return Refuse(report, name, "no set of new files was begun");
  }
  return Add(name, false, output, report);
}

void OutputSet::SayIfTaken(const std::string& name, Report* report) {
  int mode = -1;
  struct stat status {};
  // Only what stands there is said: a folder that refused the first file refuses the rest
  // for the same reason, already given.
  if (kind_ == Kind::kNewFiles && BareName(name) && StatAt(folder_, name.c_str(), &status)) {
    (void)MayTake(folder_, name, false, inputs_, shown_ + "/" + name, kCannotCreate, &mode, report);
  }
}

bool OutputSet::Add(const std::string& name, bool replace, std::size_t* output, Report* report) {
  const std::string shown = shown_ + "/" + name;
  int mode = -1;
  if (!BareName(name)) {
    return Refuse(report, shown, "not a bare file name");
  }
  if (std::any_of(outputs_.begin(), outputs_.end(),
                  [&](const OutputFile& other) { return other.name == name; })) {
    return Refuse(report, shown, "named twice among the outputs");
  }
  if (outputs_.size() >= kMaxOutputs) {
    return Refuse(report, shown,
                  "more than " + std::to_string(kMaxOutputs) + " outputs in one command");
  }
  if (!MayTake(folder_, name, replace, inputs_, shown, kCannotCreate, &mode, report)) {
    return false;
  }
  outputs_.reserve(outputs_.size() + 1);  // nothing below throws once the file is made
  OutputFile file;
  file.name = name;
  if (!CreateTemporary(folder_, appendOnly_, &file)) {
    return Refuse(report, shown,
                  errno == EPERM && appendOnly_
                      ? std::string(kCannotCreate) +
                            ": the folder is append-only, and this file system cannot make a "
                            "file without a name there"
                      : SystemError(kCannotCreate));
  }
  *output = outputs_.size();
  outputs_.push_back(std::move(file));
  return true;
}

bool OutputSet::Write(std::size_t output, const void* data, std::size_t size, Report* report) {
  return WriteAt(output, output < outputs_.size() ? outputs_[output].end : 0, data, size, report);
}

bool OutputSet::WriteAt(std::size_t output, std::uint64_t offset, const void* data,
                        std::size_t size, Report* report) {
  if (output >= outputs_.size()) {
    return Refuse(report, shown_, "no output " + std::to_string(output) + " is being written");
  }
  OutputFile& file = outputs_[output];
  if (!WriteFull(file.fd, offset, data, size)) {
    return Refuse(report, Path(output), SystemError("cannot write"));
  }
  file.end = std::max(file.end, offset + size);
  // Write-back starts as the output grows, so that the flush before it is named waits for
  // little; the file's first byte to its last are still flushed there.
  if (file.end - file.writeBackFrom >= kWriteBackStep && !WriteBack(&file)) {
    return Refuse(report, Path(output), SystemError(kCannotFlush));
  }
  return true;
}

int OutputSet::Descriptor(std::size_t output) const {
  return output < outputs_.size() ? outputs_[output].fd : -1;
}

std::string OutputSet::Path(std::size_t output) const {
  return output < outputs_.size() ? shown_ + "/" + outputs_[output].name : shown_;
}

bool OutputSet::Place(Report* report) {
  if (kind_ == Kind::kNone) {
    return Refuse(report, "", "no set of outputs was begun");
  }
  SignalsHeld held;  // released once the set stands, else last, once it has ended
  if (namingHook != nullptr) {
    namingHook();
  }
  // Placed only once nothing can fail the set any longer; an ending signal held meanwhile
  // leaves nothing either, and ends the process as the set ends. Taking back what was not
  // given, after a refusal while naming, finds nothing of this run's to take.
  bool placed = Name(report) && CloseAndFlush(report);
  if (placed && EndingSignalPending()) {
    placed = Refuse(report, shown_, "interrupted by a signal; nothing is written");
  }
  if (!placed) {
    TakeBack(folder_, outputs_, &replaced_);
    RemoveRegistered();
  }
  ForgetReplaced(folder_, &replaced_);
  if (placed) {
    if (placedHook != nullptr) {
      placedHook();
    }
    held.ReleasePlaced();
  }
  End();
  return placed;
}

// Each output reaches the disk before it is named, so that no name, least of all one that
// replaced a good file, ever points at bytes a crash could still lose. The last bytes of
// every output are set on their way first, so that the flushes wait once for writes that
// run together rather than each for its own. Closing a copy of its descriptor runs what
// closing it would (a network file system reports deferred write errors there) while the
// output stays open to be named.
bool OutputSet::Name(Report* report) {
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    if (!WriteBack(&outputs_[k])) {
      return Refuse(report, Path(k), SystemError(kCannotFlush));
    }
  }
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    const int fd = outputs_[k].fd;
    if (::fsync(fd) != 0) {
      return Refuse(report, Path(k), SystemError(kCannotFlush));
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0 || ::close(copy) != 0) {
      return Refuse(report, Path(k), SystemError("cannot close"));
    }
  }
  return kind_ == Kind::kReplacing
             ? NameReplacing(folder_, inputs_, Path(0), &outputs_.front(), &replaced_, report)
             : NameNewFiles(folder_, shown_, &outputs_, report);
}

// The outputs closed, the last chance for an error a file system defers, then the names
// flushed: the output folder's, and those of the folders made, in the folder each is in.
bool OutputSet::CloseAndFlush(Report* report) {
  bool closed = true;
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    if (::close(outputs_[k].fd) != 0 && closed) {
      closed = Refuse(report, Path(k), SystemError("cannot close"));
    }
    outputs_[k].fd = -1;
  }
  if (!closed) {
    return false;
  }
  for (const int parent : madeIn_) {
    if (!FlushFolder(parent, shown_, report)) {
      return false;
    }
  }
  return FlushFolder(folder_, shown_, report);
}

void OutputSet::Discard() {
  if (kind_ == Kind::kNone) {
    return;
  }
  SignalsHeld held;
  RemoveRegistered();
  End();
}

// Closes everything the set holds and forgets it. Signals must be held.
void OutputSet::End() {
  for (OutputFile& output : outputs_) {
    CloseIfOpen(&output.fd);
  }
  CloseIfOpen(&folder_);
  EndCleanUp();
  kind_ = Kind::kNone;
  madeIn_.clear();
  outputs_.clear();
  setActive = false;
}
