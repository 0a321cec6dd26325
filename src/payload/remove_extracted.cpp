#include "remove_extracted.h"

#include <cstdio>

#include "payload_table.h"

void RemoveExtracted(int rowLimit) {
  for (int row = 0; row < rowLimit && payloadTable[row].size != 0; ++row) {
    // A file that is absent, read-only or in use stays where it is.
    (void)std::remove(payloadTable[row].fileName);
  }
}
