#include "payload/depfile.h"

namespace {

// Make reads `$` as a variable, a space or tab as the end of the name, `#` as a comment,
// `:` as the rule's colon and `\` as an escape.
[[nodiscard]] bool AppendEscaped(const std::string& path, std::string* rule, Report* report) {
  for (const char c : path) {
    if (c == '\n' || c == '\r') {
      return Refuse(report, path, "holds a line break, which a depfile cannot name");
    }
    if (c == '$') {
      rule->push_back('$');
    } else if (c == ' ' || c == '\t' || c == '#' || c == ':' || c == '\\') {
      rule->push_back('\\');
    }
    rule->push_back(c);
  }
  return true;
}

}  // namespace

bool DepfileRule(const std::string& output, const std::vector<PayloadFile>& files,
                 std::string* rule, Report* report) {
  if (!AppendEscaped(output, rule, report)) {
    return false;
  }
  rule->push_back(':');
  for (const PayloadFile& file : files) {
    rule->push_back(' ');
    if (!AppendEscaped(file.path, rule, report)) {
      return false;
    }
  }
  rule->push_back('\n');
  return true;
}
