// Process start-up: the C runtime prepares the process and calls WinMain, whose result
// becomes the exit code. The launcher opens no window and ignores its command line.
#include <windows.h>

#include "launcher/launcher.h"

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A downloaded launcher runs from a folder that other programs write to, so DLLs are
// never looked for there: the current folder leaves the search path and, where Windows
// offers it, the default search is the system folder only. Both calls are resolved at
// run time because older 32-bit Windows lacks them. The installer, a process of its own,
// keeps its usual search.
void HardenDllSearch() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCSTR);
  auto setDefaultDllDirectories =
      Resolve<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
  if (setDefaultDllDirectories != nullptr) {
    (void)setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  auto setDllDirectory = Resolve<SetDllDirectoryFunction>(kernel, "SetDllDirectoryA");
  if (setDllDirectory != nullptr) {
    (void)setDllDirectory("");
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*showState*/) {
  HardenDllSearch();
  return LauncherMain(::GetModuleHandleA(nullptr));
}
