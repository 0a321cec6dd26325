#include "io/output_folder.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include "io/output_folder_testing.h"

namespace {

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
constexpr const char* kCannotCreateFile = "cannot create a file in its folder: ";
constexpr const char* kCannotPlace = "cannot put the file in place: ";

// Bounds of what the signal handler walks: it may only read fixed arrays.
constexpr std::size_t kMaxOutputs = 64;
constexpr std::size_t kMaxMadeFolders = 64;
constexpr std::size_t kTemporaryNameSize = 16;  // ".pack-" and 8 random characters

// Folders are opened only to name things relative to them: no read permission is needed,
// as none is to walk a path.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

struct MadeFolder {
  int parent;  // open for as long as the set lasts
  char name[NAME_MAX + 1];
  FileIdentity identity;
};
struct Temporary {
  char name[kTemporaryNameSize];  // "" when the output has no name in the folder
  FileIdentity identity;
};

// What the signal handler removes. Changed only while every signal is blocked.
MadeFolder madeFolders[kMaxMadeFolders];
volatile sig_atomic_t madeCount = 0;
Temporary temporaries[kMaxOutputs];  // by output number
volatile sig_atomic_t temporaryCount = 0;
volatile sig_atomic_t handlerFolder = -1;

struct OutputFile {
  std::string name;
  int fd = -1;
  FileIdentity identity;
  std::uint64_t end = 0;  // where WriteOutput appends
};

struct OutputSet {
  bool active = false;
  std::string shown;  // the folder as given
  int folder = -1;
  Existing existing = Existing::kKeep;
  Inputs inputs;
  std::vector<OutputFile> outputs;
};
OutputSet set;

bool namedTemporariesOnly = false;

// Every signal whose default action ends the process, but SIGXFSZ, which is ignored
// instead so that a write past a file size limit fails like any other.
constexpr int kEndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                  SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                                  SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};
struct sigaction previousActions[NSIG];
bool replacedActions[NSIG];

bool Same(const struct stat& status, const FileIdentity& identity) {
  return IdentityOfStatus(status) == identity;
}

std::string Reason(const char* what) { return what + std::string(std::strerror(errno)); }

// Removes `name` from the folder `dir` only while it is still the file or folder this run
// made: whatever took its place meanwhile is someone else's. Async-signal-safe.
void RemoveIfSame(int dir, const char* name, const FileIdentity& identity, bool folder) {
  struct stat status {};
  if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !Same(status, identity)) {
    return;
  }
  if (folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode)) {
    // A folder that is no longer empty stays: rmdir refuses it.
    (void)::unlinkat(dir, name, folder ? AT_REMOVEDIR : 0);
  }
}

// The named temporaries, then the folders made, deepest first. Async-signal-safe.
void RemoveWhatWasMade() {
  for (sig_atomic_t i = 0; i < temporaryCount; ++i) {
    if (temporaries[i].name[0] != '\0') {
      RemoveIfSame(handlerFolder, temporaries[i].name, temporaries[i].identity, false);
    }
  }
  for (sig_atomic_t i = madeCount; i > 0; --i) {
    const MadeFolder& made = madeFolders[i - 1];
    RemoveIfSame(made.parent, made.name, made.identity, true);
  }
}

void RemoveAndDie(int signal) {
  RemoveWhatWasMade();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  (void)::sigaction(signal, &fallback, nullptr);
  // Still blocked in this handler: delivered, with its default action, as it returns.
  (void)::raise(signal);
}

// Every signal that can be blocked is, for the life of the object: nothing the handler
// reads is ever half changed, and names are given all together.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    (void)::sigfillset(&all);
    (void)::sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsBlocked() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

void ReplaceAction(int signal, void (*handler)(int)) {
  if (::sigaction(signal, nullptr, &previousActions[signal]) != 0) {
    return;
  }
  // An ignored signal stays ignored: it ends nothing (nohup, a pipeline ignoring SIGPIPE).
  if (previousActions[signal].sa_handler == SIG_IGN) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = handler;
  (void)::sigfillset(&action.sa_mask);
  replacedActions[signal] = ::sigaction(signal, &action, nullptr) == 0;
}

void InstallHandlers() {
  for (int signal : kEndingSignals) {
    ReplaceAction(signal, RemoveAndDie);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    ReplaceAction(signal, RemoveAndDie);
  }
  ReplaceAction(SIGXFSZ, SIG_IGN);
}

void RestoreHandlers() {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (replacedActions[signal]) {
      (void)::sigaction(signal, &previousActions[signal], nullptr);
      replacedActions[signal] = false;
    }
  }
}

