// SPDX-License-Identifier: MIT
#include "sim_board.h"

#include <libusb.h>

#include <cstring>

namespace sim {

constexpr uint16_t FirstProcessor::kAdcDefaults[];

namespace {

namespace cp = cx_protocol;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void putle16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}

void putle16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
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

// "<prefix><number>:<value>;", the form of register and flash replies.
std::string valuereply(char prefix, long long number, long long value) {
  return prefix + std::to_string(number) + cp::fieldopen + std::to_string(value) + cp::fieldclose;
}

std::string errorreply(const char* text, int number) {
  return cp::errorprefix + std::string(text) + cp::fieldopen + std::to_string(number) + cp::fieldclose;
}

// Index 0..7 of the ADC register that wValue addresses.
int adcindex(uint16_t wvalue) { return (wvalue & cp::adcaddressmask) >> cp::adcregistershift; }

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
    case cp::codewriteprot:
    case cp::powersupply:
    case cp::datawriteprot:
      switches[s.bRequest - cp::codewriteprot] = s.wValue & 0xFF;
      return 0;
    case cp::resetfifo:
      ++fiforesets;
      return 0;
    case cp::adcregister:
      adc[adcindex(s.wValue)] = s.wValue & cp::adcdatamask;
      return 0;
    case cp::adcsave:
      std::memcpy(adcsaved, adc, sizeof adc);
      return 0;
    case cp::adcreset:
      std::memcpy(adc, kAdcDefaults, sizeof adc);
      return 0;
    case cp::adcpga:
      return adcwrite3(adcindex(cp::adcrpga), data, len);
    case cp::adcoffset:
      return adcwrite3(adcindex(cp::adcroffset), data, len);
    case cp::i2cdata:
      return i2cwrite(s.wValue, false, data, len);
    case cp::i2cflash:
      return i2cwrite(s.wValue, true, data, len);
    case cp::i2csetfreq:
      i2cfreq = s.wValue & 1;
      return 0;
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

int FirstProcessor::in(const Setup& s, int room, std::string& reply) {
  switch (s.bRequest) {
    case cp::powerpins:
      reply.push_back(static_cast<char>(powerpins));
      return 0;
    case cp::ep6status:
      reply.push_back(static_cast<char>(ep6status));
      return 0;
    case cp::sensorrecord:
      reply.assign(cp::sensorrecordlength, '\0');
      reply[cp::sensorpresenceoffset] = static_cast<char>(presence);
      putle16(reply, cp::sensormarkeroffset, marker);
      putle16(reply, cp::sensortypeoffset, sensortype);
      putle16(reply, cp::sensorsecondoffset, secondword);
      return 0;
    case cp::adcregister:
      putle16(reply, adc[adcindex(s.wValue)]);
      return 0;
    case cp::i2cdata:
      i2cread(s.wValue, false, room, reply);
      return 0;
    case cp::i2cflash:
      i2cread(s.wValue, true, room, reply);
      return 0;
    case cp::i2cstatus:
      reply.push_back(static_cast<char>(i2cstatus));
      return 0;
    case cp::i2cgetfreq:
      reply.push_back(static_cast<char>(i2cfreq));
      return 0;
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

// Three 16-bit little-endian values into consecutive ADC registers, 9 bits kept.
int FirstProcessor::adcwrite3(int firstreg, const uint8_t* data, int len) {
  if (len != cp::adcthreelength) return LIBUSB_ERROR_PIPE;
  for (int i = 0; i < 3; ++i) adc[firstreg + i] = le16(data + 2 * i) & cp::adcdatamask;
  return len;
}

// The EEPROM takes a one-byte address, the I2C flash a two-byte address (high
// first); the rest is stored from there on, wrapping at the end of the memory.
// A device that does not answer still lets the data stage complete.
int FirstProcessor::i2cwrite(uint16_t address, bool flash, const uint8_t* data, int len) {
  if (address != kEepromAddress) {
    i2cstatus = cp::i2cnack;
    return len;
  }
  i2cstatus = cp::i2cok;
  if (len == 0) return 0;
  if (!flash) {
    eeprompointer = data[0];
    for (int i = 1; i < len; ++i) eeprom[eeprompointer++] = data[i];
    return len;
  }
  if (len < 2) {
    i2cstatus = cp::i2cbuserror;
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
    i2cstatus = cp::i2cnack;
    return;
  }
  i2cstatus = cp::i2cok;
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
    : regs{{cp::cpu2version, 0x0203},        {cp::cpu2mode, 0},   {cp::cpu2state, 0},
           {cp::cpu2inttime, 10000},         {cp::cpu2custom, 0}, {cp::cpu2packetlength, 4096},
           {cp::cpu2sensortype, sensortype}, {cp::cpu2status, 0}} {}

int SecondProcessor::out(const Setup& s, const uint8_t* data, int len) {
  if (s.bRequest == cp::cpu2flash) return flashdata(data, len);
  if (len < 1 || len > cp::serialmaxtransfer) return LIBUSB_ERROR_PIPE;
  lastcommand.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
  regs[cp::cpu2status] = static_cast<uint32_t>(setcommand(lastcommand));
  return len;
}

int SecondProcessor::in(const Setup& s, std::string& reply) {
  if (s.bRequest == cp::cpu2flash) {
    reply = flashcommand(s.wValue & 0xFF, s.wValue >> 8, s.wIndex);
    return 0;
  }
  int reg = s.wValue & 0xFF;
  auto it = regs.find(reg);
  if (it == regs.end()) {
    reply = errorreply("unknown register", cp::cpu2unknownget);
    return 0;
  }
  // The board prints register values as signed 32-bit numbers.
  reply = valuereply(cp::getprefix, reg, static_cast<int32_t>(it->second));
  return 0;
}

SecondProcessor::Answer SecondProcessor::serialanswer(const Setup& s, unsigned int usbtimeout,
                                                      unsigned int& waitms) const {
  waitms = 0;
  if (s.bRequest != cp::serial || delayms == 0) return Answer::Now;
  unsigned int devicewait = (s.wValue >> cp::serialwaitshift) * cp::serialwaitunitms;
  Answer answer = delayms > devicewait ? Answer::Empty : Answer::Now;
  waitms = answer == Answer::Empty ? devicewait : delayms;
  if (usbtimeout != 0 && usbtimeout < waitms) {
    waitms = usbtimeout;
    return Answer::TimedOut;
  }
  return answer;
}

// "s<reg>:<value>\r": the status it leaves in the status register.
int SecondProcessor::setcommand(const std::string& text) {
  std::string body = text;
  while (!body.empty() && (body.back() == cp::commandend || body.back() == '\n')) body.pop_back();
  if (body.empty() || body[0] != cp::setprefix) return cp::cpu2unknowncmd;
  size_t colon = body.find(cp::fieldopen);
  if (colon == std::string::npos) return cp::cpu2unknowncmd;
  uint64_t reg = 0, value = 0;
  if (!parseunsigned(body.substr(1, colon - 1), UINT32_MAX, reg) ||
      !parseunsigned(body.substr(colon + 1), UINT32_MAX, value))
    return cp::cpu2unknowncmd;
  if (reg > 255 || !hasregister(static_cast<int>(reg))) return cp::cpu2unknownset;
  switch (reg) {
    case cp::cpu2mode:
      if (value > 3) return cp::cpu2setvalue;
      break;
    case cp::cpu2state:
      if (value > 1) return cp::cpu2setvalue;
      break;
    case cp::cpu2inttime:
      break;
    default:
      return cp::cpu2setparam;
  }
  regs[static_cast<int>(reg)] = static_cast<uint32_t>(value);
  return 0;
}

std::string SecondProcessor::flashcommand(uint8_t cmd, uint8_t arg, uint16_t param) {
  switch (cmd) {
    case cp::flashf0:
      if (runopen && !image.empty()) return errorreply("f0 busy", cp::cpu2flashf0);
      runopen = true;
      blocksize = 0;
      sizeerror = false;
      image.clear();
      return valuereply(cp::flashprefix, cp::flashreplyf0, 0);
    case cp::flashf1:
      if (!runopen) return errorreply("no f0", cp::cpu2flashf1);
      if (param == 0 || param > kMaxBlock) return errorreply("bad param", cp::cpu2flashf1param);
      blocksize = param;
      return valuereply(cp::flashprefix, cp::flashreplyf1, param);
    case cp::flashf2:
      return flashfinish(false, 0);
    case cp::flashf2lastbyte:
      return flashfinish(true, arg);
    default:
      return errorreply("unknown flash cmd", cp::cpu2unknowncmd);
  }
}

// f2 and f2 with a last byte end the run whatever their outcome.
std::string SecondProcessor::flashfinish(bool lastbyte, uint8_t byte) {
  if (!runopen || blocksize == 0) return errorreply("no run", cp::cpu2flashf2);
  runopen = false;
  bool wasempty = image.empty();
  if (lastbyte) {
    if (image.size() + 1 > kMaxImage)
      sizeerror = true;
    else
      image.push_back(byte);
  }
  if (sizeerror) return errorreply("size", cp::cpu2flashsize);
  if (flashwritefailure) {
    flashwritefailure = false;
    return errorreply("write", cp::cpu2flashwrite);
  }
  if (lastbyte && wasempty) return cp::flashprefix + std::to_string(cp::flashreplyf3);
  return valuereply(cp::flashprefix, cp::flashreplyf2, flashchecksum(image.data(), image.size()));
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
