// How every step of the packer fails: it returns false and adds one problem to the
// caller's report, naming its subject (a path, or the image a record belongs to) and
// saying in a whole sentence what is wrong with it. The command prints each problem as
// one line, "selfinst-pack: SUBJECT: WHAT", with control characters escaped.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Problem {
  std::string subject;
  std::string what;
};
using Report = std::vector<Problem>;

// Adds the problem and returns false, so that a step can end with `return Refuse(...)`.
inline bool Refuse(Report* report, std::string subject, std::string what) {
  report->push_back({std::move(subject), std::move(what)});
  return false;
}
