#include "pack_support.h"

#include "unprivileged.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {
std::string ToolUnderTest() {
  // Lets the same tests be run against another build of the tool.
  const char* other = std::getenv("TQ30_PACK_UNDER_TEST");
  return other != nullptr ? other : SELFINST_PACK;
}
}  // namespace

const std::string kPack = ToolUnderTest();
const std::string kPayload = TEST_PAYLOAD_DIR;
const std::string kStub32 = WIN32_BUILD_DIR "/launcher-stub.exe";
const std::string kStub64 = WIN64_BUILD_DIR "/launcher-stub.exe";

namespace {

[[noreturn]] void ExecTool(const std::vector<std::string>& args, bool asNobody,
                           const std::string& tool, int out) {
  (void)::dup2(out, 1);
  (void)::dup2(out, 2);
  if (asNobody && !DropPrivileges()) {
    ::_exit(126);
  }
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  ::execv(pointers[0], pointers.data());
  ::_exit(127);
}

}  // namespace

CommandResult RunPack(const std::vector<std::string>& args, bool asNobody,
                      const std::string& toolCopyDir) {
  std::string tool = kPack;
  if (asNobody) {
    tool = toolCopyDir + "/selfinst-pack";
    fs::copy_file(kPack, tool, fs::copy_options::skip_existing);
  }
  int pipeEnds[2];
  EXPECT_EQ(::pipe(pipeEnds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    ExecTool(args, asNobody, tool, pipeEnds[1]);
  }
  ::close(pipeEnds[1]);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool stopped = false;
  for (;;) {
    pollfd poller{pipeEnds[0], POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      stopped = true;
      break;
    }
    if (::poll(&poller, 1, 100) <= 0) {
      continue;
    }
    char chunk[4096];
    const ssize_t n = ::read(pipeEnds[0], chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    output.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  const int code = stopped ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return {code, output};
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void PutU16(Bytes* image, std::size_t at, std::uint32_t value) {
  Put(image, at, Field{"", 0, 2}, value);
}
void PutU32(Bytes* image, std::size_t at, std::uint32_t value) {
  Put(image, at, Field{"", 0, 4}, value);
}

void FixCheckSum(Bytes* image) {
  const PeImage pe = ParsePe(*image);
  const std::size_t at = OptionalFieldAt(pe, optional::kCheckSum);
  Put(image, at, Field{"CheckSum", 0, 4}, ComputeCheckSum(*image, at));
}

PeImage ParsePe(const Bytes& image) {
  PeImage pe;
  std::string error;
  EXPECT_TRUE(ParsePeImage(image, &pe, &error)) << error;
  return pe;
}

ParsedImage Parse(const Bytes& image) {
  ParsedImage parsed;
  std::string error;
  EXPECT_TRUE(ParsePeImage(image, &parsed.pe, &error)) << error;
  EXPECT_TRUE(ReadStore(image, parsed.pe, &parsed.store, &error)) << error;
  return parsed;
}

std::size_t ItemIndex(const StoreView& store, const std::string& key) {
  for (std::size_t i = 0; i < store.items.size(); ++i) {
    if (store.items[i].key == key) {
      return i;
    }
  }
  ADD_FAILURE() << "no item " << key;
  return 0;
}

void PackTest::SetUp() {
  ASSERT_TRUE(fs::exists(kStub32) && fs::exists(kStub64))
      << "the launcher stubs are built by ./build.sh";
  char pattern[] = "/tmp/tq30-pack-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
  fs::permissions(dir, fs::perms::all);  // so that a test may run a tool as nobody
}

void PackTest::TearDown() { fs::remove_all(dir); }

Bytes PackTest::Packed(const std::string& stub, const std::string& name) {
  const std::string out = dir + "/" + name;
  const CommandResult run = RunPack({"pack", "--stub", stub, "--payload", kPayload, "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  return ReadBytes(out);
}

std::string PackTest::CopyPayload(const std::string& name) {
  const std::string copy = dir + "/" + name;
  fs::copy(kPayload, copy);
  fs::permissions(copy, fs::perms::all);
  return copy;
}
