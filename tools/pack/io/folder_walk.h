// Folders reached one step at a time relative to open descriptors, so that nothing done to
// a path meanwhile (a rename, a link put in its place) redirects what comes after. The
// folders a walk makes are registered with the clean-up registry as it makes them.
#pragma once

#include <string>
#include <vector>

#include "io/report.h"
#include "io/system_io.h"

// At most this many missing folders are made for one path.
constexpr int kMaxMadeFolders = 64;

// Opens `path` (O_PATH, close-on-exec): links are followed at every step but the last,
// and with `create` a missing step is made and registered (a ".." step then leaves it
// behind, made). `*madeIn` gets the folder each was made in, open until the registry ends.
// -1 once the problem is in `report`; what was made stays registered.
int OpenFolder(const std::string& path, bool create, std::vector<int>* madeIn, Report* report);

// Whether `folder` is, or lies inside, one of `inputs`, up through ".." to the root; false
// with errno set when that cannot be told.
bool LiesInside(int folder, const std::vector<FileIdentity>& inputs, bool* inside);