// Closes everything the set holds and forgets it. Signals must be blocked.
void EndSet() {
  for (const OutputFile& output : set.outputs) {
    (void)::close(output.fd);
  }
  temporaryCount = 0;
  for (sig_atomic_t i = 0; i < madeCount; ++i) {
    (void)::close(madeFolders[i].parent);
  }
  madeCount = 0;
  if (set.folder >= 0) {
    (void)::close(set.folder);
  }
  handlerFolder = -1;
  RestoreHandlers();
  set = OutputSet{};
}

// Fills `name` with a hidden name of its own, unrelated to any output's, so that it fits
// beside an output whose name is as long as a name can be.
void RandomName(char (&name)[kTemporaryNameSize]) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
  static unsigned counter = 0;
  unsigned char bits[8] = {};
  if (::getrandom(bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    const unsigned long mixed = static_cast<unsigned long>(::getpid()) * 2654435761u ^
                                static_cast<unsigned long>(std::time(nullptr)) ^ ++counter;
    for (std::size_t i = 0; i < sizeof bits; ++i) {
      bits[i] = static_cast<unsigned char>(mixed >> (i * 4));
    }
  }
  std::memcpy(name, ".pack-", 6);
  for (std::size_t i = 0; i < sizeof bits; ++i) {
    name[6 + i] = kAlphabet[bits[i] % 32];
  }
  name[6 + sizeof bits] = '\0';
}

// The steps of a path, without empty and "." ones: "a//b/./" is a, b.
std::vector<std::string> Steps(const std::string& path) {
  std::vector<std::string> steps;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) {
      end = path.size();
    }
    std::string step = path.substr(start, end - start);
    if (!step.empty() && step != ".") {
      steps.push_back(std::move(step));
    }
    start = end + 1;
  }
  return steps;
}

// Why the last step `name` in `dir` could not be opened as a folder.
std::string NotAFolder(int dir, const std::string& name, const char* prefix) {
  const int error = errno;
  struct stat status {};
  if (::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(status.st_mode)) {
      return "a symbolic link, not a folder; it is not followed";
    }
    if (!S_ISDIR(status.st_mode)) {
      return "not a folder";
    }
  }
  errno = error;
  return Reason(prefix);
}

// Makes `name` in `parent` and opens it, remembering it as made. -1 with errno otherwise.
int MakeAndOpen(int parent, const std::string& name) {
  SignalsBlocked blocked;
  if (static_cast<std::size_t>(madeCount) >= kMaxMadeFolders) {
    errno = EMLINK;
    return -1;
  }
  if (::mkdirat(parent, name.c_str(), 0777) != 0) {
    return -1;
  }
  const int fd = ::openat(parent, name.c_str(), kFolderFlags | O_NOFOLLOW);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    // Made but already replaced, or unreadable: not this run's to remove.
    const int error = errno;
    if (fd >= 0) {
      (void)::close(fd);
    }
    errno = error;
    return -1;
  }
  MadeFolder& made = madeFolders[madeCount];
  made.parent = parent;
  std::memcpy(made.name, name.c_str(), name.size() + 1);
  made.identity = IdentityOfStatus(status);
  madeCount = madeCount + 1;
  return fd;
}

bool IsParentOfAMadeFolder(int fd) {
  for (sig_atomic_t i = 0; i < madeCount; ++i) {
    if (madeFolders[i].parent == fd) {
      return true;
    }
  }
  return false;
}

// Opens `path` one step at a time: links are followed at every step but the last, and
// with `create` a missing step is made (a ".." step then leaves it behind as made).
int OpenFolder(const std::string& path, bool create, Report* report) {
  const char* prefix = create ? "cannot create the folder: " : "cannot open the folder: ";
  int current = ::open(!path.empty() && path[0] == '/' ? "/" : ".", kFolderFlags);
  if (current < 0) {
    Refuse(report, path, Reason(prefix));
    return -1;
  }
  const std::vector<std::string> steps = Steps(path);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string& step = steps[i];
    const bool last = i + 1 == steps.size();
    if (step.size() > NAME_MAX) {
      errno = ENAMETOOLONG;
    }
    int next = step.size() > NAME_MAX
                   ? -1
                   : ::openat(current, step.c_str(), kFolderFlags | (last ? O_NOFOLLOW : 0));
    if (next < 0 && errno == ENOENT && create &&
        static_cast<std::size_t>(madeCount) >= kMaxMadeFolders) {
      Refuse(report, path,
             prefix +
                 ("more than " + std::to_string(kMaxMadeFolders) + " of its folders are missing"));
      next = -2;  // said already
    } else if (next < 0 && errno == ENOENT && create) {
      next = MakeAndOpen(current, step);
      if (next < 0 && errno == EEXIST) {  // made by someone else meanwhile
        next = ::openat(current, step.c_str(), kFolderFlags | (last ? O_NOFOLLOW : 0));
      }
    }
    if (next < 0) {
      if (next == -1) {
        Refuse(report, path,
               last && (errno == ELOOP || errno == ENOTDIR) ? NotAFolder(current, step, prefix)
                                                            : Reason(prefix));
      }
      if (!IsParentOfAMadeFolder(current)) {
        (void)::close(current);
      }
      return -1;
    }
    if (!IsParentOfAMadeFolder(current)) {
      (void)::close(current);
    }
    current = next;
  }
  return current;
}

