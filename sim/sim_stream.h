// SPDX-License-Identifier: MIT
// The camera's bulk IN stream: its settings per device, its position per open
// handle, and the packet content.
#ifndef SIM_STREAM_H
#define SIM_STREAM_H

#include <chrono>
#include <cstdint>
#include <deque>

#include "simcam.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Settings and counters of a device's stream. Every change of the settings
// bumps `version`, so that waiting transfers look at them again.
struct StreamSettings {
  explicit StreamSettings(uint64_t bytespersecond) : rate(bytespersecond) {}

  int mode = SIMCAM_STREAM_ON;
  int shortlength = 512;
  uint64_t rate;
  std::deque<int> errors;  // scripted results, front first
  bool repeatlast = false;
  uint64_t bulkcalls = 0;
  uint64_t packetssent = 0;
  uint64_t version = 0;

  // Takes the next scripted result, if any; the last one stays with repeatlast.
  bool nextscripted(int& result);
};

// Position of one open handle in the stream. Pacing: the byte b of the stream
// is not delivered before start + b / rate; the clock restarts when the rate
// changes and never lets the device fall more than a short catch-up behind.
struct StreamCursor {
  uint64_t seq = 0;
  bool paced = false;
  Clock::time_point start;
  uint64_t bytes = 0;
  uint64_t rate = 0;

  // Earliest time at which n more bytes may go out at the given rate.
  Clock::time_point due(uint64_t bytespersecond, Clock::time_point now);
  void delivered(int n) { bytes += static_cast<uint64_t>(n); }
};

// Packet seq of a stream cut into packets of packetlength bytes, its first n bytes.
void fillpacket(uint64_t seq, uint8_t* buf, int n, int packetlength);

// Renders the stream's pattern if it has not been rendered yet, so that the
// first packet of a stream costs no more than any other.
void preparepattern();

}  // namespace sim

#endif
