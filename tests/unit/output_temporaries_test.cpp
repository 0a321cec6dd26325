// The files of a set while they are written: unnamed, or under short hidden names where
// the file system has no unnamed files or /proc is not there to name one by, which go
// again whatever happens; never where the folder's path leads once it is swapped, nor
// through a link planted at a hidden name; every descriptor closed when the set ends.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "output_folder_fixture.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

// Whether `folder` could be made append-only (or be made so no longer): it needs root and
// a file system that keeps the attribute.
bool SetAppendOnly(const std::string& folder, bool on) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
  set = set && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) {
    (void)::close(fd);
  }
  return set;
}

// How a set's files are made and how it ends: the same rows for what the folder holds
// meanwhile and for a folder swapped for a link.
struct NamingCase {
  const char* name;
  bool namedOnly;  // as on a file system without unnamed files
  bool noProc;     // as where /proc is not mounted
  bool placed;
  bool appendOnly = false;  // the folder written into
  Existing existing = Existing::kKeep;
  const char* problem = nullptr;  // why the set cannot be begun
};
const NamingCase kTemporaryCases[] = {
    {"UnnamedPlaced", false, false, true},
    {"UnnamedDiscarded", false, false, false},
    {"NamedPlaced", true, false, true},
    {"NamedDiscarded", true, false, false},
    {"WithoutProcPlaced", false, true, true},
    {"WithoutProcDiscarded", false, true, false},
    {"WithoutProcReplacing", false, true, true, false, Existing::kReplace},
    {"AppendOnlyNewFiles", false, false, true, true},
    {"AppendOnlyReplaced", false, false, false, true, Existing::kReplace,
     "/first.bin: the folder is append-only, so the file there cannot be replaced; it is kept, "
     "and nothing is written"},
    {"AppendOnlyWithoutUnnamedFiles", true, false, false, true, Existing::kKeep,
     "/first.bin: cannot create a file in its folder: the folder is append-only, and this file "
     "system cannot make a file without a name there"},
};

class Temporaries : public OutputFolderTest, public ::testing::WithParamInterface<NamingCase> {
 protected:
  void TearDown() override {
    (void)SetAppendOnly(dir, false);
    OutputFolderTest::TearDown();
  }
};

TEST_P(Temporaries, AreHiddenShortAndGoAgain) {
  const NamingCase& c = GetParam();
  UseNamedTemporariesOnly(c.namedOnly);
  HideProcFiles(c.noProc);
  const std::vector<std::string> names = NamesFor(c.existing);
  if (c.existing == Existing::kReplace) {
    WriteBytes(dir + "/first.bin", BytesOf("old"));
  }
  if (c.appendOnly && !SetAppendOnly(dir, true)) {
    GTEST_SKIP() << "an append-only folder needs root and a file system that keeps the flag";
  }
  const std::vector<std::string> before = FolderEntries(dir);
  const bool begun = BeginAll(c.existing, dir, names);
  if (c.problem != nullptr) {
    EXPECT_FALSE(begun);
    EXPECT_EQ(Problems(report), dir + c.problem + "\n");
    set.Discard();
    EXPECT_EQ(FolderEntries(dir), before) << "no temporary is left that cannot be removed";
    return;
  }
  ASSERT_TRUE(begun) << Problems(report);
  std::vector<std::string> during = FolderEntries(dir);
  during.erase(std::remove(during.begin(), during.end(), "first.bin"), during.end());
  ASSERT_EQ(during.size(), c.namedOnly || c.noProc ? names.size() : 0u);
  for (const std::string& name : during) {
    EXPECT_EQ(name[0], '.');
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find("bin"), std::string::npos) << "derived from the output's name";
  }
  if (c.placed) {
    ASSERT_TRUE(set.Place(&report)) << Problems(report);
    EXPECT_EQ(FolderEntries(dir), names);
    EXPECT_EQ(ReadBytes(dir + "/first.bin"), ContentOf("first.bin"));
  } else {
    set.Discard();
    EXPECT_EQ(FolderEntries(dir), before);
  }
}

