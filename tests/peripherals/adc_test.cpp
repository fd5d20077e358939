// SPDX-License-Identifier: MIT
// The ADC's eight registers through the register request, the three-channel
// writes, save and reset, and the sensor masks on configuration and
// multiplexer writes.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/adcregisters.h"
#include "tests/support/exports.h"
#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

using namespace vtest;

namespace {

using cx_protocol::adcdatamask;
using cx_protocol::adcregister;
using cx_protocol::sensorrecord;
using cx_protocol::vendorin;
using cx_protocol::vendorout;

const auto kRegisters = adcregisters(linkedexports());

class Adc : public CameraTest {
 protected:
  void fit(uint16_t type, uint8_t presence = cx_protocol::sensorpresent,
           uint16_t marker = cx_protocol::sensormarker) {
    simcam_set_sensor(dev, presence, marker, type, 0);
  }
};

// The write carries the value through the fitted sensor's masks, as the
// catalogue gives them (its values are the catalogue test's business).
TEST_F(Adc, FilteredWritesFollowTheFittedSensorsMasks) {
  const struct {
    uint16_t sensor;
    bool mux;
    unsigned short value;
  } cases[] = {
      {0x1000, false, 0xFFFF}, {0x1000, false, 0x0000}, {0x1004, false, 0xFFFF}, {0x1004, false, 0x0000},
      {0x1001, false, 0x0080}, {0x1002, false, 0x017F}, {0x1003, false, 0x01FF}, {0x100B, false, 0x0010},
      {0x1000, true, 0x0000},  {0x1000, true, 0xFFFF},  {0x1004, true, 0x0000},  {0x100B, true, 0x013F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sensor " + std::to_string(c.sensor) + (c.mux ? " mux " : " config ") +
                 std::to_string(c.value));
    unsigned short mask = 0, fixed = 0;
    ASSERT_EQ(c.mux ? ls_getsensormuxmask(c.sensor, &mask, &fixed)
                    : ls_getsensorconfigmask(c.sensor, &mask, &fixed),
              0);
    const uint16_t data = ((c.value & mask) | fixed) & adcdatamask;
    const uint16_t address = c.mux ? cx_protocol::adcmux : cx_protocol::adcconfig;
    fit(c.sensor);
    simcam_set_adc_reg(dev, c.mux, 0x1FF);
    simcam_log_clear();
    EXPECT_EQ(c.mux ? ls_setadcmux(c.value, 3000) : ls_setadcconfig(c.value, 3000), 0);
    EXPECT_EQ(wirelog(),
              (std::vector<std::string>{
                  wire(vendorin, sensorrecord, 0, 0, cx_protocol::sensorrecordlength, 3000),
                  wire(vendorout, adcregister, static_cast<uint16_t>(address | data), 0, 0, 3000)}));
    unsigned short back = 0;
    EXPECT_EQ(c.mux ? ls_getadcmux(&back, 3000) : ls_getadcconfig(&back, 3000), 0);
    EXPECT_EQ(back, data);
  }
}

TEST_F(Adc, FilteredWriteSendsNothingForAnUnusableSensor) {
  const struct {
    const char* name;
    uint8_t presence;
    uint16_t marker;
    uint16_t type;
    int rc;
  } cases[] = {{"not connected", 7, cx_protocol::sensormarker, 0x1000, CX_ERROR_SENSOR_NOT_CONNECTED},
               {"invalid marker", cx_protocol::sensorpresent, 0xA500, 0x1000, CX_ERROR_SENSOR_EEP_INVALID},
               {"type above the catalogue", cx_protocol::sensorpresent, cx_protocol::sensormarker, 0x100C,
                CX_ERROR_SENSOR_TYPE},
               {"type below the catalogue", cx_protocol::sensorpresent, cx_protocol::sensormarker, 0x0FFF,
                CX_ERROR_SENSOR_TYPE}};
  for (bool mux : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (mux ? " mux" : " config"));
      fit(c.type, c.presence, c.marker);
      simcam_set_adc_reg(dev, mux, 0x123);
      simcam_log_clear();
      EXPECT_EQ(mux ? ls_setadcmux(0xFFFF, 1000) : ls_setadcconfig(0xFFFF, 1000), c.rc);
      EXPECT_TRUE(requests(vendorout, adcregister).empty());
      EXPECT_EQ(simcam_adc_reg(dev, mux), 0x123);
    }
    fit(0x1000);
    simcam_log_clear();
    simcam_script_error(dev, SIMCAM_IN, sensorrecord, -9);
    EXPECT_EQ(mux ? ls_setadcmux(0, 1000) : ls_setadcconfig(0, 1000), -9);
    script(sensorrecord, std::vector<uint8_t>{0x08, 0xA5, 0xA5, 0x00, 0x10});
    EXPECT_EQ(mux ? ls_setadcmux(0, 1000) : ls_setadcconfig(0, 1000), CX_ERR_CONTROL_TRANSFER);
    EXPECT_TRUE(requests(vendorout, adcregister).empty());
  }
  closecamera();
  EXPECT_EQ(ls_setadcconfig(0, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setadcmux(0, 1000), CX_ERR_USB_INVALID_HANDLE);
}

