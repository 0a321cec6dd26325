#include "io/system_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::string SystemError(const std::string& what) { return SystemError(what, errno); }

std::string SystemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

namespace {

// Repeats `step(done)`, one pread or pwrite of what is left from `done`, until `size` bytes
// are done, through interruptions and short counts: 1 once they are, else what the call
// that stopped it returned (0, or -1 with errno set).
template <typename Step>
ssize_t Repeated(std::size_t size, Step step) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = step(done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n;
    }
    done += static_cast<std::size_t>(n);
  }
  return 1;
}

}  // namespace

ReadResult ReadFull(int fd, std::uint64_t at, std::size_t size, std::uint8_t* out) {
  const ssize_t last = Repeated(size, [&](std::size_t done) {
    return ::pread(fd, out + done, size - done, static_cast<off_t>(at + done));
  });
  return last > 0 ? ReadResult::kRead : last == 0 ? ReadResult::kEnded : ReadResult::kFailed;
}

bool StartWriteBack(int fd, std::uint64_t at, std::uint64_t size) {
  if (size == 0 || ::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(size),
                                     SYNC_FILE_RANGE_WRITE) == 0) {
    return true;
  }
  // A kernel or sandbox without the call, or a file system that refuses it.
  return errno == ENOSYS || errno == EINVAL;
}

std::string ReadProblem(ReadResult result) {
  return result == ReadResult::kEnded ? kChangedWhileRead : SystemError("cannot read");
}

bool WriteFull(int fd, std::uint64_t at, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const ssize_t last = Repeated(size, [&](std::size_t done) {
    return ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(at + done));
  });
  if (last == 0) {
    errno = EIO;
  }
  return last > 0;
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

FileIdentity IdentityOfStatus(const struct stat& status) { return {status.st_dev, status.st_ino}; }

bool IdentityOf(int fd, FileIdentity* identity) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return false;
  }
  *identity = IdentityOfStatus(status);
  return true;
}

bool IsOneOf(const FileIdentity& identity, const std::vector<FileIdentity>& identities) {
  return std::any_of(identities.begin(), identities.end(),
                     [&](const FileIdentity& other) { return other == identity; });
}

bool StatAt(int folder, const char* name, struct stat* status) {
  return ::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW) == 0;
}

void CloseIfOpen(int* fd) {
  if (*fd >= 0) {
    (void)::close(*fd);
  }
  *fd = -1;
}
