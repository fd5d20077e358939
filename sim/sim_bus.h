// SPDX-License-Identifier: MIT
// The simulated bus: devices, handles, contexts and the counters and log that
// tests read. One mutex guards all of it; transfers wait on `changed` with the
// mutex released, so unplugging or resetting wakes them at once.
#ifndef SIM_BUS_H
#define SIM_BUS_H

#include <libusb.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_stream.h"
#include "simcam.h"

#define SIM_EXPORT __attribute__((visibility("default")))

namespace sim {

// A one-shot answer that replaces the board's own for the next matching request.
struct Script {
  enum class Kind { Reply, Error, OutTaken };
  int dir;
  uint8_t request;
  Kind kind;
  std::string data;
  int value;
};

constexpr int kStrings = 4;  // string descriptor indexes 1..3 in use

}  // namespace sim

struct libusb_context {
  int generation = 0;
};

// A device on the simulated bus. Its memory lives while it is reachable by id
// (until simcam_reset) or while clients hold references to it.
struct libusb_device {
  libusb_device(int id, uint16_t vid, uint16_t pid, uint16_t bcd, bool board);

  int id;
  uint16_t vid, pid, bcd;
  std::optional<std::string> strings[sim::kStrings];
  bool board;         // answers the camera's vendor requests and streams
  bool gone = false;  // unplugged: every call on its handles fails with NO_DEVICE
  bool byid = true;   // reachable through the control API
  int refs = 0;       // references held by clients
  int claimedby = 0;  // handles that hold interface 0 (0 or 1)
  uint8_t address;
  uint8_t port;
  int openerror = 0, claimerror = 0, releaseerror = 0, descriptorerror = 0;
  int stringerror[sim::kStrings] = {};
  sim::FirstProcessor first;
  sim::SecondProcessor second;
  std::deque<sim::Script> scripts;
  sim::StreamSettings stream;
};

struct libusb_device_handle {
  explicit libusb_device_handle(libusb_device* device) : dev(device) {}

  libusb_device* dev;
  bool claimed = false;
  sim::StreamCursor cursor;
};

namespace sim {

struct Bus {
  std::mutex mutex;
  std::condition_variable changed;
  bool populated = false;
  int nextid = 1;
  std::vector<libusb_device*> plugged;    // in bus order
  std::map<int, libusb_device*> devices;  // by id, since the last reset
  int refs = 0, handles = 0, claims = 0, contexts = 0, defaultcontexts = 0, lists = 0;
  int listerror = 0, initerror = 0;
  std::vector<int> defaultcameras;  // ids of the cameras put on the bus from the environment
  bool defaultsunplugged = false;   // taken off the bus by SIMCAM_UNPLUG_FILE
  std::vector<simcam_ctrl_record> log;
};

// The bus, never destroyed: clients may hold devices and handles until the
// process ends.
Bus& bus();

// Locks the bus; the first lock that asks for it puts the default cameras from
// the environment on the bus.
std::unique_lock<std::mutex> lockbus(bool populate = true);

// With the bus locked:
void adddefaultcameras(Bus& b);  // the cameras SIMCAM_CAMERAS asks for, with fresh ids
// Unplugs the default cameras while the file SIMCAM_UNPLUG_FILE names exists
// and plugs them in again once it is gone; looks at most every 20 ms.
void followunplugfile(Bus& b);
libusb_device* finddevice(int id);
int plug(libusb_device* dev);  // gives the device its id and puts it on the bus
void unplug(libusb_device* dev);
void clearbus();  // unplugs and forgets every device, clears the log and the failures
void addref(libusb_device* dev);
void dropref(libusb_device* dev);  // frees a device that nothing reaches any more
uint16_t defaultsensortype();
uint64_t defaultrate();
// Appends a logged transfer to the file that SIMCAM_LOG_FILE names, if any.
void appendtologfile(const simcam_ctrl_record& r);
// Appends "dev=<id> event=<event>" for a handle opened ("open") or closed ("close").
void appendeventtologfile(int dev, const char* event);

// Waits on bus().changed until pred holds or, when limited, the deadline has
// passed; true if pred holds.
template <class Pred>
bool waitfor(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, bool limited, Pred pred) {
  if (!limited) {
    bus().changed.wait(lock, pred);
    return true;
  }
  return bus().changed.wait_until(lock, deadline, pred);
}

inline Clock::time_point deadlineafter(unsigned int ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace sim

#endif
