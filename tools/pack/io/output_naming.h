// How an output gets its name in an open folder: created without one (or under a hidden
// temporary name where the file system has no unnamed files, or /proc is not there to
// name one by), then given its own in one of two ways, the only two the commands need:
// replacing the one file at a name, or placing a set of new names, all or none. Never
// through a link, never over anything but a regular file that may be replaced.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "io/report.h"
#include "io/system_io.h"

constexpr std::size_t kTemporaryNameSize = 16;  // ".pack-" and 8 random characters

struct Temporary {
  int fd = -1;
  FileIdentity identity;
  char hidden[kTemporaryNameSize] = "";  // "" while it has no name in the folder
  int slot = -1;                         // the hidden name's entry in the clean-up registry
};

// What is at `name` in `folder` and what an output may do about it. `*mode` is the
// permissions an output replacing the file there takes, or -1 when it keeps a new file's
// (0666 less the umask). Refused, with `shown` as the subject: anything at all when
// `replace` is false; else what is not a regular file, one of `inputs`, or any file in a
// folder where no name can be taken away (append-only).
bool MayTake(int folder, const std::string& name, bool replace, const Inputs& inputs,
             const std::string& shown, const char* what, int* mode, Report* report);

// A new file in `folder` that has no name an output could be taken for; its hidden name,
// if any, is registered. False with errno set. `appendOnly`: the folder is append-only,
// where a hidden name could never be removed again.
bool CreateTemporary(int folder, bool appendOnly, Temporary* temporary);
// Unregisters and removes the hidden name, if any, and closes the file. Signals must be held.
void DropTemporary(int folder, Temporary* temporary);
// Whether a file in `folder` can lose its name again (false in an append-only folder).
bool NamesCanGo(int folder);

// The file an output replaced, under a second hidden name of its own while the replacement
// may still be taken back.
struct Replaced {
  char hidden[kTemporaryNameSize] = "";  // "" when there was none, or it could not be kept
  FileIdentity identity;
};

// Gives `output` the name `name`, where a regular file may be and is replaced. Signals
// must be held.
bool ReplaceOne(int folder, Temporary* output, const std::string& name, const Inputs& inputs,
                const std::string& shown, Replaced* replaced, Report* report);
// Puts the replaced file back at `name`, or without one removes `name` while it is the
// output: for a replacement that must not stand. Signals must be held.
void TakeBackReplacement(int folder, const Temporary& output, const std::string& name,
                         Replaced* replaced);
// Lets the replaced file go: the replacement stands.
void ForgetReplaced(int folder, Replaced* replaced);

// Gives each output its name, where nothing may be; on the first refusal the names given
// are removed again. Signals must be held.
bool PlaceNew(int folder, std::vector<Temporary>* outputs, const std::vector<std::string>& names,
              const std::vector<std::string>& shown, Report* report);
// Removes the names PlaceNew gave, while each is still the output.
void RemoveNames(int folder, const std::vector<Temporary>& outputs,
                 const std::vector<std::string>& names);
