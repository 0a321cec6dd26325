// What the tests of the output folder share: a scratch folder, the set begun in it as one
// file replaced or new files placed, and the problems it reported as text.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "io/output_folder.h"
#include "io/output_folder_testing.h"
#include "io/output_naming_testing.h"
#include "pack_support.h"

// Which of the two kinds of set a row uses: the first name replaced, or every name new.
enum class Existing { kReplace, kKeep };

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
inline const std::vector<std::string> kNames = {"first.bin", "second.bin", "third.bin"};

Bytes BytesOf(const std::string& text);
Bytes ContentOf(const std::string& name);
FileIdentity IdentityOfPath(const std::string& path);
struct stat LinkStatus(const std::string& path);
std::string Problems(const Report& report);
// Every path under `root`, relative to it ("/a", "/a/b"), in order.
std::vector<std::string> Tree(const std::string& root);
// The names a set of the kind holds: kNames, or its first alone for a replaced file.
std::vector<std::string> NamesFor(Existing existing);

class OutputFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Begins `set` in `folder` as `existing` says, with `names` (only the first replaced),
  // each written with ContentOf(name).
  bool BeginAll(Existing existing, const std::string& folder, const std::vector<std::string>& names,
                const Inputs& inputs = {});
  // Adds `names` to the set of new files begun, each written with ContentOf(name).
  void CreateAll(const std::vector<std::string>& names);

  std::string dir;
  Report report;
  OutputSet set;
};
