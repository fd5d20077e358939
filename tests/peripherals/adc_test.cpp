// The ADC's eight registers through request 0x40, the three-channel writes
// (0x45, 0x46), save and reset, and the sensor masks on configuration and
// multiplexer writes.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/peripherals/camera_fixture.h"

using namespace vtest;

namespace {

constexpr uint8_t kAdc = 0x40;
constexpr uint8_t kSensor = 0x44;

struct Register {
  const char* name;
  int reg;
  int (*get)(unsigned short* value, unsigned int timeout);
  int (*set)(unsigned short value, unsigned int timeout);  // nullptr: a filtered write
};
const Register kRegisters[] = {
    {"config", 0, ls_getadcconfig, nullptr},
    {"mux", 1, ls_getadcmux, nullptr},
    {"pga1", 2, ls_getadcpga1, ls_setadcpga1},
    {"pga2", 3, ls_getadcpga2, ls_setadcpga2},
    {"pga3", 4, ls_getadcpga3, ls_setadcpga3},
    {"offset1", 5, ls_getadcoffset1, ls_setadcoffset1},
    {"offset2", 6, ls_getadcoffset2, ls_setadcoffset2},
    {"offset3", 7, ls_getadcoffset3, ls_setadcoffset3},
};

uint16_t address(int reg) { return static_cast<uint16_t>(reg << 12); }

class Adc : public CameraTest {
 protected:
  void fit(uint16_t type, uint8_t presence = 8, uint16_t marker = 0xA5A5) {
    simcam_set_sensor(dev, presence, marker, type, 0);
  }
};

TEST_F(Adc, FilteredWritesFollowTheFittedSensorsMasks) {
  const struct {
    uint16_t sensor;
    bool mux;
    unsigned short value;
    uint16_t wvalue;
  } cases[] = {
      {0x1000, false, 0xFFFF, 0x00D8}, {0x1000, false, 0x0000, 0x0058}, {0x1004, false, 0xFFFF, 0x00C8},
      {0x1004, false, 0x0000, 0x0048}, {0x1001, false, 0x0080, 0x00D8}, {0x1002, false, 0x017F, 0x0058},
      {0x1003, false, 0x01FF, 0x00C8}, {0x100B, false, 0x0010, 0x0048}, {0x1000, true, 0x0000, 0x10C0},
      {0x1000, true, 0xFFFF, 0x10C0},  {0x1004, true, 0x0000, 0x10C0},  {0x100B, true, 0x013F, 0x10C0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sensor " + std::to_string(c.sensor) + (c.mux ? " mux " : " config ") +
                 std::to_string(c.value));
    fit(c.sensor);
    simcam_set_adc_reg(dev, c.mux, 0x1FF);
    simcam_log_clear();
    EXPECT_EQ(c.mux ? ls_setadcmux(c.value, 3000) : ls_setadcconfig(c.value, 3000), 0);
    EXPECT_EQ(wirelog(), (std::vector<std::string>{wire(kIn, kSensor, 0, 0, 7, 3000),
                                                   wire(kOut, kAdc, c.wvalue, 0, 0, 3000)}));
    unsigned short back = 0;
    EXPECT_EQ(c.mux ? ls_getadcmux(&back, 3000) : ls_getadcconfig(&back, 3000), 0);
    EXPECT_EQ(back, c.wvalue & 0x1FF);
  }
}

TEST_F(Adc, FilteredWriteSendsNothingForAnUnusableSensor) {
  const struct {
    const char* name;
    uint8_t presence;
    uint16_t marker;
    uint16_t type;
    int rc;
  } cases[] = {{"not connected", 7, 0xA5A5, 0x1000, CX_ERROR_SENSOR_NOT_CONNECTED},
               {"invalid marker", 8, 0xA500, 0x1000, CX_ERROR_SENSOR_EEP_INVALID},
               {"type above the catalogue", 8, 0xA5A5, 0x100C, CX_ERROR_SENSOR_TYPE},
               {"type below the catalogue", 8, 0xA5A5, 0x0FFF, CX_ERROR_SENSOR_TYPE}};
  for (bool mux : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (mux ? " mux" : " config"));
      fit(c.type, c.presence, c.marker);
      simcam_set_adc_reg(dev, mux, 0x123);
      simcam_log_clear();
      EXPECT_EQ(mux ? ls_setadcmux(0xFFFF, 1000) : ls_setadcconfig(0xFFFF, 1000), c.rc);
      EXPECT_TRUE(requests(kOut, kAdc).empty());
      EXPECT_EQ(simcam_adc_reg(dev, mux), 0x123);
    }
    fit(0x1000);
    simcam_log_clear();
    simcam_script_error(dev, SIMCAM_IN, kSensor, -9);
    EXPECT_EQ(mux ? ls_setadcmux(0, 1000) : ls_setadcconfig(0, 1000), -9);
    script(kSensor, std::vector<uint8_t>{0x08, 0xA5, 0xA5, 0x00, 0x10});
    EXPECT_EQ(mux ? ls_setadcmux(0, 1000) : ls_setadcconfig(0, 1000), CX_ERR_CONTROL_TRANSFER);
    EXPECT_TRUE(requests(kOut, kAdc).empty());
  }
  closecamera();
  EXPECT_EQ(ls_setadcconfig(0, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setadcmux(0, 1000), CX_ERR_USB_INVALID_HANDLE);
}

