// The stand-in installer: our own program in the place of "setup.exe", keeping the
// installer's side of the launcher's contract. Started with "CLEAR" from the folder that
// holds the eleven files, it starts a copy of itself in the temporary folder and exits,
// as real installers do. The second stage shows a top-level window titled "Setup" while
// it reads and checks the files, copies them into an install folder and writes a log;
// then it closes the window and exits. A file that vanishes while the window is still
// open is logged as a failure: that is how a launcher that deletes too early is caught.
//
// Steered by environment variables (never through the launcher):
//   STANDIN_EXIT_CODE   exit code of the first stage (default 0)
//   STANDIN_STAGES      "1": no second stage and no window
//   STANDIN_WINDOW_MS   how long the window stays after the work (default 300)
//   STANDIN_CANCEL      "1": the second stage cancels: nothing installed, exit code 2
//   STANDIN_INSTALL_DIR install folder (default %TEMP%\tq30-install)
//   STANDIN_LOG         log file (default <install folder>\install.log)
//   STANDIN_EXIT_STAMP  file into which the first stage writes the system time (100 ns
//                       since 1601, decimal) just before it exits (benchmarks)
//   STANDIN_PARAMETERS  file into which the first stage writes the parameters it was
//                       started with: its command line after the program's name
#include <windows.h>

#include "checksum.h"

namespace {

// The carried files, from the one list of them.
const char* const kFiles[] = {
#define PAYLOAD_FILE(key, name) name,
#include "payload_files.def"
#undef PAYLOAD_FILE
};

HANDLE logFile = INVALID_HANDLE_VALUE;
bool failed = false;

void Log(const char* a, const char* b = "", const char* c = "") {
  char line[1024];
  const int length = wsprintfA(line, "%s%s%s\r\n", a, b, c);
  DWORD written = 0;
  WriteFile(logFile, line, static_cast<DWORD>(length), &written, nullptr);
}

void Fail(const char* a, const char* b = "", const char* c = "") {
  failed = true;
  char line[1024];
  wsprintfA(line, "FAILED: %s", a);
  Log(line, b, c);
}

bool Env(const char* name, char* value, DWORD size) {
  const DWORD length = GetEnvironmentVariableA(name, value, size);
  return length > 0 && length < size;
}

int EnvNumber(const char* name, int fallback) {
  char value[32];
  if (!Env(name, value, sizeof value)) {
    return fallback;
  }
  int number = 0;
  for (const char* p = value; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + (*p - '0');
  }
  return number;
}

// Writes `length` bytes into the file of the path the variable `name` holds, if it is set.
void WriteFileNamedBy(const char* name, const char* text, int length) {
  char path[MAX_PATH];
  if (!Env(name, path, sizeof path)) {
    return;
  }
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

bool StartsWith(const char* text, const char* prefix) {
  while (*prefix != '\0' && *text == *prefix) {
    ++text;
    ++prefix;
  }
  return *prefix == '\0';
}

void Join(char* out, const char* folder, const char* name) {
  lstrcpyA(out, folder);
  lstrcatA(out, "\\");
  lstrcatA(out, name);
}

// Reads a whole file into memory from the process heap; null if it cannot.
char* ReadAll(const char* path, DWORD* size) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  *size = GetFileSize(file, nullptr);
  char* bytes = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, *size + 1));
  DWORD read = 0;
  const BOOL ok = bytes != nullptr && ReadFile(file, bytes, *size, &read, nullptr) && read == *size;
  CloseHandle(file);
  if (!ok) {
    HeapFree(GetProcessHeap(), 0, bytes);
    return nullptr;
  }
  bytes[*size] = '\0';
  return bytes;
}

bool AllFilesPresent(const char* folder, bool logMissing) {
  bool present = true;
  for (const char* name : kFiles) {
    char path[MAX_PATH];
    Join(path, folder, name);
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
      present = false;
      if (logMissing) {
        Fail(name, " vanished while the installation was running");
      }
    }
  }
  return present;
}

// Checks each file against the list in setup.ins: "name size fnv1a32" lines.
void CheckFiles(const char* folder) {
  char path[MAX_PATH];
  Join(path, folder, "setup.ins");
  DWORD listSize = 0;
  char* list = ReadAll(path, &listSize);
  if (list == nullptr) {
    Fail("cannot read setup.ins");
    return;
  }
  FILETIME previous{};
  for (const char* name : kFiles) {
    Join(path, folder, name);
    DWORD size = 0;
    char* bytes = ReadAll(path, &size);
    if (bytes == nullptr) {
      Fail("cannot read ", name);
      continue;
    }
    if (lstrcmpA(name, "setup.ins") != 0) {
      char expected[128];
      wsprintfA(expected, "%s %lu %lx\r\n", name, size, Fnv1a(bytes, size));
      bool listed = false;
      for (char* line = list; *line != '\0' && !listed;) {
        listed = StartsWith(line, expected);
        while (*line != '\0' && *line++ != '\n') {
        }
      }
      if (!listed) {
        Fail(name, " does not match its size and checksum in setup.ins");
      }
    }
    HeapFree(GetProcessHeap(), 0, bytes);
    // The launcher writes the files one after another in manifest order.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written{};
    GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    if (CompareFileTime(&written, &previous) < 0) {
      Fail(name, " was written before the file that precedes it");
    }
    previous = written;
    Log("read ", name, " ok");
  }
  HeapFree(GetProcessHeap(), 0, list);
}

