#include "cli/version.h"

#include "pack_commit.h"  // SELFINST_PACK_COMMIT, written by cmake/pack-commit.cmake

std::string VersionLine() {
  const std::string commit = SELFINST_PACK_COMMIT;
  return std::string("selfinst-pack ") + SELFINST_PACK_VERSION +
         (commit.empty() ? "" : " (commit " + commit + ")");
}
