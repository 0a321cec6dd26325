// One run of the launcher: write the carried files into the current folder, hand off to
// the installer, wait for the installation to finish, remove the files.
#pragma once

#include <cstdint>

#include "platform/platform.h"

extern const char kNoticeCaption[];
// Every formatted notice is written here before it is shown.
extern char noticeText[200];
constexpr std::uint32_t kWindowPollInterval = 500;  // milliseconds between window probes

// The whole run; returns the process exit code: 0 after a completed hand-off, else 1.
int LauncherMain(platform::Handle instance);

// Writes every manifest file. A failure is reported and cleaned up where it happens;
// the result only says whether the pass completed.
bool ExtractPayload(platform::Handle instance);

// Starts the installer, waits until it and its "Setup" window are gone, removes the
// files; returns the exit code.
int RunInstaller();

void ShowErrorNotice(const char* text);

// Asks whether a present file may be overwritten; returns the button pressed.
int AskOverwrite(const char* fileName);
