#include "io/cleanup_registry.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Fixed arrays: the handler may not allocate.
constexpr int kSlots = 160;

struct Entry {
  int dir;  // -1 for a free slot
  bool folder;
  char name[NAME_MAX + 1];
  FileIdentity identity;
};
Entry entries[kSlots];
volatile sig_atomic_t entryCount = 0;  // slots in use are below it

struct sigaction previousActions[NSIG];
bool replacedActions[NSIG];

// Signals whose default action ends nothing, and the two no handler can catch.
constexpr int kLeftAlone[] = {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGTSTP,
                              SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH};

// Set once a set that can no longer be taken back lets go of the signals it held.
volatile sig_atomic_t setPlaced = 0;

void RemoveAndDie(int signal) {
  // It came while the names were given, after the last look for one: the set stands whole,
  // and the run goes on to say so rather than end with a status that says nothing is left.
  if (setPlaced != 0) {
    return;
  }
  RemoveRegistered();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  (void)::sigaction(signal, &fallback, nullptr);
  // Still blocked in this handler: delivered, with its default action, as it returns.
  (void)::raise(signal);
}

}  // namespace

SignalsHeld::SignalsHeld() {
  sigset_t all;
  (void)::sigfillset(&all);
  (void)::sigprocmask(SIG_BLOCK, &all, &previous_);
}

SignalsHeld::~SignalsHeld() { Release(); }

void SignalsHeld::Release() {
  if (held_) {
    held_ = false;
    (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
}

void SignalsHeld::ReleasePlaced() {
  setPlaced = 1;  // until the next set begins: its clean-up ends with this one
  Release();      // what was held is delivered here, and let go
}

void BeginCleanUp() {
  setPlaced = 0;
  for (int signal = 1; signal < NSIG; ++signal) {
    // The C library refuses its own signals (EINVAL), and an ignored signal stays ignored:
    // it ends nothing (nohup, a pipeline ignoring SIGPIPE).
    if (std::find(std::begin(kLeftAlone), std::end(kLeftAlone), signal) != std::end(kLeftAlone) ||
        ::sigaction(signal, nullptr, &previousActions[signal]) != 0 ||
        previousActions[signal].sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = signal == SIGXFSZ ? SIG_IGN : RemoveAndDie;
    (void)::sigfillset(&action.sa_mask);
    replacedActions[signal] = ::sigaction(signal, &action, nullptr) == 0;
  }
}

void EndCleanUp() {
  for (sig_atomic_t i = 0; i < entryCount; ++i) {
    if (entries[i].dir >= 0 && entries[i].folder) {
      (void)::close(entries[i].dir);
    }
  }
  entryCount = 0;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (replacedActions[signal]) {
      (void)::sigaction(signal, &previousActions[signal], nullptr);
      replacedActions[signal] = false;
    }
  }
}

int Register(int dir, const char* name, const FileIdentity& identity, bool folder) {
  const std::size_t length = std::strlen(name);
  if (entryCount >= kSlots || length > NAME_MAX) {
    return -1;
  }
  Entry& entry = entries[entryCount];
  entry.dir = dir;
  entry.folder = folder;
  std::memcpy(entry.name, name, length + 1);
  entry.identity = identity;
  entryCount = entryCount + 1;
  return entryCount - 1;
}

void Unregister(int slot) {
  if (slot >= 0 && slot < entryCount && !entries[slot].folder) {
    entries[slot].dir = -1;
  }
}

void RemoveIfSame(int dir, const char* name, const FileIdentity& identity, bool folder) {
  struct stat status {};
  if (StatAt(dir, name, &status) && IdentityOfStatus(status) == identity &&
      (folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode))) {
    (void)::unlinkat(dir, name, folder ? AT_REMOVEDIR : 0);
  }
}

void RemoveRegistered() {
  for (const bool folders : {false, true}) {
    for (sig_atomic_t i = entryCount; i > 0; --i) {
      const Entry& entry = entries[i - 1];
      if (entry.dir >= 0 && entry.folder == folders) {
        RemoveIfSame(entry.dir, entry.name, entry.identity, entry.folder);
      }
    }
  }
}

bool EndingSignalPending() {
  sigset_t pending;
  if (::sigpending(&pending) != 0) {
    return false;
  }
  for (int signal = 1; signal < NSIG; ++signal) {
    if (replacedActions[signal] && ::sigismember(&pending, signal) == 1) {
      return true;
    }
  }
  return false;
}
