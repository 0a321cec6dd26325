// Root may read and write any file whatever its mode, so a test of permissions runs its
// body in a child process that has dropped to an unprivileged user.
#pragma once

#include <functional>
#include <string>

constexpr unsigned kUnprivilegedId = 65534;  // nobody, nogroup

// In a forked child only: drops to kUnprivilegedId with no supplementary groups when
// running as root. Returns false when that failed.
bool DropPrivileges();

// Runs `body` in a forked child as kUnprivilegedId with no supplementary groups. What the
// body appends to its `report` reaches `*report`. Returns the body's result as the child's
// exit code, 99 when privileges could not be dropped, -1 when the child did not exit.
int RunUnprivileged(const std::function<int(std::string* report)>& body, std::string* report);