TEST_F(Adc, SingleSettersKeepNineBits) {
  for (const AdcRegister& r : kRegisters) {
    if (r.filtered) continue;
    for (unsigned short v : {0x03FF, 0x00AB, 0xFE00, 0x0100, 0x0000}) {
      SCOPED_TRACE(std::string(r.name) + " value " + std::to_string(v));
      simcam_log_clear();
      EXPECT_EQ(r.set(v, 1500), 0);
      EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorout, adcregister,
                                                         static_cast<uint16_t>(r.address | (v & adcdatamask)),
                                                         0, 0, 1500)});
      unsigned short back = 0xFFFF;
      EXPECT_EQ(r.get(&back, 1500), 0);
      EXPECT_EQ(back, v & adcdatamask);
    }
    simcam_script_error(dev, SIMCAM_OUT, adcregister, -9);
    EXPECT_EQ(r.set(1, 1000), -9) << r.name;
  }
  closecamera();
  EXPECT_EQ(ls_setadcpga1(1, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setadcoffset3(1, 1000), CX_ERR_USB_INVALID_HANDLE);
}

TEST_F(Adc, GettersReadTheirRegisterAndClearOnFailure) {
  for (const AdcRegister& r : kRegisters) {
    SCOPED_TRACE(r.name);
    simcam_set_adc_reg(dev, r.number, static_cast<uint16_t>(0x100 | r.number));
    simcam_log_clear();
    unsigned short v = 0xA5A5;
    EXPECT_EQ(r.get(&v, 2222), 0);
    EXPECT_EQ(v, 0x100 | r.number);
    EXPECT_EQ(wirelog(), std::vector<std::string>{
                             wire(vendorin, adcregister, r.address, 0, cx_protocol::adcreadlength, 2222)});

    script(adcregister, std::vector<uint8_t>{0x34, 0xF2});
    EXPECT_EQ(r.get(&v, 1000), 0);
    EXPECT_EQ(v, 0xF234) << "stored as received, not cut to 9 bits";

    const struct {
      std::vector<uint8_t> reply;
      int err;
      int rc;
    } failures[] = {{{0x34}, 0, CX_ERR_CONTROL_TRANSFER}, {{}, 0, CX_ERR_CONTROL_TRANSFER}, {{}, -9, -9}};
    for (const auto& f : failures) {
      if (f.err)
        simcam_script_error(dev, SIMCAM_IN, adcregister, f.err);
      else
        script(adcregister, f.reply);
      v = 0xA5A5;
      EXPECT_EQ(r.get(&v, 1000), f.rc);
      EXPECT_EQ(v, 0);
    }
    simcam_log_clear();
    EXPECT_EQ(r.get(nullptr, 1000), LS_EINVAL);
    EXPECT_TRUE(controllog().empty());
  }
  closecamera();
  for (const AdcRegister& r : kRegisters) {
    unsigned short v = 0xA5A5;
    EXPECT_EQ(r.get(&v, 1000), CX_ERR_USB_INVALID_HANDLE) << r.name;
    EXPECT_EQ(v, 0) << r.name;
  }
}

