// Counts the heap the extraction pass allocates on the host build: the launcher's own
// sources over a minimal platform whose items are the payload files mapped read-only,
// with malloc and friends counted around the pass.
//   heap-bench PAYLOAD_DIR SCRATCH_DIR
// Prints: <bytes allocated> <allocations> <peak bytes live> <payload bytes>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/launcher.h"
#include "payload/payload_table.h"
#include "payload/remove_extracted.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
}

namespace {

bool counting = false;
std::size_t allocatedBytes = 0;
std::size_t allocations = 0;
long long liveBytes = 0;
long long peakLiveBytes = 0;

void Count(void* block, std::size_t size) {
  if (counting && block != nullptr) {
    allocatedBytes += size;
    ++allocations;
    liveBytes += static_cast<long long>(malloc_usable_size(block));
    peakLiveBytes = liveBytes > peakLiveBytes ? liveBytes : peakLiveBytes;
  }
}

void Uncount(void* block) {
  if (counting && block != nullptr) {
    liveBytes -= static_cast<long long>(malloc_usable_size(block));
  }
}

struct MappedItem {
  const char* key;
  const void* bytes;
  std::uint32_t length;
};
MappedItem items[16];
int itemCount = 0;

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  void* block = __libc_malloc(size);
  Count(block, size);
  return block;
}
void* calloc(std::size_t count, std::size_t size) {
  void* block = __libc_calloc(count, size);
  Count(block, count * size);
  return block;
}
void* realloc(void* block, std::size_t size) {
  Uncount(block);
  void* moved = __libc_realloc(block, size);
  Count(moved, size);
  return moved;
}
void free(void* block) {
  Uncount(block);
  __libc_free(block);
}
}

namespace platform {
Handle FindResourceA(Handle, const char*, const char* type) {
  for (int i = 0; i < itemCount; ++i) {
    if (std::strcmp(items[i].key, type) == 0) {
      return &items[i];
    }
  }
  return nullptr;
}
Handle LoadResource(Handle, Handle found) { return found; }
const void* LockResource(Handle loaded) { return static_cast<MappedItem*>(loaded)->bytes; }
std::uint32_t SizeofResource(Handle, Handle found) {
  return static_cast<MappedItem*>(found)->length;
}
void FreeResource(Handle) {}
int MessageBoxA(Handle, const char* text, const char*, unsigned) {
  (void)std::fprintf(stderr, "heap-bench: unexpected box: %s\n", text);
  return IDYES;
}
void FormatText(char* buffer, std::size_t capacity, const char* format, const char* first,
                const char*) {
  (void)std::snprintf(buffer, capacity, "%s %s", format, first);
}
int ShellExecuteExA(SHELLEXECUTEINFOA*) { return 0; }
std::uint32_t WaitForSingleObject(Handle, std::uint32_t) { return 0; }
Handle FindWindowA(const char*, const char*) { return nullptr; }
void Sleep(std::uint32_t) {}
std::uint32_t GetFileAttributesA(const char* fileName) {
  struct stat status {};
  return ::stat(fileName, &status) == 0 ? 0x80u : INVALID_FILE_ATTRIBUTES;
}
}  // namespace platform

int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fprintf(stderr, "usage: heap-bench PAYLOAD_DIR SCRATCH_DIR\n");
    return 2;
  }
  std::size_t payloadBytes = 0;
  for (const PayloadEntry* row = payloadTable; row->size != 0; ++row) {
    char path[4096];
    (void)std::snprintf(path, sizeof path, "%s/%s", argv[1], row->fileName);
    const int fd = ::open(path, O_RDONLY);
    void* bytes = fd < 0 ? MAP_FAILED : ::mmap(nullptr, row->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED) {
      (void)std::fprintf(stderr, "heap-bench: cannot map %s\n", path);
      return 1;
    }
    ::close(fd);
    items[itemCount++] = {row->itemKey, bytes, row->size};
    payloadBytes += row->size;
  }
  if (::chdir(argv[2]) != 0) {
    return 1;
  }
  counting = true;
  const bool completed = ExtractPayload(nullptr);
  counting = false;
  RemoveExtracted(kFinalRemovalLimit);
  if (!completed) {
    (void)std::fprintf(stderr, "heap-bench: the pass failed\n");
    return 1;
  }
  std::printf("%zu %zu %lld %zu\n", allocatedBytes, allocations, peakLiveBytes, payloadBytes);
  return 0;
}
