// SPDX-License-Identifier: MIT
// An opening in a child process whose address space is limited, so that an
// allocation of the opening fails for real: the child reports what the
// library returned and what it left open, and lives on to say so.
#ifndef VANTORPI_TESTS_SUPPORT_LIMITEDOPEN_H
#define VANTORPI_TESTS_SUPPORT_LIMITEDOPEN_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "simcam.h"
#include "vantorpi.h"

namespace vtest {

// Why an address-space limit cannot be tested in this build, or nullptr.
inline const char* addresslimitunsupported() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "sanitizers reserve more address space than the limit allows";
#else
  if (std::getenv("VANTORPI_UNDER_QEMU"))
    return "user-mode emulation accepts RLIMIT_AS but does not enforce it";
  return nullptr;
#endif
}

struct LimitedOpen {
  bool reported = false;  // the child lived to report
  int result = 0;         // ls_opendevicebyindex(index)
  int current = 0;        // ls_currentdeviceindex() afterwards
  int handles = 0;        // simcam_open_handles() afterwards
};

// Forks a child that limits its address space to what it maps now plus
// `headroom` bytes and opens camera `index` there.
inline LimitedOpen openinlimitedchild(int index, size_t headroom) {
  LimitedOpen outcome;
  int fds[2];
  if (::pipe(fds) != 0) return outcome;
  const pid_t child = fork();
  if (child == 0) {
    int out[3] = {1, 1, 1};
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm && std::fscanf(statm, "%ld", &pages) == 1) {
      rlimit lim{};
      lim.rlim_cur = lim.rlim_max =
          static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
      if (setrlimit(RLIMIT_AS, &lim) == 0) {
        out[0] = ls_opendevicebyindex(index);
        out[1] = ls_currentdeviceindex();
        out[2] = simcam_open_handles();
      }
    }
    _exit(write(fds[1], out, sizeof out) == sizeof out ? 0 : 1);
  }
  close(fds[1]);
  int out[3] = {0, 0, 0};
  const bool got = child > 0 && read(fds[0], out, sizeof out) == sizeof out;
  close(fds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && got && WIFEXITED(status) &&
      WEXITSTATUS(status) == 0) {
    outcome = {true, out[0], out[1], out[2]};
  }
  return outcome;
}

}  // namespace vtest

#endif
