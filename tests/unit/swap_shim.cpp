// Preloaded into the packer (the build without sanitizers, whose runtime would have to
// come first), to make at the worst moment what can happen at any:
// - at the SWAP_AT_CALL-th call (default 1) of any function that can give a file its name,
//   SWAP_FOLDER is renamed to SWAP_FOLDER.moved and a symbolic link to SWAP_TARGET takes its
//   place, and only then does the call go on: what another user who owns the folder's parent
//   can do;
// - at the CHANGE_AT_READ-th pread (default 1) of CHANGE_FILE, another writer appends a byte
//   to it (CHANGE_HOW=grow) or rewrites its first bytes (CHANGE_HOW=rewrite) first;
// - FAIL_CALL (fsync, sync_file_range or close) on a descriptor of FAIL_PATH, or of anything
//   in it when it ends in "/", fails with EIO, as on a disk or network file system that lost
//   the writes (close still closes, as Linux does); with FAIL_ONCE_NAMED set, only once a
//   call that gives a file its name has been made.
// The C library's own headers are left out: the definitions below are its functions.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" long syscall(long number, ...) noexcept;

namespace {

// Whether `fd` is a file or folder whose path starts with `prefix` (an unnamed file's path
// is its folder's, then "/#..."), or, with `whole`, is `prefix`. Makes no call the shim
// counts.
bool PathStartsWith(int fd, const char* prefix, bool whole = false) {
  char proc[64] = "/proc/self/fd/";
  char digits[24];
  int length = 0;
  for (unsigned value = static_cast<unsigned>(fd); length == 0 || value != 0; value /= 10) {
    digits[length++] = static_cast<char>('0' + value % 10);
  }
  std::size_t at = std::strlen(proc);
  while (length > 0) {
    proc[at++] = digits[--length];
  }
  proc[at] = '\0';
  char path[4096];
  const long n = syscall(SYS_readlinkat, AT_FDCWD, proc, path, sizeof path - 1);
  if (n < 0) {
    return false;
  }
  path[n] = '\0';
  return whole ? std::strcmp(path, prefix) == 0
               : std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

int reads = 0;

void ChangeBeforeRead(int fd) {
  const char* file = std::getenv("CHANGE_FILE");
  const char* how = std::getenv("CHANGE_HOW");
  const char* at = std::getenv("CHANGE_AT_READ");
  const long wanted = at != nullptr ? std::strtol(at, nullptr, 10) : 1;
  if (file == nullptr || how == nullptr || !PathStartsWith(fd, file) || ++reads != wanted) {
    return;
  }
  const bool grow = std::strcmp(how, "grow") == 0;
  const long writer =
      syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CLOEXEC | (grow ? O_APPEND : 0));
  const char bytes[] = "changed";
  if (writer < 0 || syscall(SYS_write, writer, bytes, grow ? 1 : sizeof bytes - 1) <= 0) {
    syscall(SYS_exit_group, 99);
  }
  syscall(SYS_close, writer);
}

int namesGiven = 0;

bool Fails(const char* call, int fd) {
  if (std::getenv("FAIL_ONCE_NAMED") != nullptr && namesGiven == 0) {
    return false;
  }
  const char* failing = std::getenv("FAIL_CALL");
  const char* path = std::getenv("FAIL_PATH");
  return failing != nullptr && path != nullptr && path[0] != '\0' &&
         std::strcmp(failing, call) == 0 &&
         PathStartsWith(fd, path, path[std::strlen(path) - 1] != '/');
}

int calls = 0;

void SwapOnce() {
  ++namesGiven;
  const char* folder = std::getenv("SWAP_FOLDER");
  const char* target = std::getenv("SWAP_TARGET");
  const char* at = std::getenv("SWAP_AT_CALL");
  const long wanted = at != nullptr ? std::strtol(at, nullptr, 10) : 1;
  if (folder == nullptr || target == nullptr || ++calls != wanted) {
    return;
  }
  char moved[4096];
  const std::size_t length = std::strlen(folder);
  if (length + sizeof ".moved" > sizeof moved) {
    syscall(SYS_exit_group, 99);
  }
  std::memcpy(moved, folder, length);
  std::memcpy(moved + length, ".moved", sizeof ".moved");
  // The system calls themselves, so that the swap does not count as a call.
  if (syscall(SYS_renameat, AT_FDCWD, folder, AT_FDCWD, moved) != 0 ||
      syscall(SYS_symlinkat, target, AT_FDCWD, folder) != 0) {
    syscall(SYS_exit_group, 99);
  }
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int rename(const char* from, const char* to) noexcept {
  SwapOnce();
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
  SwapOnce();
  return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to,
              unsigned int flags) noexcept {
  SwapOnce();
  return Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2")(
      fromDir, from, toDir, to, flags);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  ChangeBeforeRead(fd);
  return Next<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
  ChangeBeforeRead(fd);
  return Next<ssize_t (*)(int, void*, size_t, off_t)>("pread64")(fd, buffer, size, offset);
}

int fsync(int fd) {
  if (Fails("fsync", fd)) {
    errno = EIO;
    return -1;
  }
  return Next<int (*)(int)>("fsync")(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t size, unsigned int flags) {
  if (Fails("sync_file_range", fd)) {
    errno = EIO;
    return -1;
  }
  return Next<int (*)(int, off64_t, off64_t, unsigned int)>("sync_file_range")(fd, offset, size,
                                                                               flags);
}

int close(int fd) {
  if (Fails("close", fd)) {
    (void)Next<int (*)(int)>("close")(fd);
    errno = EIO;
    return -1;
  }
  return Next<int (*)(int)>("close")(fd);
}

int link(const char* from, const char* to) noexcept {
  SwapOnce();
  return Next<int (*)(const char*, const char*)>("link")(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) noexcept {
  SwapOnce();
  return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from, toDir, to,
                                                                          flags);
}
}
