// The seam between the launcher and the operating system. The launcher reaches the
// platform only through these free functions, so the same launcher sources build for
// Win32 (platform/win32) and for host unit tests (tests/unit/fake_platform.cpp).
// Names follow the Win32 calls they stand for; handles are plain pointers.
#pragma once

#include <cstddef>
#include <cstdint>

// The few Win32 constants the launcher uses, with their Win32 values. Guarded so that
// the Win32 implementation, which includes windows.h first, keeps the system's own.
#ifndef MB_OK
#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define MB_ICONERROR 0x00000010L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_SETFOREGROUND 0x00010000L
#define IDYES 6
#define IDNO 7
#endif
#ifndef SW_SHOWNORMAL
#define SW_SHOWNORMAL 1
#endif
#ifndef SEE_MASK_NOCLOSEPROCESS
#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#endif
#ifndef INFINITE
#define INFINITE 0xFFFFFFFF
#endif
#ifndef INVALID_FILE_ATTRIBUTES
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#endif
#ifndef FILE_ATTRIBUTE_DIRECTORY
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#endif

namespace platform {

using Handle = void*;

// The fields of the shell's start record that the launcher fills or reads; the Win32
// implementation copies them into the system's record (whose cbSize it sets itself).
struct SHELLEXECUTEINFOA {
  std::uint32_t fMask;
  Handle hwnd;
  const char* lpVerb;
  const char* lpFile;
  const char* lpParameters;
  const char* lpDirectory;
  int nShow;
  Handle hInstApp;
  Handle hProcess;
};

// Item store: the executable's own resource section.
Handle FindResourceA(Handle module, const char* name, const char* type);
Handle LoadResource(Handle module, Handle found);
const void* LockResource(Handle loaded);
std::uint32_t SizeofResource(Handle module, Handle found);
void FreeResource(Handle loaded);

// Notices.
int MessageBoxA(Handle owner, const char* text, const char* caption, unsigned style);
// Formats `format`, whose only conversions are "%s", into `buffer`; never writes more
// than `capacity` characters including the terminating NUL.
void FormatText(char* buffer, std::size_t capacity, const char* format, const char* first,
                const char* second);

// Hand-off and wait.
int ShellExecuteExA(SHELLEXECUTEINFOA* info);
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds);
Handle FindWindowA(const char* className, const char* title);
void Sleep(std::uint32_t milliseconds);

// Files: the launcher writes and deletes through the C library's streams; it asks the
// platform only whether a name exists, which needs no read access to the file.
std::uint32_t GetFileAttributesA(const char* fileName);

}  // namespace platform
