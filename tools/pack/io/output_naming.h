// How outputs come to their names. Each is made with no name an output could be taken for:
// unnamed, or under a hidden name where the file system has no unnamed files or /proc is
// not there, registered for clean-up (cleanup_registry.h) while it lives. It is then named,
// never through a link: one file replacing what has its name, or new files taking names
// nothing has, all or none. Signals must be held while names are given or taken back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/report.h"
#include "io/system_io.h"

// What the outputs must never be: one of the command's input files, or anywhere inside
// one of its input folders (the payload folder).
struct Inputs {
  std::vector<FileIdentity> files;
  std::vector<FileIdentity> folders;
};

constexpr std::size_t kHiddenNameSize = 16;  // ".pack-" and 8 random characters

struct HiddenFile {
  char hidden[kHiddenNameSize] = "";  // "" while it has no hidden name
  FileIdentity identity;
};

struct OutputFile : HiddenFile {
  std::string name;
  int fd = -1;
  int slot = -1;          // the hidden name's entry in the clean-up registry
  std::uint64_t end = 0;  // where the next write appends
};

// Whether an output may take `name` in `folder`. Refused, with `shown` as the subject:
// anything at all when `replace` is false; else what is not a regular file, one of
// `inputs`, or any file in an append-only folder. `*mode` is the mode a replacing output
// takes, or -1 to keep a new file's (0666 less the umask). `what` heads a failed look.
[[nodiscard]] bool MayTake(int folder, const std::string& name, bool replace, const Inputs& inputs,
                           const std::string& shown, const char* what, int* mode, Report* report);

// Opens a new file in `folder` for `file`; false with errno set (EPERM where only a hidden
// name would do and `appendOnly` says it could never go again).
[[nodiscard]] bool CreateTemporary(int folder, bool appendOnly, OutputFile* file);

// Names every output in `folder`, whose messages show it as `shown`. Refused as soon as a
// name is taken; what was given then is for TakeBack.
[[nodiscard]] bool NameNewFiles(int folder, const std::string& shown,
                                std::vector<OutputFile>* outputs, Report* report);
// Names `output` in `folder` over the regular file there, if any, which is looked at again
// first. That file keeps a second name in `*replaced` until the replacement stands; without
// one (another user's file, which may not be linked) it can no longer be put back.
[[nodiscard]] bool NameReplacing(int folder, const Inputs& inputs, const std::string& shown,
                                 OutputFile* output, HiddenFile* replaced, Report* report);
// Removes each name given while it is still the output, or puts the replaced file back over
// it; then no second name is left.
void TakeBack(int folder, const std::vector<OutputFile>& outputs, HiddenFile* replaced);
// Removes the replaced file's second name, once the replacement stands.
void ForgetReplaced(int folder, HiddenFile* replaced);
