// SPDX-License-Identifier: MIT
// The first processor's own control requests: guarded switches, FIFO reset,
// the one-byte status reads and the sensor identification record.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

using namespace vtest;

namespace {

using cx_protocol::vendorin;
using cx_protocol::vendorout;

struct Guarded {
  const char* name;
  uint8_t request;
  int (*call)(unsigned char state, unsigned int code, unsigned int timeout);
};
const Guarded kGuarded[] = {{"ls_cwp", cx_protocol::codewriteprot, ls_cwp},
                            {"ls_psy", cx_protocol::powersupply, ls_psy},
                            {"ls_dwp", cx_protocol::datawriteprot, ls_dwp}};

const unsigned int kWrongCodes[] = {0u,
                                    1u,
                                    LS_POWER_SECURITY_CODE ^ 1u,
                                    LS_POWER_SECURITY_CODE ^ 0x80000000u,
                                    ~LS_POWER_SECURITY_CODE,
                                    LS_POWER_SECURITY_CODE >> 16,
                                    LS_POWER_SECURITY_CODE & 0xFFFFu,
                                    0xFFFFFFFFu};

using BoardControl = CameraTest;

TEST_F(BoardControl, WrongSecurityCodeIsRefusedFirstAndSendsNothing) {
  for (int open = 1; open >= 0; --open) {
    if (!open) closecamera();
    for (const Guarded& g : kGuarded) {
      for (unsigned int code : kWrongCodes) {
        SCOPED_TRACE(std::string(g.name) + (open ? " open" : " closed") + " code " + std::to_string(code));
        EXPECT_EQ(g.call(1, code, 1000), CX_ERR_POWER_SECURITY);
      }
      EXPECT_EQ(simcam_switch_state(dev, g.request), -1);
    }
    EXPECT_TRUE(controllog().empty());
  }
  for (const Guarded& g : kGuarded)
    EXPECT_EQ(g.call(1, LS_POWER_SECURITY_CODE, 1000), CX_ERR_USB_INVALID_HANDLE) << g.name;
  EXPECT_TRUE(controllog().empty());
}

TEST_F(BoardControl, RightSecurityCodeSendsStateAsValue) {
  for (const Guarded& g : kGuarded) {
    for (unsigned char state : {0x00, 0x01, 0xA5, 0xFF, 0x00}) {
      SCOPED_TRACE(std::string(g.name) + " state " + std::to_string(state));
      simcam_log_clear();
      EXPECT_EQ(g.call(state, LS_POWER_SECURITY_CODE, 1234), 0);
      EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorout, g.request, state, 0, 0, 1234)});
      EXPECT_EQ(simcam_switch_state(dev, g.request), state);
    }
    simcam_script_error(dev, SIMCAM_OUT, g.request, -9);
    EXPECT_EQ(g.call(1, LS_POWER_SECURITY_CODE, 1000), -9) << g.name;
    EXPECT_EQ(simcam_switch_state(dev, g.request), 0) << g.name;
  }
}

TEST_F(BoardControl, ResetFifoSendsTheResetRequest) {
  int before = simcam_fifo_resets(dev);
  EXPECT_EQ(ls_resetfifo(777), 0);
  EXPECT_EQ(ls_resetfifo(0), 0);
  EXPECT_EQ(simcam_fifo_resets(dev), before + 2);
  EXPECT_EQ(wirelog(), (std::vector<std::string>{wire(vendorout, cx_protocol::resetfifo, 0, 0, 0, 777),
                                                 wire(vendorout, cx_protocol::resetfifo, 0, 0, 0, 0)}));
  simcam_script_error(dev, SIMCAM_OUT, cx_protocol::resetfifo, -7);
  EXPECT_EQ(ls_resetfifo(100), -7);
  closecamera();
  EXPECT_EQ(ls_resetfifo(100), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(simcam_fifo_resets(dev), before + 2);
}

struct ByteRead {
  const char* name;
  uint8_t request;
  int (*call)(unsigned char* out, unsigned int timeout);
  void (*set)(int dev, uint8_t value);
};
const ByteRead kByteReads[] = {
    {"ls_ep6stat", cx_protocol::ep6status, ls_ep6stat, simcam_set_ep6_status},
    {"ls_getpowerpins", cx_protocol::powerpins, ls_getpowerpins, simcam_set_power_pins}};

TEST_F(BoardControl, ByteReadsHandOverTheBoardsByte) {
  for (const ByteRead& r : kByteReads) {
    for (uint8_t v : {0x00, 0x5A, 0xFF}) {
      SCOPED_TRACE(std::string(r.name) + " value " + std::to_string(v));
      r.set(dev, v);
      simcam_log_clear();
      unsigned char out = static_cast<unsigned char>(~v);
      EXPECT_EQ(r.call(&out, 4321), 0);
      EXPECT_EQ(out, v);
      EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorin, r.request, 0, 0, 1, 4321)});
    }
  }
}

