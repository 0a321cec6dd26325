// Running the packer with what RunPack does not give it: a chosen build, an environment,
// stdout apart from stderr (or into a given file), stderr on a terminal, a file size limit, and a
// start that returns at once, for tests that act on the process while it runs.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct ToolRun {
  std::vector<std::string> args;
  std::string tool;                    // "" for kPack
  std::vector<std::string> env;        // "NAME=value", added to the test's environment
  std::string stdoutPath;              // "" to capture stdout; else opened for writing
  bool stdoutToStderr = false;         // both in `err`, in the order written
  bool stderrOnTerminal = false;       // stderr on a pseudo-terminal (raw), read into `err`
  unsigned short terminalColumns = 0;  // that terminal's width; 0 leaves it as openpty makes it
  rlim_t fileSizeLimit = RLIM_INFINITY;
  bool asNobody = false;  // a copy of the tool in `toolCopyDir` runs as nobody
  std::string toolCopyDir;
  int timeoutSeconds = 20;
};

struct ToolResult {
  int exitCode = 0;  // -1 when ended by a signal, -2 when stopped for taking too long
  int signal = 0;    // the signal that ended it
  std::string out;   // stdout, unless it went to a file
  std::string err;
  double seconds = 0;  // from start to end
};

ToolResult RunTool(const ToolRun& run);

// Started with stdout and stderr on /dev/null; the caller waits for it.
pid_t StartTool(const ToolRun& run);
// Waits until `pid` holds open a file directly in `folder` (named or not), for at most
// `timeoutSeconds`; false when it did not, or ended first.
bool WaitForFileOpenIn(pid_t pid, const std::string& folder, int timeoutSeconds);

// A run ended by a signal while it wrote: whether it held a file open in the folder (it was
// writing) when the signal came, and its wait status.
struct Interruption {
  bool writing = false;
  int status = 0;
};
// Starts the tool, waits until it holds a file open in `folder` (for at most 60 s), sends it
// `signal` and waits for its end.
Interruption InterruptWhileWriting(const ToolRun& run, const std::string& folder, int signal);

// A path as the tool prints it: each control character as \uXXXX.
std::string Escaped(const std::string& path);
// Every line of `text` starts with `prefix`, and there is at least one.
bool EveryLineStartsWith(const std::string& text, const std::string& prefix);
