#include "io/output_naming.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/cleanup_registry.h"
#include "io/folder_walk.h"
#include "io/output_naming_testing.h"

namespace {

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
constexpr const char* kCannotPlace = "cannot put the file in place";

bool namedTemporariesOnly = false;
bool procHidden = false;
void (*temporaryNamer)(unsigned attempt, char* name, std::size_t size) = nullptr;

// Gives `name` a hidden name by `make` (false with errno set), which needs a new one for as
// long as the last is taken. The names fit beside an output whose name is as long as a
// name can be, and say nothing of it.
template <typename Make>
bool TakeHiddenName(char (&name)[kHiddenNameSize], const Make& make) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
  static unsigned counter = 0;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    if (temporaryNamer != nullptr) {
      temporaryNamer(attempt, name, sizeof name);
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

// Unregisters and removes the output's hidden name, if any.
void DropHidden(int folder, OutputFile* output) {
  if (output->hidden[0] != '\0') {
    Unregister(output->slot);
    RemoveIfSame(folder, output->hidden, output->identity, false);
    output->hidden[0] = '\0';
    output->slot = -1;
  }
}

}  // namespace

void UseNamedTemporariesOnly(bool namedOnly) { namedTemporariesOnly = namedOnly; }
void HideProcFiles(bool hidden) { procHidden = hidden; }
void NameTemporariesWith(void (*namer)(unsigned attempt, char* name, std::size_t size)) {
  temporaryNamer = namer;
}

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
    CloseIfOpen(&file->fd);  // it could never be named
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
  CloseIfOpen(&file->fd);
  errno = error;
  return false;
}

bool NameNewFiles(int folder, const std::string& shown, std::vector<OutputFile>* outputs,
                  Report* report) {
  for (const OutputFile& output : *outputs) {
    if (!Link(folder, output.hidden, output.fd, output.name.c_str())) {
      const int error = errno;
      return Refuse(report, shown + "/" + output.name,
                    error == EEXIST ? kAlreadyThere : SystemError(kCannotPlace, error));
    }
  }
  for (OutputFile& output : *outputs) {
    DropHidden(folder, &output);
  }
  return true;
}

// Where nothing has the name, the output takes it as a new file would, which an append-only
// folder allows; else it is renamed over the file there from a hidden name.
bool NameReplacing(int folder, const Inputs& inputs, const std::string& shown, OutputFile* output,
                   HiddenFile* replaced, Report* report) {
  const char* name = output->name.c_str();
  int mode = -1;
  if (!MayTake(folder, name, true, inputs, shown, kCannotPlace, &mode, report)) {
    return false;
  }
  if (mode >= 0 && ::fchmod(output->fd, static_cast<mode_t>(mode)) != 0) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  if (mode < 0 && Link(folder, output->hidden, output->fd, name)) {
    DropHidden(folder, output);
    return true;
  }
  if (mode < 0 && errno != EEXIST) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  struct stat status {};
  if (StatAt(folder, name, &status) && S_ISREG(status.st_mode) &&
      TakeHiddenName(replaced->hidden,
                     [&](const char* hidden) { return Link(folder, name, -1, hidden); })) {
    replaced->identity = IdentityOfStatus(status);
  }
  if (output->hidden[0] == '\0') {
    if (!TakeHiddenName(output->hidden,
                        [&](const char* hidden) { return Link(folder, "", output->fd, hidden); })) {
      return Refuse(report, shown, SystemError(kCannotPlace));
    }
    output->slot = Register(folder, output->hidden, output->identity, false);
  }
  // Looked at again: what appeared at the name since is not renamed over either.
  if (!MayTake(folder, name, true, inputs, shown, kCannotPlace, &mode, report)) {
    return false;
  }
  if (::renameat(folder, output->hidden, folder, name) != 0) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  Unregister(output->slot);
  output->hidden[0] = '\0';
  return true;
}

void TakeBack(int folder, const std::vector<OutputFile>& outputs, HiddenFile* replaced) {
  for (const OutputFile& output : outputs) {
    const char* name = output.name.c_str();
    struct stat status {};
    if (StatAt(folder, name, &status) && IdentityOfStatus(status) == output.identity &&
        (replaced->hidden[0] == '\0' || ::renameat(folder, replaced->hidden, folder, name) != 0)) {
      RemoveIfSame(folder, name, output.identity, false);
    }
  }
  ForgetReplaced(folder, replaced);
}

void ForgetReplaced(int folder, HiddenFile* replaced) {
  if (replaced->hidden[0] != '\0') {
    RemoveIfSame(folder, replaced->hidden, replaced->identity, false);
    replaced->hidden[0] = '\0';
  }
}
