#include <gtest/gtest.h>
#include <libusb.h>

#include <climits>
#include <cstring>
#include <string>

#include "vantorpi.h"

namespace {

struct Named {
  int code;
  const char* text;
};

const Named kLibraryCodes[] = {
    {0, "SUCCESS"},
    {-10001, "CX_ERR_NO_DEVICES_ATTACHED"},
    {-10002, "CX_ERR_DEVICE_INDEX_OUT_OF_RANGE"},
    {-10003, "CX_ERR_SERIAL_NUM_NOT_FOUND"},
    {-10004, "CX_ERR_USB_INVALID_HANDLE"},
    {-10005, "CX_ERR_DEVICE_ACTIVE"},
    {-10006, "CX_ERR_CONTROL_TRANSFER"},
    {-10051, "CX_ERR_I2C_INVALID_SIZE"},
    {-10052, "CX_ERR_I2C_TRANSFER"},
    {-10053, "CX_ERR_SER_INVALID_SIZE"},
    {-10054, "CX_ERR_SER_READ_ZERO_LENGTH"},
    {-10055, "CX_ERR_LENGTH_FLASH_FILE"},
    {-10056, "CX_ERR_OPEN_FLASH_FILE"},
    {-10057, "CX_ERR_GET_INVALID_FORMAT"},
    {-10058, "CX_ERR_CPU2_REGISTER"},
    {-10150, "SUCCESS"},
    {-10151, "CX_ERR_CPU2_UNKNOWN_CMD"},
    {-10152, "CX_ERR_CPU2_UNKNOWN_SET_CMD"},
    {-10153, "CX_ERR_CPU2_UNKNOWN_GET_CMD"},
    {-10154, "CX_ERR_CPU2_SET_CMD_PARAM"},
    {-10155, "CX_ERR_CPU2_GET_CMD_PARAM"},
    {-10156, "CX_ERR_CPU2_SET_CMD_VALUE"},
    {-10157, "CX_ERR_CPU2_FLASH_F0_CMD"},
    {-10158, "CX_ERR_CPU2_FLASH_F1_CMD"},
    {-10159, "CX_ERR_CPU2_FLASH_F1_PARAM"},
    {-10160, "CX_ERR_CPU2_FLASH_SIZE"},
    {-10161, "CX_ERR_CPU2_FLASH_F2_CMD"},
    {-10162, "CX_ERR_CPU2_FLASH_WRITE"},
    {-10201, "CX_ERROR_SENSOR_TYPE"},
    {-10202, "CX_ERROR_SENSOR_NOT_CONNECTED"},
    {-10203, "CX_ERROR_SENSOR_EEP_INVALID"},
    {-10251, "CX_ERR_POWER_SECURITY"},
};

// Ends of every gap between named codes, and the far ends of the range.
const int kUnnamed[] = {-10000, -10007, -10050, -10059, -10149, -10163,
                        -10200, -10204, -10250, -10252, -20000, INT_MIN};

}  // namespace

TEST(ErrorString, NamesEveryLibraryCode) {
  for (const Named& n : kLibraryCodes) {
    SCOPED_TRACE(n.code);
    const char* first = ls_geterrorstring(n.code);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, n.text);
    EXPECT_EQ(ls_geterrorstring(n.code), first) << "a library code's text is one constant";
  }
}

TEST(ErrorString, GapsAreUnknown) {
  for (int code : kUnnamed) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(ls_geterrorstring(code), "CX_ERR_UNKNOWN");
    EXPECT_EQ(ls_geterrorstring(code), ls_geterrorstring(code));
  }
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
