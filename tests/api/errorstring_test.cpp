// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <libusb.h>

#include <climits>
#include <cstring>
#include <iterator>
#include <string>

#include "api/cx_resultcodes.h"
#include "vantorpi.h"

namespace {

bool named(int code) {
  for (const cx_resultcode& entry : cx_resultcodes)
    if (entry.code == code) return true;
  return false;
}

}  // namespace

// Every code of the shared table has its own name as text, and that text is
// one constant; every other code of the named range, and every code beyond
// it, is "CX_ERR_UNKNOWN".
TEST(ErrorString, NamesEveryLibraryCodeAndNothingElse) {
  for (const cx_resultcode& entry : cx_resultcodes) {
    SCOPED_TRACE(entry.code);
    const char* first = ls_geterrorstring(entry.code);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, entry.name);
    EXPECT_EQ(ls_geterrorstring(entry.code), first) << "a library code's text is one constant";
  }
  for (int code = -10000; code >= -10252; --code) {
    if (named(code)) continue;
    SCOPED_TRACE(code);
    EXPECT_STREQ(ls_geterrorstring(code), "CX_ERR_UNKNOWN");
  }
  for (int code : {-20000, INT_MIN}) EXPECT_STREQ(ls_geterrorstring(code), "CX_ERR_UNKNOWN");
}

// The fixed points of the numbering, as applications see them.
TEST(ErrorString, FixedPointsOfTheNumbering) {
  EXPECT_STREQ(ls_geterrorstring(0), "SUCCESS");
  EXPECT_STREQ(ls_geterrorstring(-10150), "SUCCESS");
  EXPECT_STREQ(ls_geterrorstring(-10001), "CX_ERR_NO_DEVICES_ATTACHED");
  EXPECT_STREQ(ls_geterrorstring(-10006), "CX_ERR_CONTROL_TRANSFER");
  EXPECT_STREQ(ls_geterrorstring(-10162), "CX_ERR_CPU2_FLASH_WRITE");
  EXPECT_STREQ(ls_geterrorstring(-10203), "CX_ERROR_SENSOR_EEP_INVALID");
  EXPECT_STREQ(ls_geterrorstring(-10251), "CX_ERR_POWER_SECURITY");
  EXPECT_EQ(std::size(cx_resultcodes), 31u) << "31 named codes from -10001 down";
}

TEST(ErrorString, ComputedSecondProcessorCodesFollowTheTable) {
  EXPECT_STREQ(ls_geterrorstring(-10150 - 13), "CX_ERR_UNKNOWN");
  EXPECT_STREQ(ls_geterrorstring(-10150 - 51), "CX_ERROR_SENSOR_TYPE");
  EXPECT_STREQ(ls_geterrorstring(-10150 - 101), "CX_ERR_POWER_SECURITY");
}

TEST(ErrorString, PositiveCodesAreOperatingSystemErrors) {
  for (int code : {1, 2, 12, 22, 110}) {
    SCOPED_TRACE(code);
    const std::string ours = ls_geterrorstring(code);
    EXPECT_EQ(ours, std::string(strerror(code)));
  }
}

TEST(ErrorString, LibusbRangeUsesLibusbTexts) {
  // The library's libusb is the one loaded into this process (the simulator).
  for (int code : {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -99, -100, -9999}) {
    SCOPED_TRACE(code);
    const char* ours = ls_geterrorstring(code);
    ASSERT_NE(ours, nullptr);
    EXPECT_STREQ(ours, libusb_strerror(code));
    EXPECT_STRNE(ours, "CX_ERR_UNKNOWN");
  }
}
