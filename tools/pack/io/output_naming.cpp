#include "io/output_naming.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/cleanup_registry.h"
#include "io/output_folder_testing.h"

namespace {

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
constexpr const char* kCannotPlace = "cannot put the file in place";

bool namedTemporariesOnly = false;
bool procHidden = false;
void (*temporaryNamer)(unsigned attempt, char (&name)[kTemporaryNameSize]) = nullptr;

// Fills `name` with a hidden name of its own, unrelated to any output's, so that it fits
// beside an output whose name is as long as a name can be.
void RandomName(unsigned attempt, char (&name)[kTemporaryNameSize]) {
  if (temporaryNamer != nullptr) {
    temporaryNamer(attempt, name);
    return;
  }
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
  static unsigned counter = 0;
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

// An open file's entry in /proc, a link like any other: naming the file by its descriptor
// instead needs a capability an ordinary user lacks.
std::string ProcPath(int fd) {
  return (procHidden ? "/proc/hidden/fd/" : "/proc/self/fd/") + std::to_string(fd);
}

// Gives the file named `from` in `folder` (or, for nullptr, the open file `fd`) the name
// `to` there; never replaces anything.
bool LinkFile(int folder, const char* from, int fd, const char* to) {
  if (from != nullptr) {
    return ::linkat(folder, from, folder, to, 0) == 0;
  }
  return ::linkat(AT_FDCWD, ProcPath(fd).c_str(), folder, to, AT_SYMLINK_FOLLOW) == 0;
}

bool Link(int folder, const Temporary& output, const char* name) {
  return LinkFile(folder, output.hidden[0] != '\0' ? output.hidden : nullptr, output.fd, name);
}

// Gives the file a hidden name of its own in `hidden`. False with errno set.
bool LinkHidden(int folder, const char* from, int fd, char (&hidden)[kTemporaryNameSize]) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    RandomName(attempt, hidden);
    if (LinkFile(folder, from, fd, hidden)) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  hidden[0] = '\0';
  return false;
}

const char* Kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

}  // namespace

void UseNamedTemporariesOnly(bool namedOnly) { namedTemporariesOnly = namedOnly; }
void HideProcFiles(bool hidden) { procHidden = hidden; }
void NameTemporariesWith(void (*namer)(unsigned attempt, char (&name)[kTemporaryNameSize])) {
  temporaryNamer = namer;
}