TABLE_TEST_ROWS(Kinds, Temporaries, kTemporaryCases);

// The folder renamed away after the outputs were created, and a link to someone else's
// folder put at its path: nothing is written into that folder, and nothing of it removed.
const NamingCase kSwapCases[] = {
    {"PlacedUnnamed", false, false, true},     {"PlacedNamed", true, false, true},
    {"DiscardedUnnamed", false, false, false}, {"DiscardedNamed", true, false, false},
    {"PlacedWithoutProc", false, true, true},  {"DiscardedWithoutProc", false, true, false},
};

class OutputFolderSwapped : public OutputFolderTest,
                            public ::testing::WithParamInterface<NamingCase> {};

TEST_P(OutputFolderSwapped, LeavesTheVictimAlone) {
  UseNamedTemporariesOnly(GetParam().namedOnly);
  HideProcFiles(GetParam().noProc);
  const std::string out = dir + "/out";
  fs::create_directory(out);
  ASSERT_TRUE(BeginAll(Existing::kReplace, out, {"first.bin"})) << Problems(report);
  fs::rename(out, dir + "/moved");
  fs::create_directory(dir + "/victim");
  WriteBytes(dir + "/victim/first.bin", BytesOf("victim's"));
  fs::create_directory_symlink(dir + "/victim", out);
  if (GetParam().placed) {
    ASSERT_TRUE(set.Place(&report)) << Problems(report);
    EXPECT_EQ(FolderEntries(dir + "/moved"), std::vector<std::string>{"first.bin"});
    EXPECT_EQ(ReadBytes(dir + "/moved/first.bin"), ContentOf("first.bin"));
  } else {
    set.Discard();
    EXPECT_EQ(FolderEntries(dir + "/moved"), std::vector<std::string>{});
  }
  EXPECT_EQ(FolderEntries(dir + "/victim"), std::vector<std::string>{"first.bin"});
  EXPECT_EQ(ReadBytes(dir + "/victim/first.bin"), BytesOf("victim's"));
  EXPECT_TRUE(fs::is_symlink(out));
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"moved", "out", "victim"}));
}

INSTANTIATE_TEST_SUITE_P(Swaps, OutputFolderSwapped, ::testing::ValuesIn(kSwapCases), RowName());

// Nothing stays open once a set has ended, however it ended.
TEST_F(OutputFolderTest, EverythingIsClosedWhenTheSetEnds) {
  const auto openFiles = [] {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      (void)entry;
      ++count;
    }
    return count;
  };
  const std::size_t before = openFiles();
  for (const bool named : {false, true}) {
    for (const bool placed : {false, true}) {
      UseNamedTemporariesOnly(named);
      ASSERT_TRUE(BeginAll(Existing::kKeep, dir + "/a/n/b/../c", kNames));
      EXPECT_GE(openFiles(), before + 4 + kNames.size());
      if (placed) {
        ASSERT_TRUE(set.Place(&report)) << Problems(report);
      } else {
        set.Discard();
      }
      EXPECT_EQ(openFiles(), before) << named << placed;
      fs::remove_all(dir + "/a");
    }
  }
}

// Past a file size limit the write fails, naming the output, instead of the process
// being killed; the output then goes with the folders made for it.
TEST_F(OutputFolderTest, AWritePastTheFileSizeLimitFailsWithTheReason) {
  ASSERT_TRUE(set.BeginNewFiles(dir + "/new/deeper/", {}, &report));
  std::size_t output = 99;
  ASSERT_TRUE(set.AddNewFile("big.bin", &output, &report));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Bytes bytes(8192, 0x5a);
  const bool written = set.Write(output, bytes.data(), bytes.size(), &report);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(written);
  EXPECT_EQ(Problems(report), dir + "/new/deeper//big.bin: cannot write: File too large\n");
  set.Discard();
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{});
}

