// selfinst-pack: attaches the item store to the launcher's stub; lists, checks and unpacks
// the store of a packed launcher; checks a payload folder. Images and payloads are streamed
// in bounded chunks: memory stays flat at any payload size. This file holds the verb table
// and the dispatch; each verb's handler is a file of its own in verbs/.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/messages.h"
#include "cli/version.h"
#include "verbs/verbs.h"

namespace {

const std::vector<VerbSpec>& Verbs();

int Help(const Arguments& arguments) {
  if (arguments.topic.empty()) {
    (void)std::fputs(GlobalUsage(Verbs()).c_str(), stdout);
    return 0;
  }
  const VerbSpec* verb = FindVerb(Verbs(), arguments.topic);
  if (verb == nullptr) {
    return UsageError("help: unknown command " + arguments.topic);
  }
  (void)std::fputs(VerbUsage(*verb).c_str(), stdout);
  return 0;
}

// Every verb, its operands and options: what the parser accepts and the usage shows.
const std::vector<VerbSpec>& Verbs() {
  using A = Arguments;
  constexpr Need kNeeded = Need::kRequired;
  constexpr Need kOptional = Need::kOptional;
  static const std::vector<VerbSpec> verbs = {
      {"pack",
       "makes a launcher: the stub with a payload folder's files, their sizes in its table",
       {},
       {Value("--stub", "STUB.exe", kNeeded,
              "the stub as built, for any payload: dist/tq30-stub.exe or tq30-stub-x64.exe",
              &A::stub),
        Value("--payload", "DIR", kNeeded, "the folder holding the eleven files", &A::payload),
        Value("-o", "OUT.exe", kNeeded, "the launcher to write (replaced when there)", &A::output)},
       Pack},
      {"list",
       "shows the files a built launcher carries, with sizes and SHA-256",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Flag("--json", "prints one JSON document instead", &A::json)},
       List},
      {"verify",
       "checks a built launcher's store and loader fields, and its items against a payload",
       {{"IMAGE", kNeeded, "the built launcher to check", &A::image}},
       {Value("--payload", "DIR", kOptional, "compares every item with its file, byte for byte",
              &A::payload),
        Value("--ca", "FILE", kOptional,
              "also checks that a signature's certificate chains to a CA of FILE (PEM)", &A::ca),
        Flag("--json", "prints one JSON document instead", &A::json)},
       Verify},
      {"extract",
       "writes the files a built launcher carries into a folder, once it verifies",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Value("-C", "DIR", kNeeded, "the folder to write into (made when missing)", &A::folder)},
       Extract},
      {"check",
       "checks that a payload folder holds the eleven files and nothing else",
       {},
       {Value("--payload", "DIR", kNeeded, "the folder to check", &A::payload)},
       Check},
      {"names", "prints the names of the eleven payload files, in manifest order", {}, {}, Names},
      {"limits", "prints the largest payload a launcher carries", {}, {}, Limits},
      {"help",
       "shows a command's usage, or this",
       {{"COMMAND", kOptional, "the command to show", &A::topic}},
       {},
       Help},
  };
  return verbs;
}

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
