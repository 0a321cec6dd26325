#include "verbs/one_output.h"

namespace {

// `-o PATH` as a folder and a file name in it.
bool SplitOutput(const std::string& path, std::string* folder, std::string* name, Report* report) {
  const std::size_t slash = path.find_last_of('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name->empty() || *name == "." || *name == "..") {
    return Refuse(report, path, "names a folder, not a file to write");
  }
  return true;
}

}  // namespace

bool BeginOneOutput(const std::string& path, const Inputs& inputs, OutputSet* output,
                    Report* report) {
  std::string folder;
  std::string name;
  return SplitOutput(path, &folder, &name, report) &&
         output->BeginReplacing(folder, name, inputs, report);
}
