// SPDX-License-Identifier: MIT
#include <climits>
#include <string>

#include "tests/support/fixtures.h"

namespace {

constexpr uint16_t VID = SIMCAM_CAMERA_VID;
constexpr uint16_t PID = SIMCAM_CAMERA_PID;

struct Identity {
  int bcd;
  const char* vendor;
  const char* product;
  const char* serial;
};

void expectlisted(int index, const Identity& id) {
  SCOPED_TRACE(index);
  EXPECT_EQ(ls_getmcu1version(index), id.bcd);
  EXPECT_STREQ(ls_getvendorname(index), id.vendor);
  EXPECT_STREQ(ls_getproductname(index), id.product);
  EXPECT_STREQ(ls_getserialnumber(index), id.serial);
}

void expectnorecord(int index) {
  SCOPED_TRACE(index);
  EXPECT_EQ(ls_getmcu1version(index), 0);
  EXPECT_STREQ(ls_getvendorname(index), "");
  EXPECT_STREQ(ls_getproductname(index), "");
  EXPECT_STREQ(ls_getserialnumber(index), "");
}

using Enumeration = vtest::SessionTest;

}  // namespace

TEST_F(Enumeration, ListsOnlyTheCamerasInBusOrder) {
  simcam_add_device(0x1d6b, 0x0002, 0x0510, "Linux Foundation", "Root hub", "0000:01:00.0");
  const int first = simcam_add_camera("SN-0001");
  simcam_add_device(VID, PID + 1, SIMCAM_CAMERA_BCD, SIMCAM_MANUFACTURER, "Other product", "SN-X1");
  simcam_add_device(VID + 1, PID, SIMCAM_CAMERA_BCD, "Other vendor", SIMCAM_PRODUCT, "SN-X2");
  const int second = simcam_add_device(VID, PID, 0x0304, "Maker B", "Camera B", "SN-0002");
  simcam_log_clear();

  EXPECT_EQ(ls_enumdevices(), 2);
  EXPECT_EQ(ls_devicecount(), 2);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  expectlisted(0, {SIMCAM_CAMERA_BCD, SIMCAM_MANUFACTURER, SIMCAM_PRODUCT, "SN-0001"});
  expectlisted(1, {0x0304, "Maker B", "Camera B", "SN-0002"});
  for (int bad : {-1, 2, INT_MIN, INT_MAX}) expectnorecord(bad);

  // Only string descriptors of the two cameras were read; their temporary
  // handles are closed and nothing was claimed.
  for (const simcam_ctrl_record& r : vtest::controllog()) {
    EXPECT_EQ(r.bmRequestType, 0x80);  // standard request, device to host
    EXPECT_TRUE(r.dev == first || r.dev == second) << "device " << r.dev;
  }
  EXPECT_EQ(simcam_open_handles(), 0);
  EXPECT_EQ(simcam_claimed_interfaces(), 0);
}

TEST_F(Enumeration, MissingOrUnreadableStringsAreListedEmpty) {
  simcam_add_camera(nullptr);
  simcam_add_device(VID, PID, 0x0001, nullptr, nullptr, nullptr);
  for (int which = 1; which <= 3; ++which) {
    const int dev = simcam_add_camera("SN-STR");
    simcam_set_string_error(dev, which, -9);
  }
  ASSERT_EQ(ls_enumdevices(), 5);
  expectlisted(0, {SIMCAM_CAMERA_BCD, SIMCAM_MANUFACTURER, SIMCAM_PRODUCT, ""});
  expectlisted(1, {0x0001, "", "", ""});
  expectlisted(2, {SIMCAM_CAMERA_BCD, "", SIMCAM_PRODUCT, "SN-STR"});
  expectlisted(3, {SIMCAM_CAMERA_BCD, SIMCAM_MANUFACTURER, "", "SN-STR"});
  expectlisted(4, {SIMCAM_CAMERA_BCD, SIMCAM_MANUFACTURER, SIMCAM_PRODUCT, ""});
}

