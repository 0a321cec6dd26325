// Exits at once: packed with a store, it measures what loading such an image costs. It
// carries the launcher's table of sizes, whose placeholders the packer writes as it writes
// the launcher's, since it takes no stub without one.
#include <windows.h>

#include "payload_table.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Read through a volatile pointer, so that the whole table stays in the image.
  const PayloadEntry* volatile table = payloadTable;
  return table[0].size == 0 ? 1 : 0;
}
