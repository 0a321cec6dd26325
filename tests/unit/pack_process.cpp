#include "pack_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "pack_support.h"
#include "unprivileged.h"

namespace fs = std::filesystem;

namespace {

std::string ToolPath(const ToolRun& run) {
  std::string tool = run.tool.empty() ? kPack : run.tool;
  if (run.asNobody) {
    const std::string copy = run.toolCopyDir + "/" + fs::path(tool).filename().string();
    fs::copy_file(tool, copy, fs::copy_options::skip_existing);
    tool = copy;
  }
  return tool;
}

// In the forked child: never returns.
[[noreturn]] void Exec(const ToolRun& run, const std::string& tool, int out, int err) {
  (void)::dup2(out, 1);
  (void)::dup2(err, 2);
  for (const std::string& variable : run.env) {
    const std::size_t equals = variable.find('=');
    (void)::setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
  }
  if (run.fileSizeLimit != RLIM_INFINITY) {
    const rlimit limit{run.fileSizeLimit, run.fileSizeLimit};
    (void)::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (run.asNobody && !DropPrivileges()) {
    ::_exit(126);
  }
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), run.args.begin(), run.args.end());
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (std::string& arg : argv) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  ::execv(pointers[0], pointers.data());
  ::_exit(127);
}

// A terminal the child writes to as to a pipe: raw, so that its bytes come back as written;
// `columns` wide when not 0.
void OpenTerminal(int ends[2], unsigned short columns) {
  int reading = -1;
  int writing = -1;
  ASSERT_EQ(::openpty(&reading, &writing, nullptr, nullptr, nullptr), 0);
  termios mode{};
  ASSERT_EQ(::tcgetattr(writing, &mode), 0);
  ::cfmakeraw(&mode);
  ASSERT_EQ(::tcsetattr(writing, TCSANOW, &mode), 0);
  if (columns != 0) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    ASSERT_EQ(::ioctl(writing, TIOCSWINSZ, &size), 0);
  }
  (void)::fcntl(reading, F_SETFD, FD_CLOEXEC);
  (void)::fcntl(writing, F_SETFD, FD_CLOEXEC);
  ends[0] = reading;
  ends[1] = writing;
}

// Reads both streams to their end, or until the deadline, when the child is killed;
// true when it was.
bool ReadToTheEnd(pid_t child, int out, int err, std::chrono::steady_clock::time_point deadline,
                  ToolResult* result) {
  pollfd pollers[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string* texts[2] = {&result->out, &result->err};
  bool stopped = false;
  for (int open = 2; open > 0;) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      stopped = true;
      break;
    }
    if (::poll(pollers, 2, 100) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (pollers[i].fd < 0 || pollers[i].revents == 0) {
        continue;
      }
      char chunk[4096];
      const ssize_t n = ::read(pollers[i].fd, chunk, sizeof chunk);
      if (n <= 0) {  // a terminal whose other end closed says EIO
        ::close(pollers[i].fd);
        pollers[i].fd = -1;
        --open;
      } else {
        texts[i]->append(chunk, static_cast<std::size_t>(n));
      }
    }
  }
  for (const pollfd& poller : pollers) {
    if (poller.fd >= 0) {
      ::close(poller.fd);
    }
  }
  return stopped;
}

}  // namespace

ToolResult RunTool(const ToolRun& run) {
  const std::string tool = ToolPath(run);
  int outPipe[2];
  int errPipe[2];
  EXPECT_EQ(::pipe2(outPipe, O_CLOEXEC), 0);
  if (run.stderrOnTerminal) {
    OpenTerminal(errPipe, run.terminalColumns);
  } else {
    EXPECT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
  }
  int outFile = -1;
  if (!run.stdoutPath.empty()) {
    outFile = ::open(run.stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_GE(outFile, 0) << run.stdoutPath;
  }
  const auto start = std::chrono::steady_clock::now();
  (void)std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    Exec(run, tool,
         outFile >= 0         ? outFile
         : run.stdoutToStderr ? errPipe[1]
                              : outPipe[1],
         errPipe[1]);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (outFile >= 0) {
    ::close(outFile);
  }
  ToolResult result;
  const bool stopped = ReadToTheEnd(child, outPipe[0], errPipe[0],
                                    start + std::chrono::seconds(run.timeoutSeconds), &result);
  int status = 0;
  ::waitpid(child, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exitCode = stopped ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

pid_t StartTool(const ToolRun& run) {
  const std::string tool = ToolPath(run);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  (void)std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    Exec(run, tool, null, null);
  }
  ::close(null);
  return child;
}

bool WaitForFileOpenIn(pid_t pid, const std::string& folder, int timeoutSeconds) {
  const std::string prefix = fs::weakly_canonical(folder).string() + "/";
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t ended{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        ended.si_pid != 0) {
      return false;  // it ended (or is not ours)
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fds, error)) {
      const std::string target = fs::read_symlink(entry.path(), error).string();
      if (!error && target.rfind(prefix, 0) == 0 &&
          target.find('/', prefix.size()) == std::string::npos) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

Interruption InterruptWhileWriting(const ToolRun& run, const std::string& folder, int signal) {
  Interruption ended;
  const pid_t child = StartTool(run);
  if (child <= 0) {
    return ended;
  }
  ended.writing = WaitForFileOpenIn(child, folder, 60);
  ::kill(child, signal);
  ::waitpid(child, &ended.status, 0);
  return ended;
}

std::string Escaped(const std::string& path) {
  std::string shown;
  for (const char c : path) {
    const auto unit = static_cast<unsigned char>(c);
    if (unit < 0x20 || unit == 0x7F) {
      char escape[8];
      (void)std::snprintf(escape, sizeof escape, "\\u%04x", unit);
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

bool EveryLineStartsWith(const std::string& text, const std::string& prefix) {
  if (text.empty() || text.back() != '\n') {
    return false;
  }
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    if (text.compare(at, prefix.size(), prefix) != 0) {
      return false;
    }
  }
  return true;
}
