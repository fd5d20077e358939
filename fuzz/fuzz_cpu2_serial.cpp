// SPDX-License-Identifier: MIT
// Arbitrary answers of the second processor to every register get and set.
//
// Input: op, mode, a 32-bit argument, then the raw reply of the serial request
// IN (for a set: the status reply). op picks the export; mode bits 0-1 choose how
// a set's command write ends (board, libusb error, taken short), bit 2 makes
// the read fail with a libusb error instead of replying, bits 4-7 pick the
// error. Seeds: fuzz/corpus/fuzz_cpu2_serial/.
#include "harness.h"

namespace {

namespace cp = cx_protocol;
using cp::vendorin;
using cp::vendorout;

struct Register {
  const char* name;
  uint8_t reg;
  int width;  // bits handed out by a get; 0 for a set
};

const Register kOps[] = {
    {"ls_getmcu2version", cp::cpu2version, 16},
    {"ls_getmcu2sensortype", cp::cpu2sensortype, 16},
    {"ls_getmode", cp::cpu2mode, 8},
    {"ls_getstate", cp::cpu2state, 8},
    {"ls_getinttime", cp::cpu2inttime, 32},
    {"ls_getpacketlength", cp::cpu2packetlength, 32},
    {"ls_customfirmware", cp::cpu2custom, 32},
    {"ls_setmode", cp::cpu2mode, 0},
    {"ls_setstate", cp::cpu2state, 0},
    {"ls_setinttime", cp::cpu2inttime, 0},
};
const int kOpCount = sizeof kOps / sizeof kOps[0];

const uint32_t kSentinel = 0xA5A5A5A5u;

// Runs get op; value receives the caller's variable widened to 32 bits.
int runget(int op, uint32_t& value) {
  unsigned short v16 = static_cast<unsigned short>(kSentinel);
  unsigned char v8 = static_cast<unsigned char>(kSentinel);
  unsigned int v32 = kSentinel;
  int i32 = static_cast<int>(kSentinel);
  int r = 0;
  switch (op) {
    case 0:
      r = ls_getmcu2version(&v16, fuzz::kTimeout);
      value = v16;
      break;
    case 1:
      r = ls_getmcu2sensortype(&v16, fuzz::kTimeout);
      value = v16;
      break;
    case 2:
      r = ls_getmode(&v8, fuzz::kTimeout);
      value = v8;
      break;
    case 3:
      r = ls_getstate(&v8, fuzz::kTimeout);
      value = v8;
      break;
    case 4:
      r = ls_getinttime(&v32, fuzz::kTimeout);
      value = v32;
      break;
    case 5:
      r = ls_getpacketlength(&i32, fuzz::kTimeout);
      value = static_cast<uint32_t>(i32);
      break;
    default:
      r = ls_customfirmware(&v32, fuzz::kTimeout);
      value = v32;
      break;
  }
  return r;
}

uint32_t cut(uint32_t value, int width) { return width == 32 ? value : value & ((1u << width) - 1); }

// A get: one read of the register; a failure leaves 0; a well-formed value
// reply is taken exactly.
void checkget(const Register& op, int r, uint32_t value, const std::string& reply, bool readfails,
              int readerror) {
  const auto log = vtest::controllog();
  FUZZ_CHECK(log.size() == 1 && log[0].bmRequestType == vendorin && log[0].bRequest == cp::serial &&
                 (log[0].wValue & 0xFF) == op.reg && log[0].wLength == cp::serialmaxtransfer,
             "%s: expected one read of register %u, saw %zu requests", op.name, op.reg, log.size());
  if (r != 0) FUZZ_CHECK(value == 0, "%s failed with %d but left %u in the output", op.name, r, value);
  const std::string text = fuzz::replytext(reply, cp::serialmaxtransfer);
  if (readfails) {
    FUZZ_CHECK(r == readerror, "%s: read failing with %d gives %d", op.name, readerror, r);
    return;
  }
  if (r != 0 && r != CX_ERR_GET_INVALID_FORMAT && r != CX_ERR_CPU2_REGISTER)
    FUZZ_CHECK(!text.empty() && text[0] == cp::errorprefix,
               "%s: result %d from a reply that is no error reply", op.name, r);
  std::string a, b;
  long long reg = 0, v = 0;
  if (fuzz::strictfields(text, cp::getprefix, a, b) && fuzz::strictint(a, reg) && fuzz::strictint(b, v)) {
    if (static_cast<uint32_t>(reg) == op.reg) {
      FUZZ_CHECK(r == 0, "%s: reply \"%s\" gives %d", op.name, text.c_str(), r);
      FUZZ_CHECK(value == cut(static_cast<uint32_t>(v), op.width), "%s: reply \"%s\" gives value %u", op.name,
                 text.c_str(), value);
    } else {
      FUZZ_CHECK(r == CX_ERR_CPU2_REGISTER, "%s: reply \"%s\" for another register gives %d", op.name,
                 text.c_str(), r);
    }
  }
}

std::string setcommand(const Register& op, uint32_t argument) {
  uint32_t sent = op.reg == cp::cpu2mode    ? (argument & 0xFF & 3u)
                  : op.reg == cp::cpu2state ? (argument & 0xFF & 1u)
                                            : argument;
  return cp::setprefix + std::to_string(op.reg) + cp::fieldopen + std::to_string(sent) + cp::commandend;
}

// A set: the command text, then the status read unless the write failed.
void checkset(const Register& op, uint32_t argument, int r, const std::string& reply, int outmode,
              uint8_t taken, bool readfails, int error) {
  const auto log = vtest::controllog();
  const auto writes = vtest::requests(log, vendorout, cp::serial);
  const auto statusreads = vtest::requests(log, vendorin, cp::serial);
  const std::string command = setcommand(op, argument);
  FUZZ_CHECK(!writes.empty() && writes[0].datalen == command.size() &&
                 std::memcmp(writes[0].data, command.data(), command.size()) == 0,
             "%s(%u): the command written is not \"%s\"", op.name, argument, command.c_str());
  const size_t reads = statusreads.size();
  if (outmode == 1 || (outmode == 2 && taken < command.size())) {
    int expected = outmode == 1 ? error : CX_ERR_CONTROL_TRANSFER;
    FUZZ_CHECK(r == expected, "%s: failed command write gives %d, expected %d", op.name, r, expected);
    FUZZ_CHECK(reads == 0, "%s: status read after a failed command write", op.name);
    return;
  }
  FUZZ_CHECK(reads == 1 && (statusreads[0].wValue & 0xFF) == cp::cpu2status, "%s: expected one status read",
             op.name);
  const std::string text = fuzz::replytext(reply, cp::serialmaxtransfer);
  if (readfails) {
    FUZZ_CHECK(r == error, "%s: status read failing with %d gives %d", op.name, error, r);
    return;
  }
  if (r != 0 && r != CX_ERR_GET_INVALID_FORMAT && r != CX_ERR_CPU2_REGISTER)
    FUZZ_CHECK(!text.empty() && (text[0] == cp::errorprefix || text.find(cp::fieldopen) != std::string::npos),
               "%s: result %d from a status reply without a number", op.name, r);
  std::string a, b;
  long long reg = 0, s = 0;
  if (fuzz::strictfields(text, cp::getprefix, a, b) && fuzz::strictint(a, reg) && fuzz::strictint(b, s) &&
      reg == cp::cpu2status) {
    int expected = s == 0 ? 0 : fuzz::cpu2code(s);
    FUZZ_CHECK(r == expected, "%s: status \"%s\" gives %d, expected %d", op.name, text.c_str(), r, expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int opindex = in.byte() % kOpCount;
  const uint8_t mode = in.byte();
  const uint32_t argument = in.u32();
  const std::string reply = in.rest();
  const Register& op = kOps[opindex];
  const int outmode = mode & 3;
  const bool readfails = (mode & 4) != 0;
  const int error = fuzz::libusberror(mode >> 4);
  const uint8_t taken = static_cast<uint8_t>(argument >> 24) % 16;

  fuzz::beginiteration();
  const int camera = fuzz::camera();
  if (op.width == 0) {
    if (outmode == 1) simcam_script_error(camera, SIMCAM_OUT, cp::serial, error);
    if (outmode == 2) simcam_script_out_taken(camera, cp::serial, taken);
  }
  if (readfails)
    simcam_script_error(camera, SIMCAM_IN, cp::serial, error);
  else
    simcam_script_reply(camera, cp::serial, reply.data(), static_cast<int>(reply.size()));

  if (op.width != 0) {
    uint32_t value = 0;
    int r = runget(opindex, value);
    checkget(op, r, value, reply, readfails, error);
  } else {
    int r = opindex == 7   ? ls_setmode(static_cast<unsigned char>(argument), fuzz::kTimeout)
            : opindex == 8 ? ls_setstate(static_cast<unsigned char>(argument), fuzz::kTimeout)
                           : ls_setinttime(argument, fuzz::kTimeout);
    checkset(op, argument, r, reply, outmode, taken, readfails, error);
  }
  return 0;
}
