// SPDX-License-Identifier: MIT
// The I2C bridge: data transfers on the bus and to the I2C flash, each
// followed by the status read, the bus frequency and the status names.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "usb/cx_protocol.h"

using namespace vtest;

namespace {

using cx_protocol::vendorin;
using cx_protocol::vendorout;
constexpr uint8_t kStatus = cx_protocol::i2cstatus;
constexpr uint8_t kEeprom = 0xA0;
constexpr unsigned char kUntouched = 0x77;

// The four data transfers behind one signature; a write leaves length alone.
using Call = int (*)(unsigned char address, uint8_t* data, unsigned short& length, unsigned char& status,
                     unsigned int timeout);
template <int (*fn)(unsigned char, void*, unsigned short*, unsigned char*, unsigned int)>
int readcall(unsigned char address, uint8_t* data, unsigned short& length, unsigned char& status,
             unsigned int t) {
  return fn(address, data, &length, &status, t);
}
template <int (*fn)(unsigned char, void*, unsigned short, unsigned char*, unsigned int)>
int writecall(unsigned char address, uint8_t* data, unsigned short& length, unsigned char& status,
              unsigned int t) {
  return fn(address, data, length, &status, t);
}
struct Transfer {
  const char* name;
  uint8_t request;
  bool read;
  Call call;
};
const Transfer kTransfers[] = {
    {"ls_readi2c", cx_protocol::i2cdata, true, readcall<ls_readi2c>},
    {"ls_writei2c", cx_protocol::i2cdata, false, writecall<ls_writei2c>},
    {"ls_readi2cflash", cx_protocol::i2cflash, true, readcall<ls_readi2cflash>},
    {"ls_writei2cflash", cx_protocol::i2cflash, false, writecall<ls_writei2cflash>}};

uint8_t dir(const Transfer& x) { return x.read ? vendorin : vendorout; }

using I2c = CameraTest;

TEST_F(I2c, LengthOutsideOneTo64IsRefusedUntouched) {
  std::vector<uint8_t> buf(70, 0);
  for (const Transfer& x : kTransfers) {
    for (unsigned short bad : {0, 65, 0xFFFF}) {
      SCOPED_TRACE(std::string(x.name) + " length " + std::to_string(bad));
      unsigned short length = bad;
      unsigned char status = kUntouched;
      EXPECT_EQ(x.call(kEeprom, buf.data(), length, status, 1000), CX_ERR_I2C_INVALID_SIZE);
      EXPECT_EQ(length, bad);
      EXPECT_EQ(status, kUntouched);
    }
  }
  EXPECT_TRUE(controllog().empty());
  for (const Transfer& x : kTransfers) {
    SCOPED_TRACE(std::string(x.name) + " length 64");
    simcam_log_clear();
    unsigned short length = 64;
    unsigned char status = kUntouched;
    EXPECT_EQ(x.call(kEeprom, buf.data(), length, status, 1500), 0);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(status, LS_I2C_OK);
    EXPECT_EQ(wirelog(), (std::vector<std::string>{wire(dir(x), x.request, 0x50, 0, 64, 1500),
                                                   wire(vendorin, kStatus, 0, 0, 1, 1500)}));
  }
}

TEST_F(I2c, AddressIsSentWithoutItsDirectionBit) {
  const struct {
    unsigned char address;
    uint16_t wvalue;
  } cases[] = {{0xA0, 0x50}, {0xA1, 0x50}, {0x00, 0x00}, {0x01, 0x00}, {0xFE, 0x7F}, {0xFF, 0x7F}};
  for (const Transfer& x : kTransfers) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(x.name) + " address " + std::to_string(c.address));
      simcam_log_clear();
      uint8_t data[4] = {0, 0, 0, 0};
      unsigned short length = 4;
      unsigned char status = 0;
      int rc = x.call(c.address, data, length, status, 1000);
      if (c.wvalue == 0x50) {
        EXPECT_EQ(rc, 0);
      }
      auto sent = requests(dir(x), x.request);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].wValue, c.wvalue);
    }
  }
}

TEST_F(I2c, AbsentDeviceGivesNack) {
  for (const Transfer& x : kTransfers) {
    SCOPED_TRACE(x.name);
    uint8_t data[8] = {};
    unsigned short length = 8;
    unsigned char status = 0;
    EXPECT_EQ(x.call(0x42, data, length, status, 1000), CX_ERR_I2C_TRANSFER);
    EXPECT_EQ(status, LS_I2C_NACK);
    if (x.read) {
      EXPECT_EQ(length, 0);
    }
    status = 0;
    EXPECT_EQ(ls_geti2cstat(&status, 1000), 0);
    EXPECT_EQ(status, LS_I2C_NACK);
  }
  EXPECT_STREQ(ls_geti2cstring(LS_I2C_NACK), "I2C_NACK");
}

