// A library whose libusb_init failed finds no devices and does not crash,
// neither while in use nor when it is unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "simcam.h"

#ifndef VANTORPI_LIBRARY_FILE
#error "VANTORPI_LIBRARY_FILE must name the built library"
#endif

namespace {

template <class F>
F symbol(void* lib, const char* name) {
  return reinterpret_cast<F>(dlsym(lib, name));
}

}  // namespace

TEST(LibusbInitFailure, EnumerationFindsNothing) {
  simcam_reset();
  simcam_add_camera("SN-0001");
  simcam_add_camera("SN-0002");
  simcam_set_init_error(-1);

  void* lib = dlopen(VANTORPI_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  simcam_set_init_error(0);

  auto enumdevices = symbol<int (*)()>(lib, "ls_enumdevices");
  auto devicecount = symbol<int (*)()>(lib, "ls_devicecount");
  auto openbyindex = symbol<int (*)(int)>(lib, "ls_opendevicebyindex");
  auto openbyserial = symbol<int (*)(const char*)>(lib, "ls_opendevicebyserial");
  auto closedevice = symbol<int (*)()>(lib, "ls_closedevice");
  auto serialnumber = symbol<const char* (*)(int)>(lib, "ls_getserialnumber");
  auto getadcpga1 = symbol<int (*)(unsigned short*, unsigned int)>(lib, "ls_getadcpga1");
  ASSERT_TRUE(enumdevices && devicecount && openbyindex && openbyserial && closedevice && serialnumber &&
              getadcpga1);

  EXPECT_EQ(simcam_live_contexts(), 0);
  for (int round = 0; round < 3; ++round) EXPECT_EQ(enumdevices(), 0);
  EXPECT_EQ(devicecount(), 0);
  EXPECT_STREQ(serialnumber(0), "");
  EXPECT_EQ(openbyindex(0), -10001);
  EXPECT_EQ(openbyserial("SN-0001"), -10001);
  unsigned short value = 0x5A5A;
  EXPECT_EQ(getadcpga1(&value, 100), -10004);
  EXPECT_EQ(closedevice(), 0);
  EXPECT_EQ(simcam_live_device_refs(), 0);
  EXPECT_EQ(simcam_live_device_lists(), 0);
  EXPECT_EQ(simcam_open_handles(), 0);

  EXPECT_EQ(dlclose(lib), 0);
  EXPECT_EQ(simcam_live_contexts(), 0);
}