// libusb counts a descriptor's U+0000 code units as bytes: a serial number
// padded with NULs must still be found by the text the library shows.
TEST_F(Enumeration, StringsPaddedWithNulsEndAtTheFirstNul) {
  const int dev = simcam_add_camera(nullptr);
  simcam_set_string_bytes(dev, 1, "Maker\0\0", 7);
  simcam_set_string_bytes(dev, 3, "PAD\0\0\0\0\0", 8);
  simcam_add_camera("OTHER");
  ASSERT_EQ(ls_enumdevices(), 2);
  expectlisted(0, {SIMCAM_CAMERA_BCD, "Maker", SIMCAM_PRODUCT, "PAD"});
  const std::string shown = ls_getserialnumber(0);
  for (const char* serial : {"PAD", shown.c_str()}) {
    ASSERT_EQ(ls_opendevicebyindex(1), 0);
    EXPECT_EQ(ls_opendevicebyserial(serial), 0);
    EXPECT_EQ(ls_currentdeviceindex(), 0);
  }
}

TEST_F(Enumeration, SkipsCamerasItCannotOpenOrDescribe) {
  simcam_add_camera("SN-A");
  simcam_set_open_error(simcam_add_camera("SN-REFUSED"), -3);
  simcam_set_descriptor_error(simcam_add_camera("SN-NODESC"), -1);
  simcam_add_camera("SN-B");
  EXPECT_EQ(ls_enumdevices(), 2);
  EXPECT_STREQ(ls_getserialnumber(0), "SN-A");
  EXPECT_STREQ(ls_getserialnumber(1), "SN-B");
  EXPECT_EQ(ls_opendevicebyserial("SN-REFUSED"), CX_ERR_SERIAL_NUM_NOT_FOUND);
}

TEST_F(Enumeration, FailingDeviceListFindsNothingAndDropsTheOldList) {
  for (int err : {-1, -11, -99}) {
    SCOPED_TRACE(err);
    simcam_reset();
    simcam_add_camera("SN-0001");
    ASSERT_EQ(ls_enumdevices(), 1);
    simcam_set_device_list_error(err);
    EXPECT_EQ(ls_enumdevices(), 0);
    EXPECT_EQ(ls_devicecount(), 0);
    expectnorecord(0);
    EXPECT_EQ(ls_opendevicebyindex(0), CX_ERR_NO_DEVICES_ATTACHED);
    EXPECT_EQ(simcam_live_device_refs(), 0);
    simcam_set_device_list_error(0);
    EXPECT_EQ(ls_enumdevices(), 1);
  }
}

TEST_F(Enumeration, EmptyBusDiscardsThePreviousRecords) {
  const auto ids = listcameras({"SN-0001", "SN-0002"});
  for (int id : ids) simcam_unplug(id);
  EXPECT_EQ(ls_enumdevices(), 0);
  EXPECT_EQ(ls_devicecount(), 0);
  expectnorecord(0);
  expectnorecord(1);
  EXPECT_EQ(ls_opendevicebyindex(0), CX_ERR_NO_DEVICES_ATTACHED);
  EXPECT_EQ(ls_opendevicebyserial("SN-0001"), CX_ERR_NO_DEVICES_ATTACHED);
}

TEST_F(Enumeration, ClosesTheOpenCameraFirst) {
  listcameras({"SN-0001", "SN-0002"});
  ASSERT_EQ(ls_opendevicebyindex(1), 0);
  EXPECT_EQ(ls_enumdevices(), 2);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  EXPECT_EQ(simcam_open_handles(), 0);
  EXPECT_EQ(simcam_claimed_interfaces(), 0);
}

