// limits: the largest payload a launcher carries, and the largest 32-bit Windows maps.
#include <cstdio>

#include "payload/ceiling.h"
#include "verbs/verbs.h"

int Limits(const Arguments&) {
  std::printf("largest payload: %llu bytes\n", static_cast<unsigned long long>(kLargestPayload));
  std::printf("largest payload 32-bit Windows maps: %llu bytes\n",
              static_cast<unsigned long long>(kLargestPayloadOn32BitWindows));
  return 0;
}
