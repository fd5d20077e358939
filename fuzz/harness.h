// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz harnesses: reading the input, the one open camera
// whose replies are scripted, reply texts and reporting a finding. The
// control-transfer log is read with tests/support/controllog.h.
//
// Every harness leaves the pipe thread idle (stream off), so that only the
// control path under test runs; the thread still holds the handle, as it does
// for an application.
#ifndef VANTORPI_FUZZ_HARNESS_H
#define VANTORPI_FUZZ_HARNESS_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simcam.h"
#include "tests/support/controllog.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace fuzz {

// A contract broken by the library: print what and abort, so that libFuzzer
// keeps the input as a crash.
[[noreturn]] inline void finding(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("FINDING: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                  \
  do {                                         \
    if (!(cond)) ::fuzz::finding(__VA_ARGS__); \
  } while (0)

// Reads the input front to back; past its end every read gives 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p(data), left(size) {}

  uint8_t byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  uint16_t u16() {
    uint16_t lo = byte();
    return static_cast<uint16_t>(lo | byte() << 8);
  }
  uint32_t u32() {
    uint32_t lo = u16();
    return lo | static_cast<uint32_t>(u16()) << 16;
  }
  std::string bytes(size_t n) {
    if (n > left) n = left;
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    left -= n;
    return s;
  }
  std::string rest() { return bytes(left); }

 private:
  const uint8_t* p;
  size_t left;
};

// libusb errors a board may answer with: stall, time-out, gone, I/O, overflow, other.
inline int libusberror(uint8_t selector) {
  static const int errors[] = {-9, -7, -4, -1, -8, -99};
  return errors[selector % (sizeof errors / sizeof errors[0])];
}

// The code of second-processor error number n, as 32-bit two's complement.
inline int cpu2code(long long n) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<long long>(cx_protocol::cpu2errorbase) - n));
}

const unsigned int kTimeout = 1000;

// Puts one camera on the bus and opens it with its stream off; returns its id.
inline int opencamera() {
  simcam_reset();
  int dev = simcam_add_camera("FUZZ0001");
  simcam_set_stream_mode(dev, SIMCAM_STREAM_OFF);
  FUZZ_CHECK(ls_enumdevices() == 1, "the fuzzed camera is not listed");
  int r = ls_opendevicebyindex(0);
  FUZZ_CHECK(r == 0, "opening the fuzzed camera gives %d", r);
  return dev;
}

// The camera of the harnesses that talk to one: opened at the first input.
inline int camera() {
  static const int dev = opencamera();
  return dev;
}

// Each input starts without pending scripts and with an empty log.
inline void beginiteration() {
  simcam_script_clear(camera());
  simcam_log_clear();
}

// The text a reply carries: the first `limit` bytes (the request's length) up
// to the first zero byte.
inline std::string replytext(const std::string& reply, size_t limit) {
  std::string text = reply.substr(0, limit);
  size_t nul = text.find('\0');
  return nul == std::string::npos ? text : text.substr(0, nul);
}

// A strict decimal: optional '-', 1..10 digits, within the signed 32-bit range.
inline bool strictint(const std::string& s, long long& value) {
  size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
  if (s.size() == i || s.size() - i > 10) return false;
  long long v = 0;
  for (size_t k = i; k < s.size(); ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
    v = v * 10 + (s[k] - '0');
  }
  if (i) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = v;
  return true;
}

// Splits "<lead><a>:<b>;" exactly (no other ':' or ';' and nothing after ';') into a and b.
inline bool strictfields(const std::string& text, char lead, std::string& a, std::string& b) {
  using cx_protocol::fieldclose;
  using cx_protocol::fieldopen;
  if (text.size() < 4 || text[0] != lead || text.back() != fieldclose) return false;
  size_t colon = text.find(fieldopen);
  if (colon == std::string::npos || text.find(fieldopen, colon + 1) != std::string::npos) return false;
  if (text.find(fieldclose) != text.size() - 1) return false;
  a = text.substr(1, colon - 1);
  b = text.substr(colon + 1, text.size() - colon - 2);
  return true;
}

}  // namespace fuzz

#endif
