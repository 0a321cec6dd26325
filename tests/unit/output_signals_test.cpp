// Signals while a set of outputs lasts: every one the C library lets a program catch that
// would end the process is caught, and ends it leaving nothing of the set, whether it
// comes while an output is written or while the outputs are given their names; a rerun
// then finds nothing in its way.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "output_folder_fixture.h"

namespace fs = std::filesystem;

namespace {

// The handlers are the set's only while it lasts; an ignored signal stays ignored, and a
// file size limit never kills.
void CountSignal(int) {}

TEST_F(OutputFolderTest, HandlersAreRestoredAndIgnoredSignalsStayIgnored) {
  struct sigaction own {};
  own.sa_handler = CountSignal;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction savedUsr2 {};
  struct sigaction savedHup {};
  ASSERT_EQ(::sigaction(SIGUSR2, &own, &savedUsr2), 0);
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &savedHup), 0);
  struct sigaction now {};
  ASSERT_TRUE(set.BeginNewFiles(dir, {}, &report));
  for (const int signal : {SIGUSR2, SIGTERM, SIGSEGV, SIGRTMIN, SIGRTMAX}) {
    ASSERT_EQ(::sigaction(signal, nullptr, &now), 0);
    EXPECT_NE(now.sa_handler, SIG_DFL) << signal;
    EXPECT_NE(now.sa_handler, CountSignal) << signal;
  }
  ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ASSERT_EQ(::sigaction(SIGXFSZ, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ASSERT_TRUE(set.Place(&report));
  ASSERT_EQ(::sigaction(SIGUSR2, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, CountSignal);
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  ASSERT_EQ(::sigaction(SIGXFSZ, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  (void)::sigaction(SIGUSR2, &savedUsr2, nullptr);
  (void)::sigaction(SIGHUP, &savedHup, nullptr);
}

// A signal by number, as the rows of the tables below are named.
std::string SignalName(int signal) {
  if (signal >= SIGRTMIN) {
    return "RealTime" + std::to_string(signal - SIGRTMIN);
  }
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? name : "Reserved" + std::to_string(signal);
}

// Each signal from 1 to the last real-time one while a set lasts: caught when its default
// action ends the process; refused to any program when the C library keeps it for itself
// (between the classic signals and SIGRTMIN); left alone otherwise.
class EverySignal : public OutputFolderTest, public ::testing::WithParamInterface<int> {};

TEST_P(EverySignal, IsCaughtWhenItWouldEndTheRun) {
  const int signal = GetParam();
  ASSERT_TRUE(set.BeginNewFiles(dir, {}, &report));
  struct sigaction now {};
  const bool known = ::sigaction(signal, nullptr, &now) == 0;
  const int error = errno;
  set.Discard();
  if (signal > SIGSYS && signal < SIGRTMIN) {
    EXPECT_FALSE(known) << "the C library's own signal can be caught after all";
    EXPECT_EQ(error, EINVAL);
    return;
  }
  ASSERT_TRUE(known);
  switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      EXPECT_EQ(now.sa_handler, SIG_DFL);
      break;
    case SIGXFSZ:
      EXPECT_EQ(now.sa_handler, SIG_IGN);
      break;
    default:
      EXPECT_NE(now.sa_handler, SIG_DFL);
      EXPECT_NE(now.sa_handler, SIG_IGN);
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, EverySignal, ::testing::Range(1, SIGRTMAX + 1),
                         [](const auto& info) { return SignalName(info.param); });

// A signal that ends the process, in a child, while an output is being written or (held
// then) while the outputs get their names: neither the output, its temporary nor the
// folders made for it are left, the child ends by that signal, and a rerun succeeds. One
// that comes once the names are given and the last look for a signal found none is too
// late: the set stands and the child goes on to exit as after any placed set.
enum class When {
  kWritingUnnamed,
  kWritingNamed,
  kNamingUnnamed,
  kNamingNamed,
  kNamingNoProc,
  kAfterLastLook
};
const char* const kWhenNames[] = {
    "Unnamed",         "Named", "UnnamedWhileNaming", "NamedWhileNaming", "WithoutProcWhileNaming",
    "AfterTheLastLook"};

int raisedSignal = 0;
void RaiseWhileNaming() { (void)::raise(raisedSignal); }

class OutputsInterrupted : public OutputFolderTest,
                           public ::testing::WithParamInterface<std::tuple<int, When>> {};

// The child's part: writes until killed, or raises the signal as naming begins.
[[noreturn]] void WriteUntilEnded(const std::string& folder, int signal, When when, int ready) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  (void)::sigaction(signal, &fallback, nullptr);
  UseNamedTemporariesOnly(when == When::kWritingNamed || when == When::kNamingNamed);
  HideProcFiles(when == When::kNamingNoProc);
  Report problems;
  OutputSet outputs;
  std::size_t output = 0;
  if (!outputs.BeginNewFiles(folder, {}, &problems) ||
      !outputs.AddNewFile("big.bin", &output, &problems)) {
    ::_exit(2);
  }
  const Bytes chunk(1 << 16, 0x5a);
  if (when >= When::kNamingUnnamed) {
    raisedSignal = signal;
    (when == When::kAfterLastLook ? OnPlaced : OnNaming)(RaiseWhileNaming);
    (void)outputs.Write(output, chunk.data(), chunk.size(), &problems);
    (void)outputs.Place(&problems);
    ::_exit(5);  // placed, and the signal did not end it
  }
  (void)!::write(ready, "w", 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (std::uint64_t i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
    if (!outputs.WriteAt(output, (i % 64) * chunk.size(), chunk.data(), chunk.size(), &problems)) {
      ::_exit(3);
    }
  }
  ::_exit(4);
}

TEST_P(OutputsInterrupted, LeavesNothingAndARerunSucceeds) {
  const auto [signal, when] = GetParam();
  const std::string folder = dir + "/new/n/../deeper";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  (void)std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    WriteUntilEnded(folder, signal, when, ready[1]);
  }
  ::close(ready[1]);
  if (when < When::kNamingUnnamed) {
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    // Made, and with a temporary in it when there is one to remove.
    EXPECT_EQ(FolderEntries(dir + "/new"), (std::vector<std::string>{"deeper", "n"}));
    EXPECT_EQ(FolderEntries(dir + "/new/deeper").size(), when == When::kWritingNamed ? 1u : 0u);
    ASSERT_EQ(::kill(child, signal), 0);
  }
  ::close(ready[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (when == When::kAfterLastLook) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << "status " << status;
    EXPECT_EQ(FolderEntries(dir + "/new/deeper"), std::vector<std::string>{"big.bin"});
    return;
  }
  EXPECT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
  EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, signal);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{});
  ASSERT_TRUE(BeginAll(Existing::kKeep, folder, {"big.bin"})) << Problems(report);
  ASSERT_TRUE(set.Place(&report)) << Problems(report);
  EXPECT_EQ(FolderEntries(dir + "/new/deeper"), std::vector<std::string>{"big.bin"});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, OutputsInterrupted,
    ::testing::Combine(::testing::Values(SIGUSR1, SIGALRM, SIGPIPE, SIGTERM, SIGRTMIN + 2),
                       ::testing::Values(When::kWritingUnnamed, When::kWritingNamed,
                                         When::kNamingUnnamed, When::kNamingNamed,
                                         When::kNamingNoProc, When::kAfterLastLook)),
    [](const auto& info) {
      return SignalName(std::get<0>(info.param)) +
             kWhenNames[static_cast<int>(std::get<1>(info.param))];
    });

}  // namespace
