// SPDX-License-Identifier: MIT
// Arbitrary replies of the first processor: the 7-byte sensor record, the
// endpoint-6 status and power pins, ADC register reads, the sensor record
// behind the filtered ADC writes, I2C data and status replies, and
// acknowledgements of the ADC three-channel writes and guarded switches.
//
// Input: op, mode, a 32-bit argument, a split byte, then the reply bytes. Ops
// with two replies (I2C data stage and status) take the first `split` bytes
// for the first. mode bit 0: the first request fails, bit 1: the second
// request fails (with the libusb error that bits 4-7 pick); bit 2: an OUT
// data stage is taken only in part (three-channel writes, I2C writes), or
// the guarded switches get the right code. Seeds: fuzz/corpus/fuzz_board/.
#include "harness.h"
#include "tests/support/adcregisters.h"
#include "tests/support/exports.h"

namespace {

namespace cp = cx_protocol;
using cp::vendorin;
using cp::vendorout;
using vtest::requests;

struct Case {
  int op;
  uint8_t mode;
  uint32_t argument;
  uint8_t split;
  std::string first;   // reply of the first request
  std::string second;  // reply of the second request
  int error;
  bool firstfails() const { return (mode & 1) != 0; }
  bool secondfails() const { return (mode & 2) != 0; }
  bool partial() const { return (mode & 4) != 0; }
};

void scriptin(uint8_t request, bool fails, int error, const std::string& reply) {
  if (fails)
    simcam_script_error(fuzz::camera(), SIMCAM_IN, request, error);
  else
    simcam_script_reply(fuzz::camera(), request, reply.data(), static_cast<int>(reply.size()));
}

uint16_t le16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

// What the sensor record reply must give: result, type, second word.
int sensorexpected(const Case& c, const std::string& reply, unsigned short& type, unsigned short& second) {
  type = second = 0;
  if (c.firstfails()) return c.error;
  if (reply.size() < cp::sensorrecordlength) return CX_ERR_CONTROL_TRANSFER;
  type = le16(reply, cp::sensortypeoffset);
  second = le16(reply, cp::sensorsecondoffset);
  if (static_cast<uint8_t>(reply[cp::sensorpresenceoffset]) != cp::sensorpresent)
    return CX_ERROR_SENSOR_NOT_CONNECTED;
  if (le16(reply, cp::sensormarkeroffset) != cp::sensormarker) return CX_ERROR_SENSOR_EEP_INVALID;
  return 0;
}

void sensortype(const Case& c) {
  scriptin(cp::sensorrecord, c.firstfails(), c.error, c.first);
  unsigned short type = 0x5A5A, second = 0x5A5A, etype, esecond;
  int r = ls_getsensortype(&type, &second, fuzz::kTimeout);
  int expected = sensorexpected(c, c.first, etype, esecond);
  FUZZ_CHECK(r == expected && type == etype && second == esecond,
             "ls_getsensortype: %zu-byte record gives %d (0x%04X, 0x%04X), expected %d (0x%04X, 0x%04X)",
             c.first.size(), r, type, second, expected, etype, esecond);
}

// One byte read straight from the board: ep6stat or the power pins.
void boardbyte(const Case& c, bool ep6) {
  const uint8_t request = ep6 ? cp::ep6status : cp::powerpins;
  scriptin(request, c.firstfails(), c.error, c.first);
  unsigned char value = 0x5A;
  int r = ep6 ? ls_ep6stat(&value, fuzz::kTimeout) : ls_getpowerpins(&value, fuzz::kTimeout);
  int expected = c.firstfails() ? c.error : c.first.empty() ? CX_ERR_CONTROL_TRANSFER : 0;
  unsigned char evalue = expected == 0 ? static_cast<uint8_t>(c.first[0]) : 0;
  FUZZ_CHECK(r == expected && value == evalue, "request 0x%02X: %zu-byte reply gives %d (0x%02X)", request,
             c.first.size(), r, value);
}

void adcget(const Case& c) {
  static const auto registers = vtest::adcregisters(vtest::linkedexports());
  const vtest::AdcRegister& adc = registers[c.argument % registers.size()];
  const int reg = adc.number;
  scriptin(cp::adcregister, c.firstfails(), c.error, c.first);
  unsigned short value = 0x5A5A;
  int r = adc.get(&value, fuzz::kTimeout);
  const auto log = vtest::controllog();
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorin && log[0].bRequest == cp::adcregister &&
                 log[0].wValue == adc.address && log[0].wLength == cp::adcreadlength,
             "ADC register %d: expected one read with wValue 0x%04X", reg, adc.address);
  int expected = c.firstfails() ? c.error : c.first.size() < cp::adcreadlength ? CX_ERR_CONTROL_TRANSFER : 0;
  unsigned short evalue = expected == 0 ? le16(c.first, 0) : 0;
  FUZZ_CHECK(r == expected && value == evalue, "ADC register %d: %zu-byte reply gives %d (0x%04X)", reg,
             c.first.size(), r, value);
}

