// SPDX-License-Identifier: MIT
// Returns from main with the camera open and its stream running, so that the
// process exits while the library's pipe thread is still copying packets.
// argv[1] is how many milliseconds to keep draining the stream first, which
// moves the exit to another point of the thread's work.
#include <chrono>
#include <cstdlib>
#include <vector>

#include "vantorpi.h"

int main(int argc, char* argv[]) {
  const long drain = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  ls_initialize(4 << 20, 4096);
  if (ls_enumdevices() < 1) return 2;
  if (ls_opendevicebyindex(0) != 0) return 3;
  ls_waitforpipe(5000);
  if (ls_getpipe(nullptr, 0) <= 0) return 4;
  std::vector<char> buffer(1 << 16);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(drain);
  while (std::chrono::steady_clock::now() < end) {
    ls_waitforpipe(10);
    ls_getpipe(buffer.data(), static_cast<int>(buffer.size()));
  }
  return 0;
}
