// The launcher's table for the demo payload times DEMO_SCALE (1 unless defined), for the
// host programs that run the launcher's sources over files on disk: the unit tests and the
// heap benchmark. A built launcher has its sizes written by the packer instead.
#include "demo_sizes.h"
#include "payload_table.h"

#ifndef DEMO_SCALE
#define DEMO_SCALE 1
#endif

namespace {

enum DemoRow : std::size_t {
#define PAYLOAD_FILE(key, name) kRow_##key,
#include "payload_files.def"
#undef PAYLOAD_FILE
  kDemoRows
};
static_assert(kDemoRows == sizeof kDemoSizes / sizeof kDemoSizes[0],
              "one demo length per manifest row");

}  // namespace

const PayloadEntry payloadTable[] = {
#define PAYLOAD_FILE(key, name) \
  {static_cast<std::uint32_t>(kDemoSizes[kRow_##key] * DEMO_SCALE), name, #key},
#include "payload_files.def"
#undef PAYLOAD_FILE
    {0, nullptr, nullptr},
};