// Whether `folder` is, or lies inside, one of `inputs`: up through ".." to the root.
bool LiesInside(int folder, const std::vector<FileIdentity>& inputs, bool* inside) {
  *inside = false;
  if (inputs.empty()) {
    return true;
  }
  int current = ::openat(folder, ".", kFolderFlags);
  struct stat status {};
  bool known = current >= 0 && ::fstat(current, &status) == 0;
  int error = errno;
  while (known && !*inside) {
    *inside = IsOneOf(IdentityOfStatus(status), inputs);
    const int parent = ::openat(current, "..", kFolderFlags);
    struct stat parentStatus {};
    known = parent >= 0 && ::fstat(parent, &parentStatus) == 0;
    error = errno;
    (void)::close(current);
    current = parent;
    if (known && IdentityOfStatus(parentStatus) == IdentityOfStatus(status)) {
      break;  // the root is its own parent
    }
    status = parentStatus;
  }
  if (current >= 0) {
    (void)::close(current);
  }
  errno = error;
  return known || *inside;
}

const char* Kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

// Whether an output may take `name`; `*mode` is the permissions the output takes from a
// regular file there to replace, or -1 when it takes none and keeps a new file's.
bool MayTake(const std::string& name, const std::string& shown, const char* prefix, int* mode,
             Report* report) {
  *mode = -1;
  struct stat status {};
  if (::fstatat(set.folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || Refuse(report, shown, Reason(prefix));
  }
  if (set.existing == Existing::kKeep) {
    return Refuse(report, shown, kAlreadyThere);
  }
  if (!S_ISREG(status.st_mode)) {
    return Refuse(report, shown,
                  std::string(Kind(status.st_mode)) +
                      ", not a regular file; it is kept, and nothing is written");
  }
  if (IsOneOf(IdentityOfStatus(status), set.inputs.files)) {
    return Refuse(report, shown,
                  "the file is one of the command's inputs; it is kept, and nothing is written");
  }
  // A mode is kept only from the user's own file: another user may have planted one that
  // anyone can write, for the file that replaces it to take. Neither does a kept mode let
  // group or others write beyond what the umask allows, nor keep set-user or set-group ID
  // (whoever runs this owns the new file).
  if (status.st_uid == ::geteuid()) {
    const mode_t mask = ::umask(0);
    (void)::umask(mask);
    *mode = static_cast<int>(status.st_mode & 0777 & ~(mask & (S_IWGRP | S_IWOTH)));
  }
  return true;
}

bool BareName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Gives output `k` the name `name` in the folder; never replaces anything there.
bool Link(std::size_t k, const char* name) {
  if (temporaries[k].name[0] != '\0') {
    return ::linkat(set.folder, temporaries[k].name, set.folder, name, 0) == 0;
  }
  // Naming an open file by its descriptor needs a capability an ordinary user lacks, but
  // its /proc entry is a link like any other.
  const std::string proc = "/proc/self/fd/" + std::to_string(set.outputs[k].fd);
  return ::linkat(AT_FDCWD, proc.c_str(), set.folder, name, AT_SYMLINK_FOLLOW) == 0;
}

void RemoveNamed(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    RemoveIfSame(set.folder, set.outputs[i].name.c_str(), set.outputs[i].identity, false);
  }
}

void ForgetTemporaries() {
  for (std::size_t k = 0; k < set.outputs.size(); ++k) {
    if (temporaries[k].name[0] != '\0') {
      RemoveIfSame(set.folder, temporaries[k].name, temporaries[k].identity, false);
      temporaries[k].name[0] = '\0';
    }
  }
}

