#include "io/folder_walk.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/cleanup_registry.h"

namespace {

// Folders are opened only to name things relative to them: no read permission is needed,
// as none is to walk a path.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

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
std::string NotAFolder(int dir, const std::string& name, const char* what) {
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
  return SystemError(what, error);
}

// Makes `name` in `parent`, opens it and registers it, handing `parent` to the registry.
// -1 with errno otherwise: a folder made but replaced before it was opened is not this
// run's to remove.
int MakeAndOpen(int parent, const std::string& name, bool* handedOver) {
  SignalsHeld held;
  if (::mkdirat(parent, name.c_str(), 0777) != 0) {
    return -1;
  }
  const int fd = ::openat(parent, name.c_str(), kFolderFlags | O_NOFOLLOW);
  FileIdentity identity;
  if (fd < 0 || !IdentityOf(fd, &identity)) {
    const int error = errno;
    if (fd >= 0) {
      (void)::close(fd);
    }
    errno = error;
    return -1;
  }
  *handedOver = Register(parent, name.c_str(), identity, true, true) >= 0;
  if (!*handedOver) {
    (void)::close(fd);
    (void)::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    errno = EMLINK;
    return -1;
  }
  return fd;
}

// Opens one step of `path` in `current`, making it when missing and `create`. -1 with errno
// set, or -2 once the problem is in `report`.
int OpenStep(int current, const std::string& step, bool last, bool create, int* made,
             bool* handedOver, const std::string& path, const char* what, Report* report) {
  const int flags = kFolderFlags | (last ? O_NOFOLLOW : 0);
  if (step.size() > NAME_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int next = ::openat(current, step.c_str(), flags);
  if (next >= 0 || errno != ENOENT || !create) {
    return next;
  }
  if (*made >= kMaxMadeFolders) {
    Refuse(report, path,
           std::string(what) + ": more than " + std::to_string(kMaxMadeFolders) +
               " of its folders are missing");
    return -2;
  }
  next = MakeAndOpen(current, step, handedOver);
  if (next >= 0) {
    ++*made;
  } else if (errno == EEXIST) {  // made by someone else meanwhile
    next = ::openat(current, step.c_str(), flags);
  }
  return next;
}

}  // namespace

int OpenFolder(const std::string& path, bool create, std::vector<int>* madeIn, Report* report) {
  const char* what = create ? "cannot create the folder" : "cannot open the folder";
  int current = ::open(!path.empty() && path[0] == '/' ? "/" : ".", kFolderFlags);
  if (current < 0) {
    Refuse(report, path, SystemError(what));
    return -1;
  }
  const std::vector<std::string> steps = Steps(path);
  int made = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool last = i + 1 == steps.size();
    bool handedOver = false;  // `current` now belongs to the registry
    const int next =
        OpenStep(current, steps[i], last, create, &made, &handedOver, path, what, report);
    if (next == -1) {
      Refuse(report, path,
             last && (errno == ELOOP || errno == ENOTDIR) ? NotAFolder(current, steps[i], what)
                                                          : SystemError(what));
    }
    if (handedOver) {
      madeIn->push_back(current);
    } else {
      (void)::close(current);
    }
    if (next < 0) {
      return -1;
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