// setadcconfig / setadcmux: the write goes out only for a valid, catalogued
// sensor, and then carries exactly the catalogue's filtering of the value.
void adcfiltered(const Case& c, bool mux) {
  const unsigned short value = static_cast<unsigned short>(c.argument);
  scriptin(cp::sensorrecord, c.firstfails(), c.error, c.first);
  if (c.secondfails()) simcam_script_error(fuzz::camera(), SIMCAM_OUT, cp::adcregister, c.error);
  int r = mux ? ls_setadcmux(value, fuzz::kTimeout) : ls_setadcconfig(value, fuzz::kTimeout);

  unsigned short type, second, mask = 0, fixed = 0;
  int expected = sensorexpected(c, c.first, type, second);
  if (expected == 0) {
    int known = mux ? ls_getsensormuxmask(type, &mask, &fixed) : ls_getsensorconfigmask(type, &mask, &fixed);
    if (known != 0) expected = CX_ERROR_SENSOR_TYPE;
  }
  const char* name = mux ? "ls_setadcmux" : "ls_setadcconfig";
  const auto writes = requests(vendorout, cp::adcregister);
  if (expected != 0) {
    FUZZ_CHECK(r == expected && writes.empty(),
               "%s(0x%04X): sensor record gives %d with %zu writes, expected %d", name, value, r,
               writes.size(), expected);
    return;
  }
  const uint16_t wvalue = static_cast<uint16_t>((mux ? cp::adcmux : cp::adcconfig) |
                                                (((value & mask) | fixed) & cp::adcdatamask));
  FUZZ_CHECK(writes.size() == 1 && writes[0].wValue == wvalue && writes[0].wLength == 0,
             "%s(0x%04X) for sensor 0x%04X: expected one write of 0x%04X", name, value, type, wvalue);
  FUZZ_CHECK(r == (c.secondfails() ? c.error : 0), "%s(0x%04X): gives %d", name, value, r);
}

// The status read that follows every I2C data stage: result and status byte.
int i2cstatus(const Case& c, unsigned char& status) {
  if (c.secondfails()) {
    status = 0xFF;
    return c.error;
  }
  if (c.second.empty()) {
    status = 0xFF;
    return CX_ERR_CONTROL_TRANSFER;
  }
  status = static_cast<uint8_t>(c.second[0]);
  return status == LS_I2C_OK ? 0 : CX_ERR_I2C_TRANSFER;
}

void i2cread(const Case& c, bool flash) {
  const uint8_t request = flash ? cp::i2cflash : cp::i2cdata;
  const unsigned char address = static_cast<unsigned char>(c.argument);
  const unsigned short wanted = static_cast<unsigned short>((c.argument >> 8 & 0xFF) % 72);
  scriptin(request, c.firstfails(), c.error, c.first);
  scriptin(cp::i2cstatus, c.secondfails(), c.error, c.second);
  unsigned char buffer[72];
  std::memset(buffer, 0xEE, sizeof buffer);
  unsigned short length = wanted;
  unsigned char status = 0x5A;
  int r = flash ? ls_readi2cflash(address, buffer, &length, &status, fuzz::kTimeout)
                : ls_readi2c(address, buffer, &length, &status, fuzz::kTimeout);
  const char* name = flash ? "ls_readi2cflash" : "ls_readi2c";
  const auto log = vtest::controllog();
  if (wanted == 0 || wanted > cp::i2cmaxtransfer) {
    FUZZ_CHECK(r == CX_ERR_I2C_INVALID_SIZE && length == wanted && status == 0x5A && log.empty(),
               "%s: length %u gives %d", name, wanted, r);
    return;
  }
  FUZZ_CHECK(!log.empty() && log[0].bmRequestType == vendorin && log[0].bRequest == request &&
                 log[0].wValue == address >> 1 && log[0].wLength == wanted,
             "%s(0x%02X, %u): data stage not as expected", name, address, wanted);
  for (size_t i = sizeof buffer > wanted ? wanted : sizeof buffer; i < sizeof buffer; ++i)
    FUZZ_CHECK(buffer[i] == 0xEE, "%s: wrote past the %u bytes asked", name, wanted);
  if (c.firstfails()) {
    FUZZ_CHECK(r == c.error && length == 0 && status == 0x5A && log.size() == 1,
               "%s: data stage failing with %d gives %d, length %u, status 0x%02X", name, c.error, r, length,
               status);
    return;
  }
  const unsigned short received =
      static_cast<unsigned short>(c.first.size() < wanted ? c.first.size() : wanted);
  unsigned char estatus = 0;
  int expected = i2cstatus(c, estatus);
  unsigned short elength = expected == CX_ERR_I2C_TRANSFER ? 0 : received;
  FUZZ_CHECK(r == expected && status == estatus && length == elength,
             "%s(%u): %zu data bytes and a %zu-byte status give %d, status 0x%02X, length %u; expected %d, "
             "0x%02X, %u",
             name, wanted, c.first.size(), c.second.size(), r, status, length, expected, estatus, elength);
  if (r == 0)
    FUZZ_CHECK(std::memcmp(buffer, c.first.data(), received) == 0, "%s: data differ from the reply", name);
}

