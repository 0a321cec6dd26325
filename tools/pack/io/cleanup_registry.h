// What a run has made and must not leave if a signal ends it: files and folders, each by
// the folder it is in, its name there and its identity. The signal handler removes them
// and reads nothing else, so this is the one part of the outputs that runs in a handler.
//
// Every signal whose default action ends the process is caught while anything is
// registered, the real-time ones included, but for those the C library keeps for its
// own threads (32 and 33 with glibc), which it refuses to let a program catch; SIGKILL
// cannot be caught either. Nothing is removed after any of them. SIGXFSZ is ignored
// instead, so that a write past a file size limit fails like any other.
#pragma once

#include <signal.h>

#include <cstddef>

#include "io/system_io.h"

// Every signal that can be blocked is, for the life of the object: nothing the handler
// reads is ever half changed.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// Whether `signal` is one the registry catches.
bool CatchesSignal(int signal);

// Catches the ending signals, which must not be caught already by this registry.
void BeginCleanUp();
// Forgets every entry, closes the folders they were registered with, and gives back
// the signals' previous actions. Signals must be held.
void EndCleanUp();

// Registers `name` in the open folder `dir` (which the registry closes at the end when
// `ownsFolder`); the returned slot, or -1 when all are taken. Signals must be held.
int Register(int dir, const char* name, const FileIdentity& identity, bool folder, bool ownsFolder);
// Stops removing the entry of `slot`. Signals must be held.
void Unregister(int slot);
// Removes what is registered, files first, then folders, the last registered first: each
// only while it is still what this run made, and a folder only while empty. Every entry
// stays registered. Async-signal-safe.
void RemoveRegistered();
// Removes `name` in `dir` only while it is still `identity` and of the kind given: whatever
// took its place meanwhile is someone else's. Async-signal-safe.
void RemoveIfSame(int dir, const char* name, const FileIdentity& identity, bool folder);

// Whether an ending signal is pending while signals are held: it comes as soon as they are
// not, and the run must leave nothing for it.
bool EndingSignalPending();
