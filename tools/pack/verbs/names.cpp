// names: the payload files' names, in manifest order, one a line, for the build to read.
#include <cstdio>

#include "payload/manifest.h"
#include "verbs/verbs.h"

int Names(const Arguments&) {
  for (const ManifestFile& file : Manifest()) {
    std::printf("%s\n", file.fileName);
  }
  return 0;
}
