// How every step of the packer fails: it returns false and adds one problem to the
// caller's report, naming its subject (a path, or the image a record belongs to) and
// saying in a whole sentence what is wrong with it. Warnings travel in the same report
// and fail nothing. The command prints each problem as one line, "selfinst-pack: SUBJECT:
// WHAT" ("selfinst-pack: SUBJECT: warning: WHAT"), with control characters escaped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

enum class Severity { kError, kWarning };

struct Problem {
  std::string subject;
  std::string what;
  Severity severity = Severity::kError;
};
using Report = std::vector<Problem>;

// Adds the problem and returns false, so that a step can end with `return Refuse(...)`.
inline bool Refuse(Report* report, std::string subject, std::string what) {
  report->push_back({std::move(subject), std::move(what), Severity::kError});
  return false;
}

inline void Warn(Report* report, std::string subject, std::string what) {
  report->push_back({std::move(subject), std::move(what), Severity::kWarning});
}

inline std::size_t ErrorCount(const Report& report) {
  return static_cast<std::size_t>(
      std::count_if(report.begin(), report.end(),
                    [](const Problem& problem) { return problem.severity == Severity::kError; }));
}

// For a stage that checks everything and reports every problem it finds rather than
// stopping at the first: taken where the stage begins, Passed() says at its end whether
// it added no error.
class StageProblems {
 public:
  explicit StageProblems(const Report* report) : report_(report), before_(ErrorCount(*report)) {}
  [[nodiscard]] bool Passed() const { return ErrorCount(*report_) == before_; }

 private:
  const Report* report_;
  std::size_t before_;
};
