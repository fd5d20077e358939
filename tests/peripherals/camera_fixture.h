// Shared by the peripheral and second-processor tests: one simulated camera,
// opened through the exported API, and readers of the simulator's control log.
#ifndef VANTORPI_TESTS_CAMERA_FIXTURE_H
#define VANTORPI_TESTS_CAMERA_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "simcam.h"
#include "vantorpi.h"

namespace vtest {

constexpr uint8_t kOut = 0x40;
constexpr uint8_t kIn = 0xC0;

// Setup fields and time-out of one control transfer as one line of text, so
// that a mismatch shows every field at once.
inline std::string wire(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                        unsigned int timeout) {
  char text[80];
  std::snprintf(text, sizeof text, "%02X %02X wValue=%04X wIndex=%04X wLength=%u timeout=%u", type, request,
                value, index, length, timeout);
  return text;
}

inline std::string wire(const simcam_ctrl_record& r) {
  return wire(r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength, r.timeout);
}

inline std::vector<simcam_ctrl_record> controllog() {
  std::vector<simcam_ctrl_record> records;
  simcam_ctrl_record r;
  for (size_t i = 0; simcam_log_get(i, &r) == 0; ++i) records.push_back(r);
  return records;
}

// Logged transfers of one request code in one direction, oldest first.
inline std::vector<simcam_ctrl_record> requests(uint8_t type, uint8_t request) {
  std::vector<simcam_ctrl_record> found;
  for (const auto& r : controllog())
    if (r.bmRequestType == type && r.bRequest == request) found.push_back(r);
  return found;
}

// Every logged transfer as wire() lines.
inline std::vector<std::string> wirelog() {
  std::vector<std::string> lines;
  for (const auto& r : controllog()) lines.push_back(wire(r));
  return lines;
}

inline std::vector<uint8_t> payload(const simcam_ctrl_record& r) {
  return std::vector<uint8_t>(r.data, r.data + std::min<int>(r.datalen, SIMCAM_LOG_DATA_MAX));
}

inline std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// One camera alone on the bus, opened by index and streaming in the
// background; the control log starts empty.
class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simcam_reset();
    dev = simcam_add_camera("VT0001");
    ASSERT_EQ(ls_enumdevices(), 1);
    ASSERT_EQ(ls_opendevicebyindex(0), 0);
    simcam_log_clear();
  }
  void TearDown() override {
    EXPECT_EQ(ls_closedevice(), 0);
    EXPECT_EQ(simcam_open_handles(), 0);
  }
  // Closes the camera: the following calls find no device open.
  void closecamera() {
    ASSERT_EQ(ls_closedevice(), 0);
    simcam_log_clear();
  }
  void script(uint8_t request, const std::vector<uint8_t>& reply) {
    simcam_script_reply(dev, request, reply.data(), static_cast<int>(reply.size()));
  }
  void script(uint8_t request, const std::string& reply) { script(request, bytes(reply)); }

  int dev = 0;
};

}  // namespace vtest

#endif
