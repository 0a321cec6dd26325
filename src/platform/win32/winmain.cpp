// Process start-up: the C runtime prepares the process and calls WinMain, whose result
// becomes the exit code. The launcher opens no window and ignores its command line.
#include <windows.h>

#include "launcher/launcher.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*showState*/) {
  return LauncherMain(::GetModuleHandleA(nullptr));
}
