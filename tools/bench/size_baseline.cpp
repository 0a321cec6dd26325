// The size benchmark's baseline: the smallest GUI program this toolchain builds that
// makes the same kinds of calls as the launcher.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::FILE* file = std::fopen("baseline.txt", "wb");
  if (file == nullptr || std::fwrite("x", 1, 1, file) != 1) {
    MessageBoxA(nullptr, "write failed", "baseline", MB_OK);
    return 1;
  }
  std::fclose(file);
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.lpFile = "baseline.txt";
  return ShellExecuteExA(&info) ? 0 : 1;
}