TEST_F(I2c, ShortReadReportsTheBytesReceived) {
  for (const Transfer& x : kTransfers) {
    if (!x.read) continue;
    SCOPED_TRACE(x.name);
    std::vector<uint8_t> reply = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    script(x.request, reply);
    script(kStatus, std::vector<uint8_t>{LS_I2C_OK});
    std::vector<uint8_t> data(16, 0xEE);
    unsigned short length = 16;
    unsigned char status = 0;
    EXPECT_EQ(x.call(kEeprom, data.data(), length, status, 1000), 0);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(status, LS_I2C_OK);
    reply.resize(16, 0xEE);
    EXPECT_EQ(data, reply);
  }
}

TEST_F(I2c, FailedStatusReadGivesStatusFF) {
  const struct {
    int err;  // 0: a 0-byte reply
    int rc;
  } failures[] = {{0, CX_ERR_CONTROL_TRANSFER}, {-9, -9}, {-7, -7}};
  for (const Transfer& x : kTransfers) {
    for (const auto& f : failures) {
      SCOPED_TRACE(std::string(x.name) + " rc " + std::to_string(f.rc));
      if (f.err)
        simcam_script_error(dev, SIMCAM_IN, kStatus, f.err);
      else
        script(kStatus, std::vector<uint8_t>{});
      uint8_t data[5] = {0, 1, 2, 3, 4};
      unsigned short length = 5;
      unsigned char status = kUntouched;
      EXPECT_EQ(x.call(kEeprom, data, length, status, 1000), f.rc);
      EXPECT_EQ(status, 0xFF);
      if (x.read) {
        EXPECT_EQ(length, 5) << "a read keeps the count of its data stage";
      }
    }
  }
  for (const auto& f : failures) {
    if (f.err)
      simcam_script_error(dev, SIMCAM_IN, kStatus, f.err);
    else
      script(kStatus, std::vector<uint8_t>{});
    unsigned char status = kUntouched;
    EXPECT_EQ(ls_geti2cstat(&status, 1000), f.rc);
    EXPECT_EQ(status, 0xFF);
  }
  EXPECT_STREQ(ls_geti2cstring(0xFF), "I2C_UNKNOWN");
}

