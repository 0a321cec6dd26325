// The extraction benchmark's baseline: writes files of the given sizes into the current
// folder straight from one memory block with WriteFile, then deletes them.
//   write-baseline NAME SIZE [NAME SIZE ...]
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  unsigned long long largest = 0;
  for (int i = 2; i < argc; i += 2) {
    const unsigned long long size = std::strtoull(argv[i], nullptr, 10);
    largest = size > largest ? size : largest;
  }
  char* block = static_cast<char*>(VirtualAlloc(nullptr, static_cast<SIZE_T>(largest),
                                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (block == nullptr && largest != 0) {
    return 1;
  }
  for (unsigned long long i = 0; i < largest; ++i) {
    block[i] = static_cast<char>(i * 131);
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    HANDLE file = CreateFileA(argv[i], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::strtoull(argv[i + 1], nullptr, 10));
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, block, size, &written, nullptr) ||
        written != size) {
      return 1;
    }
    CloseHandle(file);
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    DeleteFileA(argv[i]);
  }
  return 0;
}
