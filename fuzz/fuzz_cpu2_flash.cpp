// SPDX-License-Identifier: MIT
// Arbitrary replies to the flash commands (the flash request IN) and arbitrary
// acknowledgements of flash data blocks (the flash request OUT).
//
// Input: op, mode, a 16-bit argument (f1's parameter, the last byte, or the
// block length), a 16-bit count of bytes the board takes, then the reply text
// or the block. op: 0 f0, 1 f1, 2 f2, 3 f2 with last byte, 4 data block.
// mode bit 0: the board takes only the given count of a block; bit 1: the
// block pointer is NULL; bit 2: the request fails with the libusb error that
// bits 4-7 pick. Seeds: fuzz/corpus/fuzz_cpu2_flash/.
#include "harness.h"

namespace {

namespace cp = cx_protocol;
using cp::vendorin;
using cp::vendorout;
const unsigned short kUntouched = 0x5A5A;
const char* const kNames[] = {"ls_cpu2flash_f0", "ls_cpu2flash_f1", "ls_cpu2flash_f2",
                              "ls_cpu2flash_f2_lastbyte"};

bool startswith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The reply of a flash command, strictly formed: "f<n>:<v>;" with both numbers.
bool flashreply(const std::string& text, long long& number, long long& value) {
  std::string a, b;
  return fuzz::strictfields(text, cp::flashprefix, a, b) && fuzz::strictint(a, number) &&
         fuzz::strictint(b, value);
}

void checkcommand(int op, uint16_t argument, int r, unsigned short value, const std::string& reply,
                  bool fails, int error) {
  const char* name = kNames[op];
  static const uint8_t commandbytes[] = {cp::flashf0, cp::flashf1, cp::flashf2, cp::flashf2lastbyte};
  const uint16_t wvalue = cp::requestvalue(commandbytes[op], op == 3 ? static_cast<uint8_t>(argument) : 0);
  const uint16_t windex = op == 1 ? argument : 0;
  const auto log = vtest::controllog();
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorin && log[0].bRequest == cp::cpu2flash &&
                 log[0].wValue == wvalue && log[0].wIndex == windex && log[0].wLength == cp::flashreplymax,
             "%s: expected one flash command wValue 0x%04X wIndex %u", name, wvalue, windex);
  if (r != 0 || op < 2)
    FUZZ_CHECK(value == kUntouched, "%s: result %d but the output changed to %u", name, r, value);
  if (fails) {
    FUZZ_CHECK(r == error, "%s: request failing with %d gives %d", name, error, r);
    return;
  }
  const std::string text = fuzz::replytext(reply, cp::flashreplymax);
  if (text.empty() || (text[0] != cp::errorprefix && text[0] != cp::flashprefix))
    FUZZ_CHECK(r == CX_ERR_GET_INVALID_FORMAT, "%s: reply \"%s\" gives %d", name, text.c_str(), r);
  if (r != 0 && r != CX_ERR_GET_INVALID_FORMAT && r != CX_ERR_CPU2_REGISTER)
    FUZZ_CHECK(text[0] == cp::errorprefix, "%s: result %d from a reply that is no error reply", name, r);

  std::string a, b;
  long long n = 0, v = 0;
  if (fuzz::strictfields(text, cp::errorprefix, a, b) && fuzz::strictint(b, n))
    FUZZ_CHECK(r == fuzz::cpu2code(n), "%s: error reply \"%s\" gives %d", name, text.c_str(), r);
  const bool strict = flashreply(text, n, v);
  // A reply numbered 2 carries the value; any other number is the wrong register.
  auto checkvaluereply = [&] {
    FUZZ_CHECK(r == (n == cp::flashreplyf2 ? 0 : CX_ERR_CPU2_REGISTER), "%s: reply \"%s\" gives %d", name,
               text.c_str(), r);
    if (n == cp::flashreplyf2)
      FUZZ_CHECK(value == static_cast<uint16_t>(v), "%s: reply \"%s\" gives value %u", name, text.c_str(),
                 value);
  };
  switch (op) {
    case 0:
      if (text == "f0" || startswith(text, "f0:"))
        FUZZ_CHECK(r == 0, "%s: reply \"%s\" gives %d", name, text.c_str(), r);
      if (strict && n != cp::flashreplyf0)
        FUZZ_CHECK(r == CX_ERR_CPU2_REGISTER, "%s: reply \"%s\" gives %d", name, text.c_str(), r);
      break;
    case 1:
      if (strict) {
        int expected = n != cp::flashreplyf1                  ? CX_ERR_CPU2_REGISTER
                       : static_cast<uint16_t>(v) == argument ? 0
                                                              : CX_ERR_GET_INVALID_FORMAT;
        FUZZ_CHECK(r == expected, "%s(%u): reply \"%s\" gives %d, expected %d", name, argument, text.c_str(),
                   r, expected);
      }
      break;
    case 2:
      if (strict) {
        checkvaluereply();
      }
      break;
    default:
      if (text == "f3" || startswith(text, "f3:") || (strict && n == cp::flashreplyf3)) {
        FUZZ_CHECK(r == 0 && value == cp::flashnovalue, "%s: reply \"%s\" gives %d, value %u", name,
                   text.c_str(), r, value);
      } else if (strict) {
        checkvaluereply();
      }
      break;
  }
}

