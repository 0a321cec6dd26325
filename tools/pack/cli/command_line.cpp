#include "cli/command_line.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <utility>

namespace {

// An option name means the same wherever it stands (a value, or none), so the words of a
// command line can be told from option values before its verb is known.
const OptionSpec* AnyOption(const std::vector<VerbSpec>& verbs, const std::string& name) {
  for (const VerbSpec& verb : verbs) {
    for (const OptionSpec& option : verb.options) {
      if (name == option.name) {
        return &option;
      }
    }
  }
  return nullptr;
}

const OptionSpec* OptionOf(const VerbSpec& verb, const std::string& name) {
  for (const OptionSpec& option : verb.options) {
    if (name == option.name) {
      return &option;
    }
  }
  return nullptr;
}

struct Scanned {
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::string>> given;  // name, value ("" for a flag)
  bool help = false;
  bool version = false;
  std::string problem;  // the first one
};

void Scan(const std::vector<VerbSpec>& verbs, const std::vector<std::string>& args,
          Scanned* scanned) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string problem;
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      scanned->words.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      scanned->help = true;
    } else if (arg == "--version") {
      scanned->version = true;
    } else if (const std::size_t equals = arg.find('=');
               arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      // --name=VALUE, as tar and git take it: the value may then start with '-'.
      const std::string name = arg.substr(0, equals);
      const OptionSpec* option = AnyOption(verbs, name);
      if (option == nullptr) {
        problem = "unknown option " + name;
      } else if (option->value == nullptr) {
        problem = name + " takes no value";
      } else if (equals + 1 == arg.size()) {
        problem = name + " needs a non-empty value";
      } else {
        scanned->given.emplace_back(name, arg.substr(equals + 1));
      }
    } else if (const OptionSpec* option = AnyOption(verbs, arg); option == nullptr) {
      problem = "unknown option " + arg;
    } else if (option->value == nullptr) {
      scanned->given.emplace_back(arg, "");
    } else if (i + 1 == args.size()) {
      problem.append(arg).append(" needs a value: ").append(arg).append(" ").append(option->value);
    } else if (args[i + 1].empty()) {
      problem = arg + " needs a non-empty value";
      ++i;
    } else {
      scanned->given.emplace_back(arg, args[++i]);
    }
    if (scanned->problem.empty()) {
      scanned->problem = problem;
    }
  }
}

bool TakeOptions(const VerbSpec& verb, const Scanned& scanned, Arguments* arguments,
                 std::string* problem) {
  std::vector<std::string> seen;
  for (const auto& entry : scanned.given) {
    const OptionSpec* option = OptionOf(verb, entry.first);
    if (option == nullptr) {
      *problem = entry.first + " does not apply to " + verb.name;
      return false;
    }
    if (std::find(seen.begin(), seen.end(), entry.first) != seen.end()) {
      *problem = entry.first + " is given twice";
      return false;
    }
    seen.push_back(entry.first);
    if (option->flag != nullptr) {
      arguments->*(option->flag) = true;
    } else {
      arguments->*(option->text) = entry.second;
    }
  }
  return true;
}

std::string OperandsTaken(const VerbSpec& verb) {
  if (verb.operands.empty()) {
    return "only options";
  }
  const OperandSpec& operand = verb.operands.front();
  return std::string(operand.need == Need::kRequired ? "one " : "at most one ") + operand.name;
}

// Options first: a word where a required option was forgotten is named in the hint.
bool TakeOperands(const VerbSpec& verb, const std::vector<std::string>& words, Arguments* arguments,
                  std::string* problem) {
  const std::size_t operands = words.size() - 1;
  for (const OptionSpec& option : verb.options) {
    if (option.need == Need::kRequired && (arguments->*(option.text)).empty()) {
      const std::string wanted = std::string(option.name) + " " + option.value;
      *problem = std::string(verb.name) + " needs " + wanted;
      if (operands > verb.operands.size()) {
        *problem += "; for " + words.back() + ", write " + option.name + " " + words.back();
      }
      return false;
    }
  }
  std::size_t next = 1;
  for (const OperandSpec& operand : verb.operands) {
    if (next < words.size()) {
      if (words[next].empty()) {
        *problem = std::string(verb.name) + " needs a non-empty " + operand.name;
        return false;
      }
      arguments->*(operand.text) = words[next++];
    } else if (operand.need == Need::kRequired) {
      *problem = std::string(verb.name) + " needs " + operand.name + ", " + operand.description;
      return false;
    }
  }
  if (next < words.size()) {
    *problem =
        "unexpected argument " + words[next] + ": " + verb.name + " takes " + OperandsTaken(verb);
    return false;
  }
  return true;
}

}  // namespace

