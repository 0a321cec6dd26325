// The seam over the real Win32 calls. The only launcher source that sees windows.h.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "platform/platform.h"
#include "platform/text_bound.h"

namespace platform {

namespace {
HMODULE AsModule(Handle module) { return static_cast<HMODULE>(module); }
}  // namespace

Handle FindResourceA(Handle module, const char* name, const char* type) {
  return ::FindResourceA(AsModule(module), name, type);
}

Handle LoadResource(Handle module, Handle found) {
  return ::LoadResource(AsModule(module), static_cast<HRSRC>(found));
}

const void* LockResource(Handle loaded) { return ::LockResource(static_cast<HGLOBAL>(loaded)); }

std::uint32_t SizeofResource(Handle module, Handle found) {
  return ::SizeofResource(AsModule(module), static_cast<HRSRC>(found));
}

void FreeResource(Handle loaded) { (void)::FreeResource(static_cast<HGLOBAL>(loaded)); }

int MessageBoxA(Handle owner, const char* text, const char* caption, unsigned style) {
  return ::MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}

void FormatText(char* buffer, std::size_t capacity, const char* format, const char* first,
                const char* second) {
  // wsprintfA writes at most 1024 characters and a NUL; the caller's buffer is smaller,
  // so format here first and keep what fits.
  char formatted[1025];
  const int length = ::wsprintfA(formatted, format, first, second);
  (void)KeepWithin(buffer, capacity, formatted, length);
}

int ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  ::SHELLEXECUTEINFOA record{};
  record.cbSize = sizeof record;
  record.fMask = info->fMask;
  record.hwnd = static_cast<HWND>(info->hwnd);
  record.lpVerb = info->lpVerb;
  record.lpFile = info->lpFile;
  record.lpParameters = info->lpParameters;
  record.lpDirectory = info->lpDirectory;
  record.nShow = info->nShow;
  const BOOL started = ::ShellExecuteExA(&record);
  info->hInstApp = record.hInstApp;
  info->hProcess = record.hProcess;
  return started;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

Handle FindWindowA(const char* className, const char* title) {
  return ::FindWindowA(className, title);
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t GetFileAttributesA(const char* fileName) { return ::GetFileAttributesA(fileName); }

}  // namespace platform

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(::SHELLEXECUTEINFOA) == 60, "the 32-bit start record is 60 bytes");
#endif
