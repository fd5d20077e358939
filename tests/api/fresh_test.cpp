// SPDX-License-Identifier: MIT
// State of a library that has never enumerated. Its own executable: the
// library instance lives as long as the process, so no earlier test may
// have enumerated.
#include <gtest/gtest.h>

#include <climits>

#include "vantorpi.h"

TEST(FreshLibrary, ReportsNoDevicesAndRefusesToOpen) {
  EXPECT_EQ(ls_libversion(), 258);
  EXPECT_EQ(ls_devicecount(), 0);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  for (int index : {0, -1, 1, INT_MIN}) {
    SCOPED_TRACE(index);
    EXPECT_STREQ(ls_getvendorname(index), "");
    EXPECT_STREQ(ls_getproductname(index), "");
    EXPECT_STREQ(ls_getserialnumber(index), "");
    EXPECT_EQ(ls_getmcu1version(index), 0);
    // An empty list is reported before the index is looked at.
    EXPECT_EQ(ls_opendevicebyindex(index), CX_ERR_NO_DEVICES_ATTACHED);
  }
  for (const char* serial : {"SN-0001", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ls_opendevicebyserial(serial), CX_ERR_NO_DEVICES_ATTACHED);
  }
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  EXPECT_EQ(ls_closedevice(), 0);
  EXPECT_EQ(ls_closedevice(), 0);
  EXPECT_EQ(ls_devicecount(), 0);
  EXPECT_EQ(ls_libversion(), 258);
}
