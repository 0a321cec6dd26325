#include "io/output_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "io/cleanup_registry.h"
#include "io/folder_walk.h"
#include "io/output_folder_testing.h"

namespace {

constexpr std::size_t kMaxOutputs = 64;
constexpr const char* kCannotCreateFile = "cannot create a file in its folder";

bool setActive = false;
void (*namingHook)() = nullptr;

bool BareName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The names given reach the disk too, through the folder that holds them. A folder this
// user may write but not read cannot be opened to flush it; the file system then keeps
// its names as it would without being asked.
bool FlushFolder(int folder, const std::string& shown, Report* report) {
  const char* what = "cannot flush the folder to disk";
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno == EACCES || Refuse(report, shown, SystemError(what));
  }
  const bool flushed = ::fsync(fd) == 0;
  const int error = errno;
  const bool closed = ::close(fd) == 0;
  return (flushed && closed) || Refuse(report, shown, SystemError(what, flushed ? errno : error));
}

}  // namespace

void OnNaming(void (*hook)()) { namingHook = hook; }

OutputSet::~OutputSet() { Discard(); }

bool OutputSet::BeginReplacing(const std::string& folder, const std::string& name,
                               const Inputs& inputs, Report* report) {
  if (!Begin(folder, false, inputs, report)) {
    return false;
  }
  kind_ = Kind::kReplacing;
  std::size_t output = 0;
  int mode = -1;
  if (!BareName(name)) {
    Refuse(report, folder + "/" + name, "not a bare file name");
  } else if (MayTake(folder_, name, true, inputs, folder + "/" + name, kCannotCreateFile, &mode,
                     report) &&
             Create(name, &output, report)) {
    return true;
  }
  Discard();
  return false;
}

bool OutputSet::BeginNewFiles(const std::string& folder, const Inputs& inputs, Report* report) {
  if (!Begin(folder, true, inputs, report)) {
    return false;
  }
  kind_ = Kind::kNewFiles;
  return true;
}

bool OutputSet::Begin(const std::string& folder, bool create, const Inputs& inputs,
                      Report* report) {
  if (setActive || kind_ != Kind::kNone) {
    return Refuse(report, folder, "another set of outputs is still being written");
  }
  {
    SignalsHeld held;
    setActive = true;
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
    kind_ = Kind::kNewFiles;  // so that Discard ends it, whatever it becomes
    return true;
  }
  kind_ = Kind::kNewFiles;
  Discard();
  return false;
}

bool OutputSet::AddNewFile(const std::string& name, std::size_t* output, Report* report) {
  if (kind_ != Kind::kNewFiles) {
    return Refuse(report, name, "no set of new files was begun");
  }
  const std::string shown = shown_ + "/" + name;
  if (!BareName(name)) {
    return Refuse(report, shown, "not a bare file name");
  }
  for (const std::string& other : names_) {
    if (other == name) {
      return Refuse(report, shown, "named twice among the outputs");
    }
  }
  if (outputs_.size() >= kMaxOutputs) {
    return Refuse(report, shown,
                  "more than " + std::to_string(kMaxOutputs) + " outputs in one command");
  }
  int mode = -1;
  return MayTake(folder_, name, false, inputs_, shown, kCannotCreateFile, &mode, report) &&
         Create(name, output, report);
}

bool OutputSet::Create(const std::string& name, std::size_t* output, Report* report) {
  names_.reserve(names_.size() + 1);  // nothing below throws once the file is made
  outputs_.reserve(outputs_.size() + 1);
  ends_.reserve(ends_.size() + 1);
  Temporary temporary;
  if (!CreateTemporary(folder_, appendOnly_, &temporary)) {
    return Refuse(report, shown_ + "/" + name,
                  errno == EPERM && appendOnly_
                      ? std::string(kCannotCreateFile) +
                            ": the folder is append-only, and this file system cannot make a "
                            "file without a name there"
                      : SystemError(kCannotCreateFile));
  }
  *output = outputs_.size();
  names_.push_back(name);
  outputs_.push_back(temporary);
  ends_.push_back(0);
  return true;
}

bool OutputSet::Write(std::size_t output, const void* data, std::size_t size, Report* report) {
  return WriteAt(output, output < ends_.size() ? ends_[output] : 0, data, size, report);
}

bool OutputSet::WriteAt(std::size_t output, std::uint64_t offset, const void* data,
                        std::size_t size, Report* report) {
  if (output >= outputs_.size()) {
    return Refuse(report, shown_, "no output " + std::to_string(output) + " is being written");
  }
  if (!WriteFull(outputs_[output].fd, offset, data, size)) {
    return Refuse(report, Path(output), SystemError("cannot write"));
  }
  ends_[output] = offset + size > ends_[output] ? offset + size : ends_[output];
  return true;
}

int OutputSet::Descriptor(std::size_t output) const {
  return output < outputs_.size() ? outputs_[output].fd : -1;
}

std::string OutputSet::Path(std::size_t output) const {
  return output < names_.size() ? shown_ + "/" + names_[output] : shown_;
}

bool OutputSet::Place(Report* report) {
  if (kind_ == Kind::kNone) {
    return Refuse(report, "", "no set of outputs was begun");
  }
  SignalsHeld held;  // released last, once the set has ended
  if (namingHook != nullptr) {
    namingHook();
  }
  Replaced replaced;
  // Placed only once nothing can fail the set any longer; an ending signal held meanwhile
  // leaves nothing either, and ends the process as the set ends. Taking back what was not
  // given, after a refusal while naming, finds nothing of this run's to take.
  bool placed = Name(&replaced, report) && CloseAndFlush(report);
  if (placed && EndingSignalPending()) {
    placed = Refuse(report, shown_, "interrupted by a signal; nothing is written");
  }
  if (placed) {
    ForgetReplaced(folder_, &replaced);
  } else {
    TakeBack(&replaced);
    RemoveRegistered();
  }
  End();
  return placed;
}

// Each output reaches the disk before it is named, so that no name, least of all one that
// replaced a good file, ever points at bytes a crash could still lose. Closing a copy of its
// descriptor runs what closing it would (a network file system reports deferred write
// errors there) while the output stays open to be named.
bool OutputSet::Name(Replaced* replaced, Report* report) {
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    const int fd = outputs_[k].fd;
    if (::fsync(fd) != 0) {
      return Refuse(report, Path(k), SystemError("cannot flush to disk"));
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0 || ::close(copy) != 0) {
      return Refuse(report, Path(k), SystemError("cannot close"));
    }
  }
  if (kind_ == Kind::kReplacing) {
    return ReplaceOne(folder_, &outputs_[0], names_[0], inputs_, Path(0), replaced, report);
  }
  std::vector<std::string> shown;
  for (std::size_t k = 0; k < names_.size(); ++k) {
    shown.push_back(Path(k));
  }
  return PlaceNew(folder_, &outputs_, names_, shown, report);
}

void OutputSet::TakeBack(Replaced* replaced) {
  if (kind_ == Kind::kReplacing) {
    TakeBackReplacement(folder_, outputs_[0], names_[0], replaced);
  } else {
    RemoveNames(folder_, outputs_, names_);
  }
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
  for (Temporary& output : outputs_) {
    if (output.fd >= 0) {
      (void)::close(output.fd);
    }
  }
  if (folder_ >= 0) {
    (void)::close(folder_);
  }
  EndCleanUp();
  kind_ = Kind::kNone;
  folder_ = -1;
  madeIn_.clear();
  names_.clear();
  outputs_.clear();
  ends_.clear();
  setActive = false;
}
