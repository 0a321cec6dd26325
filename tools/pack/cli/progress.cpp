#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kBetweenUpdates{250};

// SELFINST_PACK_PROGRESS_DELAY, in seconds, as git's GIT_PROGRESS_DELAY: how long work runs
// before its progress shows (0: at once).
std::chrono::milliseconds Delay() {
  const char* setting = std::getenv("SELFINST_PACK_PROGRESS_DELAY");
  if (setting != nullptr && *setting != '\0') {
    char* end = nullptr;
    const double seconds = std::strtod(setting, &end);
    if (*end == '\0' && seconds >= 0 && seconds < 3600) {
      return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    }
  }
  return std::chrono::milliseconds(1000);
}

}  // namespace

Progress::Progress(std::string what, std::uint64_t total)
    : what_(std::move(what)),
      total_(total),
      onTerminal_(::isatty(STDERR_FILENO) == 1),
      next_(Clock::now() + Delay()) {}

Progress::~Progress() {
  if (shown_) {
    (void)std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    (void)std::fflush(stderr);
  }
}

void Progress::Add(std::uint64_t bytes) {
  done_ += bytes;
  if (!onTerminal_ || total_ == 0) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now < next_) {
    return;
  }
  next_ = now + kBetweenUpdates;
  constexpr double kMegabyte = 1e6;
  char line[160];
  const int length =
      std::snprintf(line, sizeof line, "selfinst-pack: %s: %3d%% (%.1f of %.1f MB)", what_.c_str(),
                    static_cast<int>(done_ * 100 / total_), static_cast<double>(done_) / kMegabyte,
                    static_cast<double>(total_) / kMegabyte);
  if (length <= 0) {
    return;
  }
  auto width = std::min(static_cast<std::size_t>(length), sizeof line - 1);
  // Never as wide as the terminal: a line that wraps cannot be rewritten in place.
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
    width = std::min<std::size_t>(width, size.ws_col - 1u);
    line[width] = '\0';
    width_ = std::min<std::size_t>(width_, size.ws_col - 1u);
  }
  // A shorter line leaves nothing of the longer one before it.
  (void)std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(width_ > width ? width_ - width : 0),
                     "");
  (void)std::fflush(stderr);
  width_ = std::max(width_, width);
  shown_ = true;
}