TEST_F(Adc, ThreeChannelWritesSendSixBytesUncut) {
  const int kPga1 = cx_protocol::adcrpga >> cx_protocol::adcregistershift;
  const int kOffset1 = cx_protocol::adcroffset >> cx_protocol::adcregistershift;
  const struct {
    const char* name;
    int (*call)(unsigned int timeout);
    uint8_t request;
    std::vector<uint8_t> data;
    int firstreg;
  } cases[] = {
      {"setadcpga(0x3FF,1,2)",
       [](unsigned int t) { return ls_setadcpga(0x3FF, 1, 2, t); },
       cx_protocol::adcpga,
       {0xFF, 0x03, 0x01, 0x00, 0x02, 0x00},
       kPga1},
      {"setadc3xpga(0x1AB)",
       [](unsigned int t) { return ls_setadc3xpga(0x1AB, t); },
       cx_protocol::adcpga,
       {0xAB, 0x01, 0xAB, 0x01, 0xAB, 0x01},
       kPga1},
      {"setadcoffset(1,0x102,0xFFFF)",
       [](unsigned int t) { return ls_setadcoffset(1, 0x102, 0xFFFF, t); },
       cx_protocol::adcoffset,
       {0x01, 0x00, 0x02, 0x01, 0xFF, 0xFF},
       kOffset1},
      {"setadc3xoffset(0x123)",
       [](unsigned int t) { return ls_setadc3xoffset(0x123, t); },
       cx_protocol::adcoffset,
       {0x23, 0x01, 0x23, 0x01, 0x23, 0x01},
       kOffset1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    simcam_log_clear();
    EXPECT_EQ(c.call(900), 0);
    auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(wire(log[0]), wire(vendorout, c.request, 0, 0, cx_protocol::adcthreelength, 900));
    EXPECT_EQ(payload(log[0]), c.data);
    // The board keeps 9 bits of each value, through the single getters.
    for (int i = 0; i < 3; ++i) {
      unsigned short v = 0;
      EXPECT_EQ(kRegisters[c.firstreg + i].get(&v, 1000), 0);
      EXPECT_EQ(v, (c.data[2 * i] | c.data[2 * i + 1] << 8) & adcdatamask) << "channel " << i + 1;
    }
    simcam_script_out_taken(dev, c.request, 5);
    EXPECT_EQ(c.call(1000), CX_ERR_CONTROL_TRANSFER);
    simcam_script_out_taken(dev, c.request, 0);
    EXPECT_EQ(c.call(1000), CX_ERR_CONTROL_TRANSFER);
    simcam_script_error(dev, SIMCAM_OUT, c.request, -7);
    EXPECT_EQ(c.call(1000), -7);
  }
  closecamera();
  for (const auto& c : cases) EXPECT_EQ(c.call(1000), CX_ERR_USB_INVALID_HANDLE) << c.name;
}

TEST_F(Adc, SaveKeepsACopyAndResetRestoresDefaults) {
  std::vector<int> defaults;
  for (int reg = 0; reg < cx_protocol::adcregistercount; ++reg) defaults.push_back(simcam_adc_reg(dev, reg));
  ASSERT_EQ(ls_setadcconfig(0x80, 1000), 0);
  ASSERT_EQ(ls_setadcpga(0x11, 0x12, 0x13, 1000), 0);
  ASSERT_EQ(ls_setadcoffset(0x21, 0x22, 0x23, 1000), 0);
  std::vector<int> written;
  for (int reg = 0; reg < cx_protocol::adcregistercount; ++reg) written.push_back(simcam_adc_reg(dev, reg));

  simcam_log_clear();
  EXPECT_EQ(ls_savesettings(1111), 0);
  EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorout, cx_protocol::adcsave, 0, 0, 0, 1111)});
  for (int reg = 0; reg < cx_protocol::adcregistercount; ++reg)
    EXPECT_EQ(simcam_adc_saved(dev, reg), written[reg]) << "register " << reg;

  simcam_log_clear();
  EXPECT_EQ(ls_resetsettings(2222), 0);
  EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorout, cx_protocol::adcreset, 0, 0, 0, 2222)});
  for (int reg = 0; reg < cx_protocol::adcregistercount; ++reg) {
    unsigned short v = 0xA5A5;
    EXPECT_EQ(kRegisters[reg].get(&v, 1000), 0);
    EXPECT_EQ(v, defaults[reg]) << "register " << reg;
    EXPECT_EQ(simcam_adc_saved(dev, reg), written[reg]) << "register " << reg;
  }

  simcam_script_error(dev, SIMCAM_OUT, cx_protocol::adcsave, -9);
  EXPECT_EQ(ls_savesettings(1000), -9);
  simcam_script_error(dev, SIMCAM_OUT, cx_protocol::adcreset, -7);
  EXPECT_EQ(ls_resetsettings(1000), -7);
  closecamera();
  EXPECT_EQ(ls_savesettings(1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_resetsettings(1000), CX_ERR_USB_INVALID_HANDLE);
}

}  // namespace