void i2cwrite(const Case& c, bool flash) {
  const uint8_t request = flash ? cp::i2cflash : cp::i2cdata;
  const unsigned char address = static_cast<unsigned char>(c.argument);
  const unsigned short length = static_cast<unsigned short>((c.argument >> 8 & 0xFF) % 72);
  unsigned char buffer[72] = {};
  std::memcpy(buffer, c.first.data(), c.first.size() < length ? c.first.size() : length);
  if (c.firstfails())
    simcam_script_error(fuzz::camera(), SIMCAM_OUT, request, c.error);
  else if (c.partial())
    simcam_script_out_taken(fuzz::camera(), request, c.argument >> 16 & 0xFF);
  scriptin(cp::i2cstatus, c.secondfails(), c.error, c.second);
  unsigned char status = 0x5A;
  int r = flash ? ls_writei2cflash(address, buffer, length, &status, fuzz::kTimeout)
                : ls_writei2c(address, buffer, length, &status, fuzz::kTimeout);
  const char* name = flash ? "ls_writei2cflash" : "ls_writei2c";
  const auto log = vtest::controllog();
  if (length == 0 || length > cp::i2cmaxtransfer) {
    FUZZ_CHECK(r == CX_ERR_I2C_INVALID_SIZE && status == 0x5A && log.empty(), "%s: length %u gives %d", name,
               length, r);
    return;
  }
  FUZZ_CHECK(!log.empty() && log[0].bmRequestType == vendorout && log[0].bRequest == request &&
                 log[0].wValue == address >> 1 && log[0].wLength == length &&
                 std::memcmp(log[0].data, buffer, length) == 0,
             "%s(0x%02X, %u): data stage not as expected", name, address, length);
  if (c.firstfails()) {
    FUZZ_CHECK(r == c.error && status == 0x5A && log.size() == 1, "%s: data stage failing with %d gives %d",
               name, c.error, r);
    return;
  }
  // A data stage that carried fewer bytes than asked is a failed write.
  const unsigned int taken = c.argument >> 16 & 0xFF;
  if (c.partial() && taken < length) {
    FUZZ_CHECK(r == CX_ERR_CONTROL_TRANSFER && status == 0x5A && log.size() == 1,
               "%s: data stage taking %u of %u bytes gives %d, status 0x%02X, %zu requests", name, taken,
               length, r, status, log.size());
    return;
  }
  unsigned char estatus = 0;
  int expected = i2cstatus(c, estatus);
  FUZZ_CHECK(r == expected && status == estatus, "%s: %zu-byte status gives %d, 0x%02X; expected %d, 0x%02X",
             name, c.second.size(), r, status, expected, estatus);
}

void i2cstat(const Case& c) {
  scriptin(cp::i2cstatus, c.firstfails(), c.error, c.first);
  unsigned char status = 0x5A;
  int r = ls_geti2cstat(&status, fuzz::kTimeout);
  int expected = c.firstfails() ? c.error : c.first.empty() ? CX_ERR_CONTROL_TRANSFER : 0;
  unsigned char estatus = expected == 0 ? static_cast<uint8_t>(c.first[0]) : 0xFF;
  FUZZ_CHECK(r == expected && status == estatus, "ls_geti2cstat: %zu-byte reply gives %d, 0x%02X",
             c.first.size(), r, status);
  FUZZ_CHECK(ls_geti2cstring(status) != nullptr, "ls_geti2cstring(0x%02X) is NULL", status);
}

void i2cfreq(const Case& c) {
  scriptin(cp::i2cgetfreq, c.firstfails(), c.error, c.first);
  unsigned char frequency = 0x5A;
  int r = ls_geti2cfreq(&frequency, fuzz::kTimeout);
  int expected = c.firstfails() ? c.error : c.first.empty() ? CX_ERR_CONTROL_TRANSFER : 0;
  unsigned char efrequency = expected == 0 ? static_cast<uint8_t>(c.first[0]) & 1 : 0;
  FUZZ_CHECK(r == expected && frequency == efrequency, "ls_geti2cfreq: %zu-byte reply gives %d, %u",
             c.first.size(), r, frequency);
}

