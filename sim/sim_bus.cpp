// SPDX-License-Identifier: MIT
#include "sim_bus.h"

#include <cstdio>
#include <cstdlib>

libusb_device::libusb_device(int id_, uint16_t vid_, uint16_t pid_, uint16_t bcd_, bool board_)
    : id(id_),
      vid(vid_),
      pid(pid_),
      bcd(bcd_),
      board(board_),
      address(0),
      port(0),
      first(sim::defaultsensortype()),
      second(sim::defaultsensortype()),
      stream(sim::defaultrate()) {}

namespace sim {

namespace {

uint64_t envnumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  return *end == '\0' ? v : fallback;
}

// A libusb error code from the environment (e.g. -3, -6), else 0.
int enverror(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 0);
  return *end == '\0' && value < 0 && value > -100 ? static_cast<int>(value) : 0;
}

}  // namespace

void adddefaultcameras(Bus& b) {
  uint64_t cameras = envnumber("SIMCAM_CAMERAS", 1);
  // A program that runs the simulator in a process of its own (lscam under
  // test) cannot call the control API: it may refuse opening or claiming.
  const int openerror = enverror("SIMCAM_OPEN_ERROR");
  const int claimerror = enverror("SIMCAM_CLAIM_ERROR");
  b.defaultcameras.clear();
  for (uint64_t i = 1; i <= cameras && i <= 127; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", static_cast<unsigned>(i));
    auto* dev = new libusb_device(0, SIMCAM_CAMERA_VID, SIMCAM_CAMERA_PID, SIMCAM_CAMERA_BCD, true);
    dev->strings[1] = SIMCAM_MANUFACTURER;
    dev->strings[2] = SIMCAM_PRODUCT;
    dev->strings[3] = serial;
    dev->openerror = openerror;
    dev->claimerror = claimerror;
    b.defaultcameras.push_back(plug(dev));
  }
}

namespace {

void freeifunreachable(libusb_device* dev) {
  if (!dev->byid && dev->refs == 0) delete dev;
}

}  // namespace

Bus& bus() {
  static Bus* instance = new Bus;
  return *instance;
}

std::unique_lock<std::mutex> lockbus(bool populate) {
  std::unique_lock<std::mutex> lock(bus().mutex);
  if (!bus().populated) {
    bus().populated = true;
    if (populate) adddefaultcameras(bus());
  }
  followunplugfile(bus());
  return lock;
}

uint16_t defaultsensortype() { return static_cast<uint16_t>(envnumber("SIMCAM_SENSOR", 0x1000)); }

uint64_t defaultrate() { return envnumber("SIMCAM_RATE", 40000000); }

libusb_device* finddevice(int id) {
  auto it = bus().devices.find(id);
  return it == bus().devices.end() ? nullptr : it->second;
}

int plug(libusb_device* dev) {
  Bus& b = bus();
  dev->id = b.nextid++;
  dev->address = static_cast<uint8_t>(1 + dev->id % 127);
  dev->port = static_cast<uint8_t>(dev->id);
  b.devices[dev->id] = dev;
  b.plugged.push_back(dev);
  return dev->id;
}

void unplug(libusb_device* dev) {
  Bus& b = bus();
  dev->gone = true;
  for (auto it = b.plugged.begin(); it != b.plugged.end(); ++it) {
    if (*it == dev) {
      b.plugged.erase(it);
      break;
    }
  }
  b.changed.notify_all();
}

void addref(libusb_device* dev) {
  ++dev->refs;
  ++bus().refs;
}

void dropref(libusb_device* dev) {
  if (dev->refs <= 0) return;
  --dev->refs;
  --bus().refs;
  freeifunreachable(dev);
}

void clearbus() {
  Bus& b = bus();
  for (auto& entry : b.devices) {
    libusb_device* dev = entry.second;
    unplug(dev);
    dev->byid = false;
    freeifunreachable(dev);
  }
  b.devices.clear();
  b.plugged.clear();
  b.nextid = 1;
  b.listerror = 0;
  b.initerror = 0;
  b.log.clear();
  b.defaultcameras.clear();
  b.defaultsunplugged = false;
}

}  // namespace sim
