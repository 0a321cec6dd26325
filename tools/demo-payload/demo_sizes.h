// The lengths of the installation the demo payload stands in for, row by row in manifest
// order: what make-demo-payload writes (times its --scale) and what the host programs that
// run the launcher's own sources over the demo payload put in their table.
#pragma once

#include <cstddef>

constexpr std::size_t kDemoSizes[] = {2805,  786379, 5968, 311998, 47616, 3,
                                      12743, 42743,  230,  951332, 3};
