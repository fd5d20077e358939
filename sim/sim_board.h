// SPDX-License-Identifier: MIT
// The camera board behind endpoint 0: the first processor with its ADC, I2C
// bus and memories, and the second processor reached through it. Pure state
// machines without locking or waiting; the bus serialises every call.
#ifndef SIM_BOARD_H
#define SIM_BOARD_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "usb/cx_protocol.h"

namespace sim {

struct Setup {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// Vendor requests answered by the first processor itself (everything but the
// serial and flash requests of the second processor).
class FirstProcessor {
 public:
  static constexpr int kAdcRegs = cx_protocol::adcregistercount;
  static constexpr uint16_t kAdcDefaults[kAdcRegs] = {0x58, 0xC0, 0, 0, 0, 0, 0, 0};
  static constexpr uint8_t kEepromAddress = 0x50;

  explicit FirstProcessor(uint16_t sensortype);

  // OUT request with len data bytes: bytes taken, or a negative libusb code.
  int out(const Setup& s, const uint8_t* data, int len);
  // IN request: 0 with the full answer in reply (the caller cuts it to wLength), or a negative libusb code.
  int in(const Setup& s, int room, std::string& reply);

  // Last state written by the three guarded switches, codewriteprot first; -1 if never.
  int switches[3] = {-1, -1, -1};
  uint8_t powerpins = 0x03;
  uint8_t ep6status = 0x00;
  int fiforesets = 0;
  uint8_t presence = cx_protocol::sensorpresent;
  uint16_t marker = cx_protocol::sensormarker;
  uint16_t sensortype;
  uint16_t secondword = 0x0001;
  uint16_t adc[kAdcRegs];
  uint16_t adcsaved[kAdcRegs];
  uint8_t eeprom[256] = {};
  uint8_t eeprompointer = 0;
  uint8_t i2cflash[4096] = {};
  uint16_t i2cflashpointer = 0;
  uint8_t i2cstatus = 0;  // I2C_IDLE until the first transfer
  int i2cfreq = 0;

 private:
  int i2cwrite(uint16_t address, bool flash, const uint8_t* data, int len);
  void i2cread(uint16_t address, bool flash, int room, std::string& reply);
  int adcwrite3(int firstreg, const uint8_t* data, int len);
};

// The second processor: its registers and text protocol behind the serial
// request and its flash programming run behind the flash request.
class SecondProcessor {
 public:
  static constexpr size_t kMaxImage = 1u << 20;
  static constexpr uint16_t kMaxBlock = 4096;

  explicit SecondProcessor(uint16_t sensortype);

  static bool handles(uint8_t bRequest) {
    return bRequest == cx_protocol::serial || bRequest == cx_protocol::cpu2flash;
  }
  int out(const Setup& s, const uint8_t* data, int len);
  int in(const Setup& s, std::string& reply);

  // How a serial read is answered when the answer takes delayms: after waitms the
  // device gives up (empty answer); the host gives up after its USB time-out first.
  enum class Answer { Now, Empty, TimedOut };
  Answer serialanswer(const Setup& s, unsigned int usbtimeout, unsigned int& waitms) const;

  bool hasregister(int reg) const { return regs.count(reg) != 0; }

  std::map<int, uint32_t> regs;
  std::string lastcommand;
  unsigned int delayms = 0;
  std::vector<uint8_t> image;
  bool flashwritefailure = false;

 private:
  int setcommand(const std::string& text);
  std::string flashcommand(uint8_t cmd, uint8_t arg, uint16_t param);
  std::string flashfinish(bool lastbyte, uint8_t byte);
  int flashdata(const uint8_t* data, int len);

  bool runopen = false;
  uint16_t blocksize = 0;  // f1's parameter; 0 until f1 of the open run
  bool sizeerror = false;
};

uint16_t flashchecksum(const uint8_t* image, size_t len);

}  // namespace sim

#endif