// Kept: each output is linked to its name, which fails when anything has it.
bool NameKeeping(Report* report) {
  for (std::size_t k = 0; k < set.outputs.size(); ++k) {
    if (!Link(k, set.outputs[k].name.c_str())) {
      Refuse(report, OutputPath(k), errno == EEXIST ? kAlreadyThere : Reason(kCannotPlace));
      RemoveNamed(k);
      return false;
    }
  }
  ForgetTemporaries();
  return true;
}

// Replaced: each output first gets a hidden name beside its own, then takes its own at
// once, so that a reader never sees a partly written file.
bool NameReplacing(Report* report) {
  for (std::size_t k = 0; k < set.outputs.size(); ++k) {
    OutputFile& output = set.outputs[k];
    int mode = -1;
    if (!MayTake(output.name, OutputPath(k), kCannotPlace, &mode, report)) {
      return false;
    }
    if (mode >= 0 && ::fchmod(output.fd, static_cast<mode_t>(mode)) != 0) {
      return Refuse(report, OutputPath(k), Reason(kCannotPlace));
    }
    for (int attempt = 0; temporaries[k].name[0] == '\0' && attempt < 100; ++attempt) {
      char name[kTemporaryNameSize];
      RandomName(name);
      if (Link(k, name)) {
        std::memcpy(temporaries[k].name, name, sizeof name);
        temporaries[k].identity = output.identity;
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (temporaries[k].name[0] == '\0') {
      return Refuse(report, OutputPath(k), Reason(kCannotPlace));
    }
  }
  for (std::size_t k = 0; k < set.outputs.size(); ++k) {
    // Looked at again: what appeared at the name since is not renamed over either.
    int mode = -1;
    bool renamed = MayTake(set.outputs[k].name, OutputPath(k), kCannotPlace, &mode, report);
    if (renamed &&
        ::renameat(set.folder, temporaries[k].name, set.folder, set.outputs[k].name.c_str()) != 0) {
      renamed = Refuse(report, OutputPath(k), Reason(kCannotPlace));
    }
    if (!renamed) {
      RemoveNamed(k);
      return false;
    }
    temporaries[k].name[0] = '\0';
  }
  return true;
}

// Each output reaches the disk before it is named, so that no name, least of all one that
// replaced a good file, ever points at bytes a crash could still lose. Closing a copy of its
// descriptor runs what closing it would (a network file system reports deferred write
// errors there) while the output stays open to be named.
bool FlushOutputs(Report* report) {
  for (std::size_t k = 0; k < set.outputs.size(); ++k) {
    const int fd = set.outputs[k].fd;
    if (::fsync(fd) != 0) {
      return Refuse(report, OutputPath(k), Reason("cannot flush to disk: "));
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0 || ::close(copy) != 0) {
      return Refuse(report, OutputPath(k), Reason("cannot close: "));
    }
  }
  return true;
}

// The names given reach the disk too, through the folder that holds them. A folder this
// user may write but not read cannot be opened to flush it; the file system then keeps
// its names as it would without being asked.
bool FlushFolder(int folder, const std::string& shown, Report* report) {
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno == EACCES || Refuse(report, shown, Reason("cannot flush the folder to disk: "));
  }
  const bool flushed = ::fsync(fd) == 0;
  const int error = errno;
  const bool closed = ::close(fd) == 0;
  if (!flushed) {
    errno = error;
  }
  return (flushed && closed) || Refuse(report, shown, Reason("cannot flush the folder to disk: "));
}

// The output folder, and the folder each folder made was made in.
bool FlushFolders(Report* report) {
  for (sig_atomic_t i = 0; i < madeCount; ++i) {
    if (!FlushFolder(madeFolders[i].parent, set.shown, report)) {
      return false;
    }
  }
  return FlushFolder(set.folder, set.shown, report);
}

bool WriteAt(int fd, std::uint64_t offset, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
      }
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ValidOutput(std::size_t output, Report* report) {
  return (set.active && output < set.outputs.size()) ||
         Refuse(report, set.shown, "no output " + std::to_string(output) + " is being written");
}

}  // namespace

void UseNamedTemporariesOnly(bool namedOnly) { namedTemporariesOnly = namedOnly; }

bool BeginOutputs(const std::string& folder, bool create, Existing existing, const Inputs& inputs,
                  Report* report) {
  if (set.active) {
    return Refuse(report, folder, "another set of outputs is still being written");
  }
  {
    SignalsBlocked blocked;
    set.active = true;
    set.shown = folder;
    set.existing = existing;
    set.inputs = inputs;
    InstallHandlers();
  }
  set.folder = OpenFolder(folder, create, report);
  handlerFolder = set.folder;
  bool inside = false;
  if (set.folder >= 0 && !LiesInside(set.folder, inputs.folders, &inside)) {
    Refuse(report, folder, Reason("cannot tell whether it lies inside the payload folder: "));
  } else if (inside) {
    Refuse(report, folder,
           "is the payload folder or lies inside it, which is only read; nothing is written");
  } else if (set.folder >= 0) {
    return true;
  }
  SignalsBlocked blocked;
  RemoveWhatWasMade();
  EndSet();
  return false;
}

