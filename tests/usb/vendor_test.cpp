// Wire form of the vendor requests, seen through exports that carry them.
#include <cstring>
#include <vector>

#include "session_fixture.h"

namespace {

constexpr unsigned int T = 1234;

struct AdcGetter {
  const char* name;
  int (*get)(unsigned short*, unsigned int);
  int reg;
};
const AdcGetter kGetters[] = {
    {"config", ls_getadcconfig, 0},   {"mux", ls_getadcmux, 1},         {"pga1", ls_getadcpga1, 2},
    {"pga2", ls_getadcpga2, 3},       {"pga3", ls_getadcpga3, 4},       {"offset1", ls_getadcoffset1, 5},
    {"offset2", ls_getadcoffset2, 6}, {"offset3", ls_getadcoffset3, 7},
};

struct AdcSetter {
  const char* name;
  int (*set)(unsigned short, unsigned int);
  int reg;
};
const AdcSetter kSetters[] = {
    {"pga1", ls_setadcpga1, 2},       {"pga2", ls_setadcpga2, 3},       {"pga3", ls_setadcpga3, 4},
    {"offset1", ls_setadcoffset1, 5}, {"offset2", ls_setadcoffset2, 6}, {"offset3", ls_setadcoffset3, 7},
};

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

class VendorTransfer : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    dev = listcameras({"SN-0001"})[0];
    ASSERT_EQ(ls_opendevicebyindex(0), 0);
    simcam_log_clear();
  }
  int dev = 0;
};

}  // namespace

TEST_F(VendorTransfer, ReadAsksTwoBytesOfTheRegisterAddress) {
  for (const AdcGetter& g : kGetters) {
    SCOPED_TRACE(g.name);
    simcam_log_clear();
    const uint16_t value = static_cast<uint16_t>(0x101 + 0x21 * g.reg);
    simcam_set_adc_reg(dev, g.reg, value);
    unsigned short got = 0;
    EXPECT_EQ(g.get(&got, T), 0);
    EXPECT_EQ(got, value);
    const auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    expectsetup(log[0], dev, 0xC0, 0x40, static_cast<uint16_t>(g.reg << 12), 2, T);
    EXPECT_FALSE(log[0].data_null);
  }
}

TEST_F(VendorTransfer, WriteCarriesTheValueInWValueWithoutDataStage) {
  for (const AdcSetter& s : kSetters) {
    SCOPED_TRACE(s.name);
    simcam_log_clear();
    EXPECT_EQ(s.set(0x3FF, T), 0);
    EXPECT_EQ(simcam_adc_reg(dev, s.reg), 0x1FF);
    const auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    expectsetup(log[0], dev, 0x40, 0x40, static_cast<uint16_t>(s.reg << 12 | 0x1FF), 0, T);
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
  expectsetup(log[0], dev, 0x40, 0x45, 0, 6, T);
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
    expectsetup(r, dev, 0x40, 0xF1, 0, 0, T);
    EXPECT_TRUE(r.data_null);
  }
}

TEST_F(VendorTransfer, ReadReportsTheBytesReceived) {
  const uint8_t reply[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const uint8_t ok = LS_I2C_OK;
  simcam_script_reply(dev, 0x10, reply, sizeof reply);
  simcam_script_reply(dev, 0x11, &ok, 1);
  uint8_t buf[16] = {};
  unsigned short length = sizeof buf;
  unsigned char status = 0;
  EXPECT_EQ(ls_readi2c(0xA0, buf, &length, &status, T), 0);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(status, LS_I2C_OK);
  EXPECT_EQ(std::memcmp(buf, reply, sizeof reply), 0);
  const auto log = controllog();
  ASSERT_EQ(log.size(), 2u);
  expectsetup(log[0], dev, 0xC0, 0x10, 0x50, 16, T);
  expectsetup(log[1], dev, 0xC0, 0x11, 0, 1, T);
}

TEST_F(VendorTransfer, ShortReplyOfAnAdcGetterIsAControlTransferError) {
  const uint8_t bytes[2] = {0x34, 0x01};
  for (int len : {0, 1}) {
    SCOPED_TRACE(len);
    simcam_set_adc_reg(dev, 2, 0x0123);
    simcam_script_reply(dev, 0x40, bytes, len);
    unsigned short v = 0x5A5A;
    EXPECT_EQ(ls_getadcpga1(&v, T), CX_ERR_CONTROL_TRANSFER);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ls_getadcpga1(&v, T), 0);
    EXPECT_EQ(v, 0x0123);
  }
}

TEST_F(VendorTransfer, ShortTakenWriteIsAControlTransferError) {
  simcam_script_out_taken(dev, 0x45, 4);
  EXPECT_EQ(ls_setadcpga(1, 2, 3, T), CX_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(ls_setadcpga(1, 2, 3, T), 0);
}

TEST_F(VendorTransfer, LibusbErrorsPassThroughAndTheNextRequestWorks) {
  for (int err : {-9, -7, -1}) {
    SCOPED_TRACE(err);
    simcam_set_adc_reg(dev, 2, 0x0042);
    simcam_script_error(dev, SIMCAM_IN, 0x40, err);
    unsigned short v = 0x5A5A;
    EXPECT_EQ(ls_getadcpga1(&v, T), err);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ls_getadcpga1(&v, T), 0);
    EXPECT_EQ(v, 0x0042);

    simcam_script_error(dev, SIMCAM_OUT, 0x40, err);
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