// setadcpga, setadc3xpga, setadcoffset, setadc3xoffset: six bytes, all taken or -10006.
void adcthree(const Case& c) {
  const int variant = c.argument >> 30;
  const bool offset = variant >= 2;
  const uint8_t request = offset ? cp::adcoffset : cp::adcpga;
  const unsigned short a = static_cast<unsigned short>(c.argument),
                       b = static_cast<unsigned short>(c.argument >> 8),
                       d = static_cast<unsigned short>(c.argument >> 14);
  const int taken = c.split % 8;
  if (c.firstfails())
    simcam_script_error(fuzz::camera(), SIMCAM_OUT, request, c.error);
  else if (c.partial())
    simcam_script_out_taken(fuzz::camera(), request, taken);
  int r;
  unsigned short values[3] = {a, b, d};
  switch (variant) {
    case 0:
      r = ls_setadcpga(a, b, d, fuzz::kTimeout);
      break;
    case 1:
      r = ls_setadc3xpga(a, fuzz::kTimeout);
      values[1] = values[2] = a;
      break;
    case 2:
      r = ls_setadcoffset(a, b, d, fuzz::kTimeout);
      break;
    default:
      r = ls_setadc3xoffset(a, fuzz::kTimeout);
      values[1] = values[2] = a;
      break;
  }
  uint8_t bytes[6];
  for (int i = 0; i < 3; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(values[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(values[i] >> 8);
  }
  const auto log = vtest::controllog();
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorout && log[0].bRequest == request &&
                 log[0].wValue == 0 && log[0].wLength == cp::adcthreelength &&
                 std::memcmp(log[0].data, bytes, cp::adcthreelength) == 0,
             "three-channel write %d: request not as expected", variant);
  int expected = c.firstfails()                                ? c.error
                 : (c.partial() && taken < cp::adcthreelength) ? CX_ERR_CONTROL_TRANSFER
                                                               : 0;
  FUZZ_CHECK(r == expected, "three-channel write %d: gives %d, expected %d", variant, r, expected);
}

// ls_cwp, ls_psy, ls_dwp: a wrong code sends nothing; the right one sends the state unchanged.
void guarded(const Case& c) {
  typedef int (*Switch)(unsigned char, unsigned int, unsigned int);
  static const Switch switches[] = {ls_cwp, ls_psy, ls_dwp};
  static const uint8_t requestsof[] = {cp::codewriteprot, cp::powersupply, cp::datawriteprot};
  const int which = c.split % 3;
  const uint8_t request = requestsof[which];
  const unsigned char state = static_cast<unsigned char>(c.split);
  const unsigned int code = c.partial() ? LS_POWER_SECURITY_CODE : c.argument;
  if (c.firstfails()) simcam_script_error(fuzz::camera(), SIMCAM_OUT, request, c.error);
  int r = switches[which](state, code, fuzz::kTimeout);
  const auto log = vtest::controllog();
  if (code != LS_POWER_SECURITY_CODE) {
    FUZZ_CHECK(r == CX_ERR_POWER_SECURITY && log.empty(),
               "switch 0x%02X with code 0x%08X gives %d, %zu requests", request, code, r, log.size());
    return;
  }
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorout && log[0].bRequest == request &&
                 log[0].wValue == state && log[0].wLength == 0,
             "switch 0x%02X(%u): request not as expected", request, state);
  FUZZ_CHECK(r == (c.firstfails() ? c.error : 0), "switch 0x%02X: gives %d", request, r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  Case c;
  c.op = in.byte() % 14;
  c.mode = in.byte();
  c.argument = in.u32();
  c.split = in.byte();
  c.error = fuzz::libusberror(c.mode >> 4);
  const bool tworeplies = c.op >= 6 && c.op <= 9;
  c.first = tworeplies ? in.bytes(c.split) : in.rest();
  c.second = in.rest();

  fuzz::beginiteration();
  switch (c.op) {
    case 0:
      sensortype(c);
      break;
    case 1:
      boardbyte(c, true);
      break;
    case 2:
      boardbyte(c, false);
      break;
    case 3:
      adcget(c);
      break;
    case 4:
      adcfiltered(c, false);
      break;
    case 5:
      adcfiltered(c, true);
      break;
    case 6:
      i2cread(c, false);
      break;
    case 7:
      i2cread(c, true);
      break;
    case 8:
      i2cwrite(c, false);
      break;
    case 9:
      i2cwrite(c, true);
      break;
    case 10:
      i2cstat(c);
      break;
    case 11:
      i2cfreq(c);
      break;
    case 12:
      adcthree(c);
      break;
    default:
      guarded(c);
      break;
  }
  return 0;
}
