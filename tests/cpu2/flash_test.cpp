// SPDX-License-Identifier: MIT
// Programming the second processor's flash through the flash request: the wire form
// of each command, its reply rule, the data blocks, and whole runs against the
// simulated board.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

using namespace vtest;

namespace {

using cx_protocol::flashreplymax;
using cx_protocol::requestvalue;
using cx_protocol::vendorin;
using cx_protocol::vendorout;
constexpr uint8_t kFlash = cx_protocol::cpu2flash;
constexpr unsigned short kUntouched = 0x5A5A;

enum class Cmd { F0, F1, F2, F2Last };

// Runs one command the way the tests use it: f1 with parameter 300, the
// last-byte variant with byte 0x5C; value starts as kUntouched.
int run(Cmd cmd, unsigned short& value, unsigned int timeout) {
  value = kUntouched;
  switch (cmd) {
    case Cmd::F0:
      return ls_cpu2flash_f0(timeout);
    case Cmd::F1:
      return ls_cpu2flash_f1(300, timeout);
    case Cmd::F2:
      return ls_cpu2flash_f2(&value, timeout);
    case Cmd::F2Last:
      return ls_cpu2flash_f2_lastbyte(0x5C, &value, timeout);
  }
  return 0;
}

struct FlashReply {
  Cmd cmd;
  std::string reply;
  int rc;
  unsigned short value;  // the caller's variable afterwards
};
const FlashReply kReplies[] = {
    {Cmd::F0, "f0:0;", 0, kUntouched},
    {Cmd::F0, "f0", 0, kUntouched},
    {Cmd::F0, "f0:abc;", 0, kUntouched},
    {Cmd::F0, std::string("f0\0:x;", 6), 0, kUntouched},
    {Cmd::F0, "f1:0;", CX_ERR_CPU2_REGISTER, kUntouched},
    {Cmd::F0, "x", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F0, " f0:0;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F0, "f:0;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F0, "?:7;", CX_ERR_CPU2_FLASH_F0_CMD, kUntouched},
    {Cmd::F0, "?:x;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F0, "?", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F0, "", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F1, "f1:300;", 0, kUntouched},
    {Cmd::F1, "f1:300", 0, kUntouched},
    {Cmd::F1, "f1:65836;", 0, kUntouched},
    {Cmd::F1, "f1:-65236;", 0, kUntouched},
    {Cmd::F1, "f1:301;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F1, "f1:;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F1, "f1", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F1, "f2:300;", CX_ERR_CPU2_REGISTER, kUntouched},
    {Cmd::F1, "?bad param:9;", CX_ERR_CPU2_FLASH_F1_PARAM, kUntouched},
    {Cmd::F1, "?:8;", CX_ERR_CPU2_FLASH_F1_CMD, kUntouched},
    {Cmd::F2, "f2:4660;", 0, 4660},
    {Cmd::F2, "f2:-1;", 0, 65535},
    {Cmd::F2, "f2:70000;", 0, 70000 & 0xFFFF},
    {Cmd::F2, "f2:" + std::string(57, ' ') + "4660", 0, 4660},  // 64 bytes, the last one kept
    {Cmd::F2,
     std::string("f2:12\0"
                 "34;",
                 9),
     0, 12},
    {Cmd::F2, "f2:;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F2, "f2", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F2, "f2:4294967296;", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F2, "f3", CX_ERR_CPU2_REGISTER, kUntouched},
    {Cmd::F2, "?:10;", CX_ERR_CPU2_FLASH_SIZE, kUntouched},
    {Cmd::F2, "?:11;", CX_ERR_CPU2_FLASH_F2_CMD, kUntouched},
    {Cmd::F2, "?:12;", CX_ERR_CPU2_FLASH_WRITE, kUntouched},
    {Cmd::F2Last, "f3", 0, 0xFFFF},
    {Cmd::F2Last, "f3:17;", 0, 0xFFFF},
    {Cmd::F2Last, "f2:17;", 0, 17},
    {Cmd::F2Last, "f2", CX_ERR_GET_INVALID_FORMAT, kUntouched},
    {Cmd::F2Last, "f4:0;", CX_ERR_CPU2_REGISTER, kUntouched},
    {Cmd::F2Last, "f1:0;", CX_ERR_CPU2_REGISTER, kUntouched},
    {Cmd::F2Last, "?:12;", CX_ERR_CPU2_FLASH_WRITE, kUntouched},
    // Error number -10150 is result 0 by the reply rule, for every command;
    // the value stays untouched since no flash reply carried one.
    {Cmd::F0, "?:-10150;", 0, kUntouched},
    {Cmd::F1, "?:-10150;", 0, kUntouched},
    {Cmd::F2, "?:-10150;", 0, kUntouched},
    {Cmd::F2Last, "?:-10150;", 0, kUntouched},
};

// wValue (command byte, argument byte above it) and wIndex of each command.
std::string expectedwire(Cmd cmd, unsigned int timeout) {
  switch (cmd) {
    case Cmd::F0:
      return wire(vendorin, kFlash, requestvalue(cx_protocol::flashf0, 0), 0, flashreplymax, timeout);
    case Cmd::F1:
      return wire(vendorin, kFlash, requestvalue(cx_protocol::flashf1, 0), 300, flashreplymax, timeout);
    case Cmd::F2:
      return wire(vendorin, kFlash, requestvalue(cx_protocol::flashf2, 0), 0, flashreplymax, timeout);
    case Cmd::F2Last:
      return wire(vendorin, kFlash, requestvalue(cx_protocol::flashf2lastbyte, 0x5C), 0, flashreplymax,
                  timeout);
  }
  return "";
}

using Cpu2Flash = CameraTest;

TEST_F(Cpu2Flash, CommandsPackTheirBytesAndCheckTheirReplies) {
  for (const FlashReply& c : kReplies) {
    SCOPED_TRACE("command " + std::to_string(static_cast<int>(c.cmd)) + " reply \"" + c.reply + "\"");
    simcam_log_clear();
    script(kFlash, c.reply);
    unsigned short value;
    EXPECT_EQ(run(c.cmd, value, 1234), c.rc);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(wirelog(), std::vector<std::string>{expectedwire(c.cmd, 1234)});
  }
}

TEST_F(Cpu2Flash, FailedTransferLeavesValueAlone) {
  for (Cmd cmd : {Cmd::F0, Cmd::F1, Cmd::F2, Cmd::F2Last}) {
    simcam_script_error(dev, SIMCAM_IN, kFlash, -7);
    unsigned short value;
    EXPECT_EQ(run(cmd, value, 1000), -7);
    EXPECT_EQ(value, kUntouched);
  }
  closecamera();
  for (Cmd cmd : {Cmd::F0, Cmd::F1, Cmd::F2, Cmd::F2Last}) {
    unsigned short value;
    EXPECT_EQ(run(cmd, value, 1000), CX_ERR_USB_INVALID_HANDLE);
    EXPECT_EQ(value, kUntouched);
  }
  std::vector<uint8_t> block(16);
  EXPECT_EQ(ls_cpu2flashdata(16, block.data(), 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_TRUE(controllog().empty());
}

std::vector<uint8_t> image(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

TEST_F(Cpu2Flash, DataBlockMustBeTakenWhole) {
  ASSERT_EQ(ls_cpu2flash_f0(1000), 0);
  ASSERT_EQ(ls_cpu2flash_f1(512, 1000), 0);
  std::vector<uint8_t> block = image(512, 1);
  simcam_log_clear();
  EXPECT_EQ(ls_cpu2flashdata(512, block.data(), 4321), 0);
  auto log = controllog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(wire(log[0]), wire(vendorout, kFlash, 0, 0, 512, 4321));
  EXPECT_EQ(payload(log[0]), std::vector<uint8_t>(block.begin(), block.begin() + SIMCAM_LOG_DATA_MAX));

  simcam_script_out_taken(dev, kFlash, 511);
  EXPECT_EQ(ls_cpu2flashdata(512, block.data(), 1000), CX_ERR_CONTROL_TRANSFER);
  simcam_script_out_taken(dev, kFlash, 0);
  EXPECT_EQ(ls_cpu2flashdata(1, block.data(), 1000), CX_ERR_CONTROL_TRANSFER);
  simcam_script_error(dev, SIMCAM_OUT, kFlash, -9);
  EXPECT_EQ(ls_cpu2flashdata(512, block.data(), 1000), -9);

  simcam_log_clear();
  EXPECT_EQ(ls_cpu2flashdata(512, nullptr, 1000), CX_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(ls_cpu2flashdata(0, nullptr, 1000), 0);
  log = controllog();
  ASSERT_EQ(log.size(), 2u);
  for (const auto& r : log) {
    EXPECT_EQ(wire(r), wire(vendorout, kFlash, 0, 0, 0, 1000));
    EXPECT_TRUE(r.data_null);
  }
}

// A whole run against the board: the value that ends it is the board's
// checksum of the image it received.
TEST_F(Cpu2Flash, WholeRunEndsWithChecksumOfImage) {
  const struct {
    size_t size;
    unsigned short blocksize;
    bool lastbyte;
  } runs[] = {{3000, 1024, false}, {4096, 4096, false}, {1, 64, false}, {777, 256, true}, {0, 16, true}};
  uint32_t seed = 7;
  for (const auto& r : runs) {
    SCOPED_TRACE("image " + std::to_string(r.size) + " in blocks of " + std::to_string(r.blocksize) +
                 (r.lastbyte ? " plus a last byte" : ""));
    std::vector<uint8_t> img = image(r.size, seed++);
    ASSERT_EQ(ls_cpu2flash_f0(1000), 0);
    ASSERT_EQ(ls_cpu2flash_f1(r.blocksize, 1000), 0);
    for (size_t off = 0; off < img.size(); off += r.blocksize) {
      auto n = static_cast<unsigned short>(std::min<size_t>(r.blocksize, img.size() - off));
      ASSERT_EQ(ls_cpu2flashdata(n, img.data() + off, 1000), 0) << "block at " << off;
    }
    unsigned short value = 0;
    if (r.lastbyte) {
      ASSERT_EQ(ls_cpu2flash_f2_lastbyte(0x5C, &value, 1000), 0);
      img.push_back(0x5C);
    } else {
      ASSERT_EQ(ls_cpu2flash_f2(&value, 1000), 0);
    }
    std::vector<uint8_t> onboard(img.size() + 16);
    ASSERT_EQ(simcam_flash_image(dev, onboard.data(), static_cast<int>(onboard.size())),
              static_cast<int>(img.size()));
    onboard.resize(img.size());
    EXPECT_EQ(onboard, img);
    // The board answers reply 3 when the last byte was the whole image.
    unsigned short expected =
        r.size == 0 && r.lastbyte ? 0xFFFF : simcam_flash_checksum(img.data(), static_cast<int>(img.size()));
    EXPECT_EQ(value, expected);
  }
}

// Steps of a run in an order the board refuses; its error numbers 7 to 12
// come back as -10157 to -10162.
struct Step {
  enum Op { F0, F1, Data, F2, F2Last, WriteFailure } op;
  unsigned short arg;
  int rc;
};
struct Misorder {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const Misorder& m, std::ostream* os) { *os << m.name; }

class Cpu2FlashOrder : public CameraTest, public ::testing::WithParamInterface<Misorder> {};

TEST_P(Cpu2FlashOrder, BoardErrorsMapToFlashCodes) {
  std::vector<uint8_t> block(4096, 0x11);
  for (const Step& s : GetParam().steps) {
    unsigned short value = kUntouched;
    int rc = 0;
    switch (s.op) {
      case Step::F0:
        rc = ls_cpu2flash_f0(1000);
        break;
      case Step::F1:
        rc = ls_cpu2flash_f1(s.arg, 1000);
        break;
      case Step::Data:
        rc = ls_cpu2flashdata(s.arg, block.data(), 1000);
        break;
      case Step::F2:
        rc = ls_cpu2flash_f2(&value, 1000);
        break;
      case Step::F2Last:
        rc = ls_cpu2flash_f2_lastbyte(static_cast<unsigned char>(s.arg), &value, 1000);
        break;
      case Step::WriteFailure:
        simcam_set_flash_write_failure(dev, 1);
        break;
    }
    EXPECT_EQ(rc, s.rc) << "step " << (&s - GetParam().steps.data());
    if (rc != 0) {
      EXPECT_EQ(value, kUntouched);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Cpu2FlashOrder,
    ::testing::Values(
        Misorder{"f1_without_f0", {{Step::F1, 16, CX_ERR_CPU2_FLASH_F1_CMD}}},
        Misorder{"f2_without_f0", {{Step::F2, 0, CX_ERR_CPU2_FLASH_F2_CMD}}},
        Misorder{"lastbyte_without_f0", {{Step::F2Last, 1, CX_ERR_CPU2_FLASH_F2_CMD}}},
        Misorder{"f2_without_f1", {{Step::F0, 0, 0}, {Step::F2, 0, CX_ERR_CPU2_FLASH_F2_CMD}}},
        Misorder{"f1_parameter_zero", {{Step::F0, 0, 0}, {Step::F1, 0, CX_ERR_CPU2_FLASH_F1_PARAM}}},
        Misorder{"f1_parameter_too_large", {{Step::F0, 0, 0}, {Step::F1, 4097, CX_ERR_CPU2_FLASH_F1_PARAM}}},
        Misorder{"f0_during_run",
                 {{Step::F0, 0, 0},
                  {Step::F1, 16, 0},
                  {Step::Data, 16, 0},
                  {Step::F0, 0, CX_ERR_CPU2_FLASH_F0_CMD}}},
        Misorder{"block_larger_than_f1",
                 {{Step::F0, 0, 0},
                  {Step::F1, 16, 0},
                  {Step::Data, 17, CX_ERR_CONTROL_TRANSFER},
                  {Step::F2, 0, CX_ERR_CPU2_FLASH_SIZE}}},
        Misorder{"flash_write_fails",
                 {{Step::F0, 0, 0},
                  {Step::F1, 16, 0},
                  {Step::Data, 16, 0},
                  {Step::WriteFailure, 0, 0},
                  {Step::F2Last, 9, CX_ERR_CPU2_FLASH_WRITE},
                  {Step::F2, 0, CX_ERR_CPU2_FLASH_F2_CMD}}}),
    [](const ::testing::TestParamInfo<Misorder>& info) { return std::string(info.param.name); });

}  // namespace
