#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// The temporaries being written, and the outputs placed beside files that must be kept,
// for the signal handler to remove.
constexpr int kMaxOutputs = 16;
char temporaries[kMaxOutputs][PATH_MAX];
volatile sig_atomic_t temporaryCount = 0;
const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RemoveTemporariesAndDie(int signal) {
  for (sig_atomic_t i = 0; i < temporaryCount; ++i) {
    (void)::unlink(temporaries[i]);
  }
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

// Interruptions are held back while the list of temporaries changes.
void HoldInterruptions(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterruptions) {
    sigaddset(&set, signal);
  }
  (void)::sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void InstallHandler() {
  struct sigaction action {};
  action.sa_handler = RemoveTemporariesAndDie;
  for (int signal : kInterruptions) {
    (void)::sigaction(signal, &action, nullptr);
  }
  // Past a file size limit, a write then fails like any other, and the outputs go.
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

void ForgetTemporaries(bool remove) {
  HoldInterruptions(true);
  for (sig_atomic_t i = 0; i < temporaryCount; ++i) {
    if (remove) {
      (void)::unlink(temporaries[i]);
    }
  }
  temporaryCount = 0;
  HoldInterruptions(false);
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
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

mode_t CreationMode() {
  const mode_t mask = ::umask(0);
  (void)::umask(mask);
  return 0666 & ~mask;
}

// One output into a fresh temporary beside it, registered for removal.
bool WriteTemporary(const Output& output, std::string* problem) {
  const std::filesystem::path path(output.path);
  const std::string pattern =
      (path.parent_path().empty() ? std::string(".") : path.parent_path().string()) + "/." +
      path.filename().string() + ".XXXXXX";
  if (pattern.size() >= PATH_MAX || temporaryCount >= kMaxOutputs) {
    *problem = "the path is too long";
    return false;
  }
  HoldInterruptions(true);
  char* slot = temporaries[temporaryCount];
  std::memcpy(slot, pattern.c_str(), pattern.size() + 1);
  const int fd = ::mkostemp(slot, O_CLOEXEC);
  if (fd >= 0) {
    temporaryCount = temporaryCount + 1;
  }
  HoldInterruptions(false);
  if (fd < 0) {
    *problem = Reason("cannot create a file in its folder");
    return false;
  }
  const bool written = ::fchmod(fd, CreationMode()) == 0 && WriteAll(fd, *output.bytes);
  *problem = written ? "" : Reason("cannot write");
  if (::close(fd) != 0 && written) {
    *problem = Reason("cannot write");
    return false;
  }
  return written;
}

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";

// Renames temporary `index` to `path`. Replacing: the slot is cleared, since removing the
// output now would lose the file it replaced. Keeping: a file already at `path` is never
// replaced, and the slot takes the placed name, so that a later failure or an
// interruption removes it again. `path` fits a slot: its temporary's longer name did.
bool PlaceTemporary(std::size_t index, const std::string& path, bool keep, std::string* problem) {
  const unsigned flags = keep ? RENAME_NOREPLACE : 0;
  // Held back until the slot says what was placed, so that an interruption arriving
  // as the rename returns still finds the placed file.
  HoldInterruptions(true);
  int placed = ::renameat2(AT_FDCWD, temporaries[index], AT_FDCWD, path.c_str(), flags);
  // A file system without that flag: a hard link, too, never replaces a file.
  if (placed != 0 && keep && (errno == EINVAL || errno == ENOSYS) &&
      ::link(temporaries[index], path.c_str()) == 0) {
    placed = ::unlink(temporaries[index]);
  }
  if (placed != 0) {
    *problem = errno == EEXIST ? kAlreadyThere : Reason("cannot put the file in place");
    HoldInterruptions(false);
    return false;
  }
  if (keep) {
    std::memcpy(temporaries[index], path.c_str(), path.size() + 1);
  } else {
    temporaries[index][0] = '\0';
  }
  HoldInterruptions(false);
  return true;
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::uint64_t limit, Bytes* bytes,
                     std::string* problem) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *problem = Reason("cannot open");
    return false;
  }
  struct stat status {};
  bool ok = ::fstat(fd, &status) == 0;
  if (ok && !S_ISREG(status.st_mode)) {
    *problem = S_ISDIR(status.st_mode) ? "a folder, not a regular file" : "not a regular file";
    ok = false;
  } else if (ok && static_cast<std::uint64_t>(status.st_size) > limit) {
    *problem = std::to_string(status.st_size) + " bytes, more than the " + std::to_string(limit) +
               " bytes a 32-bit Windows image can hold";
    ok = false;
  } else if (ok) {
    bytes->resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    ssize_t n = 1;
    while (done < bytes->size() && n > 0) {
      n = ::read(fd, bytes->data() + done, bytes->size() - done);
      done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ok = done == bytes->size();
    *problem = ok ? "" : n == 0 ? kChangedWhileRead : Reason("cannot read");
  } else {
    *problem = Reason("cannot read");
  }
  (void)::close(fd);
  return ok;
}

bool WriteOutputs(const std::vector<Output>& outputs, Existing existing, std::string* failedPath,
                  std::string* problem) {
  const bool keep = existing == Existing::kKeep;
  for (const Output& output : outputs) {
    struct stat status {};
    if (keep && ::lstat(output.path.c_str(), &status) == 0) {
      *failedPath = output.path;
      *problem = kAlreadyThere;
      return false;
    }
  }
  InstallHandler();
  for (const Output& output : outputs) {
    if (!WriteTemporary(output, problem)) {
      *failedPath = output.path;
      ForgetTemporaries(true);
      return false;
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (!PlaceTemporary(i, outputs[i].path, keep, problem)) {
      *failedPath = outputs[i].path;
      ForgetTemporaries(true);
      return false;
    }
  }
  ForgetTemporaries(false);
  return true;
}

// `path` without "." or ".." steps or a trailing slash, so that its parents are its folders.
std::filesystem::path FolderPath(const std::string& path) {
  std::filesystem::path normal = std::filesystem::path(path).lexically_normal();
  return normal.has_filename() || normal == normal.parent_path() ? normal : normal.parent_path();
}

bool MakeFolder(const std::string& path, std::string* outermostCreated, std::string* problem) {
  std::error_code error;
  outermostCreated->clear();
  for (std::filesystem::path missing = FolderPath(path);
       !missing.empty() && !std::filesystem::exists(std::filesystem::symlink_status(missing));
       missing = missing.parent_path()) {
    *outermostCreated = missing.string();
    if (missing == missing.parent_path()) {
      break;
    }
  }
  std::filesystem::create_directories(path, error);
  if (error || !std::filesystem::is_directory(path, error)) {
    *problem = "cannot create the folder" + (error ? ": " + error.message() : ": not a folder");
    return false;
  }
  return true;
}

void RemoveEmptyFolders(const std::string& path, const std::string& outermost) {
  if (outermost.empty()) {
    return;
  }
  std::error_code error;
  for (std::filesystem::path folder = FolderPath(path); std::filesystem::remove(folder, error);
       folder = folder.parent_path()) {
    if (folder == outermost || folder == folder.parent_path()) {
      break;
    }
  }
}
