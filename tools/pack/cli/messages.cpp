#include "cli/messages.h"

#include <cstdio>

#include "io/shown.h"
#include "io/system_io.h"

int UsageError(const std::string& problem, const char* verb) {
  const std::string help =
      verb == nullptr ? "selfinst-pack --help" : std::string("selfinst-pack help ") + verb;
  (void)std::fprintf(stderr, "selfinst-pack: %s (see %s)\n", Shown(problem).c_str(), help.c_str());
  return kUsageError;
}

void Say(const std::string& subject, const std::string& what) {
  (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", Shown(subject).c_str(),
                     Shown(what).c_str());
}

void Print(const Report& report) {
  for (const Problem& problem : report) {
    Say(problem.subject,
        (problem.severity == Severity::kWarning ? "warning: " : "") + problem.what);
  }
}

int Fail(const Report& report) {
  Print(report);
  return kFailure;
}

int CheckStandardOutput(int result) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Say("standard output", SystemError("cannot write"));
    return kFailure;
  }
  return result;
}
