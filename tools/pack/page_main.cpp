// Writes selfinst-pack's manual page at build time, from the verb table the packer is
// built with, to the path given: written aside and renamed, so the page is whole or absent.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/man_page.h"
#include "verb_table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: selfinst-pack-page OUT.1\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
  const std::string part = path + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << ManPage(Verbs(), SELFINST_PACK_VERSION);
    out.close();
    if (!out) {
      (void)std::fprintf(stderr, "selfinst-pack-page: %s: cannot write\n", part.c_str());
      return 1;
    }
  }
  std::error_code error;
  std::filesystem::rename(part, path, error);
  if (error) {
    (void)std::fprintf(stderr, "selfinst-pack-page: %s: %s\n", path.c_str(),
                       error.message().c_str());
    return 1;
  }
  return 0;
}
