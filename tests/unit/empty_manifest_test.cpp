// The launcher linked with an empty manifest: nothing is written, asked or removed, and
// the installer is started at once.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "launcher/launcher.h"
#include "scratch_folder.h"

namespace {

TEST(EmptyManifest, WritesNothingStartsInstallerAtOnceAndRemovesNothing) {
  EnterScratchFolder();
  ResetFake();
  WriteFile("readme.txt", "not ours");
  EXPECT_EQ(LauncherMain(nullptr), 0);
  const std::vector<std::string> expected = {"shell", "wait", "probe:Setup"};
  EXPECT_EQ(Fake().calls, expected);
  EXPECT_TRUE(Fake().boxes.empty());
  EXPECT_EQ(ReadFile("readme.txt"), "not ours");
  LeaveScratchFolder();
}

TEST(EmptyManifest, RemovalTakesNothingWhateverTheLimit) {
  EnterScratchFolder();
  WriteFile("readme.txt", "not ours");
  for (int limit : {-1, 0, 1, 100}) {
    RemoveExtracted(limit);
  }
  EXPECT_EQ(ReadFile("readme.txt"), "not ours");
  LeaveScratchFolder();
}

}  // namespace
