#include "sim_board.h"

#include <libusb.h>

#include <cstring>

namespace sim {

constexpr uint16_t FirstProcessor::kAdcDefaults[];

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void putle16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}

// Decimal digits only, no sign, within max.
bool parseunsigned(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > max) return false;
  }
  value = v;
  return true;
}

std::string errorreply(const char* text, int number) {
  return std::string("?") + text + ":" + std::to_string(number) + ";";
}

}  // namespace

uint16_t flashchecksum(const uint8_t* image, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i < len; ++i) sum += image[i];
  return static_cast<uint16_t>(sum);
}

// ---- First processor ----

FirstProcessor::FirstProcessor(uint16_t type) : sensortype(type) {
  std::memcpy(adc, kAdcDefaults, sizeof adc);
  std::memcpy(adcsaved, kAdcDefaults, sizeof adcsaved);
}

int FirstProcessor::out(const Setup& s, const uint8_t* data, int len) {
  switch (s.bRequest) {
    case 0x30:
    case 0x31:
    case 0x32:
      switches[s.bRequest - 0x30] = s.wValue & 0xFF;
      return 0;
    case 0x50:
      ++fiforesets;
      return 0;
    case 0x40:
      adc[(s.wValue >> 12) & 7] = s.wValue & 0x1FF;
      return 0;
    case 0x41:
      std::memcpy(adcsaved, adc, sizeof adc);
      return 0;
    case 0x42:
      std::memcpy(adc, kAdcDefaults, sizeof adc);
      return 0;
    case 0x45:
      return adcwrite3(2, data, len);
    case 0x46:
      return adcwrite3(5, data, len);
    case 0x10:
      return i2cwrite(s.wValue, false, data, len);
    case 0xF0:
      return i2cwrite(s.wValue, true, data, len);
    case 0x12:
      i2cfreq = s.wValue & 1;
      return 0;
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

int FirstProcessor::in(const Setup& s, int room, std::string& reply) {
  switch (s.bRequest) {
    case 0x33:
      reply.push_back(static_cast<char>(powerpins));
      return 0;
    case 0x51:
      reply.push_back(static_cast<char>(ep6status));
      return 0;
    case 0x44:
      reply.push_back(static_cast<char>(presence));
      putle16(reply, marker);
      putle16(reply, sensortype);
      putle16(reply, secondword);
      return 0;
    case 0x40:
      putle16(reply, adc[(s.wValue >> 12) & 7]);
      return 0;
    case 0x10:
      i2cread(s.wValue, false, room, reply);
      return 0;
    case 0xF0:
      i2cread(s.wValue, true, room, reply);
      return 0;
    case 0x11:
      reply.push_back(static_cast<char>(i2cstatus));
      return 0;
    case 0x13:
      reply.push_back(static_cast<char>(i2cfreq));
      return 0;
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

// Three 16-bit little-endian values into consecutive ADC registers, 9 bits kept.
int FirstProcessor::adcwrite3(int firstreg, const uint8_t* data, int len) {
  if (len != 6) return LIBUSB_ERROR_PIPE;
  for (int i = 0; i < 3; ++i) adc[firstreg + i] = le16(data + 2 * i) & 0x1FF;
  return len;
}

// The EEPROM takes a one-byte address, the I2C flash a two-byte address (high
// first); the rest is stored from there on, wrapping at the end of the memory.
// A device that does not answer still lets the data stage complete.
int FirstProcessor::i2cwrite(uint16_t address, bool flash, const uint8_t* data, int len) {
  if (address != kEepromAddress) {
    i2cstatus = kI2cNack;
    return len;
  }
  i2cstatus = kI2cOk;
  if (len == 0) return 0;
  if (!flash) {
    eeprompointer = data[0];
    for (int i = 1; i < len; ++i) eeprom[eeprompointer++] = data[i];
    return len;
  }
  if (len < 2) {
    i2cstatus = kI2cBusError;
    return len;
  }
  i2cflashpointer = ((data[0] << 8) | data[1]) & (sizeof i2cflash - 1);
  for (int i = 2; i < len; ++i) {
    i2cflash[i2cflashpointer] = data[i];
    i2cflashpointer = (i2cflashpointer + 1) & (sizeof i2cflash - 1);
  }
  return len;
}

void FirstProcessor::i2cread(uint16_t address, bool flash, int room, std::string& reply) {
  if (address != kEepromAddress) {
    i2cstatus = kI2cNack;
    return;
  }
  i2cstatus = kI2cOk;
  for (int i = 0; i < room; ++i) {
    if (flash) {
      reply.push_back(static_cast<char>(i2cflash[i2cflashpointer]));
      i2cflashpointer = (i2cflashpointer + 1) & (sizeof i2cflash - 1);
    } else {
      reply.push_back(static_cast<char>(eeprom[eeprompointer++]));
    }
  }
}

// ---- Second processor ----

SecondProcessor::SecondProcessor(uint16_t sensortype)
    : regs{{0, 0x0203}, {1, 0}, {2, 0}, {3, 10000}, {252, 0}, {253, 4096}, {254, sensortype}, {255, 0}} {}

int SecondProcessor::out(const Setup& s, const uint8_t* data, int len) {
  if (s.bRequest == kFlashRequest) return flashdata(data, len);
  if (len < 1 || len > 64) return LIBUSB_ERROR_PIPE;
  lastcommand.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
  regs[kStatusRegister] = static_cast<uint32_t>(setcommand(lastcommand));
  return len;
}

int SecondProcessor::in(const Setup& s, std::string& reply) {
  if (s.bRequest == kFlashRequest) {
    reply = flashcommand(s.wValue & 0xFF, s.wValue >> 8, s.wIndex);
    return 0;
  }
  int reg = s.wValue & 0xFF;
  auto it = regs.find(reg);
  if (it == regs.end()) {
    reply = errorreply("unknown register", 3);
    return 0;
  }
  // The board prints register values as signed 32-bit numbers.
  reply = "g" + std::to_string(reg) + ":" + std::to_string(static_cast<int32_t>(it->second)) + ";";
  return 0;
}

SecondProcessor::Answer SecondProcessor::serialanswer(const Setup& s, unsigned int usbtimeout,
                                                      unsigned int& waitms) const {
  waitms = 0;
  if (s.bRequest != kSerialRequest || delayms == 0) return Answer::Now;
  unsigned int devicewait = (s.wValue >> 8) * 100u;
  Answer answer = delayms > devicewait ? Answer::Empty : Answer::Now;
  waitms = answer == Answer::Empty ? devicewait : delayms;
  if (usbtimeout != 0 && usbtimeout < waitms) {
    waitms = usbtimeout;
    return Answer::TimedOut;
  }
  return answer;
}

// "s<reg>:<value>\r": the status it leaves in register 255.
int SecondProcessor::setcommand(const std::string& text) {
  enum { kOk = 0, kUnknownCmd = 1, kUnknownSet = 2, kSetParam = 4, kSetValue = 6 };
  std::string body = text;
  while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
  if (body.empty() || body[0] != 's') return kUnknownCmd;
  size_t colon = body.find(':');
  if (colon == std::string::npos) return kUnknownCmd;
  uint64_t reg = 0, value = 0;
  if (!parseunsigned(body.substr(1, colon - 1), UINT32_MAX, reg) ||
      !parseunsigned(body.substr(colon + 1), UINT32_MAX, value))
    return kUnknownCmd;
  if (reg > 255 || !hasregister(static_cast<int>(reg))) return kUnknownSet;
  switch (reg) {
    case 1:
      if (value > 3) return kSetValue;
      break;
    case 2:
      if (value > 1) return kSetValue;
      break;
    case 3:
      break;
    default:
      return kSetParam;
  }
  regs[static_cast<int>(reg)] = static_cast<uint32_t>(value);
  return kOk;
}

std::string SecondProcessor::flashcommand(uint8_t cmd, uint8_t arg, uint16_t param) {
  switch (cmd) {
    case 0x00:
      if (runopen && !image.empty()) return errorreply("f0 busy", 7);
      runopen = true;
      blocksize = 0;
      sizeerror = false;
      image.clear();
      return "f0:0;";
    case 0x01:
      if (!runopen) return errorreply("no f0", 8);
      if (param == 0 || param > kMaxBlock) return errorreply("bad param", 9);
      blocksize = param;
      return "f1:" + std::to_string(param) + ";";
    case 0x02:
      return flashfinish(false, 0);
    case 0xAA:
      return flashfinish(true, arg);
    default:
      return errorreply("unknown flash cmd", 1);
  }
}

// f2 and f2 with a last byte end the run whatever their outcome.
std::string SecondProcessor::flashfinish(bool lastbyte, uint8_t byte) {
  if (!runopen || blocksize == 0) return errorreply("no run", 11);
  runopen = false;
  bool wasempty = image.empty();
  if (lastbyte) {
    if (image.size() + 1 > kMaxImage)
      sizeerror = true;
    else
      image.push_back(byte);
  }
  if (sizeerror) return errorreply("size", 10);
  if (flashwritefailure) {
    flashwritefailure = false;
    return errorreply("write", 12);
  }
  if (lastbyte && wasempty) return "f3";
  return "f2:" + std::to_string(flashchecksum(image.data(), image.size())) + ";";
}

// A block is taken whole or not at all; a refused block spoils the run.
int SecondProcessor::flashdata(const uint8_t* data, int len) {
  if (len == 0) return 0;
  if (!runopen || blocksize == 0 || len > blocksize || image.size() + static_cast<size_t>(len) > kMaxImage) {
    sizeerror = true;
    return 0;
  }
  image.insert(image.end(), data, data + len);
  return len;
}

}  // namespace sim
