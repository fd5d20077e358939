// SPDX-License-Identifier: MIT
// A NULL out-parameter makes an export return LS_EINVAL at once: nothing is
// sent to the camera and no other output changes.
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

namespace {

constexpr unsigned int T = 500;
constexpr unsigned short kType = 0x1000;

// Every output that a call may touch besides the NULL one points in here.
struct Outs {
  unsigned char b[2];
  unsigned short s[9];
  unsigned int u[2];
  int i;
  unsigned char data[64];
};

void fill(Outs& o) {
  std::memset(&o, 0x5A, sizeof o);
  for (unsigned short& s : o.s) s = 16;  // a valid I2C length where a length is read
}

struct NullCase {
  std::string name;
  std::function<int(Outs&)> call;
};

std::vector<NullCase> nullcases() {
  using US = unsigned short;
  std::vector<NullCase> v = {
      {"ep6stat", [](Outs&) { return ls_ep6stat(nullptr, T); }},
      {"getpowerpins", [](Outs&) { return ls_getpowerpins(nullptr, T); }},
      {"getsensortype type", [](Outs& o) { return ls_getsensortype(nullptr, &o.s[0], T); }},
      {"getsensortype second", [](Outs& o) { return ls_getsensortype(&o.s[0], nullptr, T); }},
      {"getsensorconfigmask mask", [](Outs& o) { return ls_getsensorconfigmask(kType, nullptr, &o.s[0]); }},
      {"getsensorconfigmask fixed", [](Outs& o) { return ls_getsensorconfigmask(kType, &o.s[0], nullptr); }},
      {"getsensormuxmask mask", [](Outs& o) { return ls_getsensormuxmask(kType, nullptr, &o.s[0]); }},
      {"getsensormuxmask fixed", [](Outs& o) { return ls_getsensormuxmask(kType, &o.s[0], nullptr); }},
      {"getminmaxtime min", [](Outs& o) { return ls_getminmaxtime(kType, nullptr, &o.u[0]); }},
      {"getminmaxtime max", [](Outs& o) { return ls_getminmaxtime(kType, &o.u[0], nullptr); }},
      {"readi2c length", [](Outs& o) { return ls_readi2c(0xA0, o.data, nullptr, &o.b[0], T); }},
      {"readi2c status", [](Outs& o) { return ls_readi2c(0xA0, o.data, &o.s[0], nullptr, T); }},
      {"readi2cflash length", [](Outs& o) { return ls_readi2cflash(0xA0, o.data, nullptr, &o.b[0], T); }},
      {"readi2cflash status", [](Outs& o) { return ls_readi2cflash(0xA0, o.data, &o.s[0], nullptr, T); }},
      {"writei2c status", [](Outs& o) { return ls_writei2c(0xA0, o.data, 4, nullptr, T); }},
      {"writei2cflash status", [](Outs& o) { return ls_writei2cflash(0xA0, o.data, 4, nullptr, T); }},
      {"geti2cfreq", [](Outs&) { return ls_geti2cfreq(nullptr, T); }},
      {"geti2cstat", [](Outs&) { return ls_geti2cstat(nullptr, T); }},
      {"getadcconfig", [](Outs&) { return ls_getadcconfig(nullptr, T); }},
      {"getadcmux", [](Outs&) { return ls_getadcmux(nullptr, T); }},
      {"getadcpga1", [](Outs&) { return ls_getadcpga1(nullptr, T); }},
      {"getadcpga2", [](Outs&) { return ls_getadcpga2(nullptr, T); }},
      {"getadcpga3", [](Outs&) { return ls_getadcpga3(nullptr, T); }},
      {"getadcoffset1", [](Outs&) { return ls_getadcoffset1(nullptr, T); }},
      {"getadcoffset2", [](Outs&) { return ls_getadcoffset2(nullptr, T); }},
      {"getadcoffset3", [](Outs&) { return ls_getadcoffset3(nullptr, T); }},
      {"getmcu2version", [](Outs&) { return ls_getmcu2version(nullptr, T); }},
      {"getmcu2sensortype", [](Outs&) { return ls_getmcu2sensortype(nullptr, T); }},
      {"getmode", [](Outs&) { return ls_getmode(nullptr, T); }},
      {"getstate", [](Outs&) { return ls_getstate(nullptr, T); }},
      {"getinttime", [](Outs&) { return ls_getinttime(nullptr, T); }},
      {"getpacketlength", [](Outs&) { return ls_getpacketlength(nullptr, T); }},
      {"customfirmware", [](Outs&) { return ls_customfirmware(nullptr, T); }},
      {"cpu2flash_f2", [](Outs&) { return ls_cpu2flash_f2(nullptr, T); }},
      {"cpu2flash_f2_lastbyte", [](Outs&) { return ls_cpu2flash_f2_lastbyte(0x55, nullptr, T); }},
  };
  for (int missing = 0; missing < 8; ++missing) {
    v.push_back({"getsensordefaultparameter p" + std::to_string(missing + 1), [missing](Outs& o) {
                   US* p[8];
                   for (int k = 0; k < 8; ++k) p[k] = k == missing ? nullptr : &o.s[k];
                   return ls_getsensordefaultparameter(kType, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
                 }});
  }
  return v;
}

using NullOutParameter = vtest::CameraTest;

}  // namespace

TEST_F(NullOutParameter, EveryExportRefusesWithEinvalAndSendsNothing) {
  for (const NullCase& c : nullcases()) {
    SCOPED_TRACE(c.name);
    Outs before, o;
    fill(before);
    fill(o);
    const size_t sent = simcam_log_count();
    EXPECT_EQ(c.call(o), LS_EINVAL);
    EXPECT_EQ(simcam_log_count(), sent) << "a request went out";
    EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0) << "another output changed";
    EXPECT_EQ(ls_currentdeviceindex(), 0);
  }
}

TEST_F(NullOutParameter, DataBufferNullKeepsItsRequestWithoutDataStage) {
  const unsigned char ok = LS_I2C_OK;
  simcam_script_reply(dev, cx_protocol::i2cstatus, &ok, 1);
  unsigned short length = 16;
  unsigned char status = 0;
  EXPECT_NE(ls_readi2c(0xA1, nullptr, &length, &status, T), LS_EINVAL);
  EXPECT_EQ(length, 0);
  const auto log = vtest::controllog();
  ASSERT_GE(log.size(), 1u);
  EXPECT_EQ(log[0].bmRequestType, cx_protocol::vendorin);
  EXPECT_EQ(log[0].bRequest, cx_protocol::i2cdata);
  EXPECT_EQ(log[0].wValue, 0x50);
  EXPECT_EQ(log[0].wLength, 0);
  EXPECT_TRUE(log[0].data_null);
}
