// Folders reached one step at a time relative to open descriptors, so that nothing done to
// a path meanwhile (a rename, a link put in its place) redirects what comes after.
#pragma once

#include <string>
#include <vector>

#include "io/report.h"
#include "io/system_io.h"

// Opens `path` (O_PATH, close-on-exec), following links at every step but the last. With
// `create`, at most 64 missing steps are made and registered with the clean-up registry (a
// ".." step leaves one behind, made); `*madeIn` gets the folder each was made in, open
// until the registry ends. -1 once the problem is in `report`.
int OpenFolder(const std::string& path, bool create, std::vector<int>* madeIn, Report* report);

// Whether `folder` is, or lies inside, one of `inputs`, up through ".." to the root; false
// with errno set when that cannot be told.
bool LiesInside(int folder, const std::vector<FileIdentity>& inputs, bool* inside);
