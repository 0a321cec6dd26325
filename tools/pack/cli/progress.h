// How far long work has come, on stderr, for a user watching a terminal: one line rewritten
// in place, shown only once the work has run about a second and at most four times a
// second, and cleared when the work ends. Nothing is written when stderr is not a
// terminal, so that logs and pipes get only what the command says.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
 public:
  // `total` bytes of work, named `what` (the verb) on the line.
  Progress(std::string what, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Add(std::uint64_t bytes);

 private:
  using Clock = std::chrono::steady_clock;
  std::string what_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool shown_ = false;  // whether a line stands to be cleared
  std::size_t width_ = 0;
  bool onTerminal_;
  Clock::time_point next_;  // the earliest time of the next update
};
