// SPDX-License-Identifier: MIT
// Fixtures of the tests that drive the linked library against the simulated
// bus, whatever library folder they test.
#ifndef VANTORPI_TESTS_SUPPORT_FIXTURES_H
#define VANTORPI_TESTS_SUPPORT_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "simcam.h"
#include "tests/support/controllog.h"
#include "tests/support/wait.h"
#include "vantorpi.h"

namespace vtest {

// The library instance is process-wide: every test starts from a closed
// camera, an empty bus, a device list emptied by a fresh enumeration, the
// default FIFO size and packet length, and an empty control log.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ls_closedevice();
    simcam_reset();
    ls_enumdevices();
    ls_initialize(4194304, 4096);
    simcam_log_clear();
  }
  void TearDown() override { ls_closedevice(); }

  // Adds one camera per serial (nullptr: no serial string) and enumerates them.
  std::vector<int> listcameras(std::initializer_list<const char*> serials) {
    std::vector<int> ids;
    for (const char* s : serials) ids.push_back(simcam_add_camera(s));
    EXPECT_EQ(ls_enumdevices(), static_cast<int>(ids.size()));
    return ids;
  }
};

// One camera alone on the bus, opened by index and streaming in the
// background; the control log starts empty. Every test must leave it closable
// and no handle open.
class CameraTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
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
  // The next IN request `request` gets these bytes.
  void script(uint8_t request, const std::vector<uint8_t>& reply) {
    simcam_script_reply(dev, request, reply.data(), static_cast<int>(reply.size()));
  }
  void script(uint8_t request, const std::string& reply) { script(request, bytes(reply)); }

  int dev = 0;
};

}  // namespace vtest

#endif
