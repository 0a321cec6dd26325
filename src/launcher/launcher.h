// One run of the launcher: write the carried files into the current folder, hand off to
// the installer, wait for the installation to finish, remove the files.
#pragma once

#include "platform/platform.h"

// The whole run; returns the process exit code: 0 after a completed hand-off, else 1.
int LauncherMain(platform::Handle instance);

// Writes every manifest file. A failure is reported and cleaned up where it happens;
// the result only says whether the pass completed. The heap benchmark runs it alone.
bool ExtractPayload(platform::Handle instance);
