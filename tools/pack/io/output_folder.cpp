#include "io/output_folder.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "io/cleanup_registry.h"
#include "io/output_folder_testing.h"

namespace {

constexpr std::size_t kMaxOutputs = 64;
constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
constexpr const char* kCannotCreate = "cannot create a file in its folder";
constexpr const char* kCannotPlace = "cannot put the file in place";

bool setActive = false;
bool namedTemporariesOnly = false;
bool procHidden = false;
void (*temporaryNamer)(unsigned attempt, char (&name)[kHiddenNameSize]) = nullptr;
void (*namingHook)() = nullptr;
void (*placedHook)() = nullptr;

// Gives `name` a hidden name by `make` (false with errno set), which needs a new one for as
// long as the last is taken. The names fit beside an output whose name is as long as a
// name can be, and say nothing of it.
template <typename Make>
bool TakeHiddenName(char (&name)[kHiddenNameSize], const Make& make) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
  static unsigned counter = 0;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    if (temporaryNamer != nullptr) {
      temporaryNamer(attempt, name);
    } else {
      unsigned char bits[8] = {};
      if (::getrandom(bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        // Only unpredictable enough: O_EXCL and the retries keep it safe.
        const std::uint64_t mixed =
            (static_cast<std::uint64_t>(::getpid()) << 20 ^ ++counter) * 2654435761u;
        std::memcpy(bits, &mixed, sizeof bits);
      }
      std::memcpy(name, ".pack-", 6);
      for (std::size_t i = 0; i < sizeof bits; ++i) {
        name[6 + i] = kAlphabet[bits[i] % 32];
      }
      name[6 + sizeof bits] = '\0';
    }
    if (make(static_cast<const char*>(name))) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  name[0] = '\0';
  return false;
}

// An open file's entry in /proc, a link like any other: naming the file by its descriptor
// instead needs a capability an ordinary user lacks.
std::string ProcPath(int fd) {
  return (procHidden ? "/proc/hidden/fd/" : "/proc/self/fd/") + std::to_string(fd);
}

// Gives the file named `from` in `folder` (or, for "", the open file `fd`) the name `to`
// there; never replaces anything.
bool Link(int folder, const char* from, int fd, const char* to) {
  return from[0] != '\0'
             ? ::linkat(folder, from, folder, to, 0) == 0
             : ::linkat(AT_FDCWD, ProcPath(fd).c_str(), folder, to, AT_SYMLINK_FOLLOW) == 0;
}

bool StatAt(int folder, const char* name, struct stat* status) {
  return ::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW) == 0;
}

void Close(int* fd) {
  if (*fd >= 0) {
    (void)::close(*fd);
  }
  *fd = -1;
}

// Unregisters and removes the output's hidden name, if any. Signals must be held.
void DropHidden(int folder, OutputFile* output) {
  if (output->hidden[0] != '\0') {
    Unregister(output->slot);
    RemoveIfSame(folder, output->hidden, output->identity, false);
    output->hidden[0] = '\0';
    output->slot = -1;
  }
}

