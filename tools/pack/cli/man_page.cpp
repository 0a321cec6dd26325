#include "cli/man_page.h"

namespace {

// Text as roff reads it literally: a backslash and a hyphen-minus escaped, and a line that
// would start with a control character guarded.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) {
      out += "\\&";
    }
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string Bold(const std::string& text) { return "\\fB" + Roff(text) + "\\fR"; }
std::string Italic(const std::string& text) { return "\\fI" + Roff(text) + "\\fR"; }

std::string OptionTag(const OptionSpec& option) {
  return option.value == nullptr ? Bold(option.name)
                                 : Bold(option.name) + " " + Italic(option.value);
}

std::string Verb(const VerbSpec& verb) {
  std::string text = ".SS " + Roff(verb.name) + "\n.B " + Roff(Synopsis(verb)) + "\n.br\n" +
                     Roff(verb.summary) + ".\n";
  for (const OperandSpec& operand : verb.operands) {
    text += ".TP\n" + Italic(operand.name) + "\n" + Roff(operand.description) + ".\n";
  }
  for (const OptionSpec& option : verb.options) {
    text += ".TP\n" + OptionTag(option) + "\n" + Roff(option.description) + ".\n";
  }
  return text;
}

}  // namespace

std::string ManPage(const std::vector<VerbSpec>& verbs, const std::string& version) {
  std::string page = ".TH SELFINST\\-PACK 1 \"\" \"" + Roff("selfinst-pack " + version) +
                     "\" \"User Commands\"\n"
                     ".SH NAME\n"
                     "selfinst\\-pack \\- pack, list, verify and extract a TQ\\-30 launcher's "
                     "files\n"
                     ".SH SYNOPSIS\n"
                     ".B selfinst\\-pack\n"
                     ".I COMMAND\n"
                     "[\\fIARGUMENTS\\fR]\n"
                     ".br\n"
                     ".B selfinst\\-pack\n"
                     "[\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR]\n"
                     ".SH DESCRIPTION\n"
                     "The TQ\\-30 launcher carries the eleven files of a payload folder in an "
                     "item store in its resource section.\n"
                     ".B selfinst\\-pack\n"
                     "attaches that store to a linked launcher, and lists, verifies and "
                     "extracts the store of a built one.\n"
                     "Every image and payload it reads is treated as untrusted.\n"
                     "It writes each output whole or not at all.\n"
                     ".PP\n"
                     "Options may come in any order.\n"
                     "A long option's value may follow an equals sign: "
                     "\\fB\\-\\-payload=\\fR\\fIDIR\\fR is \\fB\\-\\-payload\\fR \\fIDIR\\fR.\n"
                     "After \\fB\\-\\-\\fR every argument is an operand, such as an image whose "
                     "name starts with \\fB\\-\\fR.\n"
                     "\\fB\\-h\\fR or \\fB\\-\\-help\\fR after a command shows its usage.\n"
                     ".SH COMMANDS\n";
  for (const VerbSpec& verb : verbs) {
    page += Verb(verb);
  }
  page += ".SH EXIT STATUS\n";
  for (const ExitCodeSpec& exit : kExitCodes) {
    page += ".TP\n.B " + std::to_string(exit.code) + "\n" + Roff(exit.meaning) + ".\n";
  }
  page +=
      ".SH ENVIRONMENT\n"
      ".TP\n"
      ".B SELFINST_PACK_PROGRESS_DELAY\n"
      "Seconds before progress shows on a terminal (default 1).\n"
      ".SH EXAMPLES\n";
  for (const VerbSpec& verb : verbs) {
    page += ".PP\n.EX\n" + Roff(verb.example) + "\n.EE\n";
  }
  return page;
}