bool NamesCanGo(int folder) {
  // An O_PATH descriptor takes no ioctl; a folder this user cannot read is taken to be as
  // most are, and a failure, should it not be, says why.
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  const bool known = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (fd >= 0) {
    (void)::close(fd);
  }
  return !known || (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

bool MayTake(int folder, const std::string& name, bool replace, const Inputs& inputs,
             const std::string& shown, const char* what, int* mode, Report* report) {
  *mode = -1;
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || Refuse(report, shown, SystemError(what));
  }
  if (!replace) {
    return Refuse(report, shown, kAlreadyThere);
  }
  if (!S_ISREG(status.st_mode)) {
    return Refuse(report, shown,
                  std::string(Kind(status.st_mode)) +
                      ", not a regular file; it is kept, and nothing is written");
  }
  if (IsOneOf(IdentityOfStatus(status), inputs.files)) {
    return Refuse(report, shown,
                  "the file is one of the command's inputs; it is kept, and nothing is written");
  }
  if (!NamesCanGo(folder)) {
    return Refuse(report, shown,
                  "the folder is append-only, so the file there cannot be replaced; it is kept, "
                  "and nothing is written");
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

bool CreateTemporary(int folder, bool appendOnly, Temporary* temporary) {
  SignalsHeld held;
  if (!namedTemporariesOnly) {
    // Unnamed, the file needs no removing whatever happens; the mode is 0666 less the umask.
    temporary->fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    struct stat proc {};
    if (temporary->fd >= 0 && IdentityOf(temporary->fd, &temporary->identity) &&
        ::stat(ProcPath(temporary->fd).c_str(), &proc) == 0 &&
        IdentityOfStatus(proc) == temporary->identity) {
      return true;
    }
    if (temporary->fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return false;
    }
    if (temporary->fd >= 0) {
      (void)::close(temporary->fd);  // it could never be named
    }
  }
  if (appendOnly) {
    errno = EPERM;  // a hidden name there could never go again
    return false;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    RandomName(attempt, temporary->hidden);
    temporary->fd = ::openat(folder, temporary->hidden,
                             O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0666);
    if (temporary->fd >= 0 || errno != EEXIST) {
      break;
    }
  }
  if (temporary->fd >= 0 && IdentityOf(temporary->fd, &temporary->identity)) {
    temporary->slot = Register(folder, temporary->hidden, temporary->identity, false, false);
    if (temporary->slot >= 0) {
      return true;
    }
    errno = EMLINK;
  }
  DropTemporary(folder, temporary);
  return false;
}

void DropTemporary(int folder, Temporary* temporary) {
  const int error = errno;
  if (temporary->hidden[0] != '\0') {
    Unregister(temporary->slot);
    RemoveIfSame(folder, temporary->hidden, temporary->identity, false);
    temporary->hidden[0] = '\0';
    temporary->slot = -1;
  }
  if (temporary->fd >= 0) {
    (void)::close(temporary->fd);
    temporary->fd = -1;
  }
  errno = error;
}

bool ReplaceOne(int folder, Temporary* output, const std::string& name, const Inputs& inputs,
                const std::string& shown, Replaced* replaced, Report* report) {
  int mode = -1;
  if (!MayTake(folder, name, true, inputs, shown, kCannotPlace, &mode, report)) {
    return false;
  }
  if (mode >= 0 && ::fchmod(output->fd, static_cast<mode_t>(mode)) != 0) {
    return Refuse(report, shown, SystemError(kCannotPlace));
  }
  // Where nothing is there is nothing to replace: the name is given as a new file's is.
  if (mode < 0 && !Link(folder, *output, name.c_str())) {
    if (errno != EEXIST) {
      return Refuse(report, shown, SystemError(kCannotPlace));
    }
  } else if (mode < 0) {
    if (output->hidden[0] != '\0') {
      Unregister(output->slot);
      RemoveIfSame(folder, output->hidden, output->identity, false);
      output->hidden[0] = '\0';
    }
    return true;
  }
  // The file there keeps a second name until the replacement stands. Without one (another
  // user's file that may not be linked), a replacement can no longer be taken back.
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode) && LinkHidden(folder, name.c_str(), -1, replaced->hidden)) {
    replaced->identity = IdentityOfStatus(status);
  }
  if (output->hidden[0] == '\0') {
    if (!LinkHidden(folder, nullptr, output->fd, output->hidden)) {
      const std::string problem = SystemError(kCannotPlace);
      ForgetReplaced(folder, replaced);
      return Refuse(report, shown, problem);
    }
    output->slot = Register(folder, output->hidden, output->identity, false, false);
  }
  // Looked at again: what appeared at the name since is not renamed over either.
  bool renamed = MayTake(folder, name, true, inputs, shown, kCannotPlace, &mode, report);
  if (renamed && ::renameat(folder, output->hidden, folder, name.c_str()) != 0) {
    renamed = Refuse(report, shown, SystemError(kCannotPlace));
  }
  if (!renamed) {
    ForgetReplaced(folder, replaced);
    return false;
  }
  Unregister(output->slot);
  output->hidden[0] = '\0';
  return true;
}

void TakeBackReplacement(int folder, const Temporary& output, const std::string& name,
                         Replaced* replaced) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      IdentityOfStatus(status) == output.identity &&
      (replaced->hidden[0] == '\0' ||
       ::renameat(folder, replaced->hidden, folder, name.c_str()) != 0)) {
    RemoveIfSame(folder, name.c_str(), output.identity, false);
  }
  ForgetReplaced(folder, replaced);
}

void ForgetReplaced(int folder, Replaced* replaced) {
  if (replaced->hidden[0] != '\0') {
    RemoveIfSame(folder, replaced->hidden, replaced->identity, false);
    replaced->hidden[0] = '\0';
  }
}

bool PlaceNew(int folder, std::vector<Temporary>* outputs, const std::vector<std::string>& names,
              const std::vector<std::string>& shown, Report* report) {
  for (std::size_t k = 0; k < outputs->size(); ++k) {
    if (!Link(folder, (*outputs)[k], names[k].c_str())) {
      Refuse(report, shown[k], errno == EEXIST ? kAlreadyThere : SystemError(kCannotPlace));
      RemoveNames(folder, std::vector<Temporary>(outputs->begin(), outputs->begin() + k), names);
      return false;
    }
  }
  for (Temporary& output : *outputs) {
    if (output.hidden[0] != '\0') {
      Unregister(output.slot);
      RemoveIfSame(folder, output.hidden, output.identity, false);
      output.hidden[0] = '\0';
    }
  }
  return true;
}

void RemoveNames(int folder, const std::vector<Temporary>& outputs,
                 const std::vector<std::string>& names) {
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    RemoveIfSame(folder, names[k].c_str(), outputs[k].identity, false);
  }
}
