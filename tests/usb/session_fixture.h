// Shared fixture of the tests that drive the library against the simulated bus.
#ifndef TESTS_USB_SESSION_FIXTURE_H
#define TESTS_USB_SESSION_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "simcam.h"
#include "vantorpi.h"

// The library instance is process-wide: every test starts from a closed
// camera, an empty bus, a device list emptied by a fresh enumeration and the
// default FIFO size and packet length.
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

  static std::vector<simcam_ctrl_record> controllog() {
    std::vector<simcam_ctrl_record> out(simcam_log_count());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(simcam_log_get(i, &out[i]), 0);
    return out;
  }

  template <class Pred>
  static bool waitfor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return pred();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
};

#endif