// Whether a file in `folder` can lose its name again (false in an append-only folder). An
// O_PATH descriptor takes no ioctl; a folder this user cannot read is taken to be as most
// are, and a failure, should it not be, says why.
bool NamesCanGo(int folder) {
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  const bool known = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  Close(&fd);
  return !known || (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

// Whether an output may take `name` in `folder`. Refused, with `shown` as the subject:
// anything at all when `replace` is false; else what is not a regular file, one of
// `inputs`, or any file in an append-only folder. `*mode` is the mode a replacing output
// takes, or -1 to keep a new file's (0666 less the umask).
bool MayTake(int folder, const std::string& name, bool replace, const Inputs& inputs,
             const std::string& shown, const char* what, int* mode, Report* report) {
  *mode = -1;
  struct stat status {};
  if (!StatAt(folder, name.c_str(), &status)) {
    return errno == ENOENT || Refuse(report, shown, SystemError(what));
  }
  const mode_t type = status.st_mode & S_IFMT;
  std::string why;
  if (!replace) {
    why = "a file is already there";
  } else if (type != S_IFREG) {
    why = type == S_IFDIR                      ? "a folder"
          : type == S_IFLNK                    ? "a symbolic link"
          : type == S_IFIFO                    ? "a FIFO"
          : type == S_IFCHR || type == S_IFBLK ? "a device"
          : type == S_IFSOCK                   ? "a socket"
                                               : "something else";
    why += ", not a regular file";
  } else if (IsOneOf(IdentityOfStatus(status), inputs.files)) {
    why = "the file is one of the command's inputs";
  } else if (!NamesCanGo(folder)) {
    why = "the folder is append-only, so the file there cannot be replaced";
  }
  if (!why.empty()) {
    return Refuse(report, shown, why + "; it is kept, and nothing is written");
  }
  // A mode is kept only from the user's own file: another user may have planted one that
  // anyone can write, for the file that replaces it to take. Neither does a kept mode let
  // group or others write beyond what the umask allows, nor keep set-user or set-group ID.
  if (status.st_uid == ::geteuid()) {
    const mode_t mask = ::umask(0);
    (void)::umask(mask);
    *mode = static_cast<int>(status.st_mode & 0777 & ~(mask & (S_IWGRP | S_IWOTH)));
  }
  return true;
}

// A new file in `folder` with no name an output could be taken for; a hidden name, if it
// needs one, is registered. False with errno set. In an append-only folder a hidden name
// could never go again.
bool CreateTemporary(int folder, bool appendOnly, OutputFile* file) {
  SignalsHeld held;
  if (!namedTemporariesOnly) {
    // Unnamed, the file needs no removing whatever happens; the mode is 0666 less the umask.
    file->fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    struct stat proc {};
    if (file->fd >= 0 && IdentityOf(file->fd, &file->identity) &&
        ::stat(ProcPath(file->fd).c_str(), &proc) == 0 &&
        IdentityOfStatus(proc) == file->identity) {
      return true;
    }
    if (file->fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return false;
    }
    Close(&file->fd);  // it could never be named
  }
  if (appendOnly) {
    errno = EPERM;
    return false;
  }
  const bool made = TakeHiddenName(file->hidden, [&](const char* name) {
    file->fd = ::openat(folder, name, O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0666);
    return file->fd >= 0;
  });
  if (made && IdentityOf(file->fd, &file->identity)) {
    file->slot = Register(folder, file->hidden, file->identity, false);
    if (file->slot >= 0) {
      return true;
    }
    errno = EMLINK;
  }
  const int error = errno;
  DropHidden(folder, file);
  Close(&file->fd);
  errno = error;
  return false;
}

constexpr std::size_t kMaxMadeFolders = 64;
// Folders are opened only to name things relative to them: no read permission is needed,
// as none is to walk a path.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Why the last step `name` in `dir` could not be opened as a folder.
std::string NotAFolder(int dir, const std::string& name, const char* what) {
  const int error = errno;
  struct stat status {};
  if (StatAt(dir, name.c_str(), &status)) {
    if (S_ISLNK(status.st_mode)) {
      return "a symbolic link, not a folder; it is not followed";
    }
    if (!S_ISDIR(status.st_mode)) {
      return "not a folder";
    }
  }
  return SystemError(what, error);
}

// Makes `name` in `parent`, opens and registers it, handing `parent` to the registry. -1
// with errno otherwise: a folder made but replaced before it was opened is not this run's.
int MakeAndOpen(int parent, const std::string& name, bool* handedOver) {
  SignalsHeld held;
  if (::mkdirat(parent, name.c_str(), 0777) != 0) {
    return -1;
  }
  int fd = ::openat(parent, name.c_str(), kFolderFlags | O_NOFOLLOW);
  FileIdentity identity;
  const bool opened = fd >= 0 && IdentityOf(fd, &identity);
  *handedOver = opened && Register(parent, name.c_str(), identity, true) >= 0;
  if (*handedOver) {
    return fd;
  }
  const int error = opened ? EMLINK : errno;
  Close(&fd);
  if (opened) {
    (void)::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
  }
  errno = error;
  return -1;
}

// Opens one step in `current`, making it when missing and `create`; -1 with errno set.
int OpenStep(int current, const std::string& step, bool last, bool create, bool* handedOver) {
  const int flags = kFolderFlags | (last ? O_NOFOLLOW : 0);
  if (step.size() > NAME_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int next = ::openat(current, step.c_str(), flags);
  if (next < 0 && errno == ENOENT && create) {
    next = MakeAndOpen(current, step, handedOver);
    if (next < 0 && errno == EEXIST) {  // made by someone else meanwhile
      next = ::openat(current, step.c_str(), flags);
    }
  }
  return next;
}

// Opens `path` (O_PATH) one step at a time, following links at every step but the last, so
// that nothing done to it meanwhile redirects what comes after. With `create`, at most 64
// missing steps are made and registered (a ".." step leaves one behind, made); `*madeIn`
// gets the folder each was made in, open until the registry ends. -1 once reported.
int OpenFolder(const std::string& path, bool create, std::vector<int>* madeIn, Report* report) {
  const char* what = create ? "cannot create the folder" : "cannot open the folder";
  std::vector<std::string> steps;  // without empty and "." ones
  std::istringstream in(path);
  for (std::string step; std::getline(in, step, '/');) {
    if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
  }
  int current = ::open(!path.empty() && path[0] == '/' ? "/" : ".", kFolderFlags);
  if (current < 0) {
    Refuse(report, path, SystemError(what));
  }
  for (std::size_t i = 0; i < steps.size() && current >= 0; ++i) {
    const bool last = i + 1 == steps.size();
    bool handedOver = false;  // `current` now belongs to the registry
    const bool mayMake = create && madeIn->size() < kMaxMadeFolders;
    const int next = OpenStep(current, steps[i], last, mayMake, &handedOver);
    if (next < 0 && errno == ENOENT && create && !mayMake) {
      Refuse(report, path,
             std::string(what) + ": more than " + std::to_string(kMaxMadeFolders) +
                 " of its folders are missing");
    } else if (next < 0) {
      Refuse(report, path,
             last && (errno == ELOOP || errno == ENOTDIR) ? NotAFolder(current, steps[i], what)
                                                          : SystemError(what));
    }
    if (handedOver) {
      madeIn->push_back(current);
    } else {
      (void)::close(current);
    }
    current = next;
  }
  return current;
}

// Whether `folder` is, or lies inside, one of `inputs`, up through ".." to the root; false
// with errno set when that cannot be told.
bool LiesInside(int folder, const std::vector<FileIdentity>& inputs, bool* inside) {
  *inside = false;
  if (inputs.empty()) {
    return true;
  }
  int current = ::openat(folder, ".", kFolderFlags);
  FileIdentity identity;
  bool known = current >= 0 && IdentityOf(current, &identity);
  int error = errno;
  while (known && !*inside) {
    *inside = IsOneOf(identity, inputs);
    const int parent = ::openat(current, "..", kFolderFlags);
    FileIdentity parentIdentity;
    known = parent >= 0 && IdentityOf(parent, &parentIdentity);
    error = errno;
    (void)::close(current);
    current = parent;
    if (known && parentIdentity == identity) {
      break;  // the root is its own parent
    }
    identity = parentIdentity;
  }
  Close(&current);
  errno = error;
  return known || *inside;
}

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

void UseNamedTemporariesOnly(bool namedOnly) { namedTemporariesOnly = namedOnly; }
void HideProcFiles(bool hidden) { procHidden = hidden; }
void NameTemporariesWith(void (*namer)(unsigned attempt, char (&name)[kHiddenNameSize])) {
  temporaryNamer = namer;
}
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
  if (!WriteFull(outputs_[output].fd, offset, data, size)) {
    return Refuse(report, Path(output), SystemError("cannot write"));
  }
  outputs_[output].end = std::max(outputs_[output].end, offset + size);
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
    TakeBack();
    RemoveRegistered();
  }
  if (replaced_.hidden[0] != '\0') {
    RemoveIfSame(folder_, replaced_.hidden, replaced_.identity, false);
    replaced_.hidden[0] = '\0';
  }
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
// replaced a good file, ever points at bytes a crash could still lose. Closing a copy of its
// descriptor runs what closing it would (a network file system reports deferred write
// errors there) while the output stays open to be named.
bool OutputSet::Name(Report* report) {
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
    return ReplaceOne(report);
  }
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    if (!Link(folder_, outputs_[k].hidden, outputs_[k].fd, outputs_[k].name.c_str())) {
      const int error = errno;
      return Refuse(report, Path(k),
                    error == EEXIST ? kAlreadyThere : SystemError(kCannotPlace, error));
    }
  }
  for (OutputFile& output : outputs_) {
    DropHidden(folder_, &output);
  }
  return true;
}

