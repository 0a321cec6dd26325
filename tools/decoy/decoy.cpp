// A decoy "setup.exe" for tests: if it is ever started, it leaves a file named
// "decoy-was-started" in its current folder and beside itself.
#include <windows.h>

namespace {
void Mark(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
}
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Mark("decoy-was-started");
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  for (DWORD i = length; i > 0; --i) {
    if (self[i - 1] == '\\') {
      lstrcpyA(self + i, "decoy-was-started");
      Mark(self);
      break;
    }
  }
  return 0;
}
