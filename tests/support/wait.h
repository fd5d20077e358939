// SPDX-License-Identifier: MIT
// Waiting on a condition with a deadline, for tests that watch another thread
// or process; never a bare sleep before an assertion.
#ifndef VANTORPI_TESTS_SUPPORT_WAIT_H
#define VANTORPI_TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <thread>

namespace vtest {

// Polls pred until it holds or the deadline has passed; its last answer.
template <class Pred>
bool waitfor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vtest

#endif
