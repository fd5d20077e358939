// SPDX-License-Identifier: MIT
// The second processor's register protocol as seen through the exports: the
// serial request on the wire, reply parsing, error numbers, the named
// registers and their widths.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

using namespace vtest;

namespace {

using cx_protocol::requestvalue;
using cx_protocol::serialmaxtransfer;
using cx_protocol::vendorin;
using cx_protocol::vendorout;
constexpr uint8_t kSerial = cx_protocol::serial;

// A get export with its register.
struct Getter {
  const char* name;
  uint8_t reg;
  int (*call)(unsigned int timeout, int64_t& out);
  int (*callnull)(unsigned int timeout);
};

// The output goes through a variable of the export's own type, pre-filled with
// a sentinel.
template <class T, int (*fn)(T*, unsigned int)>
int getinto(unsigned int timeout, int64_t& out) {
  T v = static_cast<T>(0xA5A5A5A5u);
  int rc = fn(&v, timeout);
  out = v;
  return rc;
}
template <class T, int (*fn)(T*, unsigned int)>
int getnull(unsigned int timeout) {
  return fn(nullptr, timeout);
}
const Getter kGetters[] = {
    {"ls_getmcu2version", cx_protocol::cpu2version, getinto<unsigned short, ls_getmcu2version>,
     getnull<unsigned short, ls_getmcu2version>},
    {"ls_getmode", cx_protocol::cpu2mode, getinto<unsigned char, ls_getmode>,
     getnull<unsigned char, ls_getmode>},
    {"ls_getstate", cx_protocol::cpu2state, getinto<unsigned char, ls_getstate>,
     getnull<unsigned char, ls_getstate>},
    {"ls_getinttime", cx_protocol::cpu2inttime, getinto<unsigned int, ls_getinttime>,
     getnull<unsigned int, ls_getinttime>},
    {"ls_customfirmware", cx_protocol::cpu2custom, getinto<unsigned int, ls_customfirmware>,
     getnull<unsigned int, ls_customfirmware>},
    {"ls_getpacketlength", cx_protocol::cpu2packetlength, getinto<int, ls_getpacketlength>,
     getnull<int, ls_getpacketlength>},
    {"ls_getmcu2sensortype", cx_protocol::cpu2sensortype, getinto<unsigned short, ls_getmcu2sensortype>,
     getnull<unsigned short, ls_getmcu2sensortype>},
};
const Getter& kVersion = kGetters[0];
const Getter& kMode = kGetters[1];
const Getter& kState = kGetters[2];
const Getter& kInttime = kGetters[3];
const Getter& kCustom = kGetters[4];
const Getter& kPacketlength = kGetters[5];
const Getter& kSensortype = kGetters[6];

// Caller's time-out -> wait byte of wValue and USB time-out of a serial read.
struct Timing {
  unsigned int timeout;
  unsigned int wait;
  unsigned int usbtimeout;
};
const Timing kTimings[] = {
    {0, 8, 1000},        {1, 8, 1000},
    {999, 8, 1000},      {1000, 8, 1000},
    {1099, 8, 1099},     {1100, 9, 1100},
    {1199, 9, 1199},     {2000, 18, 2000},
    {5000, 48, 5000},    {25499, 252, 25499},
    {25500, 253, 25500}, {25600, 253, 25500},
    {60000, 253, 25500}, {0xFFFFFFFFu, 253, 25500},
};

using Cpu2Register = CameraTest;

TEST_F(Cpu2Register, GetReadsItsRegisterWithWaitByteAndClampedTimeout) {
  for (const Getter& g : kGetters) {
    for (const Timing& t : kTimings) {
      SCOPED_TRACE(std::string(g.name) + " timeout " + std::to_string(t.timeout));
      simcam_log_clear();
      int64_t out;
      EXPECT_EQ(g.call(t.timeout, out), 0);
      EXPECT_EQ(wirelog(), std::vector<std::string>{wire(vendorin, kSerial,
                                                         requestvalue(g.reg, static_cast<uint8_t>(t.wait)), 0,
                                                         serialmaxtransfer, t.usbtimeout)});
    }
  }
}

TEST_F(Cpu2Register, SetWritesWithCallerTimeoutAndReadsStatusWithDerivedOne) {
  for (const Timing& t : kTimings) {
    SCOPED_TRACE("timeout " + std::to_string(t.timeout));
    simcam_log_clear();
    EXPECT_EQ(ls_setmode(1, t.timeout), 0);
    EXPECT_EQ(wirelog(),
              (std::vector<std::string>{
                  wire(vendorout, kSerial, 0, 0, 5, t.timeout),
                  wire(vendorin, kSerial, requestvalue(cx_protocol::cpu2status, static_cast<uint8_t>(t.wait)),
                       0, serialmaxtransfer, t.usbtimeout)}));
  }
}

// Exact bytes of each set command, the value it leaves in the register of the
// matching get on the board, and that value read back through the get.
struct SetCase {
  const char* name;
  int (*call)(unsigned int timeout);
  std::string command;
  uint32_t stored;
  const Getter* getter;
};
const SetCase kSets[] = {
    {"setmode(2)", [](unsigned int t) { return ls_setmode(2, t); }, "s1:2\r", 2, &kMode},
    {"setmode(5)", [](unsigned int t) { return ls_setmode(5, t); }, "s1:1\r", 1, &kMode},
    {"setmode(4)", [](unsigned int t) { return ls_setmode(4, t); }, "s1:0\r", 0, &kMode},
    {"setmode(255)", [](unsigned int t) { return ls_setmode(255, t); }, "s1:3\r", 3, &kMode},
    {"setstate(1)", [](unsigned int t) { return ls_setstate(1, t); }, "s2:1\r", 1, &kState},
    {"setstate(2)", [](unsigned int t) { return ls_setstate(2, t); }, "s2:0\r", 0, &kState},
    {"setstate(3)", [](unsigned int t) { return ls_setstate(3, t); }, "s2:1\r", 1, &kState},
    {"setinttime(1500)", [](unsigned int t) { return ls_setinttime(1500, t); }, "s3:1500\r", 1500, &kInttime},
    {"setinttime(0)", [](unsigned int t) { return ls_setinttime(0, t); }, "s3:0\r", 0, &kInttime},
    {"setinttime(2147483648)", [](unsigned int t) { return ls_setinttime(2147483648u, t); },
     "s3:2147483648\r", 2147483648u, &kInttime},
    {"setinttime(4260000000)", [](unsigned int t) { return ls_setinttime(4260000000u, t); },
     "s3:4260000000\r", 4260000000u, &kInttime},
    {"setinttime(4294967295)", [](unsigned int t) { return ls_setinttime(4294967295u, t); },
     "s3:4294967295\r", 4294967295u, &kInttime},
};

TEST_F(Cpu2Register, SetSendsExactCommandAndRoundTrips) {
  for (const SetCase& c : kSets) {
    SCOPED_TRACE(c.name);
    simcam_log_clear();
    ASSERT_EQ(c.call(2000), 0);
    auto log = controllog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(wire(log[0]), wire(vendorout, kSerial, 0, 0, static_cast<uint16_t>(c.command.size()), 2000));
    EXPECT_EQ(payload(log[0]), bytes(c.command));
    EXPECT_EQ(wire(log[1]),
              wire(vendorin, kSerial, requestvalue(cx_protocol::cpu2status, 18), 0, serialmaxtransfer, 2000));
    char last[80] = {};
    simcam_cpu2_last_command(dev, last, sizeof last);
    EXPECT_EQ(std::string(last), c.command);
    EXPECT_EQ(simcam_cpu2_reg(dev, c.getter->reg), c.stored);
    int64_t out;
    EXPECT_EQ(c.getter->call(1000, out), 0);
    EXPECT_EQ(out, static_cast<int64_t>(c.stored));
  }
}

// Raw answers to a read of register 3 (ls_getinttime).
struct ReplyCase {
  std::string reply;
  int rc;
  uint32_t value;
};
const ReplyCase kReplies[] = {
    {"g3:1500;", 0, 1500},
    {"g3:1500", 0, 1500},
    {"g3: 1500 ;", 0, 1500},
    {"xg3:1500;", 0, 1500},
    {"g03:1500;", 0, 1500},
    {"g3:1500;g4:9;", 0, 1500},
    {"g3:2147483647;", 0, 2147483647u},
    {"g3:-1;", 0, 4294967295u},
    {"g3:-2147483648;", 0, 2147483648u},
    {std::string("g3:7\0"
                 "99;",
                 8),
     0, 7},
    {"g3:" + std::string(57, ' ') + "1500", 0, 1500},  // 64 bytes, the last one kept
    {"g4:1500;", CX_ERR_CPU2_REGISTER, 0},
    {"g259:1500;", CX_ERR_CPU2_REGISTER, 0},
    {"", CX_ERR_GET_INVALID_FORMAT, 0},
    {std::string(1, '\0') + "g3:1;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g3:abc;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g3:;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g3", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g:5;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"3:5;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"?", CX_ERR_GET_INVALID_FORMAT, 0},
    {"?x;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"?:x;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g3:4294967295;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"g3:2147483648;", CX_ERR_GET_INVALID_FORMAT, 0},
    {"?x:4;", CX_ERR_CPU2_SET_CMD_PARAM, 0},
    {"?:0;", CX_ERR_CPU2_BASE, 0},
    {"?unknown register:3;", CX_ERR_CPU2_UNKNOWN_GET_CMD, 0},
    {"?g3:1500;", CX_ERR_CPU2_BASE - 1500, 0},
};

TEST_F(Cpu2Register, RepliesAreParsedByTheirMarkers) {
  for (const ReplyCase& c : kReplies) {
    SCOPED_TRACE("reply \"" + c.reply + "\"");
    script(kSerial, c.reply);
    int64_t out;
    EXPECT_EQ(kInttime.call(1000, out), c.rc);
    EXPECT_EQ(out, static_cast<int64_t>(c.value));
  }
}

struct WidthCase {
  const Getter* getter;
  std::string reply;
  int64_t value;
};
const WidthCase kWidths[] = {
    {&kMode, "g1:258;", 2},
    {&kState, "g2:-255;", 1},
    {&kVersion, "g0:65537;", 1},
    {&kPacketlength, "g253:-1;", -1},
    {&kCustom, "g252:-2;", 4294967294},
    {&kSensortype, "g254:69636;", 0x1004},
};

TEST_F(Cpu2Register, GetHandsOutValueCutToItsWidth) {
  for (const WidthCase& c : kWidths) {
    SCOPED_TRACE(std::string(c.getter->name) + " \"" + c.reply + "\"");
    script(kSerial, c.reply);
    int64_t out;
    EXPECT_EQ(c.getter->call(1000, out), 0);
    EXPECT_EQ(out, c.value);
  }
  // The board's own registers, printed by it as signed numbers.
  const struct {
    const Getter* getter;
    uint32_t raw;
    int64_t value;
  } boardregs[] = {{&kVersion, 0x00010203, 0x0203},
                   {&kMode, 0x102, 2},
                   {&kState, 0x103, 3},
                   {&kInttime, 4260000000u, 4260000000},
                   {&kCustom, 0xFFFFFFFF, 4294967295},
                   {&kPacketlength, 0xFFFFFFFF, -1},
                   {&kPacketlength, 4096, 4096},
                   {&kSensortype, 0x00011004, 0x1004}};
  for (const auto& c : boardregs) {
    SCOPED_TRACE(std::string(c.getter->name) + " register value " + std::to_string(c.raw));
    simcam_set_cpu2_reg(dev, c.getter->reg, c.raw);
    int64_t out;
    EXPECT_EQ(c.getter->call(1000, out), 0);
    EXPECT_EQ(out, c.value);
  }
}

TEST_F(Cpu2Register, EveryGetOverwritesItsOutputWithZeroOnFailure) {
  const struct {
    const char* reply;  // nullptr: the request fails with err
    int err;
    int rc;
  } failures[] = {{"?:3;", 0, CX_ERR_CPU2_UNKNOWN_GET_CMD},
                  {"g200:1;", 0, CX_ERR_CPU2_REGISTER},
                  {"", 0, CX_ERR_GET_INVALID_FORMAT},
                  {nullptr, -9, -9},
                  {nullptr, -7, -7}};
  for (const Getter& g : kGetters) {
    for (const auto& f : failures) {
      SCOPED_TRACE(std::string(g.name) + " rc " + std::to_string(f.rc));
      if (f.reply)
        script(kSerial, f.reply);
      else
        simcam_script_error(dev, SIMCAM_IN, kSerial, f.err);
      int64_t out;
      EXPECT_EQ(g.call(1000, out), f.rc);
      EXPECT_EQ(out, 0);
    }
  }
}

TEST_F(Cpu2Register, SetIsConfirmedByItsStatusReply) {
  const struct {
    std::string reply;
    int rc;
  } statuses[] = {
      {"g255:0;", 0},
      {"g255:0", 0},
      {"g255:6;", CX_ERR_CPU2_SET_CMD_VALUE},
      {"g255:2;", CX_ERR_CPU2_UNKNOWN_SET_CMD},
      {"?:3;", CX_ERR_CPU2_UNKNOWN_GET_CMD},
      {"?:0;", CX_ERR_CPU2_BASE},
      {"g254:0;", CX_ERR_CPU2_REGISTER},
      {"g255:;", CX_ERR_GET_INVALID_FORMAT},
      {"", CX_ERR_GET_INVALID_FORMAT},
  };
  for (const auto& s : statuses) {
    SCOPED_TRACE("status reply \"" + s.reply + "\"");
    simcam_log_clear();
    script(kSerial, s.reply);
    EXPECT_EQ(ls_setstate(1, 1000), s.rc);
    ASSERT_EQ(requests(vendorin, kSerial).size(), 1u);
    EXPECT_EQ(requests(vendorin, kSerial)[0].wValue, requestvalue(cx_protocol::cpu2status, 8));
  }
}

// Error numbers of any size become -(10150 + n) in 32-bit wrap-around, on
// every path that maps them: an error reply to a get, the status of a set, and
// an error reply to a flash command.
TEST_F(Cpu2Register, ErrorNumbersMapWithoutOverflow) {
  const struct {
    const char* n;
    int rc;
  } numbers[] = {{"1", -10151},
                 {"12", -10162},
                 {"13", -10163},
                 {"51", CX_ERROR_SENSOR_TYPE},
                 {"101", CX_ERR_POWER_SECURITY},
                 {"10000000", -10010150},
                 {"2147473497", -2147483647},
                 {"2147473498", INT_MIN},
                 {"2147473499", 2147483647},
                 {"2147483647", 2147473499},
                 {"-1", -10149},
                 {"-2147483648", 2147473498}};
  for (const auto& c : numbers) {
    SCOPED_TRACE(std::string("error number ") + c.n);
    script(kSerial, std::string("?E:") + c.n + ";");
    int64_t out;
    EXPECT_EQ(kInttime.call(1000, out), c.rc);
    EXPECT_EQ(out, 0);
    script(kSerial, std::string("g255:") + c.n + ";");
    EXPECT_EQ(ls_setinttime(1, 1000), c.rc);
    script(cx_protocol::cpu2flash, std::string("?E:") + c.n + ";");
    EXPECT_EQ(ls_cpu2flash_f0(1000), c.rc);
  }
}

TEST_F(Cpu2Register, FailedOrShortCommandWriteReadsNoStatus) {
  const struct {
    int err;    // libusb error of the write, or 0
    int taken;  // bytes the board takes when err is 0
    int rc;
  } cases[] = {{-9, 0, -9},
               {-7, 0, -7},
               {-4, 0, -4},
               {0, 3, CX_ERR_CONTROL_TRANSFER},
               {0, 0, CX_ERR_CONTROL_TRANSFER}};
  for (const auto& c : cases) {
    SCOPED_TRACE("rc " + std::to_string(c.rc));
    simcam_log_clear();
    if (c.err)
      simcam_script_error(dev, SIMCAM_OUT, kSerial, c.err);
    else
      simcam_script_out_taken(dev, kSerial, c.taken);
    EXPECT_EQ(ls_setinttime(4260000000u, 1000), c.rc);
    EXPECT_EQ(requests(vendorout, kSerial).size(), 1u);
    EXPECT_TRUE(requests(vendorin, kSerial).empty());
  }
  simcam_script_error(dev, SIMCAM_IN, kSerial, -7);
  EXPECT_EQ(ls_setmode(1, 1000), -7);
}

// The board's second processor takes the wait byte as its time limit: an
// answer later than that comes back empty before the host's own time-out.
TEST_F(Cpu2Register, SlowAnswerWithinWaitIsReadLaterOneIsEmpty) {
  simcam_set_cpu2_reg(dev, cx_protocol::cpu2inttime, 777);
  const struct {
    unsigned int delay;
    int rc;
    int64_t value;
  } cases[] = {{300, 0, 777}, {900, CX_ERR_GET_INVALID_FORMAT, 0}, {3000, CX_ERR_GET_INVALID_FORMAT, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("delay " + std::to_string(c.delay));
    simcam_set_cpu2_delay(dev, c.delay);
    int64_t out;
    EXPECT_EQ(kInttime.call(1000, out), c.rc);
    EXPECT_EQ(out, c.value);
  }
  simcam_set_cpu2_delay(dev, 0);
}

TEST_F(Cpu2Register, NoDeviceOpenGivesInvalidHandleAndZero) {
  closecamera();
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(g.name);
    int64_t out;
    EXPECT_EQ(g.call(1000, out), CX_ERR_USB_INVALID_HANDLE);
    EXPECT_EQ(out, 0);
  }
  EXPECT_EQ(ls_setmode(1, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setstate(1, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(ls_setinttime(1, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_TRUE(controllog().empty());
}

TEST_F(Cpu2Register, NullOutputIsRefusedAndSendsNothing) {
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(g.name);
    EXPECT_EQ(g.callnull(1000), LS_EINVAL);
  }
  EXPECT_EQ(ls_cpu2flash_f2(nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_cpu2flash_f2_lastbyte(1, nullptr, 1000), LS_EINVAL);
  EXPECT_TRUE(controllog().empty());
  closecamera();
  EXPECT_EQ(ls_getmode(nullptr, 1000), LS_EINVAL);
}

}  // namespace
