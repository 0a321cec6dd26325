// An in-memory platform for host tests: an item store, scripted message-box answers, a
// recorded call log, a fake installer process and a fake "Setup" window.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ShownBox {
  std::string text;
  std::string caption;
  unsigned style;
  bool hasOwner;
};

// A copy of what the launcher handed the shell; its strings may not outlive the call.
struct ShellRecord {
  std::uint32_t fMask = 0;
  bool hasOwner = false;
  std::string verb;
  std::string file;
  std::string parameters;
  bool hasDirectory = false;
  int nShow = 0;
};

struct FakePlatform {
  // Items by upper-case key; LoadResource fails for the keys in `unloadable`.
  std::map<std::string, std::string> items;
  std::set<std::string> unloadable;

  // Names whose attributes GetFileAttributesA cannot read, whatever is there.
  std::set<std::string> attributesUnreadable;

  std::deque<int> answers;  // popped by each message box; empty gives IDOK
  std::vector<ShownBox> boxes;

  // Every platform call in order, e.g. "find:README_TXT", "free:DATA_1", "shell",
  // "wait", "probe:Setup", "sleep:500"; a null handle handed in shows as "load:null".
  std::vector<std::string> calls;

  bool shellStarts = true;
  bool shellLeavesProcess = true;
  ShellRecord shellRecord;
  int probesWithWindow = 0;  // FindWindowA finds "Setup" for this many probes

  // Called at each release and each message box, so a test can look at the folder at
  // exactly that moment (the file of a released item has been written and closed).
  std::vector<std::string> (*snapshot)() = nullptr;
  std::vector<std::vector<std::string>> snapshotsAtRelease;
  std::vector<std::vector<std::string>> snapshotsAtBox;
};

FakePlatform& Fake();
void ResetFake();
platform::Handle FakeProcessHandle();

// LauncherMain in a child process run by an unprivileged user (root may create and read
// any file), in the current folder; the boxes the child showed and the calls it made
// become the fake's. Returns the child's exit code, 99 when privileges could not be
// dropped, -1 when it did not exit.
int RunLauncherUnprivileged();
