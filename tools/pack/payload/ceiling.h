// How large a launcher may grow, and the one check of a payload's total against it.
#pragma once

#include <cstdint>
#include <string>

#include "io/report.h"

// The largest payload with which the PE32 launcher, large-address-aware, was seen to start
// and complete a run where 32-bit programs get 4 GB of address space: 2043 MiB ran and
// 2044 MiB did not (the image itself must end below 2 GB), rounded down to a multiple of
// 16 MiB. Without the flag 1995 MiB already failed.
constexpr std::uint64_t kLargestPayload = 0x7F000000u;
// What 32-bit Windows itself can map for a program: its 2 GB of user address space runs
// from the image base, 0x00400000, to where the system DLLs are placed, below 0x70000000;
// less room for the launcher's own sections, its stack and its heaps.
constexpr std::uint64_t kLargestPayloadOn32BitWindows = 0x6F000000u;
// A stub, read whole: today's is a few KiB.
constexpr std::uint64_t kLargestStub = 16u << 20;

// False, with one problem about `subject` (a payload folder, or one file of it), when its
// `total` bytes are more than a launcher carries and still starts.
[[nodiscard]] bool CheckPayloadTotal(std::uint64_t total, const std::string& subject, bool oneFile,
                                     Report* report);
// A warning about `folder` for a payload that starts only where 32-bit programs get 4 GB.
void WarnOfPayloadTotal(std::uint64_t total, const std::string& folder, Report* report);
