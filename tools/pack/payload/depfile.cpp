#include "payload/depfile.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Make reads `$` as a variable, a space or tab as the end of the name, `#` as a comment,
// `:` as the rule's colon, `|` as order-only and `*`, `?` and `[` as a wildcard: each can
// be escaped. `=` (a variable), `;` (a recipe), `%` (a pattern) and `\` (whose escape make
// keeps doubled) cannot be: such a path is refused rather than named wrong. Returns the
// character that makes `path` unspellable, or 0 once it is appended escaped.
[[nodiscard]] char AppendEscaped(const std::string& path, std::string* rule) {
  for (const char c : path) {
    if (c == '\n' || c == '\r' || c == '=' || c == ';' || c == '%' || c == '\\') {
      return c;
    }
    if (c == '$') {
      rule->push_back('$');
    } else if (c == ' ' || c == '\t' || c == '#' || c == ':' || c == '|' || c == '*' || c == '?' ||
               c == '[') {
      rule->push_back('\\');
    }
    rule->push_back(c);
  }
  return 0;
}

bool Unspellable(const std::string& path, char c, Report* report) {
  return Refuse(report, path,
                c == '\n' || c == '\r'
                    ? "holds a line break, which a depfile cannot name"
                    : std::string("holds '") + c + "', which make cannot read in a depfile");
}

}  // namespace

bool DepfileRule(const std::string& depfile, const std::string& output,
                 const std::vector<PayloadFile>& files, std::string* rule, Report* report) {
  std::error_code error;
  const fs::path depfilePlace = fs::weakly_canonical(fs::absolute(depfile, error), error);
  if (!error && depfilePlace == fs::weakly_canonical(fs::absolute(output, error), error) &&
      !error) {
    return Refuse(report, depfile, "is the image's own path: the depfile needs another");
  }
  bool spelled = true;
  if (const char c = AppendEscaped(output, rule); c != 0) {
    spelled = Unspellable(output, c, report);
  }
  rule->push_back(':');
  // The payload's files differ only in names make reads as they are: a folder that cannot
  // be spelled is said once.
  for (const PayloadFile& file : files) {
    rule->push_back(' ');
    if (const char c = AppendEscaped(file.path, rule); c != 0) {
      return Unspellable(fs::path(file.path).parent_path().string(), c, report);
    }
  }
  rule->push_back('\n');
  return spelled;
}
