// What a run has made and must not leave if a signal ends it: files and folders, each by
// the folder it is in, its name there and its identity. The handler removes them and reads
// nothing else, so this is the one part of the outputs that runs in a handler.
//
// While anything is registered, every signal whose default action ends the process is
// caught, the real-time ones included, but those the C library keeps for its own threads
// (32 and 33 with glibc; it refuses them) and SIGKILL. SIGXFSZ is ignored instead, so that
// a write past a file size limit fails like any other.
#pragma once

#include <signal.h>

#include "io/system_io.h"

// Blocks every signal it can while it lives: nothing the handler reads is ever half changed.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  void Release();
  // Releases them once a set of outputs is placed, with its clean-up still in force: an
  // ending signal that came since the last look for one is let go, not acted on.
  void ReleasePlaced();

 private:
  sigset_t previous_{};
  bool held_ = true;
};

// BeginCleanUp catches the ending signals; EndCleanUp forgets every entry, closes the
// folders registered folders are in, and gives back the signals' previous actions.
void BeginCleanUp();
void EndCleanUp();

// Registers `name` in the open folder `dir`: a file, or a made folder, whose `dir` then
// belongs to the registry and which stays registered. The slot, or -1 when all are taken.
// Signals must be held, for Unregister too.
int Register(int dir, const char* name, const FileIdentity& identity, bool folder);
void Unregister(int slot);
// Removes what is registered, files first, then folders, the last registered first; every
// entry stays registered. Async-signal-safe.
void RemoveRegistered();
// Removes `name` in `dir` only while it is still `identity` and of the kind given (a folder
// only while empty): whatever took its place meanwhile is someone else's. Async-signal-safe.
void RemoveIfSame(int dir, const char* name, const FileIdentity& identity, bool folder);

// Whether an ending signal is pending while signals are held: the run must leave nothing for it.
bool EndingSignalPending();
