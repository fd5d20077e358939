// SPDX-License-Identifier: MIT
// Wire form of the vendor requests, seen through exports that carry them.
#include <cstring>
#include <vector>

#include "tests/support/adcregisters.h"
#include "tests/support/exports.h"
#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

namespace {

using cx_protocol::vendorin;
using cx_protocol::vendorout;

constexpr unsigned int T = 1234;

const auto kRegisters = vtest::adcregisters(vtest::linkedexports());

void expectsetup(const simcam_ctrl_record& r, int dev, uint8_t type, uint8_t request, uint16_t value,
                 uint16_t length, unsigned int timeout) {
  EXPECT_EQ(r.dev, dev);
  EXPECT_EQ(r.bmRequestType, type);
  EXPECT_EQ(r.bRequest, request);
  EXPECT_EQ(r.wValue, value);
  EXPECT_EQ(r.wIndex, 0);
  EXPECT_EQ(r.wLength, length);
  EXPECT_EQ(r.timeout, timeout);
}

using VendorTransfer = vtest::CameraTest;
using vtest::controllog;

}  // namespace

TEST_F(VendorTransfer, ReadAsksTwoBytesOfTheRegisterAddress) {
  for (const vtest::AdcRegister& r : kRegisters) {
    SCOPED_TRACE(r.name);
    simcam_log_clear();
    const uint16_t value = static_cast<uint16_t>(0x101 + 0x21 * r.number);
    simcam_set_adc_reg(dev, r.number, value);
    unsigned short got = 0;
    EXPECT_EQ(r.get(&got, T), 0);
    EXPECT_EQ(got, value);
    const auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    expectsetup(log[0], dev, vendorin, cx_protocol::adcregister, r.address, cx_protocol::adcreadlength, T);
    EXPECT_FALSE(log[0].data_null);
  }
}

TEST_F(VendorTransfer, WriteCarriesTheValueInWValueWithoutDataStage) {
  for (const vtest::AdcRegister& r : kRegisters) {
    if (r.filtered) continue;
    SCOPED_TRACE(r.name);
    simcam_log_clear();
    EXPECT_EQ(r.set(0x3FF, T), 0);
    EXPECT_EQ(simcam_adc_reg(dev, r.number), 0x1FF);
    const auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    expectsetup(log[0], dev, vendorout, cx_protocol::adcregister, static_cast<uint16_t>(r.address | 0x1FF), 0,
                T);
    EXPECT_EQ(log[0].datalen, 0);
  }
}

