// Outputs written through an opened folder, so that nothing done to the folder's path
// meanwhile (a rename, a link put in its place) can redirect them. Each output is created
// unnamed in the folder (under a hidden temporary name where the file system has no
// unnamed files), given its name only once every output of the set is complete, never
// through a link, and never in the place of a file that must be kept. What this run made,
// its files and the folders it created, goes on failure and on any signal that ends the
// process; nothing else is ever removed, and a name is removed only while it still is
// what this run made. One set of outputs at a time per process.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/file_identity.h"
#include "io/report.h"

// Whether an output may take the place of a regular file already at its name.
enum class Existing { kReplace, kKeep };

// Starts a set of outputs in `folder`. With `create`, the folder and its missing parents
// are made (and go again if the set fails); without it the folder must exist. The last
// step of `folder` is never a symbolic link; at most 64 missing folders are made.
bool BeginOutputs(const std::string& folder, bool create, Existing existing, const Inputs& inputs,
                  Report* report);
// A new, unnamed output that PlaceOutputs names `name` (a bare file name) in the folder;
// `*output` is its number for the calls below. Refused when something other than a
// regular file has that name, when that file is one of the inputs, or with
// Existing::kKeep when anything at all has it. At most 64 outputs make a set.
bool CreateOutput(const std::string& name, std::size_t* output, Report* report);
// Appends to an output, or writes at an offset already written (a checksum field).
bool WriteOutput(std::size_t output, const void* data, std::size_t size, Report* report);
bool WriteOutputAt(std::size_t output, std::uint64_t offset, const void* data, std::size_t size,
                   Report* report);
// The output's open file (readable and writable), to read back what was written.
int OutputDescriptor(std::size_t output);
// Flushes every output to disk, then names every output of the set, or none, then flushes
// the folder: a failing flush or close names nothing, and a failing flush of the folder
// fails the set too, removing the names of outputs that replaced nothing. A replaced file's
// mode is kept when the file was the user's own, less any write permission for group or
// others the umask takes away; else the output has a new file's mode. Ends the set.
bool PlaceOutputs(Report* report);
// Removes what the set made, its outputs and the folders it created, and ends the set.
void DiscardOutputs();
// The path of an output as messages show it: the folder as given, "/", the name.
std::string OutputPath(std::size_t output);