void Install(const char* folder, const char* installDir) {
  CreateDirectoryA(installDir, nullptr);
  for (const char* name : kFiles) {
    char from[MAX_PATH];
    char to[MAX_PATH];
    Join(from, folder, name);
    Join(to, installDir, name);
    if (CopyFileA(from, to, FALSE)) {
      Log("installed ", name);
    } else {
      Fail("cannot install ", name);
    }
  }
}

void PumpMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
  }
}

// The first stage waits on this event, named after its process id, until the second
// stage's window exists: the launcher probes for the window as soon as the first stage
// has ended, and must find it.
void ReadyEventName(char* name, DWORD firstStageId) {
  wsprintfA(name, "tq30-standin-ready-%lu", firstStageId);
}

int SecondStage(const char* folder, DWORD firstStageId) {
  char installDir[MAX_PATH];
  char logPath[MAX_PATH];
  if (!Env("STANDIN_INSTALL_DIR", installDir, sizeof installDir)) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    Join(installDir, temp, "tq30-install");
  }
  CreateDirectoryA(installDir, nullptr);
  if (!Env("STANDIN_LOG", logPath, sizeof logPath)) {
    Join(logPath, installDir, "install.log");
  }
  logFile =
      CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  Log("second stage for ", folder);

  HWND window = CreateWindowExA(0, "STATIC", "Setup", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 320,
                                120, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr) {
    Fail("cannot open the Setup window");
  }
  PumpMessages();
  char eventName[64];
  ReadyEventName(eventName, firstStageId);
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (ready != nullptr) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  if (EnvNumber("STANDIN_CANCEL", 0) == 1) {
    Log("cancelled by the user");
  } else {
    CheckFiles(folder);
    Install(folder, installDir);
  }
  // The files must stay while the window is open.
  const DWORD until = GetTickCount() + static_cast<DWORD>(EnvNumber("STANDIN_WINDOW_MS", 300));
  bool present = true;
  do {
    PumpMessages();
    present = present && AllFilesPresent(folder, present);
    Sleep(20);
  } while (static_cast<int>(until - GetTickCount()) > 0);
  present = present && AllFilesPresent(folder, present);
  if (window != nullptr) {
    DestroyWindow(window);
  }
  Log(failed ? "installation FAILED" : "installation complete");
  CloseHandle(logFile);
  return EnvNumber("STANDIN_CANCEL", 0) == 1 ? 2 : (failed ? 1 : 0);
}

// Copies this program to the temporary folder and starts the copy as the second stage.
// The copy inherits the current folder and names it ".": the folder's full ANSI name holds
// "?" for letters the code page cannot spell, so paths that cross it are wide or relative.
bool StartSecondStage() {
  wchar_t self[MAX_PATH];
  wchar_t temp[MAX_PATH];
  wchar_t copy[MAX_PATH];
  wchar_t commandLine[2 * MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  GetTempPathW(MAX_PATH, temp);
  wsprintfW(copy, L"%stq30-standin-%lu.exe", temp, GetCurrentProcessId());
  if (!CopyFileW(self, copy, FALSE)) {
    return false;
  }
  wsprintfW(commandLine, L"\"%s\" STAGE2 %lu \".\"", copy, GetCurrentProcessId());
  char eventName[64];
  ReadyEventName(eventName, GetCurrentProcessId());
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(copy, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  HANDLE waits[2] = {ready, process.hProcess};
  WaitForMultipleObjects(2, waits, FALSE, 30000);
  CloseHandle(ready);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  // "STAGE2 <first stage id> "folder"": the second stage.
  if (StartsWith(commandLine, "STAGE2 ")) {
    char folder[MAX_PATH];
    const char* start = commandLine + 7;
    DWORD firstStageId = 0;
    for (; *start >= '0' && *start <= '9'; ++start) {
      firstStageId = firstStageId * 10 + static_cast<DWORD>(*start - '0');
    }
    while (*start == ' ') {
      ++start;
    }
    if (*start == '"') {
      ++start;
    }
    lstrcpynA(folder, start, sizeof folder);
    const int length = lstrlenA(folder);
    if (length > 0 && folder[length - 1] == '"') {
      folder[length - 1] = '\0';
    }
    return SecondStage(folder, firstStageId);
  }
  WriteFileNamedBy("STANDIN_PARAMETERS", commandLine, lstrlenA(commandLine));
  if (EnvNumber("STANDIN_STAGES", 2) != 1 && !StartSecondStage()) {
    return 3;
  }
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  char stamp[32];
  const int length =
      wsprintfA(stamp, "%I64u",
                (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  WriteFileNamedBy("STANDIN_EXIT_STAMP", stamp, length);
  return EnvNumber("STANDIN_EXIT_CODE", 0);
}
