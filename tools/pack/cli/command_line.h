// The command line of selfinst-pack: each verb's operands and options, with a line on each,
// in one table; the one parser reads them into typed fields, and the usage texts are made
// from the same table, so that what is accepted and what is documented cannot drift apart.
#pragma once

#include <string>
#include <vector>

// What a command was given; a text is empty where it was not (no value may be empty). A new
// option is a field here and a row in the table of each verb that takes it.
struct Arguments {
  std::string image;
  std::string topic;  // help's command
  std::string stub;
  std::string payload;
  std::string output;
  std::string folder;
  std::string ca;     // verify's CA file
  std::string tsaCa;  // and the one for the timestamp, when it is another
  bool json = false;
};

enum class Need { kOptional, kRequired };

struct OperandSpec {
  const char* name;  // as the usage shows it: IMAGE
  Need need;
  const char* description;
  std::string Arguments::*text;
};

struct OptionSpec {
  const char* name;   // --payload
  const char* value;  // DIR; null for a flag
  Need need;
  const char* description;
  std::string Arguments::*text;  // for an option with a value
  bool Arguments::*flag;         // for a flag
};

// One row each. An option with a value may also be given as --name=VALUE.
constexpr OptionSpec Value(const char* name, const char* value, Need need, const char* description,
                           std::string Arguments::*text) {
  return {name, value, need, description, text, nullptr};
}
constexpr OptionSpec Flag(const char* name, const char* description, bool Arguments::*flag) {
  return {name, nullptr, Need::kOptional, description, nullptr, flag};
}

struct VerbSpec {
  const char* name;
  const char* summary;  // one line, for the global usage
  std::vector<OperandSpec> operands;
  std::vector<OptionSpec> options;
  int (*run)(const Arguments& arguments);
  const char* example;  // one command line, shown by its usage and in the manual page
};

// What each exit code means, for the global usage and the manual page alike.
struct ExitCodeSpec {
  int code;
  const char* meaning;
};
inline constexpr ExitCodeSpec kExitCodes[] = {
    {0, "done"},
    {1, "a problem with the input or the system"},
    {2, "a usage error"},
};

// What the command line asks for: a verb to run, a usage to print (of `verb`, or the
// global one when it is null), or the version.
struct Invocation {
  enum class Action { kRun, kHelp, kVersion } action = Action::kRun;
  const VerbSpec* verb = nullptr;
  Arguments arguments;
};

// False with the problem, in the user's terms, for a usage error. A help request counts
// only where an option's name can stand, never as an option's value; after "--" every
// argument is an operand.
[[nodiscard]] bool ParseCommandLine(const std::vector<VerbSpec>& verbs,
                                    const std::vector<std::string>& args, Invocation* invocation,
                                    std::string* problem);

std::string GlobalUsage(const std::vector<VerbSpec>& verbs);
std::string VerbUsage(const VerbSpec& verb);
// The synopsis line of a verb: selfinst-pack extract IMAGE -C DIR
std::string Synopsis(const VerbSpec& verb);
const VerbSpec* FindVerb(const std::vector<VerbSpec>& verbs, const std::string& name);
