// The launcher linked with an empty manifest: nothing is written, asked or removed, and
// the installer is started at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/launcher.h"
#include "payload/remove_extracted.h"
#include "scratch_folder.h"
#include "table_test.h"

namespace {

// The names a full manifest carries: files of these names that were already in the
// folder are not the run's, and must stay.
#define PAYLOAD_FILE(key, name) name,
const char* const kCarriedNames[] = {
#include "payload_files.def"
};
#undef PAYLOAD_FILE

void PlaceFilesThatAreNotOurs() {
  for (const char* name : kCarriedNames) {
    WriteFile(name, "not ours");
  }
}

void ExpectFilesThatAreNotOursUntouched() {
  for (const char* name : kCarriedNames) {
    EXPECT_EQ(ReadFile(name), "not ours") << name;
  }
}

TEST(EmptyManifest, WritesNothingStartsInstallerAtOnceAndRemovesNothing) {
  EnterScratchFolder();
  ResetFake();
  PlaceFilesThatAreNotOurs();
  EXPECT_EQ(LauncherMain(nullptr), 0);
  const std::vector<std::string> expected = {"shell", "wait", "probe:Setup"};
  EXPECT_EQ(Fake().calls, expected);
  EXPECT_TRUE(Fake().boxes.empty());
  ExpectFilesThatAreNotOursUntouched();
  LeaveScratchFolder();
}

// Whatever the limit, removal takes none of the files of the carried names.
struct RemovalLimit {
  const char* name;
  int limit;
};

const RemovalLimit kLimits[] = {{"Negative", -1}, {"Zero", 0}, {"One", 1}, {"Hundred", 100}};

class EmptyManifestRemoval : public ::testing::TestWithParam<RemovalLimit> {};

TEST_P(EmptyManifestRemoval, TakesNothing) {
  EnterScratchFolder();
  PlaceFilesThatAreNotOurs();
  RemoveExtracted(GetParam().limit);
  ExpectFilesThatAreNotOursUntouched();
  LeaveScratchFolder();
}

TABLE_TEST_ROWS(Limits, EmptyManifestRemoval, kLimits);

}  // namespace
