#include "launcher/launcher.h"

#include <cstdio>

#include "payload/item_lookup.h"
#include "payload/payload_table.h"
#include "payload/remove_extracted.h"

namespace {

// The caption and these texts are shown exactly as written, typos and odd capitals
// included: users and support staff know them by heart and search for them. Do not
// correct them.
const char kNoticeCaption[] = "Varnholt Tonequill TQ-30";
constexpr const char* kLoadFailure = "Can't load resource [%s]";
constexpr const char* kCreateFailure = "Can't Create File [%s]";
constexpr const char* kWriteFailure = "Can't write file [%s]";
constexpr const char* kOverwriteQuestion =
    "%s is in the current folder.For further instllation you must overwrite %s\n"
    "Do you want to execute ?";
constexpr const char* kHaltNotice = "Installation will be halted";
constexpr const char* kStartFailure = "Can't execute Setup.exe";

// Every formatted notice is written here before it is shown.
char noticeText[200];

constexpr unsigned kErrorNoticeStyle = MB_OK | MB_ICONERROR | MB_SYSTEMMODAL | MB_SETFOREGROUND;
constexpr unsigned kQuestionStyle = MB_YESNO | MB_ICONEXCLAMATION | MB_SETFOREGROUND;

constexpr std::uint32_t kWindowPollInterval = 500;  // milliseconds between window probes
constexpr const char* kInstallerVerb = "Open";
// Relative to the current folder, where the files were written, and never a bare name:
// the shell's search for a bare name may look in the launcher's own folder first, and so
// start a "setup.exe" lying beside a downloaded launcher. Not a full path either: the
// current folder's ANSI name holds "?" for letters the code page cannot spell.
constexpr const char* kInstallerFile = ".\\setup.exe";
constexpr const char* kInstallerParameters = "CLEAR";
constexpr const char* kInstallerWindowTitle = "Setup";

void ShowErrorNotice(const char* text) {
  (void)platform::MessageBoxA(nullptr, text, kNoticeCaption, kErrorNoticeStyle);
}

// Asks whether a present file may be overwritten; returns the button pressed.
int AskOverwrite(const char* fileName) {
  platform::FormatText(noticeText, sizeof noticeText, kOverwriteQuestion, fileName, fileName);
  return platform::MessageBoxA(nullptr, noticeText, kNoticeCaption, kQuestionStyle);
}

// Reports a failed row, then takes back the first `rowLimit` files of the run.
void FailRow(const char* format, const char* name, int rowLimit) {
  platform::FormatText(noticeText, sizeof noticeText, format, name, nullptr);
  ShowErrorNotice(noticeText);
  RemoveExtracted(rowLimit);
}

// A file is present when it can be opened for reading, or when its name exists although
// it cannot be read: an unreadable file must not be overwritten without a question. A
// folder of that name is nothing to overwrite; creating the file reports it.
bool IsFilePresent(const char* fileName) {
  const std::uint32_t attributes = platform::GetFileAttributesA(fileName);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  std::FILE* probe = std::fopen(fileName, "r");
  if (probe != nullptr) {
    (void)std::fclose(probe);
    return true;
  }
  return attributes != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool ExtractPayload(platform::Handle instance) {
  int completed = 0;
  for (const PayloadEntry* row = payloadTable; row->size != 0; ++row) {
    HeldItem item{};
    // An item shorter than its row would be read past its end: refuse it unwritten.
    if (!LocateItem(instance, row->itemKey, &item) || item.length < row->size) {
      FailRow(kLoadFailure, row->itemKey, completed);
      return false;
    }
    if (IsFilePresent(row->fileName) && AskOverwrite(row->fileName) == IDNO) {
      ShowErrorNotice(kHaltNotice);
      RemoveExtracted(completed);
      return false;
    }
    std::FILE* file = std::fopen(row->fileName, "wb");
    if (file == nullptr) {
      FailRow(kCreateFailure, row->fileName, completed);
      return false;
    }
    const bool wroteAll = std::fwrite(item.bytes, row->size, 1, file) == 1;
    // The stream may still hold the item's tail, so a failing close is a short write too.
    const bool closed = std::fclose(file) == 0;
    if (!wroteAll || !closed) {
      FailRow(kWriteFailure, row->fileName, completed + 1);
      return false;
    }
    ++completed;
    ReleaseItem(item);
  }
  return true;
}

namespace {

// Starts the installer, waits until it and its "Setup" window are gone, removes the
// files; returns the exit code.
int RunInstaller() {
  platform::SHELLEXECUTEINFOA info{};
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = kInstallerVerb;
  info.lpFile = kInstallerFile;
  info.lpParameters = kInstallerParameters;
  info.lpDirectory = nullptr;  // the installer runs where its files were written
  info.nShow = SW_SHOWNORMAL;
  if (platform::ShellExecuteExA(&info) == 0) {
    ShowErrorNotice(kStartFailure);
    return 1;  // the files stay for the user
  }
  // A start that left no process handle has nothing to wait on; the window probe
  // still holds the removal back while the installation runs.
  if (info.hProcess != nullptr) {
    (void)platform::WaitForSingleObject(info.hProcess, INFINITE);
  }
  while (platform::FindWindowA(nullptr, kInstallerWindowTitle) != nullptr) {
    platform::Sleep(kWindowPollInterval);
  }
  RemoveExtracted(kFinalRemovalLimit);
  return 0;
}

}  // namespace

int LauncherMain(platform::Handle instance) {
  if (!ExtractPayload(instance)) {
    return 1;
  }
  return RunInstaller();
}