TEST_F(BoardControl, ByteReadFailuresClearTheByte) {
  for (const ByteRead& r : kByteReads) {
    r.set(dev, 0x77);
    const struct {
      int err;  // 0: a 0-byte reply
      int rc;
    } failures[] = {{-9, -9}, {-7, -7}, {0, CX_ERR_CONTROL_TRANSFER}};
    for (const auto& f : failures) {
      SCOPED_TRACE(std::string(r.name) + " rc " + std::to_string(f.rc));
      if (f.err)
        simcam_script_error(dev, SIMCAM_IN, r.request, f.err);
      else
        script(r.request, std::vector<uint8_t>{});
      unsigned char out = 0x5A;
      EXPECT_EQ(r.call(&out, 1000), f.rc);
      EXPECT_EQ(out, 0);
    }
    unsigned char out = 0x5A;
    EXPECT_EQ(r.call(&out, 1000), 0) << "a failure leaves the next request working";
    EXPECT_EQ(out, 0x77);
    simcam_log_clear();
    EXPECT_EQ(r.call(nullptr, 1000), LS_EINVAL) << r.name;
    EXPECT_TRUE(controllog().empty());
  }
  closecamera();
  for (const ByteRead& r : kByteReads) {
    unsigned char out = 0x5A;
    EXPECT_EQ(r.call(&out, 1000), CX_ERR_USB_INVALID_HANDLE) << r.name;
    EXPECT_EQ(out, 0) << r.name;
  }
}

struct Record {
  std::vector<uint8_t> reply;
  int rc;
  unsigned short type, second;
};
const Record kRecords[] = {
    {{0x08, 0xA5, 0xA5, 0x00, 0x10, 0x34, 0x12}, 0, 0x1000, 0x1234},
    {{0x08, 0xA5, 0xA5, 0x0B, 0x10, 0xFF, 0xFF}, 0, 0x100B, 0xFFFF},
    {{0x08, 0xA5, 0xA5, 0x34, 0x12, 0x00, 0x00}, 0, 0x1234, 0x0000},
    {{0x07, 0xA5, 0xA5, 0x00, 0x10, 0x34, 0x12}, CX_ERROR_SENSOR_NOT_CONNECTED, 0x1000, 0x1234},
    {{0x00, 0x00, 0x00, 0x04, 0x10, 0xEF, 0xBE}, CX_ERROR_SENSOR_NOT_CONNECTED, 0x1004, 0xBEEF},
    {{0x08, 0xA5, 0x00, 0x00, 0x10, 0x34, 0x12}, CX_ERROR_SENSOR_EEP_INVALID, 0x1000, 0x1234},
    {{0x08, 0x00, 0xA5, 0x04, 0x10, 0xEF, 0xBE}, CX_ERROR_SENSOR_EEP_INVALID, 0x1004, 0xBEEF},
    {{0x08, 0xA5, 0xA5, 0x00, 0x10, 0x34}, CX_ERR_CONTROL_TRANSFER, 0, 0},
    {{}, CX_ERR_CONTROL_TRANSFER, 0, 0},
};

TEST_F(BoardControl, SensorRecordIsCheckedAfterItsWordsAreStored) {
  for (const Record& r : kRecords) {
    SCOPED_TRACE(testing::PrintToString(r.reply));
    script(cx_protocol::sensorrecord, r.reply);
    simcam_log_clear();
    unsigned short type = 0x5A5A, second = 0x5A5A;
    EXPECT_EQ(ls_getsensortype(&type, &second, 2500), r.rc);
    EXPECT_EQ(type, r.type);
    EXPECT_EQ(second, r.second);
    EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorin, cx_protocol::sensorrecord, 0, 0,
                                                       cx_protocol::sensorrecordlength, 2500)});
  }
  // The board's own record, little-endian on the wire.
  simcam_set_sensor(dev, cx_protocol::sensorpresent, cx_protocol::sensormarker, 0x1004, 0xBEEF);
  unsigned short type = 0, second = 0;
  EXPECT_EQ(ls_getsensortype(&type, &second, 1000), 0);
  EXPECT_EQ(type, 0x1004);
  EXPECT_EQ(second, 0xBEEF);
  simcam_set_sensor(dev, 7, cx_protocol::sensormarker, 0x1004, 0xBEEF);
  EXPECT_EQ(ls_getsensortype(&type, &second, 1000), CX_ERROR_SENSOR_NOT_CONNECTED);
  simcam_set_sensor(dev, cx_protocol::sensorpresent, 0xA5A4, 0x1004, 0xBEEF);
  EXPECT_EQ(ls_getsensortype(&type, &second, 1000), CX_ERROR_SENSOR_EEP_INVALID);
}

TEST_F(BoardControl, SensorRecordFailuresClearBothWords) {
  unsigned short type = 0x5A5A, second = 0x5A5A;
  simcam_script_error(dev, SIMCAM_IN, cx_protocol::sensorrecord, -9);
  EXPECT_EQ(ls_getsensortype(&type, &second, 1000), -9);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(second, 0);
  simcam_log_clear();
  type = second = 0x5A5A;
  EXPECT_EQ(ls_getsensortype(nullptr, &second, 1000), LS_EINVAL);
  EXPECT_EQ(ls_getsensortype(&type, nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(type, 0x5A5A);
  EXPECT_EQ(second, 0x5A5A);
  EXPECT_TRUE(controllog().empty());
  closecamera();
  EXPECT_EQ(ls_getsensortype(&type, &second, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(second, 0);
}

}  // namespace
