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

ReadResult ReadFull(int fd, std::uint64_t at, std::size_t size, std::uint8_t* out) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n == 0 ? ReadResult::kEnded : ReadResult::kFailed;
    }
    done += static_cast<std::size_t>(n);
  }
  return ReadResult::kRead;
}

std::string ReadProblem(ReadResult result) {
  return result == ReadResult::kEnded ? kChangedWhileRead : SystemError("cannot read");
}

bool WriteFull(int fd, std::uint64_t at, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(at + done));
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
