#include "io/file_identity.h"

#include <algorithm>

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