TEST_F(Adc, SingleSettersKeepNineBits) {
  for (const Register& r : kRegisters) {
    if (!r.set) continue;
    for (unsigned short v : {0x03FF, 0x00AB, 0xFE00, 0x0100, 0x0000}) {
      SCOPED_TRACE(std::string(r.name) + " value " + std::to_string(v));
      simcam_log_clear();
      EXPECT_EQ(r.set(v, 1500), 0);
      EXPECT_EQ(wirelog(),
                std::vector<std::string>{wire(kOut, kAdc, address(r.reg) | (v & 0x1FF), 0, 0, 1500)});
      unsigned short back = 0xFFFF;
      EXPECT_EQ(r.get(&back, 1500), 0);
      EXPECT_EQ(back, v & 0x1FF);
    }
    simcam_script_error(dev, SIMCAM_OUT, kAdc, -9);
    EXPECT_EQ(r.set(1, 1000), -9) << r.name;
  }
  closecamera();
  EXPECT_EQ(ls_setadcpga1(1, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setadcoffset3(1, 1000), CX_ERR_USB_INVALID_HANDLE);
}

TEST_F(Adc, GettersReadTheirRegisterAndClearOnFailure) {
  for (const Register& r : kRegisters) {
    SCOPED_TRACE(r.name);
    simcam_set_adc_reg(dev, r.reg, static_cast<uint16_t>(0x100 | r.reg));
    simcam_log_clear();
    unsigned short v = 0xA5A5;
    EXPECT_EQ(r.get(&v, 2222), 0);
    EXPECT_EQ(v, 0x100 | r.reg);
    EXPECT_EQ(wirelog(), std::vector<std::string>{wire(kIn, kAdc, address(r.reg), 0, 2, 2222)});

    script(kAdc, std::vector<uint8_t>{0x34, 0xF2});
    EXPECT_EQ(r.get(&v, 1000), 0);
    EXPECT_EQ(v, 0xF234) << "stored as received, not cut to 9 bits";

    const struct {
      std::vector<uint8_t> reply;
      int err;
      int rc;
    } failures[] = {{{0x34}, 0, CX_ERR_CONTROL_TRANSFER}, {{}, 0, CX_ERR_CONTROL_TRANSFER}, {{}, -9, -9}};
    for (const auto& f : failures) {
      if (f.err)
        simcam_script_error(dev, SIMCAM_IN, kAdc, f.err);
      else
        script(kAdc, f.reply);
      v = 0xA5A5;
      EXPECT_EQ(r.get(&v, 1000), f.rc);
      EXPECT_EQ(v, 0);
    }
    simcam_log_clear();
    EXPECT_EQ(r.get(nullptr, 1000), LS_EINVAL);
    EXPECT_TRUE(controllog().empty());
  }
  closecamera();
  for (const Register& r : kRegisters) {
    unsigned short v = 0xA5A5;
    EXPECT_EQ(r.get(&v, 1000), CX_ERR_USB_INVALID_HANDLE) << r.name;
    EXPECT_EQ(v, 0) << r.name;
  }
}

TEST_F(Adc, ThreeChannelWritesSendSixBytesUncut) {
  const struct {
    const char* name;
    int (*call)(unsigned int timeout);
    uint8_t request;
    std::vector<uint8_t> data;
    int firstreg;
  } cases[] = {
      {"setadcpga(0x3FF,1,2)",
       [](unsigned int t) { return ls_setadcpga(0x3FF, 1, 2, t); },
       0x45,
       {0xFF, 0x03, 0x01, 0x00, 0x02, 0x00},
       2},
      {"setadc3xpga(0x1AB)",
       [](unsigned int t) { return ls_setadc3xpga(0x1AB, t); },
       0x45,
       {0xAB, 0x01, 0xAB, 0x01, 0xAB, 0x01},
       2},
      {"setadcoffset(1,0x102,0xFFFF)",
       [](unsigned int t) { return ls_setadcoffset(1, 0x102, 0xFFFF, t); },
       0x46,
       {0x01, 0x00, 0x02, 0x01, 0xFF, 0xFF},
       5},
      {"setadc3xoffset(0x123)",
       [](unsigned int t) { return ls_setadc3xoffset(0x123, t); },
       0x46,
       {0x23, 0x01, 0x23, 0x01, 0x23, 0x01},
       5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    simcam_log_clear();
    EXPECT_EQ(c.call(900), 0);
    auto log = controllog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(wire(log[0]), wire(kOut, c.request, 0, 0, 6, 900));
    EXPECT_EQ(payload(log[0]), c.data);
    // The board keeps 9 bits of each value, through the single getters.
    for (int i = 0; i < 3; ++i) {
      unsigned short v = 0;
      EXPECT_EQ(kRegisters[c.firstreg + i].get(&v, 1000), 0);
      EXPECT_EQ(v, (c.data[2 * i] | c.data[2 * i + 1] << 8) & 0x1FF) << "channel " << i + 1;
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
  for (int reg = 0; reg < 8; ++reg) defaults.push_back(simcam_adc_reg(dev, reg));
  ASSERT_EQ(ls_setadcconfig(0x80, 1000), 0);
  ASSERT_EQ(ls_setadcpga(0x11, 0x12, 0x13, 1000), 0);
  ASSERT_EQ(ls_setadcoffset(0x21, 0x22, 0x23, 1000), 0);
  std::vector<int> written;
  for (int reg = 0; reg < 8; ++reg) written.push_back(simcam_adc_reg(dev, reg));

  simcam_log_clear();
  EXPECT_EQ(ls_savesettings(1111), 0);
  EXPECT_EQ(wirelog(), std::vector<std::string>{wire(kOut, 0x41, 0, 0, 0, 1111)});
  for (int reg = 0; reg < 8; ++reg) EXPECT_EQ(simcam_adc_saved(dev, reg), written[reg]) << "register " << reg;

  simcam_log_clear();
  EXPECT_EQ(ls_resetsettings(2222), 0);
  EXPECT_EQ(wirelog(), std::vector<std::string>{wire(kOut, 0x42, 0, 0, 0, 2222)});
  for (int reg = 0; reg < 8; ++reg) {
    unsigned short v = 0xA5A5;
    EXPECT_EQ(kRegisters[reg].get(&v, 1000), 0);
    EXPECT_EQ(v, defaults[reg]) << "register " << reg;
    EXPECT_EQ(simcam_adc_saved(dev, reg), written[reg]) << "register " << reg;
  }

  simcam_script_error(dev, SIMCAM_OUT, 0x41, -9);
  EXPECT_EQ(ls_savesettings(1000), -9);
  simcam_script_error(dev, SIMCAM_OUT, 0x42, -7);
  EXPECT_EQ(ls_resetsettings(1000), -7);
  closecamera();
  EXPECT_EQ(ls_savesettings(1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_resetsettings(1000), CX_ERR_USB_INVALID_HANDLE);
}

}  // namespace
