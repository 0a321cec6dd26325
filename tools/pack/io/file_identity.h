// Files and folders by identity, to tell an output apart from the command's inputs
// whatever path either was reached by.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <vector>

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
bool operator==(const FileIdentity& a, const FileIdentity& b);
FileIdentity IdentityOfStatus(const struct stat& status);
// Follows links, as opening the input did.
[[nodiscard]] bool IdentityOf(int fd, FileIdentity* identity);
bool IsOneOf(const FileIdentity& identity, const std::vector<FileIdentity>& identities);

// What the outputs must never be: one of the command's input files, or anywhere inside
// one of its input folders (the payload folder).
struct Inputs {
  std::vector<FileIdentity> files;
  std::vector<FileIdentity> folders;
};