TEST_F(VendorTransfer, TimeoutIsPassedUnchanged) {
  for (unsigned int timeout : {0u, 1u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(timeout);
    simcam_log_clear();
    unsigned short v = 0;
    EXPECT_EQ(ls_getadcpga1(&v, timeout), 0);
    EXPECT_EQ(ls_setadcpga1(7, timeout), 0);
    EXPECT_EQ(ls_setadcpga(1, 2, 3, timeout), 0);
    const auto log = controllog();
    ASSERT_EQ(log.size(), 3u);
    for (const auto& r : log) EXPECT_EQ(r.timeout, timeout);
  }
}

TEST_F(VendorTransfer, WriteSendsItsDataStage) {
  EXPECT_EQ(ls_setadcpga(0x3FF, 1, 2, T), 0);
  const auto log = controllog();
  ASSERT_EQ(log.size(), 1u);
  expectsetup(log[0], dev, vendorout, cx_protocol::adcpga, 0, cx_protocol::adcthreelength, T);
  EXPECT_FALSE(log[0].data_null);
  const uint8_t expected[6] = {0xFF, 0x03, 0x01, 0x00, 0x02, 0x00};
  ASSERT_EQ(log[0].datalen, 6);
  EXPECT_EQ(std::memcmp(log[0].data, expected, 6), 0);
}

TEST_F(VendorTransfer, NullDataSendsNoDataStage) {
  EXPECT_EQ(ls_cpu2flashdata(5, nullptr, T), CX_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(ls_cpu2flashdata(0, nullptr, T), 0);
  const auto log = controllog();
  ASSERT_EQ(log.size(), 2u);
  for (const auto& r : log) {
    expectsetup(r, dev, vendorout, cx_protocol::cpu2flash, 0, 0, T);
    EXPECT_TRUE(r.data_null);
  }
}

TEST_F(VendorTransfer, ReadReportsTheBytesReceived) {
  const uint8_t reply[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const uint8_t ok = LS_I2C_OK;
  simcam_script_reply(dev, cx_protocol::i2cdata, reply, sizeof reply);
  simcam_script_reply(dev, cx_protocol::i2cstatus, &ok, 1);
  uint8_t buf[16] = {};
  unsigned short length = sizeof buf;
  unsigned char status = 0;
  EXPECT_EQ(ls_readi2c(0xA0, buf, &length, &status, T), 0);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(status, LS_I2C_OK);
  EXPECT_EQ(std::memcmp(buf, reply, sizeof reply), 0);
  const auto log = controllog();
  ASSERT_EQ(log.size(), 2u);
  expectsetup(log[0], dev, vendorin, cx_protocol::i2cdata, 0x50, 16, T);
  expectsetup(log[1], dev, vendorin, cx_protocol::i2cstatus, 0, 1, T);
}

TEST_F(VendorTransfer, ShortReplyOfAnAdcGetterIsAControlTransferError) {
  const uint8_t bytes[2] = {0x34, 0x01};
  for (int len : {0, 1}) {
    SCOPED_TRACE(len);
    simcam_set_adc_reg(dev, 2, 0x0123);
    simcam_script_reply(dev, cx_protocol::adcregister, bytes, len);
    unsigned short v = 0x5A5A;
    EXPECT_EQ(ls_getadcpga1(&v, T), CX_ERR_CONTROL_TRANSFER);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ls_getadcpga1(&v, T), 0);
    EXPECT_EQ(v, 0x0123);
  }
}

TEST_F(VendorTransfer, ShortTakenWriteIsAControlTransferError) {
  simcam_script_out_taken(dev, cx_protocol::adcpga, 4);
  EXPECT_EQ(ls_setadcpga(1, 2, 3, T), CX_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(ls_setadcpga(1, 2, 3, T), 0);
}

TEST_F(VendorTransfer, LibusbErrorsPassThroughAndTheNextRequestWorks) {
  for (int err : {-9, -7, -1}) {
    SCOPED_TRACE(err);
    simcam_set_adc_reg(dev, 2, 0x0042);
    simcam_script_error(dev, SIMCAM_IN, cx_protocol::adcregister, err);
    unsigned short v = 0x5A5A;
    EXPECT_EQ(ls_getadcpga1(&v, T), err);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ls_getadcpga1(&v, T), 0);
    EXPECT_EQ(v, 0x0042);

    simcam_script_error(dev, SIMCAM_OUT, cx_protocol::adcregister, err);
    EXPECT_EQ(ls_setadcpga1(0x77, T), err);
    EXPECT_EQ(ls_setadcpga1(0x66, T), 0);
    EXPECT_EQ(simcam_adc_reg(dev, 2), 0x66);
    EXPECT_EQ(ls_currentdeviceindex(), 0);
  }
}

TEST_F(VendorTransfer, NoDeviceOpenSendsNothing) {
  ASSERT_EQ(ls_closedevice(), 0);
  simcam_log_clear();
  unsigned short v = 0x5A5A;
  EXPECT_EQ(ls_getadcpga1(&v, T), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(ls_setadcpga1(1, T), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setadcpga(1, 2, 3, T), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_savesettings(T), CX_ERR_USB_INVALID_HANDLE);
  uint8_t block[4] = {1, 2, 3, 4};
  EXPECT_EQ(ls_cpu2flashdata(sizeof block, block, T), CX_ERR_USB_INVALID_HANDLE);
  unsigned short length = 4;
  unsigned char status = 0x5A;
  EXPECT_EQ(ls_readi2c(0xA0, block, &length, &status, T), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(simcam_log_count(), 0u);
}
