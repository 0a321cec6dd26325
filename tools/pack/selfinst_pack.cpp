// selfinst-pack's verb table: attaches the item store to the launcher's stub; lists, checks
// and unpacks the store of a packed launcher; checks a payload folder. Each verb's handler is
// a file of its own in verbs/; main.cpp dispatches, and the manual page is made from this
// same table.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "cli/messages.h"
#include "verb_table.h"
#include "verbs/verbs.h"

namespace {

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

using A = Arguments;
constexpr Need kNeeded = Need::kRequired;
constexpr Need kOptional = Need::kOptional;

// The verbs that make or read a launcher.
std::vector<VerbSpec> LauncherVerbs() {
  return {
      {"pack",
       "makes a launcher: the stub with a payload folder's files, their sizes in its table",
       {},
       {Value("--stub", "STUB.exe", kNeeded,
              "the stub as built, for any payload: dist/tq30-stub.exe or tq30-stub-x64.exe",
              &A::stub),
        Value("--payload", "DIR", kNeeded, "the folder holding the eleven files", &A::payload),
        Value("-o", "OUT.exe", kNeeded, "the launcher to write (replaced when there)", &A::output)},
       Pack,
       "selfinst-pack pack --stub dist/tq30-stub.exe --payload payload -o tq30-setup.exe"},
      {"list",
       "shows a built launcher's files with sizes and SHA-256, and its signature as verify "
       "judges it",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Flag("--json", "prints one JSON document instead", &A::json)},
       List,
       "selfinst-pack list dist/tq30-setup.exe"},
      {"verify",
       "checks a built launcher's store and loader fields, and its items against a payload",
       {{"IMAGE", kNeeded, "the built launcher to check", &A::image}},
       {Value("--payload", "DIR", kOptional, "compares every item with its file, byte for byte",
              &A::payload),
        Value("--ca", "FILE", kOptional,
              "also checks that the signer and the timestamp chain to a CA of FILE (PEM)", &A::ca),
        Value("--tsa-ca", "FILE", kOptional,
              "checks the timestamp against FILE (PEM) instead of --ca's, and that there is one",
              &A::tsaCa),
        Flag("--json", "prints one JSON document instead", &A::json)},
       Verify,
       "selfinst-pack verify dist/tq30-setup.exe --payload payload --ca your-ca.pem"},
      {"extract",
       "writes the files a built launcher carries into a folder, once it verifies, signature "
       "included",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Value("-C", "DIR", kNeeded, "the folder to write into (made when missing)", &A::folder)},
       Extract,
       "selfinst-pack extract dist/tq30-setup.exe -C unpacked"},
  };
}

// The verbs about payloads, limits and the tool itself.
std::vector<VerbSpec> OtherVerbs() {
  return {
      {"check",
       "checks that a payload folder holds the eleven files and nothing else",
       {},
       {Value("--payload", "DIR", kNeeded, "the folder to check", &A::payload)},
       Check,
       "selfinst-pack check --payload payload"},
      {"names",
       "prints the names of the eleven payload files, in manifest order",
       {},
       {},
       Names,
       "selfinst-pack names"},
      {"limits",
       "prints the largest payload a launcher carries",
       {},
       {},
       Limits,
       "selfinst-pack limits"},
      {"help",
       "shows a command's usage, or this",
       {{"COMMAND", kOptional, "the command to show", &A::topic}},
       {},
       Help,
       "selfinst-pack help verify"},
  };
}

}  // namespace

const std::vector<VerbSpec>& Verbs() {
  static const std::vector<VerbSpec> verbs = [] {
    std::vector<VerbSpec> all = LauncherVerbs();
    for (VerbSpec& verb : OtherVerbs()) {
      all.push_back(std::move(verb));
    }
    return all;
  }();
  return verbs;
}
