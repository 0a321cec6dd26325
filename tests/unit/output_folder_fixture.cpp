#include "output_folder_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes ContentOf(const std::string& name) { return BytesOf("written as " + name + "\n"); }

FileIdentity IdentityOfPath(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return {status.st_dev, status.st_ino};
}

struct stat LinkStatus(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string Problems(const Report& report) {
  std::string text;
  for (const Problem& problem : report) {
    text += problem.subject + ": " + problem.what + "\n";
  }
  return text;
}

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    paths.push_back(entry.path().string().substr(root.size()));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> NamesFor(Existing existing) {
  return existing == Existing::kKeep ? kNames : std::vector<std::string>{kNames[0]};
}

void OutputFolderTest::SetUp() {
  char pattern[] = "/tmp/tq30-outputs-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
  UseNamedTemporariesOnly(false);
  HideProcFiles(false);
}

void OutputFolderTest::TearDown() {
  set.Discard();
  UseNamedTemporariesOnly(false);
  HideProcFiles(false);
  NameTemporariesWith(nullptr);
  OnNaming(nullptr);
  fs::remove_all(dir);
}

bool OutputFolderTest::BeginAll(Existing existing, const std::string& folder,
                                const std::vector<std::string>& names, const Inputs& inputs) {
  if (existing == Existing::kReplace) {
    const Bytes bytes = ContentOf(names[0]);
    return set.BeginReplacing(folder, names[0], inputs, &report) &&
           set.Write(0, bytes.data(), bytes.size(), &report);
  }
  if (!set.BeginNewFiles(folder, inputs, &report)) {
    return false;
  }
  for (const std::string& name : names) {
    std::size_t output = 99;
    const Bytes bytes = ContentOf(name);
    if (!set.AddNewFile(name, &output, &report) ||
        !set.Write(output, bytes.data(), bytes.size(), &report)) {
      return false;
    }
  }
  return true;
}

void OutputFolderTest::CreateAll(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::size_t output = 99;
    ASSERT_TRUE(set.AddNewFile(name, &output, &report)) << Problems(report);
    const Bytes bytes = ContentOf(name);
    ASSERT_TRUE(set.Write(output, bytes.data(), bytes.size(), &report)) << Problems(report);
  }
}
