// SPDX-License-Identifier: MIT
// Loaded into lscam with LD_PRELOAD by the tests, for what the simulator's
// SIMCAM_* variables cannot set up in another process:
//   SIMSCRIPT_SERIAL  the bus holds one camera with this serial number;
//   SIMSCRIPT_UNPLUG  that camera is unplugged once it has sent this many
//                     packets, and "simscript: unplugged" on stderr marks
//                     the moment.
// The camera refuses opening or claiming as SIMCAM_OPEN_ERROR and
// SIMCAM_CLAIM_ERROR say, as the simulator's default camera would.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "simcam.h"

namespace {

__attribute__((constructor)) void setup() {
  const char* serial = std::getenv("SIMSCRIPT_SERIAL");
  const char* unplug = std::getenv("SIMSCRIPT_UNPLUG");
  if (!serial && !unplug) return;
  simcam_reset();
  const int camera = simcam_add_camera(serial ? serial : "SIM0001");
  if (const char* error = std::getenv("SIMCAM_OPEN_ERROR")) simcam_set_open_error(camera, std::atoi(error));
  if (const char* error = std::getenv("SIMCAM_CLAIM_ERROR")) simcam_set_claim_error(camera, std::atoi(error));
  if (!unplug) return;
  const unsigned long long packets = std::strtoull(unplug, nullptr, 10);
  std::thread([camera, packets] {
    while (simcam_packets_sent(camera) < packets) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    simcam_unplug(camera);
    static const char mark[] = "simscript: unplugged\n";
    (void)!write(STDERR_FILENO, mark, sizeof mark - 1);
  }).detach();
}

}  // namespace
