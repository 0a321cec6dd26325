// The folder of a set of outputs: reached one step at a time, made where missing and
// removed again, deepest first, when the set is not placed; never the payload folder or
// anywhere inside it; refused on one line when it cannot be.
#include <sys/stat.h>

#include <filesystem>

#include "output_folder_fixture.h"
#include "table_test.h"
#include "unprivileged.h"

namespace fs = std::filesystem;

namespace {

// An output folder that is the payload folder or lies anywhere inside it, however the
// path gets there, is refused, and the folders made on the way there go again.
struct InsideCase {
  const char* name;
  const char* folder;  // under dir
  bool create;
  bool refused;
};
const InsideCase kInsideCases[] = {
    {"ThePayloadFolder", "/payload", false, true},
    {"ThePayloadFolderWithASlash", "/payload/", false, true},
    {"ThroughDotDot", "/payload/sub/..", false, true},
    {"ASubfolder", "/payload/sub/deeper", false, true},
    {"ThroughALinkOutside", "/into-sub/deeper", false, true},
    {"NewFoldersInside", "/payload/sub/new/newer", true, true},
    {"ASiblingFolder", "/other", false, false},
    {"TheParentFolder", "/payload/..", false, false},
    {"NewFoldersBeside", "/other/new", true, false},
};

class InsideTheInputs : public OutputFolderTest,
                        public ::testing::WithParamInterface<InsideCase> {};

TEST_P(InsideTheInputs, AreRefused) {
  fs::create_directories(dir + "/payload/sub/deeper");
  fs::create_directory(dir + "/other");
  fs::create_directory_symlink(dir + "/payload/sub", dir + "/into-sub");
  WriteBytes(dir + "/payload/readme.txt", BytesOf("payload"));
  Inputs inputs;
  inputs.folders.push_back(IdentityOfPath(dir + "/payload"));
  const std::string folder = dir + GetParam().folder;
  const bool begun = GetParam().create ? set.BeginNewFiles(folder, inputs, &report)
                                       : set.BeginReplacing(folder, "x.exe", inputs, &report);
  EXPECT_EQ(begun, !GetParam().refused) << Problems(report);
  if (GetParam().refused) {
    EXPECT_EQ(
        Problems(report),
        folder +
            ": is the payload folder or lies inside it, which is only read; nothing is written\n");
  }
  set.Discard();
  EXPECT_EQ(FolderEntries(dir + "/payload"), (std::vector<std::string>{"readme.txt", "sub"}));
  EXPECT_EQ(FolderEntries(dir + "/payload/sub"), std::vector<std::string>{"deeper"});
  EXPECT_EQ(FolderEntries(dir + "/other"), std::vector<std::string>{});
}

TABLE_TEST_ROWS(Folders, InsideTheInputs, kInsideCases);

// Folders made step by step, ".." steps too, and removed again deepest first: only those
// made, only while empty.
struct MadeCase {
  const char* name;
  const char* folder;  // under dir
  void (*before)(const std::string& dir);
  void (*during)(const std::string& dir);  // once begun, before the set is discarded
  std::vector<std::string> made;           // folders the set made, under dir
  std::vector<std::string> left;           // what is left once it is discarded, under dir
};
const MadeCase kMadeCases[] = {
    {"AllFour", "/a/n/b/../c", nullptr, nullptr, {"/a", "/a/n", "/a/n/b", "/a/n/c"}, {}},
    {"TrailingSlashes", "/a//n/./b/", nullptr, nullptr, {"/a", "/a/n", "/a/n/b"}, {}},
    {"BelowOneThatWasThere",
     "/a/n/b/../c",
     [](const std::string& dir) { fs::create_directory(dir + "/a"); },
     nullptr,
     {"/a/n", "/a/n/b", "/a/n/c"},
     {"/a"}},
    {"AFileAddedMeanwhileKeepsItsFolders",
     "/a/n/b/../c",
     nullptr,
     [](const std::string& dir) { WriteBytes(dir + "/a/n/b/own", BytesOf("own")); },
     {"/a", "/a/n", "/a/n/b", "/a/n/c"},
     {"/a", "/a/n", "/a/n/b", "/a/n/b/own"}},
    {"AFolderPutInThePlaceOfOneMade",
     "/a/n/b/../c",
     nullptr,
     [](const std::string& dir) {
       fs::rename(dir + "/a/n/c", dir + "/c-moved");
       fs::create_directory(dir + "/a/n/c");
     },
     {"/a", "/a/n", "/a/n/b", "/a/n/c"},
     {"/a", "/a/n", "/a/n/c", "/c-moved"}},
};

class MadeFolders : public OutputFolderTest, public ::testing::WithParamInterface<MadeCase> {};

TEST_P(MadeFolders, GoAgainOnDiscard) {
  if (GetParam().before != nullptr) {
    GetParam().before(dir);
  }
  const std::vector<std::string> there = Tree(dir);
  ASSERT_TRUE(set.BeginNewFiles(dir + GetParam().folder, {}, &report)) << Problems(report);
  std::vector<std::string> expected = there;
  expected.insert(expected.end(), GetParam().made.begin(), GetParam().made.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Tree(dir), expected);
  CreateAll({"first.bin"});
  if (GetParam().during != nullptr) {
    GetParam().during(dir);
  }
  set.Discard();
  EXPECT_EQ(Tree(dir), GetParam().left);
}

TABLE_TEST_ROWS(Paths, MadeFolders, kMadeCases);

// The folder refused when it is not one, or cannot be reached; with `create` (a set of new
// files), the folders made on the way go again.
struct BadFolder {
  const char* name;
  std::string folder;  // under dir
  bool create;
  const char* problem;
};
const BadFolder kBadFolders[] = {
    {"Missing", "/missing", false, "cannot open the folder: No such file or directory"},
    {"MissingParent", "/missing/deeper", false,
     "cannot open the folder: No such file or directory"},
    {"AFile", "/plain", false, "not a folder"},
    {"AFileWithCreate", "/plain", true, "not a folder"},
    {"UnderAFile", "/plain/sub", true, "cannot create the folder: Not a directory"},
    {"NewUnderAFile", "/new/../plain/sub", true, "cannot create the folder: Not a directory"},
    {"ALinkToAFolder", "/link", false, "a symbolic link, not a folder; it is not followed"},
    {"ALinkWithASlash", "/link/", true, "a symbolic link, not a folder; it is not followed"},
    {"ALinkWithADot", "/link/.", false, "a symbolic link, not a folder; it is not followed"},
    {"ADanglingLink", "/dangling", true, "a symbolic link, not a folder; it is not followed"},
    {"ALoop", "/loop/sub", true, "cannot create the folder: Too many levels of symbolic links"},
    {"MoreFoldersMissingThanAreMade",
     [] {
       std::string deep;
       for (int i = 0; i < 65; ++i) deep += "/d";
       return deep;
     }(),
     true, "cannot create the folder: more than 64 of its folders are missing"},
    {"ANameTooLong", "/new/newer/" + std::string(256, 'n'), true,
     "cannot create the folder: File name too long"},
};

class BadFolders : public OutputFolderTest, public ::testing::WithParamInterface<BadFolder> {};

TEST_P(BadFolders, AreRefusedOnOneLine) {
  WriteBytes(dir + "/plain", BytesOf("plain"));
  fs::create_directory(dir + "/real");
  fs::create_directory_symlink(dir + "/real", dir + "/link");
  fs::create_directory_symlink(dir + "/nowhere", dir + "/dangling");
  fs::create_directory_symlink(dir + "/loop", dir + "/loop");
  const std::vector<std::string> before = Tree(dir);
  const std::string folder = dir + GetParam().folder;
  EXPECT_FALSE(GetParam().create ? set.BeginNewFiles(folder, {}, &report)
                                 : set.BeginReplacing(folder, "first.bin", {}, &report));
  EXPECT_EQ(Problems(report), folder + ": " + GetParam().problem + "\n");
  EXPECT_EQ(Tree(dir), before);
  std::size_t output = 99;
  EXPECT_FALSE(set.AddNewFile("first.bin", &output, &report)) << "no set was begun";
}

TABLE_TEST_ROWS(Folders, BadFolders, kBadFolders);

TEST_F(OutputFolderTest, ALinkBeforeTheLastStepIsFollowed) {
  fs::create_directory(dir + "/real");
  fs::create_directory_symlink(dir + "/real", dir + "/link");
  ASSERT_TRUE(BeginAll(Existing::kKeep, dir + "/link/new", {"first.bin"})) << Problems(report);
  ASSERT_TRUE(set.Place(&report)) << Problems(report);
  EXPECT_EQ(ReadBytes(dir + "/real/new/first.bin"), ContentOf("first.bin"));
}

// Root may search any folder, so an unsearchable one is tried as nobody.
TEST_F(OutputFolderTest, AnUnsearchableFolderIsRefusedWithTheReason) {
  fs::permissions(dir, fs::perms::all);
  fs::create_directory(dir + "/locked");
  fs::permissions(dir + "/locked", fs::perms::owner_all);
  std::string childReport;
  const int code = RunUnprivileged(
      [&](std::string* out) {
        Report problems;
        OutputSet outputs;
        const bool begun = outputs.BeginNewFiles(dir + "/locked/sub", {}, &problems);
        *out = Problems(problems);
        return begun ? 1 : 0;
      },
      &childReport);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(childReport, dir + "/locked/sub: cannot create the folder: Permission denied\n");
  EXPECT_EQ(FolderEntries(dir + "/locked"), std::vector<std::string>{});
}

}  // namespace