std::string Synopsis(const VerbSpec& verb) {
  std::string line = std::string("selfinst-pack ") + verb.name;
  for (const OperandSpec& operand : verb.operands) {
    line += operand.need == Need::kRequired ? std::string(" ") + operand.name
                                            : std::string(" [") + operand.name + "]";
  }
  for (const OptionSpec& option : verb.options) {
    const std::string text =
        option.value == nullptr ? option.name : std::string(option.name) + " " + option.value;
    line += option.need == Need::kRequired ? " " + text : " [" + text + "]";
  }
  return line;
}

const VerbSpec* FindVerb(const std::vector<VerbSpec>& verbs, const std::string& name) {
  const auto verb = std::find_if(verbs.begin(), verbs.end(),
                                 [&name](const VerbSpec& v) { return name == v.name; });
  return verb == verbs.end() ? nullptr : &*verb;
}

bool ParseCommandLine(const std::vector<VerbSpec>& verbs, const std::vector<std::string>& args,
                      Invocation* invocation, std::string* problem) {
  Scanned scanned;
  Scan(verbs, args, &scanned);
  const std::vector<std::string>& words = scanned.words;
  if (scanned.help || scanned.version) {
    invocation->action = scanned.help ? Invocation::Action::kHelp : Invocation::Action::kVersion;
    invocation->verb = words.empty() ? nullptr : FindVerb(verbs, words[0]);
    return true;
  }
  invocation->verb = words.empty() ? nullptr : FindVerb(verbs, words[0]);
  if (!scanned.problem.empty()) {
    *problem = scanned.problem;
    return false;
  }
  if (words.empty()) {
    *problem = "no command given";
    return false;
  }
  if (invocation->verb == nullptr) {
    *problem = "unknown command " + words[0];
    return false;
  }
  return TakeOptions(*invocation->verb, scanned, &invocation->arguments, problem) &&
         TakeOperands(*invocation->verb, words, &invocation->arguments, problem);
}

std::string VerbUsage(const VerbSpec& verb) {
  std::vector<std::pair<std::string, const char*>> rows;
  for (const OperandSpec& operand : verb.operands) {
    rows.emplace_back(operand.name, operand.description);
  }
  for (const OptionSpec& option : verb.options) {
    rows.emplace_back(
        option.value == nullptr ? option.name : std::string(option.name) + " " + option.value,
        option.description);
  }
  std::size_t width = 0;
  for (const auto& row : rows) {
    width = std::max(width, row.first.size());
  }
  std::string text = "usage: " + Synopsis(verb) + "\n" + verb.summary + "\n";
  for (const auto& row : rows) {
    text += "  " + row.first + std::string(width + 2 - row.first.size(), ' ') + row.second + "\n";
  }
  return text + "example: " + verb.example + "\n";
}

std::string GlobalUsage(const std::vector<VerbSpec>& verbs) {
  std::size_t width = 0;
  for (const VerbSpec& verb : verbs) {
    width = std::max(width, std::string(verb.name).size());
  }
  std::string text = "usage: selfinst-pack COMMAND [ARGUMENTS]\n";
  for (const VerbSpec& verb : verbs) {
    text += "  " + std::string(verb.name) +
            std::string(width + 2 - std::string(verb.name).size(), ' ') + verb.summary + "\n";
  }
  text +=
      "selfinst-pack help COMMAND (or COMMAND --help) shows a command's arguments;\n"
      "selfinst-pack --version its version. Options may come in any order, and a long\n"
      "option's value may follow an = (--payload=DIR); after -- every argument is an\n"
      "operand. The manual page, selfinst-pack(1), says more.\n"
      "Exit codes:";
  for (const ExitCodeSpec& exit : kExitCodes) {
    text += std::string(" ") + std::to_string(exit.code) + " " + exit.meaning +
            (exit.code == kExitCodes[std::size(kExitCodes) - 1].code ? ".\n" : ",");
  }
  return text;
}
