// Preloaded into the packer (the build without sanitizers, whose runtime would have to
// come first): at the SWAP_AT_CALL-th call (default 1) of any function that can give a
// file its name, SWAP_FOLDER is renamed to SWAP_FOLDER.moved and a symbolic link to
// SWAP_TARGET takes its place, and only then does the call go on. This is what another
// user who owns the folder's parent can do at any moment; here it happens at the worst one.
// The C library's own headers are left out: the definitions below are its functions.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <cstring>

extern "C" long syscall(long number, ...) noexcept;

namespace {

int calls = 0;

void SwapOnce() {
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