// A checksum field written at its offset afterwards; appending goes on where the last
// append ended, however far the descriptor was read.
TEST_F(OutputFolderTest, WritesAtAnOffsetAndReadsBack) {
  ASSERT_TRUE(set.BeginNewFiles(dir, {}, &report));
  std::size_t output = 99;
  ASSERT_TRUE(set.AddNewFile("sum.bin", &output, &report));
  ASSERT_TRUE(set.Write(output, "hello world", 11, &report));
  ASSERT_TRUE(set.WriteAt(output, 0, "J", 1, &report));
  char back[16] = {};
  ASSERT_EQ(::pread(set.Descriptor(output), back, sizeof back, 0), 11);
  EXPECT_EQ(std::string(back, 11), "Jello world");
  ASSERT_EQ(::lseek(set.Descriptor(output), 0, SEEK_SET), 0);
  ASSERT_EQ(::read(set.Descriptor(output), back, 3), 3);
  ASSERT_TRUE(set.Write(output, "!", 1, &report));
  EXPECT_FALSE(set.Write(output + 1, "!", 1, &report));
  EXPECT_EQ(Problems(report), dir + ": no output 1 is being written\n");
  report.clear();
  ASSERT_TRUE(set.Place(&report)) << Problems(report);
  EXPECT_EQ(ReadBytes(dir + "/sum.bin"), BytesOf("Jello world!"));
  EXPECT_EQ(set.Descriptor(output), -1);
}

TEST_F(OutputFolderTest, OnlyBareNamesEachOnceAndOneSetAtATime) {
  ASSERT_TRUE(set.BeginNewFiles(dir, {}, &report));
  OutputSet another;
  EXPECT_FALSE(another.BeginNewFiles(dir, {}, &report));
  std::size_t output = 99;
  for (const char* name : {"", ".", "..", "sub/name"}) {
    EXPECT_FALSE(set.AddNewFile(name, &output, &report)) << name;
  }
  ASSERT_TRUE(set.AddNewFile("once", &output, &report));
  EXPECT_FALSE(set.AddNewFile("once", &output, &report));
  EXPECT_EQ(Problems(report), dir + ": another set of outputs is still being written\n" + dir +
                                  "/: not a bare file name\n" + dir + "/.: not a bare file name\n" +
                                  dir + "/..: not a bare file name\n" + dir +
                                  "/sub/name: not a bare file name\n" + dir +
                                  "/once: named twice among the outputs\n");
}

// Links planted at the first hidden names extract's files would take, as the tool makes
// them where there are no unnamed files: the file they point to stays as it was.
void PlantedName(unsigned attempt, char* name, std::size_t size) {
  std::snprintf(name, size, ".pack-plant%u", attempt);
}

TEST_F(PackTest, ExtractNeverWritesThroughAPlantedLink) {
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(dir + "/victim", {'k', 'e', 'e', 'p'});
  for (unsigned attempt = 0; attempt < 4; ++attempt) {
    fs::create_symlink(dir + "/victim", out + "/.pack-plant" + std::to_string(attempt));
  }
  UseNamedTemporariesOnly(true);
  NameTemporariesWith(PlantedName);
  Report report;
  OutputSet set;
  ASSERT_TRUE(set.BeginNewFiles(out, {}, &report));
  for (const ManifestFile& file : Manifest()) {
    const Bytes bytes = ReadBytes(kPayload + "/" + file.fileName);
    std::size_t output = 0;
    EXPECT_TRUE(set.AddNewFile(file.fileName, &output, &report) &&
                set.Write(output, bytes.data(), bytes.size(), &report));
  }
  EXPECT_TRUE(set.Place(&report)) << (report.empty() ? "" : report[0].what);
  UseNamedTemporariesOnly(false);
  NameTemporariesWith(nullptr);
  EXPECT_EQ(ReadBytes(dir + "/victim"), (Bytes{'k', 'e', 'e', 'p'}));
  for (const ManifestFile& file : Manifest()) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out + "/" + file.fileName)));
    EXPECT_EQ(ReadBytes(out + "/" + file.fileName), ReadBytes(kPayload + "/" + file.fileName));
  }
  EXPECT_EQ(FolderEntries(out).size(), Manifest().size() + 4) << "the planted links stay";
}

}  // namespace
