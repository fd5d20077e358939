// SPDX-License-Identifier: MIT
// A program that returns from main with the camera still streaming exits
// cleanly: the simulator's stream state outlives the library's pipe thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef EXIT_STREAMING_PATH
#error "EXIT_STREAMING_PATH must name the program that exits while streaming"
#endif

extern char** environ;

namespace {

// Runs the program to its end (killed after a generous deadline); its wait status, or -1.
int runonce(const std::string& drainms) {
  std::string path = EXIT_STREAMING_PATH;
  char* argv[] = {path.data(), const_cast<char*>(drainms.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(exit, with_the_camera_streaming_is_clean_50_times) {
  // The program is of the emulated architecture: the host cannot start it as a child.
  if (std::getenv("VANTORPI_UNDER_QEMU"))
    GTEST_SKIP() << "user-mode emulation cannot start the child program";
  for (int run = 0; run < 50; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const int status = runonce(std::to_string(run % 5));
    ASSERT_NE(status, -1) << "the program did not end";
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "2: no camera, 3: open failed, 4: no stream data";
  }
}

}  // namespace