bool CreateOutput(const std::string& name, std::size_t* output, Report* report) {
  if (!set.active) {
    return Refuse(report, name, "no set of outputs was begun");
  }
  const std::string shown = set.shown + "/" + name;
  if (!BareName(name)) {
    return Refuse(report, shown, "not a bare file name");
  }
  for (const OutputFile& other : set.outputs) {
    if (other.name == name) {
      return Refuse(report, shown, "named twice among the outputs");
    }
  }
  if (set.outputs.size() >= kMaxOutputs) {
    return Refuse(report, shown,
                  "more than " + std::to_string(kMaxOutputs) + " outputs in one command");
  }
  int mode = -1;
  if (!MayTake(name, shown, kCannotCreateFile, &mode, report)) {
    return false;
  }
  OutputFile file;
  file.name = name;
  set.outputs.reserve(set.outputs.size() + 1);  // nothing below throws
  SignalsBlocked blocked;
  const std::size_t k = set.outputs.size();
  temporaries[k].name[0] = '\0';
  // Unnamed, the file needs no removing whatever happens; the mode is 0666 less the umask.
  file.fd =
      namedTemporariesOnly ? -1 : ::openat(set.folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (file.fd < 0 &&
      (namedTemporariesOnly || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      RandomName(temporaries[k].name);
      file.fd = ::openat(set.folder, temporaries[k].name,
                         O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0666);
      if (file.fd >= 0 || errno != EEXIST) {
        break;
      }
    }
    if (file.fd < 0) {
      temporaries[k].name[0] = '\0';
    }
  }
  if (file.fd < 0 || !IdentityOf(file.fd, &file.identity)) {
    const std::string problem = Reason(kCannotCreateFile);
    if (file.fd >= 0) {
      (void)::unlinkat(set.folder, temporaries[k].name, 0);
      (void)::close(file.fd);
    }
    temporaries[k].name[0] = '\0';
    return Refuse(report, shown, problem);
  }
  temporaries[k].identity = file.identity;
  temporaryCount = static_cast<sig_atomic_t>(k + 1);
  set.outputs.push_back(std::move(file));
  *output = k;
  return true;
}

bool WriteOutput(std::size_t output, const void* data, std::size_t size, Report* report) {
  if (!ValidOutput(output, report)) {
    return false;
  }
  OutputFile& file = set.outputs[output];
  if (!WriteAt(file.fd, file.end, data, size)) {
    return Refuse(report, OutputPath(output), Reason("cannot write: "));
  }
  file.end += size;
  return true;
}

bool WriteOutputAt(std::size_t output, std::uint64_t offset, const void* data, std::size_t size,
                   Report* report) {
  if (!ValidOutput(output, report)) {
    return false;
  }
  OutputFile& file = set.outputs[output];
  if (!WriteAt(file.fd, offset, data, size)) {
    return Refuse(report, OutputPath(output), Reason("cannot write: "));
  }
  file.end = offset + size > file.end ? offset + size : file.end;
  return true;
}

int OutputDescriptor(std::size_t output) {
  return set.active && output < set.outputs.size() ? set.outputs[output].fd : -1;
}

bool PlaceOutputs(Report* report) {
  if (!set.active) {
    return Refuse(report, "", "no set of outputs was begun");
  }
  // Pending signals are delivered once the whole set has its names, or none has.
  SignalsBlocked blocked;
  const bool keeping = set.existing == Existing::kKeep;
  bool placed = FlushOutputs(report) && (keeping ? NameKeeping(report) : NameReplacing(report));
  if (!placed) {
    RemoveWhatWasMade();
  } else if (!FlushFolders(report)) {
    placed = false;
    // Names that replaced nothing go again; a replaced file is gone already, and the file
    // that took its name is on the disk.
    if (keeping) {
      RemoveNamed(set.outputs.size());
      RemoveWhatWasMade();
    }
  }
  EndSet();
  return placed;
}

void DiscardOutputs() {
  if (!set.active) {
    return;
  }
  SignalsBlocked blocked;
  RemoveWhatWasMade();
  EndSet();
}

std::string OutputPath(std::size_t output) {
  return output < set.outputs.size() ? set.shown + "/" + set.outputs[output].name : set.shown;
}