// Every enumeration drops the references of the devices it does not list and
// of the records it discards, and frees libusb's array, also on an empty bus.
TEST_F(Enumeration, KeepsExactlyOneReferencePerListedCamera) {
  struct Bus {
    const char* name;
    bool troublemakers;
  };
  for (const Bus& bus :
       {Bus{"two cameras, one other device", false}, Bus{"with refused and unreadable", true}}) {
    SCOPED_TRACE(bus.name);
    simcam_reset();
    ASSERT_EQ(ls_enumdevices(), 0);
    simcam_add_camera("SN-0001");
    simcam_add_device(0x1d6b, 0x0002, 0x0510, "Linux Foundation", "Root hub", nullptr);
    if (bus.troublemakers) {
      simcam_set_open_error(simcam_add_camera("SN-REFUSED"), -3);
      simcam_set_descriptor_error(simcam_add_camera("SN-NODESC"), -1);
      simcam_set_descriptor_error(simcam_add_device(0x1234, 0x5678, 1, "x", "y", "z"), -1);
    }
    simcam_add_camera("SN-0002");
    for (int round = 0; round < 20; ++round) ASSERT_EQ(ls_enumdevices(), 2);
    EXPECT_EQ(simcam_live_device_refs(), 2);
    EXPECT_EQ(simcam_live_device_lists(), 0);

    for (int round = 0; round < 5; ++round) {
      ASSERT_EQ(ls_opendevicebyindex(round % 2), 0);
      ASSERT_EQ(ls_closedevice(), 0);
    }
    EXPECT_EQ(simcam_live_device_refs(), 2);
    EXPECT_EQ(simcam_open_handles(), 0);
  }
  simcam_reset();
  for (int round = 0; round < 3; ++round) EXPECT_EQ(ls_enumdevices(), 0);
  EXPECT_EQ(simcam_live_device_refs(), 0);
  EXPECT_EQ(simcam_live_device_lists(), 0);
}

// A returned identity string stays as it was until the same function is
// called again: calls of the other two and new enumerations leave it alone.
// All texts have one length, so that storage freed too early is reused by
// the next text and the held one changes (ASan reports it outright).
TEST_F(Enumeration, IdentityStringsOutliveOtherCallsAndEnumerations) {
  using Getter = const char* (*)(int);
  struct Case {
    const char* name;
    Getter get;
    const char* first;
    const char* second;
    const char* changed;
  };
  const Case cases[] = {
      {"vendor", ls_getvendorname, "First Vendor Incorporated", "Second Vendor Corporation",
       "Changed Vendor Company AB"},
      {"product", ls_getproductname, "First line camera product", "Second line-scan camera 2",
       "Changed line camera model"},
      {"serial", ls_getserialnumber, "SN-FIRST-0000000000000001", "SN-SECOND-000000000000002",
       "SN-CHANGED-00000000000003"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simcam_reset();
    const int dev = simcam_add_device(VID, PID, 1, cases[0].first, cases[1].first, cases[2].first);
    simcam_add_device(VID, PID, 2, cases[0].second, cases[1].second, cases[2].second);
    ASSERT_EQ(ls_enumdevices(), 2);
    const char* held = c.get(0);
    ASSERT_STREQ(held, c.first);
    for (const Case& other : cases) {
      if (other.get == c.get) continue;
      for (int round = 0; round < 2; ++round) {
        EXPECT_STREQ(other.get(1), other.second);
        EXPECT_STREQ(other.get(0), other.first);
      }
    }
    EXPECT_STREQ(held, c.first);

    simcam_set_identity(dev, VID, PID, 3, cases[0].changed, cases[1].changed, cases[2].changed);
    ASSERT_EQ(ls_enumdevices(), 2);
    EXPECT_STREQ(held, c.first);
    for (const Case& other : cases) {
      if (other.get != c.get) {
        EXPECT_STREQ(other.get(0), other.changed);
      }
    }
    EXPECT_STREQ(held, c.first);
    simcam_reset();
    ASSERT_EQ(ls_enumdevices(), 0);
    EXPECT_STREQ(held, c.first);
    EXPECT_STREQ(c.get(0), "");
  }
}
