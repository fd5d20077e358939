// SPDX-License-Identifier: MIT
// A library whose libusb_init failed finds no devices and does not crash,
// neither while in use nor when it is unloaded.
#include <gtest/gtest.h>

#include <string>

#include "simcam.h"
#include "tests/support/library.h"

#ifndef VANTORPI_LIBRARY_FILE
#error "VANTORPI_LIBRARY_FILE must name the built library"
#endif

TEST(LibusbInitFailure, EnumerationFindsNothing) {
  simcam_reset();
  simcam_add_camera("SN-0001");
  simcam_add_camera("SN-0002");
  simcam_set_init_error(-1);

  vtest::LoadedLibrary lib;
  std::string error;
  ASSERT_TRUE(lib.load(VANTORPI_LIBRARY_FILE, error)) << error;
  simcam_set_init_error(0);

  EXPECT_EQ(simcam_live_contexts(), 0);
  for (int round = 0; round < 3; ++round) EXPECT_EQ(lib.ls_enumdevices(), 0);
  EXPECT_EQ(lib.ls_devicecount(), 0);
  EXPECT_STREQ(lib.ls_getserialnumber(0), "");
  EXPECT_EQ(lib.ls_opendevicebyindex(0), CX_ERR_NO_DEVICES_ATTACHED);
  EXPECT_EQ(lib.ls_opendevicebyserial("SN-0001"), CX_ERR_NO_DEVICES_ATTACHED);
  unsigned short value = 0x5A5A;
  EXPECT_EQ(lib.ls_getadcpga1(&value, 100), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(lib.ls_closedevice(), 0);
  EXPECT_EQ(simcam_live_device_refs(), 0);
  EXPECT_EQ(simcam_live_device_lists(), 0);
  EXPECT_EQ(simcam_open_handles(), 0);

  EXPECT_EQ(lib.unload(), 0);
  EXPECT_EQ(simcam_live_contexts(), 0);
}
