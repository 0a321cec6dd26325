// selfinst-pack's entry point: the command line read against the verb table, then the verb,
// the usage or the version. Images and payloads are streamed in bounded chunks: memory stays
// flat at any payload size.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/messages.h"
#include "cli/version.h"
#include "verb_table.h"

namespace {

int Run(const std::vector<std::string>& args) {
  Invocation invocation;
  std::string problem;
  if (!ParseCommandLine(Verbs(), args, &invocation, &problem)) {
    return UsageError(problem, invocation.verb == nullptr ? nullptr : invocation.verb->name);
  }
  switch (invocation.action) {
    case Invocation::Action::kHelp:
      (void)std::fputs(invocation.verb == nullptr ? GlobalUsage(Verbs()).c_str()
                                                  : VerbUsage(*invocation.verb).c_str(),
                       stdout);
      return 0;
    case Invocation::Action::kVersion:
      (void)std::printf("%s\n", VersionLine().c_str());
      return 0;
    case Invocation::Action::kRun:
      break;
  }
  return invocation.verb->run(invocation.arguments);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return CheckStandardOutput(Run(std::vector<std::string>(argv + 1, argv + argc)));
  } catch (const std::exception& unexpected) {
    Say("unexpected failure", unexpected.what());
  } catch (...) {
    Say("unexpected failure", "an unknown error");
  }
  return kFailure;
}
