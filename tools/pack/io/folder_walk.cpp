#include "io/folder_walk.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "io/cleanup_registry.h"

namespace {

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
  CloseIfOpen(&fd);
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

}  // namespace

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
  CloseIfOpen(&current);
  errno = error;
  return known || *inside;
}

// An O_PATH descriptor takes no ioctl; a folder this user cannot read is taken to be as most
// are, and a failure, should it not be, says why.
bool NamesCanGo(int folder) {
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  const bool known = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  CloseIfOpen(&fd);
  return !known || (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

// A folder this user may write but not read cannot be opened to flush it; the file system
// then keeps its names as it would without being asked.
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