TEST_F(I2c, FailedDataStageLeavesStatusAndReadsNoStatus) {
  for (const Transfer& x : kTransfers) {
    SCOPED_TRACE(x.name);
    simcam_log_clear();
    simcam_script_error(dev, x.read ? SIMCAM_IN : SIMCAM_OUT, x.request, -9);
    uint8_t data[6] = {};
    unsigned short length = 6;
    unsigned char status = kUntouched;
    EXPECT_EQ(x.call(kEeprom, data, length, status, 1000), -9);
    EXPECT_EQ(status, kUntouched);
    if (x.read) {
      EXPECT_EQ(length, 0);
    }
    EXPECT_TRUE(requests(vendorin, kStatus).empty());
  }
  closecamera();
  for (const Transfer& x : kTransfers) {
    SCOPED_TRACE(std::string(x.name) + " without device");
    uint8_t data[6] = {};
    unsigned short length = 6;
    unsigned char status = kUntouched;
    EXPECT_EQ(x.call(kEeprom, data, length, status, 1000), CX_ERR_USB_INVALID_HANDLE);
    EXPECT_EQ(status, kUntouched);
    if (x.read) {
      EXPECT_EQ(length, 0);
    }
  }
  unsigned char status = kUntouched;
  EXPECT_EQ(ls_geti2cstat(&status, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(status, 0xFF);
}

// A write whose data stage the board acknowledges with fewer bytes than sent
// is a failed transfer, whatever the bus status says.
TEST_F(I2c, ShortWriteIsAControlTransferError) {
  for (const Transfer& x : kTransfers) {
    if (x.read) continue;
    for (int taken : {5, 1, 0}) {
      SCOPED_TRACE(std::string(x.name) + " taken " + std::to_string(taken));
      simcam_script_out_taken(dev, x.request, taken);
      uint8_t data[6] = {0x00, 0x10, 1, 2, 3, 4};
      unsigned short length = 6;
      unsigned char status = 0;
      EXPECT_EQ(x.call(kEeprom, data, length, status, 1000), CX_ERR_CONTROL_TRANSFER);
    }
  }
}

TEST_F(I2c, StatusNamesCoverEveryByte) {
  const char* names[] = {"I2C_IDLE", "I2C_SENDING", "I2C_RECEIVING", "I2C_PRIME", "I2C_UNKNOWN",
                         "I2C_STOP", "I2C_BERROR",  "I2C_NACK",      "I2C_OK",    "I2C_WAITSTOP"};
  for (int s = 0; s < 256; ++s) {
    const char* name = ls_geti2cstring(static_cast<unsigned char>(s));
    ASSERT_NE(name, nullptr) << s;
    EXPECT_STREQ(name, s < 10 ? names[s] : "I2C_UNKNOWN") << s;
    EXPECT_EQ(ls_geti2cstring(static_cast<unsigned char>(s)), name) << s;
  }
  EXPECT_TRUE(controllog().empty());
}

TEST_F(I2c, FrequencyIsBitZero) {
  const struct {
    unsigned char set;
    int selector;
  } cases[] = {{3, 1}, {2, 0}, {1, 1}, {0, 0}, {0xFF, 1}, {0xFE, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("frequency " + std::to_string(c.set));
    simcam_log_clear();
    EXPECT_EQ(ls_seti2cfreq(c.set, 1300), 0);
    EXPECT_EQ(simcam_i2c_freq(dev), c.selector);
    unsigned char f = 0xEE;
    EXPECT_EQ(ls_geti2cfreq(&f, 1300), 0);
    EXPECT_EQ(f, c.selector);
    EXPECT_EQ(wirelog(), (std::vector<std::string>{wire(vendorout, cx_protocol::i2csetfreq,
                                                        static_cast<uint16_t>(c.selector), 0, 0, 1300),
                                                   wire(vendorin, cx_protocol::i2cgetfreq, 0, 0, 1, 1300)}));
  }
  const struct {
    std::vector<uint8_t> reply;
    int err;
    int rc;
    unsigned char value;
  } reads[] = {{{0xFE}, 0, 0, 0},
               {{0xFF}, 0, 0, 1},
               {{0x03}, 0, 0, 1},
               {{}, 0, CX_ERR_CONTROL_TRANSFER, 0},
               {{}, -9, -9, 0}};
  for (const auto& r : reads) {
    SCOPED_TRACE("frequency reply rc " + std::to_string(r.rc) + " value " + std::to_string(r.value));
    if (r.err)
      simcam_script_error(dev, SIMCAM_IN, cx_protocol::i2cgetfreq, r.err);
    else
      script(cx_protocol::i2cgetfreq, r.reply);
    unsigned char f = 0xEE;
    EXPECT_EQ(ls_geti2cfreq(&f, 1000), r.rc);
    EXPECT_EQ(f, r.value);
  }
  closecamera();
  unsigned char f = 0xEE;
  EXPECT_EQ(ls_geti2cfreq(&f, 1000), CX_ERR_USB_INVALID_HANDLE);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(ls_seti2cfreq(1, 1000), CX_ERR_USB_INVALID_HANDLE);
}

// Write [memory address, bytes...], then the address alone, then read back.
TEST_F(I2c, EepromRoundTrip) {
  uint8_t write[] = {0x10, 0xDE, 0xAD, 0xBE, 0xEF, 0x42};
  unsigned char status = 0;
  ASSERT_EQ(ls_writei2c(kEeprom, write, sizeof write, &status, 1000), 0);
  EXPECT_EQ(status, LS_I2C_OK);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(simcam_eeprom_byte(dev, 0x10 + i - 1), write[i]);
  uint8_t pointer = 0x10;
  ASSERT_EQ(ls_writei2c(kEeprom | 1, &pointer, 1, &status, 1000), 0);
  uint8_t back[5] = {};
  unsigned short length = 5;
  ASSERT_EQ(ls_readi2c(kEeprom | 1, back, &length, &status, 1000), 0);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(0, std::memcmp(back, write + 1, 5));
  auto sent = requests(vendorout, cx_protocol::i2cdata);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(payload(sent[0]), std::vector<uint8_t>(write, write + 6));
}

// The I2C flash takes a two-byte memory address, high byte first.
TEST_F(I2c, I2cFlashRoundTrip) {
  uint8_t write[] = {0x01, 0x23, 9, 8, 7};
  unsigned char status = 0;
  ASSERT_EQ(ls_writei2cflash(kEeprom, write, sizeof write, &status, 1000), 0);
  EXPECT_EQ(status, LS_I2C_OK);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(simcam_i2cflash_byte(dev, 0x123 + i), 9 - i);
  ASSERT_EQ(ls_writei2cflash(kEeprom, write, 2, &status, 1000), 0);
  uint8_t back[3] = {};
  unsigned short length = 3;
  ASSERT_EQ(ls_readi2cflash(kEeprom, back, &length, &status, 1000), 0);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 3), (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(simcam_eeprom_byte(dev, 0x23), 0) << "the flash request does not reach the EEPROM";
}

TEST_F(I2c, NullOutputIsRefusedAndSendsNothing) {
  uint8_t data[4] = {};
  unsigned short length = 4;
  unsigned char status = kUntouched;
  EXPECT_EQ(ls_readi2c(kEeprom, data, nullptr, &status, 1000), LS_EINVAL);
  EXPECT_EQ(ls_readi2c(kEeprom, data, &length, nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_readi2cflash(kEeprom, data, nullptr, &status, 1000), LS_EINVAL);
  EXPECT_EQ(ls_readi2cflash(kEeprom, data, &length, nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_writei2c(kEeprom, data, 4, nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_writei2cflash(kEeprom, data, 4, nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_geti2cstat(nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(ls_geti2cfreq(nullptr, 1000), LS_EINVAL);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(status, kUntouched);
  EXPECT_TRUE(controllog().empty());
}

}  // namespace
