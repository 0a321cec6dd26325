// The removal of the files a run has written.
#pragma once

// Every row: more than the manifest holds, so the walk stops at the terminator.
constexpr int kFinalRemovalLimit = 100;

// Deletes the files of the first `rowLimit` rows from the current folder, in manifest
// order; failures are ignored, since a file that cannot go simply stays.
void RemoveExtracted(int rowLimit);