// Where nothing has the name, the output takes it as a new file would. Else the file there
// keeps a second name until the replacement stands; without one (another user's file,
// which may not be linked), a replacement can no longer be taken back.
bool OutputSet::ReplaceOne(Report* report) {
  OutputFile& output = outputs_[0];
  const char* name = output.name.c_str();
  const std::string shown = Path(0);
  int mode = -1;
  if (!MayTake(folder_, name, true, inputs_, shown, kCannotPlace, &mode, report)) {
    return false;
  }
  if (mode >= 0 && ::fchmod(output.fd, static_cast<mode_t>(mode)) != 0) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  if (mode < 0 && Link(folder_, output.hidden, output.fd, name)) {
    DropHidden(folder_, &output);
    return true;
  }
  if (mode < 0 && errno != EEXIST) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  struct stat status {};
  if (StatAt(folder_, name, &status) && S_ISREG(status.st_mode) &&
      TakeHiddenName(replaced_.hidden,
                     [&](const char* hidden) { return Link(folder_, name, -1, hidden); })) {
    replaced_.identity = IdentityOfStatus(status);
  }
  if (output.hidden[0] == '\0') {
    if (!TakeHiddenName(output.hidden,
                        [&](const char* hidden) { return Link(folder_, "", output.fd, hidden); })) {
      return Refuse(report, shown, SystemError(kCannotPlace));
    }
    output.slot = Register(folder_, output.hidden, output.identity, false);
  }
  // Looked at again: what appeared at the name since is not renamed over either.
  if (!MayTake(folder_, name, true, inputs_, shown, kCannotPlace, &mode, report)) {
    return false;
  }
  if (::renameat(folder_, output.hidden, folder_, name) != 0) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  Unregister(output.slot);
  output.hidden[0] = '\0';
  return true;
}

// Removes each name given while it is still the output, or puts the replaced file back
// over it.
void OutputSet::TakeBack() {
  for (const OutputFile& output : outputs_) {
    const char* name = output.name.c_str();
    struct stat status {};
    if (StatAt(folder_, name, &status) && IdentityOfStatus(status) == output.identity &&
        (replaced_.hidden[0] == '\0' ||
         ::renameat(folder_, replaced_.hidden, folder_, name) != 0)) {
      RemoveIfSame(folder_, name, output.identity, false);
    }
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
  for (OutputFile& output : outputs_) {
    Close(&output.fd);
  }
  Close(&folder_);
  EndCleanUp();
  kind_ = Kind::kNone;
  madeIn_.clear();
  outputs_.clear();
  setActive = false;
}
