// Folders reached one step at a time from open descriptors, so that nothing done to a path
// meanwhile redirects what comes after; the folders a walk makes are registered for clean-up
// (cleanup_registry.h) as they are made.
#pragma once

#include <string>
#include <vector>

#include "io/report.h"
#include "io/system_io.h"

// Opens `path` (O_PATH), following links at every step but the last. With `create`, at most
// 64 missing steps are made and registered (a ".." step leaves one behind, made); `*madeIn`
// gets the folder each was made in, open until the registry ends. -1 once reported.
int OpenFolder(const std::string& path, bool create, std::vector<int>* madeIn, Report* report);

// Whether `folder` is, or lies inside, one of `inputs`, up through ".." to the root; false
// with errno set when that cannot be told.
[[nodiscard]] bool LiesInside(int folder, const std::vector<FileIdentity>& inputs, bool* inside);

// Whether a file in `folder` can lose its name again (false in an append-only folder).
bool NamesCanGo(int folder);

// Flushes the names in `folder` to disk; `shown` is the subject of a failure.
[[nodiscard]] bool FlushFolder(int folder, const std::string& shown, Report* report);
