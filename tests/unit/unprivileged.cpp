#include "unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

bool DropPrivileges() {
  return ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setgid(kUnprivilegedId) == 0 &&
                              ::setuid(kUnprivilegedId) == 0);
}

int RunUnprivileged(const std::function<int(std::string* report)>& body, std::string* report) {
  int channel[2];
  if (::pipe(channel) != 0) {
    return -1;
  }
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    if (!DropPrivileges()) {
      ::_exit(99);
    }
    std::string childReport;
    const int code = body(&childReport);
    (void)!::write(channel[1], childReport.data(), childReport.size());
    ::_exit(code);
  }
  ::close(channel[1]);
  char chunk[512];
  for (ssize_t n; (n = ::read(channel[0], chunk, sizeof chunk)) > 0;) {
    report->append(chunk, static_cast<size_t>(n));
  }
  ::close(channel[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
