// SPDX-License-Identifier: MIT
// SIMCAM_UNPLUG_FILE: unplugging and plugging in the default cameras from
// another process. A test of a program that runs the simulator in its own
// process (lscam serve under a browser) creates the file to pull the cables
// and removes it to plug them in again; the cameras come back as new devices
// with the same identity, as a replugged camera does.
//
// The file is looked at from the libusb calls themselves, with the bus locked,
// at most every 20 ms: a program that streams or polls for its camera sees the
// change within that time, and one that makes no call cannot notice it anyway.
#include <unistd.h>

#include <cstdlib>

#include "sim_bus.h"

namespace sim {

void followunplugfile(Bus& b) {
  static const char* const path = std::getenv("SIMCAM_UNPLUG_FILE");
  if (!path || !*path) return;
  static Clock::time_point nextlook;
  const Clock::time_point now = Clock::now();
  if (now < nextlook) return;
  nextlook = now + std::chrono::milliseconds(20);
  const bool pulled = access(path, F_OK) == 0;
  if (pulled && !b.defaultsunplugged && !b.defaultcameras.empty()) {
    for (int id : b.defaultcameras)
      if (libusb_device* dev = finddevice(id)) unplug(dev);
    b.defaultsunplugged = true;
  } else if (!pulled && b.defaultsunplugged) {
    adddefaultcameras(b);
    b.defaultsunplugged = false;
  }
}

}  // namespace sim