void runblock(uint16_t length, uint16_t taken, uint8_t mode, int error, const std::string& bytes) {
  static std::vector<uint8_t> block(65536);
  std::memset(block.data(), 0, length);
  std::memcpy(block.data(), bytes.data(), bytes.size() < length ? bytes.size() : length);
  const bool scripted = (mode & 1) != 0;
  const bool nullblock = (mode & 2) != 0;
  const bool fails = (mode & 4) != 0;
  if (fails)
    simcam_script_error(fuzz::camera(), SIMCAM_OUT, cp::cpu2flash, error);
  else if (scripted)
    simcam_script_out_taken(fuzz::camera(), cp::cpu2flash, taken);

  int r = ls_cpu2flashdata(length, nullblock ? nullptr : block.data(), fuzz::kTimeout);

  const auto log = vtest::controllog();
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorout && log[0].bRequest == cp::cpu2flash &&
                 log[0].wValue == 0 && log[0].wIndex == 0 && log[0].data_null == (nullblock ? 1 : 0),
             "ls_cpu2flashdata(%u): expected one flash data request", length);
  const uint16_t offered = nullblock ? 0 : length;
  FUZZ_CHECK(log[0].wLength == offered, "ls_cpu2flashdata(%u): wLength %u", length, log[0].wLength);
  if (fails) {
    FUZZ_CHECK(r == error, "ls_cpu2flashdata: request failing with %d gives %d", error, r);
  } else if (nullblock || scripted) {
    const uint16_t took = nullblock ? 0 : (taken < length ? taken : length);
    const int expected = took == length ? 0 : CX_ERR_CONTROL_TRANSFER;
    FUZZ_CHECK(r == expected, "ls_cpu2flashdata(%u) with %u bytes taken gives %d", length, took, r);
  } else {
    FUZZ_CHECK(r == 0 || r == CX_ERR_CONTROL_TRANSFER, "ls_cpu2flashdata(%u) gives %d", length, r);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int op = in.byte() % 5;
  const uint8_t mode = in.byte();
  const uint16_t argument = in.u16();
  const uint16_t taken = in.u16();
  const std::string rest = in.rest();
  const int error = fuzz::libusberror(mode >> 4);

  fuzz::beginiteration();
  if (op == 4) {
    runblock(argument, taken, mode, error, rest);
    return 0;
  }
  const bool fails = (mode & 4) != 0;
  if (fails)
    simcam_script_error(fuzz::camera(), SIMCAM_IN, cp::cpu2flash, error);
  else
    simcam_script_reply(fuzz::camera(), cp::cpu2flash, rest.data(), static_cast<int>(rest.size()));

  unsigned short value = kUntouched;
  int r = 0;
  switch (op) {
    case 0:
      r = ls_cpu2flash_f0(fuzz::kTimeout);
      break;
    case 1:
      r = ls_cpu2flash_f1(argument, fuzz::kTimeout);
      break;
    case 2:
      r = ls_cpu2flash_f2(&value, fuzz::kTimeout);
      break;
    default:
      r = ls_cpu2flash_f2_lastbyte(static_cast<unsigned char>(argument), &value, fuzz::kTimeout);
      break;
  }
  checkcommand(op, argument, r, value, rest, fails, error);
  return 0;
}
