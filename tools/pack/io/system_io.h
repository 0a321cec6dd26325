// What every stage of the packer does with the system alike: whole reads and writes through
// interruptions and short counts, a failed call said in words, and files and folders told
// apart by identity whatever path reached them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "WHAT: the system's words for errno", the one form of a failed call in every message.
std::string SystemError(const std::string& what);
std::string SystemError(const std::string& what, int error);

// Exactly `size` bytes of an open file from `at`. A file that ends first was changed while
// read (its size was taken before); a failed read leaves errno set.
enum class ReadResult { kRead, kEnded, kFailed };
constexpr const char* kChangedWhileRead = "changed while it was being read";
[[nodiscard]] ReadResult ReadFull(int fd, std::uint64_t at, std::size_t size, std::uint8_t* out);
// The problem of a read that did not return every byte: the file changed, or the system's
// words for the failure.
std::string ReadProblem(ReadResult result);
// All `size` bytes at `at`; false with errno set otherwise (EIO for a write of nothing).
[[nodiscard]] bool WriteFull(int fd, std::uint64_t at, const void* data, std::size_t size);

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
bool operator==(const FileIdentity& a, const FileIdentity& b);
FileIdentity IdentityOfStatus(const struct stat& status);
// Follows links, as opening the input did.
[[nodiscard]] bool IdentityOf(int fd, FileIdentity* identity);
bool IsOneOf(const FileIdentity& identity, const std::vector<FileIdentity>& identities);

// `name` in the open folder `folder`, never following a link in its place.
[[nodiscard]] bool StatAt(int folder, const char* name, struct stat* status);
// Closes `*fd` unless it is -1, and makes it -1: for descriptors whose close reports nothing
// the run needs (a clean-up, a folder opened to look at).
void CloseIfOpen(int* fd);

// A descriptor that closes when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { CloseIfOpen(&fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};
